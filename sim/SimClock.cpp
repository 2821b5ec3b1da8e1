#include "sim/SimClock.h"

#include <chrono>
#include <thread>

namespace burnwell::sim {

std::uint64_t RealTimeClock::NowUs() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(since).count());
}

void RealTimeClock::Spend(std::uint64_t microseconds) {
  if (microseconds == 0) return;
    // Most of the span is slept, so that many emulated bridges share few cores; the last part is
    // waited out by yielding, since a sleep ends late by the system's timer slack. On Windows a
    // sleep can last a whole scheduler tick (up to 15 ms), which would turn a 0.3 ms command into
    // a slow one; on Linux it ends some 50-60 us late.
#ifdef _WIN32
  constexpr std::uint64_t kSleepFromUs = 2000, kSlackUs = 1000;
#else
  constexpr std::uint64_t kSleepFromUs = 150, kSlackUs = 80;
#endif
  const std::uint64_t deadline = NowUs() + microseconds;
  if (microseconds >= kSleepFromUs)
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds - kSlackUs));
  while (NowUs() < deadline) std::this_thread::yield();
}

}  // namespace burnwell::sim
