#include "platform/PlatformState.h"

#include "platform/NamedLock.h"

namespace burnwell::platform {

PlatformState& PlatformLayer() {
  static PlatformState state;
  return state;
}

PlatformThreadState& PlatformThread() {
  thread_local PlatformThreadState state;
  return state;
}

void ResetPlatformState() {
  PlatformState& state = PlatformLayer();
  state.relayReplyTimeoutMs.store(kDefaultRelayReplyTimeoutMs);
  state.stop.requested.store(false);
  state.stop.lastWarningMs.store(kNoStopWarning);
  state.stop.firstSignalWindsDown.store(false);
  state.stop.windDownRequested.store(false);
  {
    std::lock_guard lock(state.refusalsMutex);
    state.refusalsSaid.clear();
  }
  PlatformThread() = PlatformThreadState{};
  NoteLockProblem({});
}

void NoteLockProblem(std::string text) {
  PlatformState& state = PlatformLayer();
  std::lock_guard lock(state.lockProblemMutex);
  state.lockProblem = std::move(text);
}

std::optional<std::string> LastLockProblem() {
  PlatformState& state = PlatformLayer();
  std::lock_guard lock(state.lockProblemMutex);
  if (state.lockProblem.empty()) return std::nullopt;
  return state.lockProblem;
}

}  // namespace burnwell::platform
