#include "platform/WindowMessages.h"

namespace burnwell::platform {
namespace {

// Linux has no system windows: a message reaches a window only through the implementation
// that the UI backend owning it installs. Without one there is no such window.
class NoWindows final : public WindowMessages {
 public:
  bool Post(WindowHandle, std::uint32_t, WParam, LParam) override { return false; }
  LResult Send(WindowHandle, std::uint32_t, WParam, LParam) override { return 0; }
};

}  // namespace

template <>
WindowMessages& SystemInstance<WindowMessages>() {
  static NoWindows messages;
  return messages;
}

}  // namespace burnwell::platform
