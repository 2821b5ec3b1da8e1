#include "tools/burnwell/WindowVerdict.h"

#include <algorithm>
#include <cctype>

#include "common/ExitStatus.h"

namespace burnwell {
namespace {

// A dialog text (several lines, a trailing line break) as part of one line.
std::string OneLine(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string WindowVerdict(int status, const std::optional<history::UnitRecord>& unit) {
  if (status == Code(ExitStatus::Success)) {
    std::string line = "burnwell: updated and verified";
    if (unit) {
      const history::BridgeFacts& bridge = unit->bridge;
      line += ": the bridge";
      if (!bridge.usb.empty()) line += " at " + bridge.usb;
      if (!bridge.serial.empty()) line += " (serial " + bridge.serial + ")";
      const std::string checksum =
          unit->flashAfter.empty() ? unit->file.checksum : unit->flashAfter;
      if (!checksum.empty()) line += " holds checksum " + Upper(checksum);
    }
    return line + "; power-cycle it";
  }
  std::string line =
      "burnwell: not updated: " + std::string(ExitStatusText(static_cast<ExitStatus>(status)));
  if (unit && !unit->error.empty()) line += " (" + OneLine(unit->error) + ")";
  return line;
}

}  // namespace burnwell
