#include "wire/AtaPassThrough.h"

#include <algorithm>

#include "common/Bytes.h"

namespace burnwell::wire {

AtaPassThroughHeader DecodeAtaPassThroughHeader(std::span<const std::uint8_t> bytes) {
  const std::uint8_t* p = bytes.data();
  AtaPassThroughHeader h;
  h.Length = LoadLe16(p + apt::Length);
  h.AtaFlags = LoadLe16(p + apt::AtaFlags);
  h.PathId = p[apt::PathId];
  h.TargetId = p[apt::TargetId];
  h.Lun = p[apt::Lun];
  h.ReservedAsUchar = p[apt::ReservedAsUchar];
  h.DataTransferLength = LoadLe32(p + apt::DataTransferLength);
  h.TimeOutValue = LoadLe32(p + apt::TimeOutValue);
  h.ReservedAsUlong = LoadLe32(p + apt::ReservedAsUlong);
  h.DataBufferOffset = LoadLe32(p + apt::DataBufferOffset);
  std::copy_n(p + apt::PreviousTaskFile, apt::TaskFileSize, h.PreviousTaskFile.begin());
  std::copy_n(p + apt::CurrentTaskFile, apt::TaskFileSize, h.CurrentTaskFile.begin());
  return h;
}

void EncodeAtaPassThroughHeader(const AtaPassThroughHeader& h, std::span<std::uint8_t> bytes) {
  std::uint8_t* p = bytes.data();
  StoreLe16(p + apt::Length, h.Length);
  StoreLe16(p + apt::AtaFlags, h.AtaFlags);
  p[apt::PathId] = h.PathId;
  p[apt::TargetId] = h.TargetId;
  p[apt::Lun] = h.Lun;
  p[apt::ReservedAsUchar] = h.ReservedAsUchar;
  StoreLe32(p + apt::DataTransferLength, h.DataTransferLength);
  StoreLe32(p + apt::TimeOutValue, h.TimeOutValue);
  StoreLe32(p + apt::ReservedAsUlong, h.ReservedAsUlong);
  StoreLe32(p + apt::DataBufferOffset, h.DataBufferOffset);
  std::copy(h.PreviousTaskFile.begin(), h.PreviousTaskFile.end(), p + apt::PreviousTaskFile);
  std::copy(h.CurrentTaskFile.begin(), h.CurrentTaskFile.end(), p + apt::CurrentTaskFile);
}

}  // namespace burnwell::wire
