// The bridge information block (the 16-byte answer of ReadBridgeInfo) and its decoding into
// a device record. Both discovery paths and Linux discovery decode it the same way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/DeviceRecord.h"

namespace burnwell::device {

inline constexpr std::size_t kBridgeInfoSize = 16;

// Byte offsets in the block (multi-byte values high byte first).
namespace bridge_info {
inline constexpr std::size_t VendorId = 0;         // u16
inline constexpr std::size_t ProductId = 2;        // u16
inline constexpr std::size_t FirmwareVersion = 4;  // u32
inline constexpr std::size_t PairFirst = 8;        // u16, compared with PairSecond
inline constexpr std::size_t Mode = 10;            // EEPROM kind: 0 none, 1 256 bytes, 2 64 KiB
inline constexpr std::size_t Flag = 11;            // nonzero: a serial flash is attached
inline constexpr std::size_t PairSecond = 12;      // u16
}  // namespace bridge_info
static_assert(bridge_info::PairSecond + 2 <= kBridgeInfoSize);

inline constexpr std::uint32_t kCodeSizeLarge = 0xB800;
inline constexpr std::uint32_t kCodeSizeSmall = 0x5C00;
inline constexpr std::uint32_t kModeFlagsSpiOrLargeEeprom = 0x10000;
inline constexpr std::uint32_t kModeFlagsSmallEeprom = 0x100;

// Writes VendorId, ProductId, CodeSize, FirmwareVersion, PairMatch, InfoPresent, Byte11Set
// and ModeFlags; every one of them is set, so nothing of an earlier decode survives.
void DecodeBridgeInfo(const std::uint8_t block[kBridgeInfoSize], DeviceRecord& record);

}  // namespace burnwell::device
