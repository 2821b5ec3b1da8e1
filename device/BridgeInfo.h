// What discovery learns of a bridge from its information block (wire/BridgeInfoBlock.h), as
// the device record keeps it. Every discovery path, and the emulator's test fixture, decodes
// the block this way.
#pragma once

#include <cstdint>

#include "device/DeviceRecord.h"
#include "wire/BridgeInfoBlock.h"

namespace burnwell::device {

using wire::kBridgeInfoSize;

inline constexpr std::uint32_t kModeFlagsSpiOrLargeEeprom = 0x10000;
inline constexpr std::uint32_t kModeFlagsSmallEeprom = 0x100;

// Writes VendorId, ProductId, CodeSize, FirmwareVersion, PairMatch, InfoPresent, Byte11Set
// and ModeFlags; every one of them is set, so nothing of an earlier decode survives.
void DecodeBridgeInfo(const std::uint8_t block[kBridgeInfoSize], DeviceRecord& record);

}  // namespace burnwell::device
