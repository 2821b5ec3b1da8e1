// The relay client's handling of whatever a relay answers. The first input byte chooses the
// call (open, pass-through, pass-through direct in either direction, a disk query, close) and
// its sizes; the rest is the reply the relay sends.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "device/RelayProtocol.h"
#include "device/Transport.h"
#include "platform/DeviceIo.h"
#include "platform/System.h"
#include "platform/WinNames.h"

namespace {

using namespace burnwell;

class ReplyingRelay : public platform::DeviceIo {
 public:
  std::vector<std::uint8_t> reply;
  bool openReplied = false;

  platform::Handle Open(const char*, std::uint32_t) override { return 5; }
  bool IoControl(platform::Handle, std::uint32_t, const void*, std::uint32_t, void*, std::uint32_t,
                 std::uint32_t*) override {
    return false;
  }
  bool Read(platform::Handle, void*, std::uint32_t, std::uint32_t*) override { return false; }
  bool Seek(platform::Handle, std::int64_t) override { return false; }
  bool Close(platform::Handle) override { return true; }
  platform::Handle OpenRelay() override { return 77; }
  bool WriteMessage(platform::Handle, const void*, std::uint32_t size,
                    std::uint32_t* written) override {
    *written = size;
    return true;
  }
  bool ReadMessage(platform::Handle, void* buffer, std::uint32_t size,
                   std::uint32_t* read) override {
    if (!openReplied) {  // let the open through so that the call under test is relayed
      openReplied = true;
      if (size < 1) return false;
      static_cast<std::uint8_t*>(buffer)[0] = 0;
      *read = 1;
      return true;
    }
    if (reply.size() > size) return false;
    if (!reply.empty()) std::memcpy(buffer, reply.data(), reply.size());
    *read = static_cast<std::uint32_t>(reply.size());
    return true;
  }
};

class NtSystem : public platform::System {
 public:
  bool IsWindowsNt() override { return true; }
  void SetLastSystemError(std::uint32_t) override {}
  std::uint32_t LastSystemError() override { return 0; }
  std::filesystem::path SystemRoot() override { return "/"; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  device::ResetDeviceLayerState();
  device::DeviceLayer().ntFlag = true;
  ReplyingRelay relay;
  NtSystem system;
  platform::ScopedOverride<platform::DeviceIo> ioGuard(&relay);
  platform::ScopedOverride<platform::System> systemGuard(&system);
  relay.reply.assign(data + 1, data + size);
  const std::uint8_t choice = data[0];

  const platform::Handle h = device::RelayOpenDevice("dev");
  if (h == platform::kInvalidHandle) return 0;
  std::uint32_t returned = 0;
  switch (choice % 5) {
    case 0: {
      wire::ScsiRequest request = wire::ScsiRequest::For(
          {.cdbLength = 10, .direction = wire::DataDirection::In, .transferLength = 512});
      device::DeviceRecord record;
      record.Handle = h;
      device::SendScsiCommand(record, request, 592);
      break;
    }
    case 1:
    case 2: {
      const std::uint32_t length = (choice >> 3) * 8;
      std::vector<std::uint8_t> area(length);
      device::ScsiPassThroughDirect sptd;
      wire::ScsiRequestView(sptd.block)
          .SetHeader(wire::HeaderFor(
              {.cdbLength = 12,
               .direction = choice % 5 == 1 ? wire::DataDirection::In : wire::DataDirection::Out,
               .transferLength = length}));
      sptd.dataBuffer = area.data();
      device::RelayDeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &sptd, sizeof sptd, &sptd,
                                   sizeof sptd, &returned);
      break;
    }
    case 3: {
      std::vector<std::uint8_t> out(choice >> 3);
      device::RelayDeviceIoControl(h, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, out.data(),
                                   static_cast<std::uint32_t>(out.size()), &returned);
      break;
    }
    default: break;
  }
  device::RelayCloseDevice(h);
  return 0;
}
