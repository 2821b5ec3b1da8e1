#include "protocol/SpiTransactions.h"

#include <algorithm>
#include <array>

#include "protocol/VendorCommands.h"

namespace burnwell::protocol {
namespace {

// One write of a transaction: nothing to do for no bytes.
bool Written(const DeviceRecord& record, std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return true;
  return SpiWrite(record, bytes.data(), static_cast<std::uint32_t>(bytes.size())) ==
         CommandResult::Ok;
}

}  // namespace

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
  else if (!transaction.answer.empty() &&
           SpiRead(record, transaction.answer.data(),
                   static_cast<std::uint32_t>(transaction.answer.size())) != CommandResult::Ok)
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
  std::array<std::uint8_t, kMaxShortTransfer> bytes{};
  bytes[0] = command.Opcode();
  const std::size_t length = std::clamp<std::size_t>(command.length, 1, bytes.size());
  return RunSpiTransaction(record, {.command = std::span(bytes).first(length)});
}

}  // namespace burnwell::protocol
