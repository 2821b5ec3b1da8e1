// `burnwell-sim usbip`: the emulated bridges as USB/IP devices on 127.0.0.1, for a real
// kernel's USB storage stack (vhci-hcd, usb-storage, sd, sg).
#pragma once

#include <string>

#include "sim/CommandLine.h"

namespace burnwell::sim {

// Runs the usbip command line asks for; returns the exit status (2 for a machine file that
// cannot be read or has no bridge).
int RunUsbipMode(const SimCommandLine& line);

// Its part of --help.
std::string UsbipModeUsage();

}  // namespace burnwell::sim
