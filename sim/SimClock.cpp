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
  if (microseconds > 0) std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

}  // namespace burnwell::sim
