// The portable profile-file reader. It reads a file the way the Windows profile functions do,
// so a Config.ini behaves the same on Linux as on Windows:
// - a UTF-8 byte-order mark is skipped; a UTF-16 file (LE or BE, with its mark) is converted to
//   UTF-8; other files are taken byte for byte;
// - a line ends at CR or at LF; ASCII white space and Ctrl-Z around lines, names and values is
//   dropped;
// - "[name]" starts a section (the name reaches to the last ']', text behind it is ignored); a
//   '[' line without ']' is an ordinary line; lines before the first section belong to a
//   nameless section;
// - "key=value" splits at the first '='; a line without '=' is a key without a value, which
//   reads as the default; ';' has no special meaning (a comment line is a key nobody asks for);
// - names and values end at a NUL byte;
// - the first section with a matching name is the only one searched, and its first matching
//   key wins;
// - one pair of matching quotes (' or ") around a value is removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Profile.h"

namespace burnwell::platform {

// Integer profile values are read from at most this many characters of the value.
inline constexpr std::size_t kProfileIntBufferChars = 30;
// Larger files are read only up to this size.
inline constexpr std::size_t kProfileMaxFileBytes = 16u << 20;

class ProfileDocument {
 public:
  struct Entry {
    std::string name;
    std::optional<std::string> value;  // nothing for a line without '='
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };

  ProfileDocument();  // an empty file
  static ProfileDocument Parse(std::span<const std::uint8_t> bytes);
  static ProfileDocument Parse(std::string_view bytes);
  // Reads the file through the FileSystem seam; a file that cannot be opened or read is empty.
  static ProfileDocument Load(const std::filesystem::path& file);

  // Every section in file order; the first is the nameless one before any "[...]" line.
  const std::vector<Section>& Sections() const { return sections_; }

  // The stored value (quotes still on), or nothing when the section or key is missing or the
  // key has no value.
  const std::string* FindValue(std::string_view section, std::string_view key) const;
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view defaultValue, std::size_t bufferChars) const;
  std::int32_t ReadInt(std::string_view section, std::string_view key,
                       std::int32_t defaultValue) const;

 private:
  std::vector<Section> sections_;
};

// Reads an integer the way the Windows profile does: leading control characters and spaces
// skipped, one sign, then "0x" (hex), "0o" (octal), "0b" (binary) or decimal digits up to the
// first other character; the value wraps modulo 2^32. No digits gives 0.
std::int32_t ParseProfileInteger(std::string_view text);

// Removes one pair of matching single or double quotes around text.
std::string_view StripProfileQuotes(std::string_view text);

// The longest start of UTF-8 text that fits in maxUnits UTF-16 code units, never splitting a
// character. A byte that does not start a valid sequence counts as one unit.
std::string_view CutToUtf16Units(std::string_view text, std::size_t maxUnits);

// The profile reader over files; the system's own on Linux.
class ProfileFileReader final : public Profile {
 public:
  std::string ReadString(const std::filesystem::path& file, std::string_view section,
                         std::string_view key, std::string_view defaultValue,
                         std::size_t bufferChars) override;
  std::int32_t ReadInt(const std::filesystem::path& file, std::string_view section,
                       std::string_view key, std::int32_t defaultValue) override;
};

}  // namespace burnwell::platform
