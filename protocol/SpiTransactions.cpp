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

// The command and the first data bytes in one transfer, the rest of the data after it.
StepCode WriteJoined(const DeviceRecord& record, std::span<const std::uint8_t> command,
                     std::span<const std::uint8_t> data) {
  std::array<std::uint8_t, kMaxShortTransfer> first{};
  const std::size_t joined = std::min(data.size(), first.size() - command.size());
  std::copy(command.begin(), command.end(), first.begin());
  std::copy_n(data.begin(), joined, first.begin() + command.size());
  if (!Written(record, std::span(first).first(command.size() + joined)))
    return StepCode::CommandBytes;
  return Written(record, data.subspan(joined)) ? StepCode::Ok : StepCode::ProgramData;
}

// The command and the data, each in writes of its own.
StepCode WriteApart(const DeviceRecord& record, std::span<const std::uint8_t> command,
                    std::span<const std::uint8_t> data) {
  if (!Written(record, command)) return StepCode::CommandBytes;
  return Written(record, data) ? StepCode::Ok : StepCode::ProgramData;
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
  const bool join = transaction.dataJoinsCommand && transaction.command.size() < kMaxShortTransfer;
  StepCode code = join ? WriteJoined(record, transaction.command, transaction.data)
                       : WriteApart(record, transaction.command, transaction.data);
  if (code == StepCode::Ok && !ReadInto(record, transaction.answer)) code = StepCode::Read;
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
