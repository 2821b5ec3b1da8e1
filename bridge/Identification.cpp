#include "bridge/Identification.h"

#include <algorithm>

#include "protocol/VendorCommands.h"

namespace burnwell::bridge {
namespace {

bool ReadOnce(const device::DeviceRecord& unit,
              std::span<std::uint8_t, wire::kBridgeInfoSize> block,
              std::uint32_t timeoutMultiplier) {
  return protocol::ReadBridgeInfo(unit, block.data(), static_cast<std::uint32_t>(block.size()),
                                  timeoutMultiplier) == protocol::CommandResult::Ok;
}

bool Contradicts(std::span<const std::uint8_t, wire::kBridgeInfoSize> block, const UsbIds& usb) {
  const wire::BridgeInfo info = wire::DecodeBridgeInfo(block);
  return info.vendorId != usb.vendor || info.productId != usb.product;
}

}  // namespace

bool ReadIdentification(const device::DeviceRecord& unit,
                        std::span<std::uint8_t, wire::kBridgeInfoSize> block,
                        std::uint32_t timeoutMultiplier, std::optional<UsbIds> usb) {
  if (!ReadOnce(unit, block, timeoutMultiplier)) return ReadOnce(unit, block, timeoutMultiplier);
  if (usb && Contradicts(block, *usb)) {
    wire::BridgeInfoBytes again{};
    if (ReadOnce(unit, again, timeoutMultiplier))
      std::copy(again.begin(), again.end(), block.begin());
  }
  return true;
}

}  // namespace burnwell::bridge
