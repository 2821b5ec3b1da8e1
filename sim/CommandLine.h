// The burnwell-sim command line: a command (list-chips, serve, usbip) with the bridge options,
// or a program to run on an emulated machine (the bridge options or --machine FILE, then
// -- COMMAND ARGS...).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/EmulatedBridge.h"

namespace burnwell::sim {

struct SimCommandLine {
  // Help: print text (the help or the version asked for) and end with status 0.
  enum class Command { Help, ListChips, Serve, Machine, Usbip };
  Command command = Command::Help;
  std::string text;
  BridgeConfig bridge;
  std::optional<std::string> socketPath;
  std::optional<std::string> imagePath;
  std::optional<std::string> scsiTracePath;
  std::optional<std::string> spiTracePath;
  std::optional<std::string> machinePath;   // Machine and Usbip: --machine FILE
  std::vector<std::string> machineCommand;  // Machine: what follows --
  std::uint16_t usbipPort = 3240;           // Usbip: the TCP port on 127.0.0.1
};

// Parses the arguments after the program name. On a usage fault returns nothing and writes one
// line to *error naming the fault and the --help to read. moreHelp ends the program's --help
// (the machine mode and its file format, which the program adds).
std::optional<SimCommandLine> ParseSimCommandLine(const std::vector<std::string>& args,
                                                  std::string* error,
                                                  std::string_view moreHelp = {});

// The --help text.
std::string SimUsage(std::string_view moreHelp = {});

}  // namespace burnwell::sim
