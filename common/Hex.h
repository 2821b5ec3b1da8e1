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

// An image checksum as people read it, in every program's human output: four upper-case digits,
// as the updater's dialog shows it ("65DA"). Machine output (JSON, the history) keeps Hex's
// lower case.
inline std::string ChecksumText(std::uint16_t checksum) {
  return Hex(checksum, 4, HexDigits::Upper);
}
// A checksum kept as text (a history row's "65da") shown the same way; other text unchanged.
inline std::string ChecksumText(std::string_view kept) {
  std::string text(kept);
  for (char& c : text)
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
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
