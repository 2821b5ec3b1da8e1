// Placeholder until the device I/O of this platform lands: every call fails.
#include "platform/DeviceIo.h"

namespace burnwell::platform {
namespace {

class UnavailableDeviceIo final : public DeviceIo {
 public:
  Handle Open(const char*, std::uint32_t) override { return kInvalidHandle; }
  bool IoControl(Handle, std::uint32_t, const void*, std::uint32_t, void*, std::uint32_t,
                 std::uint32_t*) override { return false; }
  bool Read(Handle, void*, std::uint32_t, std::uint32_t*) override { return false; }
  bool Seek(Handle, std::int64_t) override { return false; }
  bool Close(Handle) override { return false; }
  Handle OpenRelay() override { return kInvalidHandle; }
  bool WriteMessage(Handle, const void*, std::uint32_t, std::uint32_t*) override { return false; }
  bool ReadMessage(Handle, void*, std::uint32_t, std::uint32_t*) override { return false; }
};

}  // namespace

template <>
DeviceIo& SystemInstance<DeviceIo>() {
  static UnavailableDeviceIo io;
  return io;
}

}  // namespace burnwell::platform
