// Windows has no uevents: arrivals come as device-interface notifications (WinDeviceServices).
#include "platform/Uevents.h"

namespace burnwell::platform {
namespace {

class NoUevents final : public Uevents {
 public:
  std::intptr_t Watch(std::function<void()>) override { return 0; }
  void EndWatch(std::intptr_t) override {}
};

}  // namespace

template <>
Uevents& SystemInstance<Uevents>() {
  static NoUevents instance;
  return instance;
}

}  // namespace burnwell::platform
