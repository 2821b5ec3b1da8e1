// burnwell-sim's machine mode: a program run on an emulated machine.
//   burnwell-sim [bridge options] -- COMMAND ARGS...    one bridge on port 1-1
//   burnwell-sim --machine FILE -- COMMAND ARGS...      the bridges and hubs FILE describes
#pragma once

#include <string>

#include "sim/CommandLine.h"

namespace burnwell::sim {

// Runs line.machineCommand on the machine line describes. Returns the command's exit status,
// 2 for a machine file that cannot be read, 1 when the machine could not be set up.
int RunMachineMode(const SimCommandLine& line);

// The machine-mode part of --help, with the machine file format.
std::string MachineModeUsage();

}  // namespace burnwell::sim
