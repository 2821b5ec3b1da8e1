// Facts about the running system and the operating system's own last-error value.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/Seam.h"

namespace burnwell::platform {

class System {
 public:
  virtual ~System() = default;
  // True on the NT family (GetVersionExA platform id 2). Linux counts as NT: its
  // pass-through path is the platform's own.
  virtual bool IsWindowsNt() = 0;
  // The operating system's last-error value (SetLastError / GetLastError on Windows; a
  // per-thread value elsewhere). Separate from the device layer's own last-error value.
  virtual void SetLastSystemError(std::uint32_t code) = 0;
  virtual std::uint32_t LastSystemError() = 0;
  // Linux: the system root under which /sys, /dev and /run are taken (BURNWELL_SYSROOT, a
  // test and emulator setting; "/" when unset, empty, or ignored under raised privileges,
  // platform/Environment.h). Windows: unused, "/".
  virtual std::filesystem::path SystemRoot() = 0;
};

template <>
System& SystemInstance<System>();

// Joins an absolute Linux path such as "/sys/bus/usb" below the system root.
std::filesystem::path UnderSystemRoot(const std::string& absolutePath);

}  // namespace burnwell::platform
