#include "protocol/SpiTransactions.h"

#include <algorithm>
#include <array>

#include "protocol/VendorCommands.h"

namespace burnwell::protocol {

void DeselectAfter(const DeviceRecord& record, int stepCode) {
  if (stepCode == step::kCommandBytes || stepCode == step::kProgramData ||
      stepCode == step::kRead)
    SpiChipSelect(record, 0);
}

int RunSpiTransaction(const DeviceRecord& record, std::span<const std::uint8_t> write,
                      std::span<std::uint8_t> read, int writeFailure) {
  if (!SpiChipSelect(record, 1)) return step::kSelect;
  int code = step::kOk;
  if (!write.empty() &&
      !SpiWrite(record, write.data(), static_cast<std::uint32_t>(write.size())))
    code = writeFailure;
  else if (!read.empty() && !SpiRead(record, read.data(), static_cast<std::uint32_t>(read.size())))
    code = step::kRead;
  if (code != step::kOk) {
    DeselectAfter(record, code);
    return code;
  }
  return EndSpiTransaction(record);
}

int EndSpiTransaction(const DeviceRecord& record) {
  if (SpiChipSelect(record, 0)) return step::kOk;
  SpiChipSelect(record, 0);
  return step::kDeselect;
}

int SendSpiCommand(const DeviceRecord& record, const SpiCommand& command) {
  std::array<std::uint8_t, kMaxShortTransfer> bytes{};
  bytes[0] = command.Opcode();
  const std::size_t length = std::clamp<std::size_t>(command.length, 1, bytes.size());
  return RunSpiTransaction(record, std::span(bytes).first(length), {});
}

}  // namespace burnwell::protocol
