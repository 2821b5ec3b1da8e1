// Sleep and a monotonic clock. Tests replace them with a virtual clock, so that a chip erase
// of many seconds or a 100-poll time-out runs in microseconds.
#pragma once

#include <cstdint>

#include "platform/Seam.h"

namespace burnwell::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Blocks the calling thread for the given milliseconds (Sleep on Windows).
  virtual void SleepMs(std::uint32_t milliseconds) = 0;
  // Monotonic time in microseconds since an arbitrary start.
  virtual std::uint64_t NowUs() = 0;
};

template <>
Clock& SystemInstance<Clock>();

inline void SleepMs(std::uint32_t milliseconds) { Current<Clock>().SleepMs(milliseconds); }
inline std::uint64_t NowUs() { return Current<Clock>().NowUs(); }

}  // namespace burnwell::platform
