#include <windows.h>

#include "platform/WindowMessages.h"

namespace burnwell::platform {
namespace {

class Win32WindowMessages final : public WindowMessages {
 public:
  bool Post(WindowHandle window, std::uint32_t message, WParam wParam, LParam lParam) override {
    return ::PostMessageA(reinterpret_cast<HWND>(window), message, wParam, lParam) != 0;
  }
  LResult Send(WindowHandle window, std::uint32_t message, WParam wParam, LParam lParam) override {
    return ::SendMessageW(reinterpret_cast<HWND>(window), message, wParam, lParam);
  }
};

}  // namespace

template <>
WindowMessages& SystemInstance<WindowMessages>() {
  static Win32WindowMessages messages;
  return messages;
}

}  // namespace burnwell::platform
