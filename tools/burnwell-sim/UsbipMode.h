// `burnwell-sim usbip`: the emulated bridges as USB/IP devices on 127.0.0.1, for a real
// kernel's USB storage stack (vhci-hcd, usb-storage, sd, sg). Its arguments are parsed here,
// apart from the other commands.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace burnwell::sim {

// Runs the usbip command when the arguments name it; nothing otherwise.
std::optional<int> RunUsbipModeIfAsked(const std::vector<std::string>& args);

// Its part of --help.
std::string UsbipModeUsage();

}  // namespace burnwell::sim
