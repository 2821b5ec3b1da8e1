// Where the relay listens. Linux: /run/burnwell/DeviceIoControlPipe below the system root.
// Windows: the named pipe "\\.\pipe\DeviceIoControlPipe"; when a system root other than "/"
// is in force (tests), the pipe name carries a tag derived from it, so that every system root
// has its own relay just as it has its own socket file on Linux.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/System.h"

namespace burnwell::platform {

inline constexpr const char* kRelayPipeName = "\\\\.\\pipe\\DeviceIoControlPipe";

inline std::filesystem::path RelaySocketPath() {
  return UnderSystemRoot("/run/burnwell/DeviceIoControlPipe");
}

inline std::string RelayPipeName() {
  const std::string root = Current<System>().SystemRoot().string();
  if (root.empty() || root == "/") return kRelayPipeName;
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : root) hash = (hash ^ c) * 16777619u;
  char tag[16];
  std::snprintf(tag, sizeof tag, "-%08X", static_cast<unsigned>(hash));
  return std::string(kRelayPipeName) + tag;
}

}  // namespace burnwell::platform
