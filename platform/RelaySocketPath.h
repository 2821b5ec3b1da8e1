// Where the relay's Unix socket lives on Linux: /run/burnwell/DeviceIoControlPipe below the
// system root.
#pragma once

#include <filesystem>

#include "platform/System.h"

namespace burnwell::platform {

inline std::filesystem::path RelaySocketPath() {
  return UnderSystemRoot("/run/burnwell/DeviceIoControlPipe");
}

}  // namespace burnwell::platform
