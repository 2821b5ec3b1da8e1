// burnwell-sim's machine mode: a program run on an emulated machine.
//   burnwell-sim [bridge options] -- COMMAND ARGS...    one bridge on port 1-1
//   burnwell-sim --machine FILE -- COMMAND ARGS...      the bridges and hubs FILE describes
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace burnwell::sim {

// Nothing when the arguments ask for no machine (no "--" and no --machine); otherwise the exit
// status: the command's own, 2 for a usage fault, 1 when the machine could not be set up.
std::optional<int> RunMachineModeIfAsked(const std::vector<std::string>& args);

// The machine-mode part of --help, with the machine file format.
std::string MachineModeUsage();

}  // namespace burnwell::sim
