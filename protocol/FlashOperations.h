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
namespace result {
inline constexpr int kOk = 0;
inline constexpr int kFlashNotIdentified = -68;
inline constexpr int kEraseFailed = -91;
inline constexpr int kProgramFailed = -92;
inline constexpr int kReadFailed = -93;
inline constexpr int kProtectFailed = -95;
inline constexpr int kUnprotectFailed = -96;
inline constexpr int kDeviceNotInTable = -111;
}  // namespace result

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
inline constexpr std::uint32_t EEPROM_ERASE_SPAN = 0x7000;
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

// Serial-flash routines: 0 on success or the failing step's code, the clean-up already done.
// The routines that report progress return result::kDeviceNotInTable, sending nothing, when a
// notice is asked for and the device is not in the table.
int SetWriteEnable(const DeviceRecord& record, std::uint32_t chip, int enable);
int ReadStatusRegister(const DeviceRecord& record, std::uint8_t* destination, std::uint32_t chip);
int WriteStatusRegister(const DeviceRecord& record, std::uint8_t value, std::uint32_t chip);
int SetFlashProtection(const DeviceRecord& record, std::uint32_t chip, int protect);
int SpiChipErase(const DeviceRecord& record, std::uint32_t chip, WindowHandle window,
                 std::uint32_t message);
int SpiReadFlash(const DeviceRecord& record, std::uint8_t* destination, std::uint32_t offset,
                 std::uint32_t length, std::uint32_t chip, WindowHandle window,
                 std::uint32_t message);
int SpiProgramFlash(const DeviceRecord& record, const std::uint8_t* source, std::uint32_t offset,
                    std::uint32_t length, std::uint32_t chip, WindowHandle window,
                    std::uint32_t message);

// The four operations. The window may be 0 (no progress). Each returns 0 or a result code.
int FlashIcpSwitch(DeviceRecord record, std::uint32_t mode);
int FlashErase(DeviceRecord record, WindowHandle window, std::uint32_t message);
int FlashRead(DeviceRecord record, std::uint8_t* destination, std::uint32_t offset,
              std::uint32_t length, WindowHandle window, std::uint32_t message);
int FlashWrite(DeviceRecord record, const std::uint8_t* source, std::uint32_t offset,
               std::uint32_t length, WindowHandle window, std::uint32_t message);

}  // namespace burnwell::protocol
