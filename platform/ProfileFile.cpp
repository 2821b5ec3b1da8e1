#include "platform/ProfileFile.h"

#include <algorithm>
#include <array>

#include "platform/FileSystem.h"
#include "platform/Utf8.h"

namespace burnwell::platform {
namespace {

// White space as the profile functions see it: ASCII spaces and Ctrl-Z (an old end-of-file mark).
bool IsProfileSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || c == '\x1a'; }

std::string_view TrimLeft(std::string_view text) {
  while (!text.empty() && IsProfileSpace(text.front())) text.remove_prefix(1);
  return text;
}

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && IsProfileSpace(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view Trim(std::string_view text) { return TrimRight(TrimLeft(text)); }

// Names and values are C strings on Windows: a NUL byte ends them.
std::string_view CutAtNul(std::string_view text) {
  return text.substr(0, std::min(text.find('\0'), text.size()));
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool NamesEqual(std::string_view stored, std::string_view wanted) {
  return stored.size() == wanted.size() &&
         std::equal(stored.begin(), stored.end(), wanted.begin(),
                    [](char a, char b) { return AsciiLower(a) == AsciiLower(b); });
}

// What a caller's section or key name means: C-string, surrounding spaces ignored.
std::string_view QueryName(std::string_view name) { return Trim(CutAtNul(name)); }

void AppendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
    return;
  }
  // A lead byte of as many one bits as the sequence has bytes, then six bits a byte.
  const int following = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
  out += static_cast<char>(((0xFF << (7 - following)) & 0xFF) | (code >> (6 * following)));
  for (int i = following - 1; i >= 0; --i)
    out += static_cast<char>(0x80 | ((code >> (6 * i)) & 0x3F));
}

// UTF-16 text (after its byte-order mark) as UTF-8; unpaired surrogates become U+FFFD and an
// odd last byte is dropped.
std::string Utf16ToUtf8(std::span<const std::uint8_t> bytes, bool bigEndian) {
  std::string out;
  out.reserve(bytes.size() / 2);
  auto unitAt = [&](std::size_t i) -> char16_t {
    std::uint8_t first = bytes[i], second = bytes[i + 1];
    return bigEndian ? static_cast<char16_t>((first << 8) | second)
                     : static_cast<char16_t>((second << 8) | first);
  };
  const std::size_t count = bytes.size() / 2;
  for (std::size_t k = 0; k < count; ++k) {
    char16_t unit = unitAt(2 * k);
    if (unit >= 0xD800 && unit <= 0xDBFF && k + 1 < count) {
      char16_t low = unitAt(2 * (k + 1));
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (char32_t{low} - 0xDC00));
        ++k;
        continue;
      }
    }
    AppendUtf8(out, (unit >= 0xD800 && unit <= 0xDFFF) ? char32_t{0xFFFD} : char32_t{unit});
  }
  return out;
}

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

}  // namespace

ProfileDocument::ProfileDocument() : sections_(1) {}

ProfileDocument ProfileDocument::Parse(std::string_view bytes) {
  return Parse(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                             bytes.size()));
}

ProfileDocument ProfileDocument::Parse(std::span<const std::uint8_t> bytes) {
  std::string converted;
  std::string_view text;
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    converted = Utf16ToUtf8(bytes.subspan(2), false);
    text = converted;
  } else if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
    converted = Utf16ToUtf8(bytes.subspan(2), true);
    text = converted;
  } else {
    text = std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  }

  ProfileDocument document;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find_first_of("\r\n"), text.size());
    std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.empty()) continue;

    if (line.front() == '[') {
      const std::size_t close = line.rfind(']');
      if (close != std::string_view::npos) {
        Section section;
        section.name = std::string(CutAtNul(Trim(line.substr(1, close - 1))));
        document.sections_.push_back(std::move(section));
        continue;
      }
    }
    Entry entry;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      entry.name = std::string(CutAtNul(line));
    } else {
      entry.name = std::string(CutAtNul(TrimRight(line.substr(0, equals))));
      entry.value = std::string(CutAtNul(TrimLeft(line.substr(equals + 1))));
    }
    document.sections_.back().entries.push_back(std::move(entry));
  }
  return document;
}

