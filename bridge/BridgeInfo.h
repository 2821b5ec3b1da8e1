// Decoding the bridge information block (wire/BridgeInfoBlock.h) into a device record. Both
// discovery paths and Linux discovery decode it the same way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/DeviceRecord.h"
#include "wire/BridgeInfoBlock.h"

namespace burnwell::bridge {

using wire::kBridgeInfoSize;

inline constexpr std::uint32_t kCodeSizeLarge = 0xB800;
inline constexpr std::uint32_t kCodeSizeSmall = 0x5C00;
inline constexpr std::uint32_t kModeFlagsSpiOrLargeEeprom = 0x10000;
inline constexpr std::uint32_t kModeFlagsSmallEeprom = 0x100;

// Writes VendorId, ProductId, CodeSize, FirmwareVersion, PairMatch, InfoPresent, Byte11Set
// and ModeFlags; every one of them is set, so nothing of an earlier decode survives.
void DecodeBridgeInfo(const std::uint8_t block[kBridgeInfoSize], device::DeviceRecord& record);

}  // namespace burnwell::bridge
