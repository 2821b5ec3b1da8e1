// Numbers and bytes written in hexadecimal, the one way every program and layer writes them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace burnwell {

enum class HexDigits { Lower, Upper };

// `value` with at least `width` digits, zeros in front: Hex(0x7e55, 4) is "7e55".
inline std::string Hex(std::uint64_t value, int width, HexDigits digits = HexDigits::Lower) {
  const char* const set = digits == HexDigits::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), set[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  if (static_cast<int>(text.size()) < width) text.insert(0, width - text.size(), '0');
  return text;
}

// Each byte as two upper-case digits, `separator` between them: "9F C2 20".
inline std::string HexBytes(std::span<const std::uint8_t> bytes, std::string_view separator = " ") {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) text += separator;
    text += Hex(bytes[i], 2, HexDigits::Upper);
  }
  return text;
}

}  // namespace burnwell
