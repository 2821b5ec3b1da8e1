// Runs a program on an emulated machine: writes the machine's system root into a fresh
// temporary folder, serves the I/O relay there with one emulated bridge behind each bridge's
// generic nodes, runs the program with BURNWELL_SYSROOT pointing at it, and cleans up.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "sim/machine/MachineFile.h"

namespace burnwell::sim::machine {

// The program's exit status (128 + N when signal N ended it), or 1 with a message on err when
// the machine could not be set up or the program not started (127 when it was not found).
// Image files are written back and traces flushed before it returns.
int RunOnMachine(const MachineDescription& machine, const std::vector<std::string>& command,
                 std::ostream& err);

}  // namespace burnwell::sim::machine
