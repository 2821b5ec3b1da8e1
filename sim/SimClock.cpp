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
  // Short spans are waited out by yielding: a system sleep can last a whole scheduler tick
  // (up to 15 ms on Windows), which would turn a 0.3 ms command into a slow one.
  const std::uint64_t deadline = NowUs() + microseconds;
  if (microseconds >= 2000) std::this_thread::sleep_for(std::chrono::microseconds(microseconds - 1000));
  while (NowUs() < deadline) std::this_thread::yield();
}

}  // namespace burnwell::sim
