#include "MachineMode.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>

#include "sim/CommandLine.h"

#ifndef _WIN32
#include "sim/machine/MachineFile.h"
#include "sim/machine/MachineRunner.h"
#endif

namespace burnwell::sim {

std::string MachineModeUsage() {
  std::string text =
      "\nMachine mode (Linux):\n"
      "  burnwell-sim [BRIDGE OPTIONS] -- COMMAND [ARGS...]\n"
      "  burnwell-sim --machine FILE -- COMMAND [ARGS...]\n"
      "Builds a system root in a temporary folder with the sysfs tree and /dev nodes of a\n"
      "machine (one bridge with the options above on USB port 1-1, or the machine FILE\n"
      "describes), serves the I/O relay for its bridges, runs COMMAND with BURNWELL_SYSROOT\n"
      "set to it, and ends with COMMAND's exit status. --image and the traces work as with\n"
      "serve. Example: burnwell-sim --eeprom 256 -- burnwell-tool list\n\n";
#ifndef _WIN32
  text += machine::kMachineFileFormat;
#endif
  return text;
}

std::optional<int> RunMachineModeIfAsked(const std::vector<std::string>& args) {
  const auto dashes = std::find(args.begin(), args.end(), "--");
  const auto machineOption = std::find(args.begin(), dashes, "--machine");
  if (dashes == args.end() && machineOption == dashes) return std::nullopt;
  if (dashes == args.end()) {
    std::cerr << "burnwell-sim: --machine needs -- COMMAND after it\nTry 'burnwell-sim --help'.\n";
    return 2;
  }
  const std::vector<std::string> command(dashes + 1, args.end());
  if (command.empty()) {
    std::cerr << "burnwell-sim: no command after --\nTry 'burnwell-sim --help'.\n";
    return 2;
  }
#ifdef _WIN32
  std::cerr << "burnwell-sim: machine mode builds a Linux system root and runs on Linux only\n";
  return 2;
#else
  machine::MachineDescription description;
  if (machineOption != dashes) {
    if (dashes - args.begin() != 2 || machineOption != args.begin()) {
      std::cerr << "burnwell-sim: --machine FILE takes no other options; describe the bridges in FILE\n"
                   "Try 'burnwell-sim --help'.\n";
      return 2;
    }
    try {
      description = machine::ReadMachineFile(args[1]);
    } catch (const std::invalid_argument& error) {
      std::cerr << "burnwell-sim: " << error.what() << "\n";
      return 2;
    }
  } else {
    std::vector<std::string> options(args.begin(), dashes);
    if (std::find(options.begin(), options.end(), "--help") != options.end() ||
        std::find(options.begin(), options.end(), "-h") != options.end()) {
      std::cout << SimUsage() << MachineModeUsage();
      return 0;
    }
    // The bridge options are those of serve; the machine takes serve's place.
    for (const std::string& option : options) {
      if (option == "serve" || option == "list-chips" || option == "--socket") {
        std::cerr << "burnwell-sim: before -- only bridge options are allowed, not " << option << "\n";
        return 2;
      }
    }
    options.push_back("serve");
    std::string error;
    const std::optional<SimCommandLine> line = ParseSimCommandLine(options, &error);
    if (!line) {
      std::cerr << "burnwell-sim: " << error << "\nTry 'burnwell-sim --help'.\n";
      return 2;
    }
    machine::MachineBridge bridge;
    bridge.config = line->bridge;
    if (line->imagePath) bridge.image = *line->imagePath;
    if (line->scsiTracePath) bridge.trace = *line->scsiTracePath;
    if (line->spiTracePath) bridge.spiTrace = *line->spiTracePath;
    description.bridges.push_back(std::move(bridge));
  }
  return machine::RunOnMachine(description, command, std::cerr);
#endif
}

}  // namespace burnwell::sim
