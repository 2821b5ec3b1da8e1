// Arbitrary bytes as a profile file: parsing and every read must stay inside the input, end,
// and keep the buffer limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/ProfileFile.h"

namespace {

using burnwell::platform::CutToUtf16Units;
using burnwell::platform::ProfileDocument;

void Check(bool condition) {
  if (!condition) std::abort();
}

void Ask(const ProfileDocument& document, std::string_view section, std::string_view key) {
  for (std::size_t size : {0u, 1u, 8u, 128u}) {
    const std::string value = document.ReadString(section, key, "default", size);
    // The cut never grows a text and always fits the buffer.
    Check(size == 0 ? value.empty() : CutToUtf16Units(value, size - 1).size() == value.size());
  }
  (void)document.ReadInt(section, key, 3);
}

}  // namespace

// Lookups are linear; asking about every name of a many-line input would only slow the search.
constexpr int MAX_QUESTIONS = 16;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ProfileDocument document =
      ProfileDocument::Parse(std::span<const std::uint8_t>(data, size));
  Check(!document.Sections().empty() && document.Sections().front().name.empty());
  int questions = 0;
  for (const auto& section : document.Sections()) {
    Check(section.name.find('\0') == std::string::npos);
    if (questions++ < MAX_QUESTIONS) Ask(document, section.name, "absent");
    for (const auto& entry : section.entries) {
      Check(entry.name.find('\0') == std::string::npos);
      if (entry.value) Check(entry.value->find('\0') == std::string::npos);
      if (questions++ < MAX_QUESTIONS) Ask(document, section.name, entry.name);
    }
  }
  Ask(document, "Configuration", "DevCount");
  Ask(document, "Hex_FileName", "HEXNAME");
  return 0;
}
