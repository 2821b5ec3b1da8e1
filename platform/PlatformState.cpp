#include "platform/PlatformState.h"

#include "platform/NamedLock.h"

namespace burnwell::platform {

PlatformState& PlatformLayer() {
  static PlatformState state;
  return state;
}

void ResetPlatformState() {
  PlatformLayer().relayReplyTimeoutMs.store(kDefaultRelayReplyTimeoutMs);
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
