#include "wire/ScsiRequest.h"

#include <algorithm>

#include "common/Bytes.h"

namespace burnwell::wire {

namespace {

template <typename Header, typename At>
void EachField(Header& h, const At& at) {
  at(spt::Length, h.Length);
  at(spt::ScsiStatus, h.ScsiStatus);
  at(spt::PathId, h.PathId);
  at(spt::TargetId, h.TargetId);
  at(spt::Lun, h.Lun);
  at(spt::CdbLength, h.CdbLength);
  at(spt::SenseInfoLength, h.SenseInfoLength);
  at(spt::DataIn, h.DataIn);
  at(spt::DataTransferLength, h.DataTransferLength);
  at(spt::TimeOutValue, h.TimeOutValue);
  at(spt::DataBufferOffset, h.DataBufferOffset);
  at(spt::SenseInfoOffset, h.SenseInfoOffset);
  at(spt::Cdb, h.Cdb);
}

}  // namespace

ScsiPassThroughHeader DecodePassThroughHeader(std::span<const std::uint8_t> bytes) {
  ScsiPassThroughHeader h;
  EachField(h, FieldReader<ByteOrder::Little>{bytes.data()});
  return h;
}

void EncodePassThroughHeader(const ScsiPassThroughHeader& h, std::span<std::uint8_t> bytes) {
  EachField(h, FieldWriter<ByteOrder::Little>{bytes.data()});
  // The padding after DataIn, up to the 32-bit DataTransferLength.
  std::fill_n(bytes.data() + spt::DataIn + 1, 3, std::uint8_t{0});
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
