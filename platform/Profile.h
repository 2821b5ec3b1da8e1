// Reading settings from profile (INI) files: sections in square brackets, key=value lines.
// Texts are UTF-8; the file is named by a path relative to the working directory or absolute.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/Seam.h"

namespace burnwell::platform {

class Profile {
 public:
  virtual ~Profile() = default;
  // The value of key in the first section named section (names compared without regard to
  // case), else defaultValue; cut to bufferChars - 1 characters (UTF-16 units, never splitting
  // a character), so a buffer of 0 or 1 gives "". A missing file gives the default.
  virtual std::string ReadString(const std::filesystem::path& file, std::string_view section,
                                 std::string_view key, std::string_view defaultValue,
                                 std::size_t bufferChars) = 0;
  // The value read as an integer (sign, then a 0x / 0o / 0b prefix or decimal, up to the first
  // other character, wrapping at 32 bits); defaultValue when the key is missing or empty.
  virtual std::int32_t ReadInt(const std::filesystem::path& file, std::string_view section,
                               std::string_view key, std::int32_t defaultValue) = 0;
};

template <>
Profile& SystemInstance<Profile>();

}  // namespace burnwell::platform
