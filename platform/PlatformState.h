// The platform layer's own process-wide state: settings its implementations read. The
// operating-system services themselves are reached through the seam (platform/Seam.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace burnwell::platform {

// How long a relay read (and on Windows a relay write) waits for the other side. The default
// outlasts the longest command time-out the device layer sets; tests shorten it to meet a
// silent relay quickly.
inline constexpr std::uint32_t kDefaultRelayReplyTimeoutMs = 20 * 60 * 1000;

struct PlatformState {
  std::atomic<std::uint32_t> relayReplyTimeoutMs{kDefaultRelayReplyTimeoutMs};
  // Why the last lock could not be opened or created, for the user (platform/NamedLock.h).
  std::mutex lockProblemMutex;
  std::string lockProblem;
};

// The one platform-layer state of the process.
PlatformState& PlatformLayer();

// Puts the platform-layer state back to its start values (tests). Installed overrides are not
// touched: each one is restored by the end of its own scope.
void ResetPlatformState();

}  // namespace burnwell::platform
