#include "bridge/BridgeNames.h"

#include "bridge/BridgeInfo.h"

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
  // Linux discovery keeps the USB device's sysfs path, whose last name is the location.
  const std::string_view parent(record.ParentId.data());
  const std::size_t slash = parent.rfind('/');
  const std::string_view last = slash == std::string_view::npos ? parent : parent.substr(slash + 1);
  return LooksLikeLocation(last) ? std::string(last) : std::string();
}

std::string SerialOf(const device::DeviceRecord& record) { return record.SerialNumber.data(); }

const char* MemoryKind(const device::DeviceRecord& record) {
  if (record.InfoPresent == 0) return "none";
  if (record.Byte11Set != 0) return "spi";
  if (record.ModeFlags == bridge::kModeFlagsSpiOrLargeEeprom) return "eeprom-64k";
  if (record.ModeFlags == bridge::kModeFlagsSmallEeprom) return "eeprom-256";
  return "none";
}

}  // namespace burnwell::bridge
