#include "app/VersionCheck.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace burnwell::app {

std::string FirmwareVersionText(std::uint32_t version) {
  const auto b3 = static_cast<unsigned char>(version >> 24);
  const auto b2 = static_cast<unsigned char>(version >> 16);
  const auto b1 = static_cast<unsigned char>(version >> 8);
  const auto b0 = static_cast<unsigned char>(version);
  char text[16] = {};
  if (static_cast<signed char>(b1) > 0x12) {
    std::snprintf(text, sizeof text, "%c%c%c%c", b3, b2, b1, b0);
  } else {
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X", b3, b2, b1, b0);
  }
  // A zero byte ends the text, as it would in the character buffer the text is made in.
  return std::string(text);
}

bool VersionTextMatches(const std::string& versionText, const std::string& compareString,
                        int length) {
  if (length <= 0) return true;
  const std::size_t n = static_cast<std::size_t>(length);
  const std::string a = versionText.substr(0, std::min(n, versionText.size()));
  const std::string b = compareString.substr(0, std::min(n, compareString.size()));
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

}  // namespace burnwell::app
