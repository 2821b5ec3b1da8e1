#include "protocol/SpiTransactions.h"

#include <algorithm>

namespace burnwell::protocol {
namespace {

// Writes the bytes in transfers of at most kMaxShortTransfer; nothing to do for no bytes.
bool Written(const DeviceRecord& record, std::span<const std::uint8_t> bytes) {
  for (std::size_t done = 0; done < bytes.size(); done += kMaxShortTransfer) {
    const auto n =
        static_cast<std::uint32_t>(std::min<std::size_t>(kMaxShortTransfer, bytes.size() - done));
    if (SpiWrite(record, bytes.data() + done, n) != CommandResult::Ok) return false;
  }
  return true;
}

// Reads the bytes in transfers of at most kMaxShortTransfer; the chip streams them for as
// long as the selection lasts.
bool ReadInto(const DeviceRecord& record, std::span<std::uint8_t> bytes) {
  for (std::size_t done = 0; done < bytes.size(); done += kMaxShortTransfer) {
    const auto n =
        static_cast<std::uint32_t>(std::min<std::size_t>(kMaxShortTransfer, bytes.size() - done));
    if (SpiRead(record, bytes.data() + done, n) != CommandResult::Ok) return false;
  }
  return true;
}

}  // namespace

CommandBytes::CommandBytes(const SpiCommand& command, std::size_t minimum)
    : length_(std::clamp<std::size_t>(command.length, std::max<std::size_t>(minimum, 1),
                                      kMaxShortTransfer)) {
  bytes_[0] = command.Opcode();
}

CommandBytes::CommandBytes(const SpiCommand& command, std::uint8_t value)
    : CommandBytes(command, std::size_t{2}) {
  bytes_[1] = value;
}

std::array<std::uint8_t, 5> AddressedCommand(std::uint8_t opcode, std::uint32_t address) {
  return {opcode, static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
          static_cast<std::uint8_t>(address), 0};
}

void DeselectAfter(const DeviceRecord& record, StepCode code) {
  if (code == StepCode::CommandBytes || code == StepCode::ProgramData || code == StepCode::Read)
    EndSpiTransaction(record);
}

StepCode RunSpiTransaction(const DeviceRecord& record, const SpiTransaction& transaction) {
  if (SpiChipSelect(record, 1) != CommandResult::Ok) return StepCode::Select;
  StepCode code = StepCode::Ok;
  if (!Written(record, transaction.command))
    code = StepCode::CommandBytes;
  else if (!Written(record, transaction.data))
    code = StepCode::ProgramData;
  else if (!ReadInto(record, transaction.answer))
    code = StepCode::Read;
  if (code != StepCode::Ok) {
    DeselectAfter(record, code);
    return code;
  }
  return EndSpiTransaction(record);
}

StepCode EndSpiTransaction(const DeviceRecord& record) {
  if (SpiChipSelect(record, 0) == CommandResult::Ok) return StepCode::Ok;
  SpiChipSelect(record, 0);
  return StepCode::Deselect;
}

StepCode SendSpiCommand(const DeviceRecord& record, const SpiCommand& command) {
  const CommandBytes bytes(command);
  return RunSpiTransaction(record, {.command = bytes.Bytes()});
}

}  // namespace burnwell::protocol
