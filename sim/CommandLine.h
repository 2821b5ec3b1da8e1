// The burnwell-sim command line: a command (list-chips, serve) and the bridge options.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/EmulatedBridge.h"

namespace burnwell::sim {

struct SimCommandLine {
  enum class Command { Help, ListChips, Serve };
  Command command = Command::Help;
  BridgeConfig bridge;
  std::optional<std::string> socketPath;
  std::optional<std::string> imagePath;
  std::optional<std::string> scsiTracePath;
  std::optional<std::string> spiTracePath;
};

// Parses the arguments after the program name. On a usage fault returns nothing and
// describes it in *error.
std::optional<SimCommandLine> ParseSimCommandLine(const std::vector<std::string>& args, std::string* error);

// The --help text.
std::string SimUsage();

}  // namespace burnwell::sim
