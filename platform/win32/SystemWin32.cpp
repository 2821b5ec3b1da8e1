#include <windows.h>

#include "platform/System.h"

namespace burnwell::platform {
namespace {

class Win32System final : public System {
 public:
  bool IsWindowsNt() override {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!::GetVersionExA(&info)) return false;
#pragma GCC diagnostic pop
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
  }
  void SetLastSystemError(std::uint32_t code) override { ::SetLastError(code); }
  std::uint32_t LastSystemError() override { return ::GetLastError(); }
  std::filesystem::path SystemRoot() override { return std::filesystem::path("/"); }
};

}  // namespace

template <>
System& SystemInstance<System>() {
  static Win32System system;
  return system;
}

}  // namespace burnwell::platform
