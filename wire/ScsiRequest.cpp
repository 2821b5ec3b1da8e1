#include "wire/ScsiRequest.h"

#include <algorithm>

#include "common/Bytes.h"

namespace burnwell::wire {

ScsiPassThroughHeader DecodePassThroughHeader(std::span<const std::uint8_t> bytes) {
  const std::uint8_t* p = bytes.data();
  ScsiPassThroughHeader h;
  h.Length = LoadLe16(p + spt::Length);
  h.ScsiStatus = p[spt::ScsiStatus];
  h.PathId = p[spt::PathId];
  h.TargetId = p[spt::TargetId];
  h.Lun = p[spt::Lun];
  h.CdbLength = p[spt::CdbLength];
  h.SenseInfoLength = p[spt::SenseInfoLength];
  h.DataIn = p[spt::DataIn];
  h.DataTransferLength = LoadLe32(p + spt::DataTransferLength);
  h.TimeOutValue = LoadLe32(p + spt::TimeOutValue);
  h.DataBufferOffset = LoadLe32(p + spt::DataBufferOffset);
  h.SenseInfoOffset = LoadLe32(p + spt::SenseInfoOffset);
  std::copy_n(p + spt::Cdb, 16, h.Cdb.begin());
  return h;
}

void EncodePassThroughHeader(const ScsiPassThroughHeader& h, std::span<std::uint8_t> bytes) {
  std::uint8_t* p = bytes.data();
  StoreLe16(p + spt::Length, h.Length);
  p[spt::ScsiStatus] = h.ScsiStatus;
  p[spt::PathId] = h.PathId;
  p[spt::TargetId] = h.TargetId;
  p[spt::Lun] = h.Lun;
  p[spt::CdbLength] = h.CdbLength;
  p[spt::SenseInfoLength] = h.SenseInfoLength;
  p[spt::DataIn] = h.DataIn;
  p[spt::DataIn + 1] = p[spt::DataIn + 2] = p[spt::DataIn + 3] = 0;
  StoreLe32(p + spt::DataTransferLength, h.DataTransferLength);
  StoreLe32(p + spt::TimeOutValue, h.TimeOutValue);
  StoreLe32(p + spt::DataBufferOffset, h.DataBufferOffset);
  StoreLe32(p + spt::SenseInfoOffset, h.SenseInfoOffset);
  std::copy(h.Cdb.begin(), h.Cdb.end(), p + spt::Cdb);
}

}  // namespace burnwell::wire
