#include "platform/GoneSettle.h"

#include "platform/Clock.h"

namespace burnwell::platform {

IoFailure SettleFailedCommand(const DeviceLook& look) {
  const std::uint64_t deadline = NowUs() + std::uint64_t{kGoneSettleMs} * 1000;
  for (;;) {
    const IoFailure seen = look();
    if (seen == IoFailure::DeviceGone || seen == IoFailure::NoAnswer) return seen;
    if (seen == IoFailure::None || NowUs() >= deadline) return IoFailure::CommandFailed;
    SleepMs(kGoneLookIntervalMs);
  }
}

}  // namespace burnwell::platform
