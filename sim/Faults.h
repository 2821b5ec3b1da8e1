// Faults the emulated bridge can be told to show, given in code or as a text plan:
//
//   PLAN  := ITEM { "," ITEM }
//   ITEM  := "fail:" N [":check"]           the N-th SCSI command (1-based) fails: by default
//                                            the transport loses it (the I/O control fails);
//                                            with ":check" it ends in CHECK CONDITION
//          | "fail-opcode:" OP [":check"]    every command with that operation code fails so
//          | "corrupt-read:" N               the N-th command that returns data delivers its
//                                            first byte inverted
//          | "drop-writes"                   flash programs and EEPROM writes report success
//                                            and store nothing
//          | "stuck-busy"                    the flash chip reports busy for ever
//          | "forget-marker"                 the memory does not keep bytes 11..13
//          | "disconnect:" N                 after N commands every command fails (transport)
//
// N and OP are decimal or 0x-prefixed hexadecimal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace burnwell::sim {

enum class FailureKind : std::uint8_t { Transport, CheckCondition };

struct FaultPlan {
  struct CommandFailure {
    std::uint64_t commandNumber = 0;  // 1-based
    FailureKind kind = FailureKind::Transport;
  };
  struct OpcodeFailure {
    std::uint8_t opcode = 0;
    FailureKind kind = FailureKind::Transport;
  };

  std::vector<CommandFailure> failCommands;
  std::vector<OpcodeFailure> failOpcodes;
  std::vector<std::uint64_t> corruptReads;  // 1-based numbers among data-returning commands
  bool dropWrites = false;
  bool stuckBusy = false;
  bool forgetMarker = false;
  std::optional<std::uint64_t> disconnectAfter;

  bool Empty() const {
    return failCommands.empty() && failOpcodes.empty() && corruptReads.empty() && !dropWrites &&
           !stuckBusy && !forgetMarker && !disconnectAfter;
  }
};

// Parses a PLAN (see above). On a malformed plan returns nothing and describes the fault.
std::optional<FaultPlan> ParseFaultPlan(std::string_view planText, std::string* error);

// The PLAN syntax as shown by --help.
std::string_view FaultPlanHelp();

}  // namespace burnwell::sim
