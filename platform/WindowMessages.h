// Posting and sending window messages. Progress reaches the dialog this way; the layers below
// the user interface never include a UI header. A UI backend installs its own implementation
// for windows it owns; on Windows the system's implementation is PostMessageA / SendMessageW.
#pragma once

#include <cstdint>

#include "platform/Seam.h"

namespace burnwell::platform {

using WindowHandle = std::uintptr_t;  // 0: no window
using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;

// MAKELPARAM(low, high): the low 16 bits of each half, zero-extended into one 32-bit value.
constexpr LParam MakeLParam(std::uint32_t low, std::uint32_t high) {
  return static_cast<LParam>(((high & 0xFFFFu) << 16) | (low & 0xFFFFu));
}

class WindowMessages {
 public:
  virtual ~WindowMessages() = default;
  // Queues a message for the window's thread and returns at once (PostMessageA).
  virtual bool Post(WindowHandle window, std::uint32_t message, WParam wParam, LParam lParam) = 0;
  // Delivers a message and waits for its result (SendMessageW).
  virtual LResult Send(WindowHandle window, std::uint32_t message, WParam wParam,
                       LParam lParam) = 0;
};

template <>
WindowMessages& SystemInstance<WindowMessages>();

}  // namespace burnwell::platform
