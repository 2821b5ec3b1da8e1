#include "tools/burnwell/WindowVerdict.h"

#include "common/ExitStatus.h"
#include "common/Hex.h"
#include "common/OneLine.h"

namespace burnwell {
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
      if (!checksum.empty()) line += " holds checksum " + ChecksumText(checksum);
    }
    return line + "; power-cycle it";
  }
  std::string line =
      "burnwell: not updated: " + std::string(ExitStatusText(static_cast<ExitStatus>(status)));
  if (unit && !unit->error.empty()) line += " (" + OneLine(unit->error) + ")";
  return line;
}

}  // namespace burnwell
