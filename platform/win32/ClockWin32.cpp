#include <windows.h>

#include "platform/Clock.h"

namespace burnwell::platform {
namespace {

class Win32Clock final : public Clock {
 public:
  void SleepMs(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }
  std::uint64_t NowUs() override {
    LARGE_INTEGER frequency, counter;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&counter);
    return static_cast<std::uint64_t>(counter.QuadPart) * 1000000u /
           static_cast<std::uint64_t>(frequency.QuadPart);
  }
};

}  // namespace

template <>
Clock& SystemInstance<Clock>() {
  static Win32Clock clock;
  return clock;
}

}  // namespace burnwell::platform
