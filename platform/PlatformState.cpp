#include "platform/PlatformState.h"

namespace burnwell::platform {

PlatformState& PlatformLayer() {
  static PlatformState state;
  return state;
}

void ResetPlatformState() {
  PlatformLayer().relayReplyTimeoutMs.store(kDefaultRelayReplyTimeoutMs);
}

}  // namespace burnwell::platform
