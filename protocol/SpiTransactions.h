// Serial-flash transactions built from the bridge's select / write / read / deselect commands:
// the chip takes every byte between a select and the next deselect as one command, while the
// bridge moves at most 32 bytes per write or read.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "device/DeviceRecord.h"
#include "protocol/FlashChipTable.h"
#include "protocol/VendorCommands.h"

namespace burnwell::protocol {

// What one transaction moves, in this order; an empty part sends no command. Data and answer
// go in transfers of at most kMaxShortTransfer bytes. Beside each part, the step code its
// failure reports.
struct SpiTransaction {
  std::span<const std::uint8_t> command{};  // opcode, address and dummy bytes: CommandBytes
  std::span<const std::uint8_t> data{};     // bytes to program: ProgramData
  std::span<std::uint8_t> answer{};         // bytes the chip sends back: Read
  // The data follows the command bytes in the same transfers (the first carries the command and
  // as much data as fits) rather than in writes of its own; a failed first transfer reports
  // CommandBytes.
  bool dataJoinsCommand = false;
};

// One transaction: select, the command write, the data writes, the answer reads, deselect.
// StepCode::Ok or the failing step's code; after a failure inside the open transaction the chip
// is deselected (that outcome is ignored).
StepCode RunSpiTransaction(const DeviceRecord& record, const SpiTransaction& transaction);

// A command's bytes as the chip takes them: its opcode, then `value` when given, then zero
// bytes up to the command's length (at least `minimum` bytes, at most kMaxShortTransfer).
class CommandBytes {
 public:
  explicit CommandBytes(const SpiCommand& command, std::size_t minimum = 1);
  CommandBytes(const SpiCommand& command, std::uint8_t value);
  std::span<const std::uint8_t> Bytes() const { return std::span(bytes_).first(length_); }

 private:
  std::array<std::uint8_t, kMaxShortTransfer> bytes_{};
  std::size_t length_ = 1;
};

// An opcode followed by a 24-bit address, high byte first, and one more byte (zero: the dummy
// byte of a fast read, or a first data byte a caller puts there).
std::array<std::uint8_t, 5> AddressedCommand(std::uint8_t opcode, std::uint32_t address);

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
