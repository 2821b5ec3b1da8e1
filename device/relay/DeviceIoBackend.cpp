#include "device/relay/DeviceIoBackend.h"

#include <algorithm>
#include <string>

#include "platform/DeviceIo.h"
#include "platform/WinNames.h"

namespace burnwell::device::relay {
namespace {

class DeviceIoSession final : public RelaySession {
 public:
  explicit DeviceIoSession(platform::Handle handle) : handle_(handle) {}
  ~DeviceIoSession() override { platform::Current<platform::DeviceIo>().Close(handle_); }

  bool IoControl(std::uint32_t code, std::span<const std::uint8_t> in,
                 std::span<std::uint8_t> out, std::uint32_t* returned) override {
    // The pass-through updates its request in place: `out` already holds a copy of `in`.
    const bool inPlace = code == IOCTL_SCSI_PASS_THROUGH;
    const void* input = inPlace ? out.data() : in.data();
    const auto inputSize = static_cast<std::uint32_t>(inPlace ? out.size() : in.size());
    return platform::Current<platform::DeviceIo>().IoControl(
        handle_, code, input, inputSize, out.data(), static_cast<std::uint32_t>(out.size()),
        returned);
  }

 private:
  platform::Handle handle_;
};

}  // namespace

std::unique_ptr<RelaySession> DeviceIoBackend::Open(std::string_view path) {
  const std::string text(path);
  const platform::Handle handle =
      platform::Current<platform::DeviceIo>().Open(text.c_str(), platform::kOpenNoAttributes);
  if (handle == platform::kInvalidHandle) return nullptr;
  return std::make_unique<DeviceIoSession>(handle);
}

}  // namespace burnwell::device::relay
