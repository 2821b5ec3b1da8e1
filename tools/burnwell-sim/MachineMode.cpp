#include "MachineMode.h"

#include <iostream>
#include <stdexcept>

#ifndef _WIN32
#include "sim/machine/MachineFile.h"
#include "sim/machine/MachineRunner.h"
#endif

namespace burnwell::sim {

std::string MachineModeUsage() {
  std::string text =
      "\nMachine mode (Linux): burnwell-sim [BRIDGE OPTIONS | --machine FILE] -- COMMAND "
      "[ARGS...]\n"
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

int RunMachineMode([[maybe_unused]] const SimCommandLine& line) {
#ifdef _WIN32
  std::cerr << "burnwell-sim: machine mode builds a Linux system root and runs on Linux only\n";
  return 2;
#else
  machine::MachineDescription description;
  if (line.machinePath) {
    try {
      description = machine::ReadMachineFile(*line.machinePath);
    } catch (const std::invalid_argument& error) {
      std::cerr << "burnwell-sim: " << error.what() << "\n";
      return 2;
    }
  } else {
    machine::MachineBridge bridge;
    bridge.config = line.bridge;
    if (line.imagePath) bridge.image = *line.imagePath;
    if (line.scsiTracePath) bridge.trace = *line.scsiTracePath;
    if (line.spiTracePath) bridge.spiTrace = *line.spiTracePath;
    description.bridges.push_back(std::move(bridge));
  }
  return machine::RunOnMachine(description, line.machineCommand, std::cerr);
#endif
}

}  // namespace burnwell::sim
