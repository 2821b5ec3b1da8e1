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
  std::copy_n(p + spt::Cdb, kMaxCdbLength, h.Cdb.begin());
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

ScsiPassThroughHeader HeaderFor(const ScsiCommand& command) {
  ScsiPassThroughHeader h;
  h.Length = static_cast<std::uint16_t>(kPassThroughHeaderSize);
  h.PathId = 0;
  h.TargetId = command.targetId;
  h.Lun = command.lun;
  h.CdbLength = command.cdbLength;
  h.SenseInfoLength = static_cast<std::uint8_t>(kSenseSize);
  h.DataIn = static_cast<std::uint8_t>(command.direction);
  h.DataTransferLength = command.transferLength;
  h.TimeOutValue = command.timeoutSeconds;
  h.DataBufferOffset = static_cast<std::uint32_t>(kDataOffset);
  h.SenseInfoOffset = static_cast<std::uint32_t>(kSenseOffset);
  h.Cdb = command.cdb;
  return h;
}

}  // namespace burnwell::wire
