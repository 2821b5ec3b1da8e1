#include "sim/Faults.h"

#include <limits>

#include "common/CommandLine.h"

namespace burnwell::sim {
namespace {

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(separator, start);
    parts.push_back(
        text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) break;
    start = at + 1;
  }
  return parts;
}

}  // namespace

std::optional<FaultPlan> ParseFaultPlan(std::string_view planText, std::string* error) {
  FaultPlan plan;
  auto fail = [&](std::string message) -> std::optional<FaultPlan> {
    if (error) *error = std::move(message);
    return std::nullopt;
  };
  if (planText.empty()) return plan;
  for (std::string_view item : Split(planText, ',')) {
    const auto fields = Split(item, ':');
    const std::string_view name = fields[0];
    const std::string itemText(item);
    auto kindFrom = [&](std::size_t index, FailureKind* kind) {
      if (fields.size() <= index) return true;
      if (fields.size() == index + 1 && fields[index] == "check") {
        *kind = FailureKind::CheckCondition;
        return true;
      }
      if (fields.size() == index + 1 && fields[index] == "transport") return true;
      return false;
    };
    if (name == "drop-writes" || name == "stuck-busy" || name == "forget-marker") {
      if (fields.size() != 1) return fail("fault '" + itemText + "' takes no argument");
      if (name == "drop-writes") plan.dropWrites = true;
      if (name == "stuck-busy") plan.stuckBusy = true;
      if (name == "forget-marker") plan.forgetMarker = true;
      continue;
    }
    if (fields.size() < 2) return fail("fault '" + itemText + "' needs a number");
    const auto number = cli::ParseNumber(fields[1], std::numeric_limits<std::uint64_t>::max());
    if (!number)
      return fail("fault '" + itemText + "': '" + std::string(fields[1]) + "' is not a number");
    if (name == "fail") {
      FailureKind kind = FailureKind::Transport;
      if (*number == 0) return fail("fault '" + itemText + "': commands count from 1");
      if (!kindFrom(2, &kind))
        return fail("fault '" + itemText + "': expected ':check' or ':transport'");
      plan.failCommands.push_back({*number, kind});
    } else if (name == "fail-opcode") {
      FailureKind kind = FailureKind::Transport;
      if (*number > 0xFF) return fail("fault '" + itemText + "': an operation code is one byte");
      if (!kindFrom(2, &kind))
        return fail("fault '" + itemText + "': expected ':check' or ':transport'");
      plan.failOpcodes.push_back({static_cast<std::uint8_t>(*number), kind});
    } else if (name == "corrupt-read" || name == "disconnect") {
      if (fields.size() != 2) return fail("fault '" + itemText + "' takes one number");
      if (name == "corrupt-read") {
        if (*number == 0) return fail("fault '" + itemText + "': reads count from 1");
        plan.corruptReads.push_back(*number);
      } else {
        plan.disconnectAfter = *number;
      }
    } else {
      return fail("unknown fault '" + std::string(name) + "'");
    }
  }
  return plan;
}

std::string_view FaultPlanHelp() {
  return "  PLAN is a comma-separated list of:\n"
         "    fail:N[:check]          the N-th SCSI command (from 1) is lost by the transport,\n"
         "                            or with :check ends in CHECK CONDITION\n"
         "    fail-opcode:OP[:check]  every command with operation code OP fails likewise\n"
         "    corrupt-read:N          the N-th command returning data has its first byte inverted\n"
         "    drop-writes             flash programs and EEPROM writes succeed but store nothing\n"
         "    stuck-busy              the flash chip stays busy for ever\n"
         "    forget-marker           the memory does not keep bytes 11..13\n"
         "    disconnect:N            after N commands every command fails\n"
         "  N and OP are decimal or 0x-hexadecimal, e.g. --fault "
         "fail-opcode:0xD6:check,disconnect:500\n";
}

}  // namespace burnwell::sim
