#include "bridge/BridgeNames.h"

#include "common/Hex.h"
#include "device/BridgeInfo.h"

namespace burnwell::bridge {

bool LooksLikeLocation(std::string_view text) {
  const std::size_t dash = text.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash + 1 == text.size()) return false;
  bool digitBefore = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      digitBefore = true;
    } else if ((c == '.' && i > dash) || i == dash) {
      if (!digitBefore) return false;
      digitBefore = false;
    } else {
      return false;
    }
  }
  return digitBefore;
}

std::string UsbLocation(const device::DeviceRecord& record) {
  const std::string location(record.UsbLocation.data());
  return LooksLikeLocation(location) ? location : std::string();
}

std::string SerialOf(const device::DeviceRecord& record) { return record.SerialNumber.data(); }

const char* MemoryKind(const device::DeviceRecord& record) {
  if (record.InfoPresent == 0) return "none";
  if (record.Byte11Set != 0) return "spi";
  if (record.ModeFlags == device::kModeFlagsSpiOrLargeEeprom) return "eeprom-64k";
  if (record.ModeFlags == device::kModeFlagsSmallEeprom) return "eeprom-256";
  return "none";
}

std::string MemoryWords(const device::DeviceRecord& record) {
  const std::string kind = MemoryKind(record);
  if (kind == "eeprom-256") return "EEPROM 256 bytes";
  if (kind == "eeprom-64k") return "EEPROM 64 KiB";
  if (kind == "spi") return "serial flash";
  return "no firmware memory reported";
}

std::string BridgeLine(int index, const device::DeviceRecord& record) {
  const std::string location = UsbLocation(record);
  return "#" + std::to_string(index) + " serial=" + SerialOf(record) +
         " usb=" + (location.empty() ? std::string("-") : location) + " " +
         Hex(record.VendorId, 4) + ":" + Hex(record.ProductId, 4);
}

}  // namespace burnwell::bridge
