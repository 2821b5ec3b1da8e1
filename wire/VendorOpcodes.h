// The commands the tool sends a bridge, as their CDBs name them: the bridge's vendor commands
// (the maker's vendor ID in CDB bytes 4-5), the standard commands it answers, the ATA command
// carried to the drive behind it, and the reads through which it tells its identity.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/MakerIds.h"

namespace burnwell::wire {

// Operation codes (CDB byte 0): the bridge's vendor commands, then the standard ones it answers.
namespace opcode {
enum : std::uint8_t {
  kBridgeInfo = 0xD0,
  kEepromWrite = 0xD1,
  kEepromRead = 0xD2,
  kSpiSelect = 0xD3,
  kSpiDeselect = 0xD4,
  kSpiWrite = 0xD5,
  kSpiRead = 0xD6,
  kVendorAta = 0xD8,  // one ATA command to the drive
  kTestUnitReady = 0x00,
  kRequestSense = 0x03,
  kInquiry = 0x12,
  kRead10 = 0x28,
};
}  // namespace opcode

// Where a vendor CDB carries the maker's vendor ID (u16, high byte first).
inline constexpr std::size_t kVendorSignatureOffset = 4;

// The vendor ATA command: CDB byte 1 says which way the data goes, byte 14 is the device
// register and byte 15 the ATA command.
inline constexpr std::uint8_t kVendorAtaRead = 0x15;
inline constexpr std::uint8_t kVendorAtaWrite = 0x05;
inline constexpr std::uint8_t kAtaDeviceRegister = 0xA0;
inline constexpr std::uint8_t kAtaIdentifyDevice = 0xEC;

inline constexpr std::uint32_t kBlockSize = 512;

// Identification through ordinary reads, for a host whose disk driver passes nothing else:
// single-block READ(10)s at these addresses, in this order, unlock the block at
// kIdentificationBlock, whose bytes 2-5 are then the bridge's vendor and product IDs.
inline constexpr std::uint32_t kIdentificationBase = 0xFF0000;
inline constexpr std::array<std::uint32_t, 4> kIdentificationSequence = {
    kIdentificationBase + (VID_MAKER >> 8), kIdentificationBase + (VID_MAKER & 0xFF),
    kIdentificationBase + (PID_B >> 8), kIdentificationBase + (PID_B & 0xFF)};
inline constexpr std::uint32_t kIdentificationBlock = 0x600000;

}  // namespace burnwell::wire
