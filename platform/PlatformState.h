// The platform layer's own process-wide state: settings its implementations read, the stop
// request, and what each thread's last device I/O and system call left behind. The
// operating-system services themselves are reached through the seam (platform/Seam.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>

#include "platform/IoFailure.h"

namespace burnwell::platform {

// How long a relay read (and on Windows a relay write) waits for the other side. The default
// outlasts the longest command time-out the device layer sets; tests shorten it to meet a
// silent relay quickly.
inline constexpr std::uint32_t kDefaultRelayReplyTimeoutMs = 20 * 60 * 1000;

inline constexpr long long kNoStopWarning = -1;

// Interrupts while a bridge's memory is being changed (platform/StopRequest.h). The signal
// handlers read and write these, so each one is a lock-free atomic.
struct StopState {
  std::atomic<int> guards{0};
  std::atomic<bool> requested{false};
  std::atomic<long long> lastWarningMs{kNoStopWarning};
  std::atomic<bool> firstSignalWindsDown{false};  // a program that runs until told to stop
  std::atomic<bool> windDownRequested{false};
  std::atomic<bool> handlersInstalled{false};  // handlers stay for the life of the process
};

struct PlatformState {
  std::atomic<std::uint32_t> relayReplyTimeoutMs{kDefaultRelayReplyTimeoutMs};
  StopState stop;
  // Why the last lock could not be opened or created, for the user (platform/NamedLock.h).
  std::mutex lockProblemMutex;
  std::string lockProblem;
  // The pack id of the next command queued on an sg node (platform/linux/DeviceIoSgIo.cpp).
  // Never reset: an abandoned command's answer must never be taken for a later one's.
  std::atomic<int> nextSgPackId{1};
  // The lock folder's refusals already said, each said once (platform/linux/NamedLocksLinux.cpp).
  std::mutex refusalsMutex;
  std::set<std::string> refusalsSaid;
};

// What the platform layer keeps per thread: each bridge's update runs on its own thread.
struct PlatformThreadState {
  IoFailure lastIoFailure = IoFailure::None;  // platform/IoFailure.h
  bool stopTaken = false;                     // the transport has refused its one command
  std::uint32_t lastSystemError = 0;          // Linux's stand-in for GetLastError
};

// The one platform-layer state of the process.
PlatformState& PlatformLayer();
// The calling thread's platform-layer state.
PlatformThreadState& PlatformThread();

// Puts the platform-layer state, and the calling thread's, back to their start values (tests).
// Installed overrides, live stop guards and installed signal handlers are not touched: each
// override and guard is undone by the end of its own scope, handlers stay for good.
void ResetPlatformState();

}  // namespace burnwell::platform
