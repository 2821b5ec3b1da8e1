// Discovery's read of a unit's bridge information: one lost answer, or one spoiled on the way,
// must neither hide an attached bridge nor misname it (a vendor ID a safety check then refuses).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "device/DeviceRecord.h"
#include "wire/BridgeInfoBlock.h"

namespace burnwell::bridge {

// The USB device's own vendor and product IDs, where discovery knows them.
struct UsbIds {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
};

// Reads the block into `block`; asks once more when the answer is lost, and reads again an
// answer whose IDs contradict `usb` (the second answer is taken). False when no answer came.
bool ReadIdentification(const device::DeviceRecord& unit,
                        std::span<std::uint8_t, wire::kBridgeInfoSize> block,
                        std::uint32_t timeoutMultiplier, std::optional<UsbIds> usb);

}  // namespace burnwell::bridge
