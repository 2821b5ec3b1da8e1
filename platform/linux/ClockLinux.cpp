#include <chrono>
#include <thread>

#include "platform/Clock.h"

namespace burnwell::platform {
namespace {

class LinuxClock final : public Clock {
 public:
  void SleepMs(std::uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
  std::uint64_t NowUs() override {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  }
};

}  // namespace

template <>
Clock& SystemInstance<Clock>() {
  static LinuxClock clock;
  return clock;
}

}  // namespace burnwell::platform
