// The commands the tool sends to a bridge: the vendor-specific SCSI commands (bridge
// information, ATA carrier, EEPROM and serial-flash access), INQUIRY and READ(10), and ATA
// IDENTIFY DEVICE through the platform's storage controls.
//
// Every routine builds exactly one request, sends it and returns CommandResult::Ok for success
// and CommandResult::Failed for failure. A failed command records its code in the device layer's
// last-error value, which is never cleared on success. A rejected argument sends nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/DeviceRecord.h"

namespace burnwell::protocol {

using device::DeviceRecord;

// What every command of this file returns.
enum class CommandResult : int { Failed = 0, Ok = 1 };

// The input record of VendorAtaCommand. The 16-bit registers send their low byte only.
struct AtaTaskFile {
  std::uint32_t read = 0;    // nonzero: data flows from the drive to the host
  std::uint32_t length = 0;  // bytes to transfer
  std::uint8_t features = 0;
  std::uint16_t count = 0;
  std::uint16_t lbaLow = 0;
  std::uint16_t lbaMid = 0;
  std::uint16_t lbaHigh = 0;
  std::uint8_t device = 0;
  std::uint8_t command = 0;
};

// Largest data transfer of the EEPROM and SPI commands.
inline constexpr std::uint32_t kMaxShortTransfer = 32;
// The bridge information block: 16 to 512 bytes may be asked for.
inline constexpr std::uint32_t kBridgeInfoMinLength = 16;
inline constexpr std::uint32_t kBridgeInfoMaxLength = 512;
// IDENTIFY DEVICE data, and its text form with the terminating zero byte.
inline constexpr std::size_t kIdentifySize = 512;
inline constexpr std::size_t kIdentifyTextSize = 513;

// The SCSI time-out in seconds of each command kind, from the number of devices in the table.
std::uint32_t ShortCommandTimeout();     // EEPROM and SPI commands
std::uint32_t StandardCommandTimeout();  // INQUIRY, READ(10)
std::uint32_t BridgeInfoTimeout(std::uint32_t multiplier);
std::uint32_t VendorAtaTimeout(std::uint32_t multiplier);
std::uint32_t AtaPassThroughTimeout();

// Vendor-specific commands.
CommandResult ReadBridgeInfo(const DeviceRecord& record, std::uint8_t* destination,
                             std::uint32_t length, std::uint32_t timeoutMultiplier);
CommandResult VendorAtaCommand(const DeviceRecord& record, const AtaTaskFile& taskFile,
                               std::uint8_t* buffer, std::uint32_t bufferLength, std::uint8_t lun,
                               std::uint32_t timeoutMultiplier);
CommandResult EepromWrite(const DeviceRecord& record, std::uint16_t address,
                          const std::uint8_t* source, std::uint32_t length);
CommandResult EepromRead(const DeviceRecord& record, std::uint16_t address,
                         std::uint8_t* destination, std::uint32_t length);
CommandResult SpiChipSelect(const DeviceRecord& record, std::uint32_t select);
CommandResult SpiWrite(const DeviceRecord& record, const std::uint8_t* source,
                       std::uint32_t length);
CommandResult SpiRead(const DeviceRecord& record, std::uint8_t* destination, std::uint32_t length);

// Standard SCSI commands. ScsiRead10 copies back at most the requested length, whatever the
// device reports it transferred.
CommandResult ScsiInquiry(const DeviceRecord& record, std::uint8_t pageCode,
                          std::uint8_t* destination, std::uint32_t length);
CommandResult ScsiRead10(const DeviceRecord& record, std::uint32_t blockAddress,
                         std::uint8_t* destination, std::uint32_t length, std::uint8_t lun);

// ATA IDENTIFY DEVICE through the storage controls. destination holds kIdentifySize bytes,
// or kIdentifyTextSize for IdentifyViaAtaPassThrough without raw (each word's bytes swapped,
// then a zero byte).
CommandResult IdentifyViaAtaPassThrough(const DeviceRecord& record, std::uint8_t* destination,
                                        bool raw);
CommandResult IdentifyViaSmart(const DeviceRecord& record, std::uint8_t* destination);
CommandResult IdentifyViaMiniport(const DeviceRecord& record, std::uint8_t* destination);

// The bridge's identity through five reads at reserved block addresses; bytes 2..5 of the last
// one land in bytes 40..43 of identification (512 bytes).
CommandResult ReadBridgeIdByLba(const DeviceRecord& record, std::uint8_t* identification);

}  // namespace burnwell::protocol
