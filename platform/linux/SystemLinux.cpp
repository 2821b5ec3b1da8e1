#include "platform/Environment.h"
#include "platform/PlatformState.h"
#include "platform/System.h"

namespace burnwell::platform {
namespace {

class LinuxSystem final : public System {
 public:
  bool IsWindowsNt() override { return true; }
  void SetLastSystemError(std::uint32_t code) override { PlatformThread().lastSystemError = code; }
  std::uint32_t LastSystemError() override { return PlatformThread().lastSystemError; }
  std::filesystem::path SystemRoot() override {
    const std::optional<std::string> root = EnvironmentSetting("BURNWELL_SYSROOT");
    return root ? std::filesystem::path(*root) : std::filesystem::path("/");
  }
};

}  // namespace

template <>
System& SystemInstance<System>() {
  static LinuxSystem system;
  return system;
}

}  // namespace burnwell::platform
