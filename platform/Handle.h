// Handles as the device layer stores them: a Windows HANDLE, a Linux file descriptor or a
// relay channel, all carried in one integer so that a DeviceRecord copy is self-contained.
#pragma once

#include <cstdint>

namespace burnwell::platform {

using Handle = std::intptr_t;

// The invalid-handle value (-1), as CreateFileA returns it on failure.
inline constexpr Handle kInvalidHandle = -1;

}  // namespace burnwell::platform
