// Switching write protection, erasing, reading and programming the bridge's firmware memory:
// a serial flash driven command by command, or an I2C EEPROM the bridge reads and writes
// itself. Progress goes to a caller's window as progress-bar messages (message number 0) or as
// progress notices of the caller's own message number.
#pragma once

#include <cstdint>

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
StepCode SetWriteEnable(const DeviceRecord& record, std::uint32_t chip, int enable);
StepCode ReadStatusRegister(const DeviceRecord& record, std::uint8_t* destination,
                            std::uint32_t chip);
StepCode WriteStatusRegister(const DeviceRecord& record, std::uint8_t value, std::uint32_t chip);
StepCode SetFlashProtection(const DeviceRecord& record, std::uint32_t chip, int protect);
StepCode SpiChipErase(const DeviceRecord& record, std::uint32_t chip, WindowHandle window,
                      std::uint32_t message);
StepCode SpiReadFlash(const DeviceRecord& record, std::uint8_t* destination, std::uint32_t offset,
                      std::uint32_t length, std::uint32_t chip, WindowHandle window,
                      std::uint32_t message);
StepCode SpiProgramFlash(const DeviceRecord& record, const std::uint8_t* source,
                         std::uint32_t offset, std::uint32_t length, std::uint32_t chip,
                         WindowHandle window, std::uint32_t message);

// The four operations. The window may be 0 (no progress).
FlashResult FlashIcpSwitch(DeviceRecord record, std::uint32_t mode);
FlashResult FlashErase(DeviceRecord record, WindowHandle window, std::uint32_t message);
FlashResult FlashRead(DeviceRecord record, std::uint8_t* destination, std::uint32_t offset,
                      std::uint32_t length, WindowHandle window, std::uint32_t message);
FlashResult FlashWrite(DeviceRecord record, const std::uint8_t* source, std::uint32_t offset,
                       std::uint32_t length, WindowHandle window, std::uint32_t message);

}  // namespace burnwell::protocol
