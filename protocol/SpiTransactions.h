// Serial-flash transactions built from the bridge's select / write / read / deselect commands:
// the chip takes every byte between a select and the next deselect as one command.
#pragma once

#include <cstdint>
#include <span>

#include "device/DeviceRecord.h"
#include "protocol/FlashChipTable.h"

namespace burnwell::protocol {

// What one transaction moves, in this order; an empty part sends no command. Beside each part,
// the step code its failure reports.
struct SpiTransaction {
  std::span<const std::uint8_t> command{};  // opcode, address and dummy bytes: CommandBytes
  std::span<const std::uint8_t> data{};     // bytes to program, a write of its own: ProgramData
  std::span<std::uint8_t> answer{};         // bytes the chip sends back: Read
};

// One transaction: select, the command write, the data write, the answer read, deselect.
// StepCode::Ok or the failing step's code; after a failure inside the open transaction the chip
// is deselected (that outcome is ignored).
StepCode RunSpiTransaction(const DeviceRecord& record, const SpiTransaction& transaction);

// Sends a command without address or value: its opcode followed by zero bytes up to its length.
StepCode SendSpiCommand(const DeviceRecord& record, const SpiCommand& command);

// Deselect as clean-up when a step code says a transaction was left open, tried once more
// when refused (as EndSpiTransaction does; the outcome is ignored).
void DeselectAfter(const DeviceRecord& record, StepCode code);

// Ends a transaction: Ok, or Deselect when the deselect failed. A failed deselect is tried once
// more (outcome ignored): a transaction left open would swallow the next command, so the write
// disable of a clean-up would never reach the chip.
StepCode EndSpiTransaction(const DeviceRecord& record);

}  // namespace burnwell::protocol