ProfileDocument ProfileDocument::Load(const std::filesystem::path& file) {
  if (file.empty()) return ProfileDocument();
  std::unique_ptr<ReadableFile> handle = Current<FileSystem>().OpenForRead(file);
  if (!handle) return ProfileDocument();
  std::vector<std::uint8_t> bytes;
  std::array<std::uint8_t, 16384> chunk{};
  while (bytes.size() < kProfileMaxFileBytes) {
    const auto wanted = static_cast<std::uint32_t>(
        std::min<std::size_t>(chunk.size(), kProfileMaxFileBytes - bytes.size()));
    std::uint32_t got = 0;
    // A file that fails half-way is treated like one that cannot be opened: a partly read
    // configuration is worse than the defaults.
    if (!handle->Read(chunk.data(), wanted, &got)) return ProfileDocument();
    if (got == 0) break;
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + std::min(got, wanted));
  }
  return Parse(bytes);
}

const std::string* ProfileDocument::FindValue(std::string_view section,
                                              std::string_view key) const {
  const std::string_view wantedSection = QueryName(section);
  const std::string_view wantedKey = QueryName(key);
  auto found = std::find_if(sections_.begin(), sections_.end(), [&](const Section& candidate) {
    return NamesEqual(candidate.name, wantedSection);
  });
  if (found == sections_.end()) return nullptr;
  for (const Entry& entry : found->entries) {
    if (NamesEqual(entry.name, wantedKey)) return entry.value ? &*entry.value : nullptr;
  }
  return nullptr;
}

std::string ProfileDocument::ReadString(std::string_view section, std::string_view key,
                                        std::string_view defaultValue,
                                        std::size_t bufferChars) const {
  if (bufferChars == 0) return {};
  const std::string* value = FindValue(section, key);
  std::string_view text = value ? StripProfileQuotes(*value) : defaultValue;
  return std::string(CutToUtf16Units(text, bufferChars - 1));
}

std::int32_t ProfileDocument::ReadInt(std::string_view section, std::string_view key,
                                      std::int32_t defaultValue) const {
  const std::string text = ReadString(section, key, "", kProfileIntBufferChars);
  return text.empty() ? defaultValue : ParseProfileInteger(text);
}

std::int32_t ParseProfileInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] != '\0' && static_cast<unsigned char>(text[i]) <= ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  unsigned base = 10;
  if (i + 1 < text.size() && text[i] == '0') {
    switch (text[i + 1]) {
      case 'x': base = 16; break;
      case 'o': base = 8; break;
      case 'b': base = 2; break;
      default: break;
    }
    if (base != 10) i += 2;
  }
  std::uint32_t value = 0;
  for (; i < text.size(); ++i) {
    const int digit = DigitValue(text[i]);
    if (digit >= static_cast<int>(base)) break;
    value = value * base + static_cast<std::uint32_t>(digit);  // wraps, as the system's does
  }
  if (negative) value = 0u - value;
  return static_cast<std::int32_t>(value);
}

std::string_view StripProfileQuotes(std::string_view text) {
  if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
      text.back() == text.front()) {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

std::string_view CutToUtf16Units(std::string_view text, std::size_t maxUnits) {
  std::size_t bytes = 0, units = 0;
  while (bytes < text.size()) {
    std::size_t length = Utf8SequenceLength(text.substr(bytes));
    const std::size_t needed = length == 4 ? 2 : 1;
    if (length == 0) length = 1;
    if (units + needed > maxUnits) break;
    units += needed;
    bytes += length;
  }
  return text.substr(0, bytes);
}

std::string ProfileFileReader::ReadString(const std::filesystem::path& file,
                                          std::string_view section, std::string_view key,
                                          std::string_view defaultValue, std::size_t bufferChars) {
  return ProfileDocument::Load(file).ReadString(section, key, defaultValue, bufferChars);
}

std::int32_t ProfileFileReader::ReadInt(const std::filesystem::path& file, std::string_view section,
                                        std::string_view key, std::int32_t defaultValue) {
  return ProfileDocument::Load(file).ReadInt(section, key, defaultValue);
}

}  // namespace burnwell::platform
