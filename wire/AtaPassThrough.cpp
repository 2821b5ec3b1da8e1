#include "wire/AtaPassThrough.h"

#include <algorithm>

#include "common/Bytes.h"

namespace burnwell::wire {

namespace {

template <typename Header, typename At>
void EachField(Header& h, const At& at) {
  at(apt::Length, h.Length);
  at(apt::AtaFlags, h.AtaFlags);
  at(apt::PathId, h.PathId);
  at(apt::TargetId, h.TargetId);
  at(apt::Lun, h.Lun);
  at(apt::ReservedAsUchar, h.ReservedAsUchar);
  at(apt::DataTransferLength, h.DataTransferLength);
  at(apt::TimeOutValue, h.TimeOutValue);
  at(apt::ReservedAsUlong, h.ReservedAsUlong);
  at(apt::DataBufferOffset, h.DataBufferOffset);
  at(apt::PreviousTaskFile, h.PreviousTaskFile);
  at(apt::CurrentTaskFile, h.CurrentTaskFile);
}

}  // namespace

AtaPassThroughHeader DecodeAtaPassThroughHeader(std::span<const std::uint8_t> bytes) {
  AtaPassThroughHeader h;
  EachField(h, FieldReader<ByteOrder::Little>{bytes.data()});
  return h;
}

void EncodeAtaPassThroughHeader(const AtaPassThroughHeader& h, std::span<std::uint8_t> bytes) {
  EachField(h, FieldWriter<ByteOrder::Little>{bytes.data()});
}

}  // namespace burnwell::wire
