#include "bridge/BridgeNames.h"

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

}  // namespace burnwell::bridge
