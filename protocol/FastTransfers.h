// Fast transfers on a serial flash: a chip takes every byte between select and deselect as one
// command, so a page program can carry a whole page and a read can run on for kilobytes while
// the bridge moves 32 bytes per command. Fast mode programs a page per transaction (write
// enable, the program with its command bytes in the first transfer, then a wait of the chip's
// own program time; the chip clears its write-enable latch itself) and reads 4 KiB per
// transaction with no status poll between runs; the auto-increment chip keeps one program
// sequence going for the whole write. An EEPROM is unchanged: the bridge writes it itself, a
// page per command.
//
// The operations' original entry points (FlashRead, FlashWrite, SpiReadFlash,
// SpiProgramFlash) stay the classic 32-byte pieces; the overloads below take a TransferMode.
#pragma once

#include <cstdint>

#include "protocol/FlashOperations.h"
#include "protocol/TransferMode.h"

namespace burnwell::protocol {

// Bytes one fast read transaction carries.
inline constexpr std::uint32_t kFastReadRun = 4096;

// The mode an operation on the record runs in when `requested` is asked for: a serial flash
// runs what was asked; an EEPROM always moves in the bridge's own pieces (Classic).
TransferMode TransferModeUsed(const DeviceRecord& record, TransferMode requested);

// Fast forms of SpiReadFlash and SpiProgramFlash: same arguments, results, step codes,
// clean-up and progress notices, at a coarser grain. Progress-bar messages: PBM_SETRANGE 0 to
// the number of transactions of the pass (read runs, or page pieces; for the auto-increment
// chip, 32-byte steps of its one sequence), one PBM_STEPIT after each, so the bar ends full.
// Notices: the percent of the start of the run or page piece just finished.
StepCode SpiReadFlashFast(const DeviceRecord& record, std::uint8_t* destination,
                          std::uint32_t offset, std::uint32_t length, std::uint32_t chip,
                          WindowHandle window, std::uint32_t message);
StepCode SpiProgramFlashFast(const DeviceRecord& record, const std::uint8_t* source,
                             std::uint32_t offset, std::uint32_t length, std::uint32_t chip,
                             WindowHandle window, std::uint32_t message);

// Waits out a busy period that `time` gives: sleeps the typical time (to the nearest
// millisecond) before the first status poll, then polls every quarter of it (at least every
// millisecond) and gives up, with WaitReady, once the sleeps have passed the maximal time. How
// many polls that takes depends on the chip's times alone, never on how fast the bridge
// answers: at most MaxBusyPolls(time).
StepCode WaitBusyTime(const DeviceRecord& record, const BusyTime& time);
int MaxBusyPolls(const BusyTime& time);

// FlashRead and FlashWrite with a transfer mode. Classic is exactly the six-argument forms.
// When `used` is given it receives the mode the operation ran in (TransferModeUsed), whatever
// the outcome.
FlashResult FlashRead(DeviceRecord record, std::uint8_t* destination, std::uint32_t offset,
                      std::uint32_t length, WindowHandle window, std::uint32_t message,
                      TransferMode mode, TransferMode* used = nullptr);
FlashResult FlashWrite(DeviceRecord record, const std::uint8_t* source, std::uint32_t offset,
                       std::uint32_t length, WindowHandle window, std::uint32_t message,
                       TransferMode mode, TransferMode* used = nullptr);

}  // namespace burnwell::protocol
