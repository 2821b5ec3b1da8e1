// Serial-flash transactions built from the bridge's select / write / read / deselect commands:
// the chip takes every byte between a select and the next deselect as one command.
#pragma once

#include <cstdint>
#include <span>

#include "device/DeviceRecord.h"
#include "protocol/FlashChipTable.h"

namespace burnwell::protocol {

// One transaction: select, write the bytes (a failed write reports writeFailure), read into
// the destination, deselect. 0 on success or the failing step's code; after a failure inside
// the open transaction the chip is deselected (that outcome is ignored).
int RunSpiTransaction(const DeviceRecord& record, std::span<const std::uint8_t> write,
                      std::span<std::uint8_t> read, int writeFailure = step::kCommandBytes);

// Sends a command without address or value: its opcode followed by zero bytes up to its length.
int SendSpiCommand(const DeviceRecord& record, const SpiCommand& command);

// Deselect as clean-up when a step code says a transaction was left open.
void DeselectAfter(const DeviceRecord& record, int stepCode);

// Ends a transaction: 0, or -63 when the deselect failed. A failed deselect is tried once more
// (outcome ignored): a transaction left open would swallow the next command, so the write
// disable of a clean-up would never reach the chip.
int EndSpiTransaction(const DeviceRecord& record);

}  // namespace burnwell::protocol
