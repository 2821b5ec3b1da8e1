// Switching write protection, erasing, reading and programming the bridge's firmware memory:
// a serial flash driven command by command, or an I2C EEPROM the bridge reads and writes
// itself. Progress goes to a caller's window as progress-bar messages (message number 0) or as
// progress notices of the caller's own message number.
#pragma once

#include <cstdint>
#include <span>

#include "device/DeviceRecord.h"
#include "platform/WindowMessages.h"
#include "protocol/FlashChipTable.h"

namespace burnwell::protocol {

using device::DeviceRecord;
using platform::WindowHandle;

// Results of the four operations.
enum class FlashResult : int {
  Ok = 0,
  FlashNotIdentified = -68,
  EraseFailed = -91,
  ProgramFailed = -92,
  ReadFailed = -93,
  ProtectFailed = -95,
  UnprotectFailed = -96,
  DeviceNotInTable = -111,
};
// The code where it leaves the program: the device API's return value, a failure notice.
constexpr int Code(FlashResult result) { return static_cast<int>(result); }

// Phase of a progress notice (low half of wParam).
enum class ProgressPhase : std::uint16_t {
  Reading = 0,
  Programming = 1,
  Erasing = 4,
  ReadingFailed = 0x0B,
  ProgrammingFailed = 0x0C,
  ErasingFailed = 0x0F,
};

// The span an EEPROM erase clears, whatever the memory's size.
inline constexpr std::uint32_t kEepromEraseSpan = 0x7000;
// Transfer size of a serial-flash piece.
inline constexpr std::uint32_t kSpiPieceSize = 32;
// The program page of the page-program chips: one program command never crosses its end.
inline constexpr std::uint32_t kProgramPageSize = 256;

// The EEPROM piece size: 32 bytes for memories larger than 256 bytes, else 8.
std::uint32_t EepromPieceSize(std::uint32_t modeFlags);

// The position in the DeviceTable of the entry with the record's Handle, or -1.
int FindDeviceIndex(const DeviceRecord& record);

// Posts one progress notice: wParam = device index << 16 | phase; lParam = low 16 bits of the
// error code << 16 | percent.
void PostProgress(WindowHandle window, std::uint32_t message, std::uint32_t deviceIndex,
                  ProgressPhase phase, int errorCode, std::uint32_t percent);

// Serial-flash routines: StepCode::Ok or the failing step's code, the clean-up already done.
// The routines that report progress return StepCode::DeviceNotInTable, sending nothing, when a
// notice is asked for and the device is not in the table.
StepCode SetWriteEnable(const DeviceRecord& record, std::uint32_t chip, bool enable);
StepCode ReadStatusRegister(const DeviceRecord& record, std::uint8_t* destination,
                            std::uint32_t chip);
StepCode WriteStatusRegister(const DeviceRecord& record, std::uint8_t value, std::uint32_t chip);
StepCode SetFlashProtection(const DeviceRecord& record, std::uint32_t chip, bool protect);
StepCode SpiChipErase(const DeviceRecord& record, std::uint32_t chip, WindowHandle window,
                      std::uint32_t message);
StepCode SpiReadFlash(const DeviceRecord& record, std::uint8_t* destination, std::uint32_t offset,
                      std::uint32_t length, std::uint32_t chip, WindowHandle window,
                      std::uint32_t message);
StepCode SpiProgramFlash(const DeviceRecord& record, const std::uint8_t* source,
                         std::uint32_t offset, std::uint32_t length, std::uint32_t chip,
                         WindowHandle window, std::uint32_t message);

// --- The pieces the classic and the fast passes share ------------------------------------------

// Clean-up after a failed step of a routine that may leave the write-enable latch set: write
// disable after any step from write enable to the ready wait (outcome ignored).
void WriteDisableAfter(const DeviceRecord& record, std::uint32_t chip, StepCode code);

// A wait for the chip to become ready, given the command's poll interval in milliseconds.
using ReadyWait = StepCode (*)(const DeviceRecord& record, std::uint32_t pollMs);
// One page-program piece: write enable, the command and the data in one transaction, `wait`
// with the program's poll, write disable.
StepCode ProgramPage(const DeviceRecord& record, std::uint32_t chip, std::uint32_t address,
                     std::span<const std::uint8_t> data, ReadyWait wait);

// The auto-increment program (entry 6): write enable, then the opcode with the address and the
// first byte in one transaction; each further byte goes with the opcode in a transaction of
// its own (the chip programs a byte when chip select rises). Write disable ends the mode.
StepCode StartAutoIncrement(const DeviceRecord& record, std::uint32_t chip, std::uint32_t address,
                            std::uint8_t first);
StepCode ContinueAutoIncrement(const DeviceRecord& record, std::uint32_t chip, std::uint8_t next);

// The result of an operation from the outcome of its serial-flash routine.
FlashResult SpiOutcome(StepCode code, FlashResult failure);

// How a read pass is cut: runs of `run` bytes, each one transaction with the chip's read
// command, followed by a ready wait when `waitAfterRun`; the progress bar counts barSteps.
struct ReadPass {
  std::uint32_t run = 0;
  std::uint32_t barSteps = 0;
  bool waitAfterRun = true;
};
// SpiReadFlash's loop, with its progress and failure notices, for any pass.
StepCode SpiReadPass(const DeviceRecord& record, std::uint8_t* destination, std::uint32_t offset,
                     std::uint32_t length, std::uint32_t chip, WindowHandle window,
                     std::uint32_t message, const ReadPass& pass);

// Programs one piece at an address: Ok or the failing step's code (clean-up left to the pass).
using PieceProgram = StepCode (*)(const DeviceRecord& record, std::uint32_t chip,
                                  std::uint32_t address, std::span<const std::uint8_t> data);
// How a program pass is cut: pieces of at most `piece` bytes, never across the end of a
// `page` (0: no page); the progress bar counts barSteps.
struct ProgramPass {
  std::uint32_t piece = 0;
  std::uint32_t page = 0;
  std::uint32_t barSteps = 0;
  PieceProgram program = nullptr;
};
// SpiProgramFlash's loop, with its clean-up, progress and failure notices, for any pass.
StepCode SpiProgramPass(const DeviceRecord& record, const std::uint8_t* source,
                        std::uint32_t offset, std::uint32_t length, std::uint32_t chip,
                        WindowHandle window, std::uint32_t message, const ProgramPass& pass);

// The four operations. The window may be 0 (no progress).
FlashResult FlashIcpSwitch(DeviceRecord record, std::uint32_t mode);
FlashResult FlashErase(DeviceRecord record, WindowHandle window, std::uint32_t message);
FlashResult FlashRead(DeviceRecord record, std::uint8_t* destination, std::uint32_t offset,
                      std::uint32_t length, WindowHandle window, std::uint32_t message);
FlashResult FlashWrite(DeviceRecord record, const std::uint8_t* source, std::uint32_t offset,
                       std::uint32_t length, WindowHandle window, std::uint32_t message);

}  // namespace burnwell::protocol
