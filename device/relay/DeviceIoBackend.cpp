#include "device/relay/DeviceIoBackend.h"

#include <algorithm>
#include <string>

#include "common/Hex.h"
#include "common/Bytes.h"
#include "device/Transport.h"
#include "device/relay/BridgeCommands.h"
#include "platform/WinNames.h"
#include "wire/ScsiRequest.h"

namespace burnwell::device::relay {

bool IsPlainNodePath(std::string_view path) {
  if (path.size() < 2 || path.front() != '/') return false;
  std::size_t start = 1;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string_view part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

class DeviceIoBackend::Session final : public RelaySession {
 public:
  Session(DeviceIoBackend& owner, platform::Handle handle, std::string path, RelayPeer peer)
      : owner_(owner), handle_(handle), path_(std::move(path)), peer_(std::move(peer)) {}
  ~Session() override { RelayCloseDevice(handle_); }

  bool IoControl(std::uint32_t code, std::span<const std::uint8_t>, std::span<std::uint8_t> out,
                 std::uint32_t* returned) override {
    const auto size = static_cast<std::uint32_t>(out.size());
    switch (code) {
      case IOCTL_SCSI_PASS_THROUGH:
        // `out` holds a copy of the request: it is judged, and updated in place.
        if (!Admit(out)) return false;
        return RelayDeviceIoControl(handle_, code, out.data(), size, out.data(), size, returned);
      case IOCTL_DISK_GET_DRIVE_LAYOUT:
      case IOCTL_DISK_GET_DRIVE_GEOMETRY:
      case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX:
      case IOCTL_DISK_GET_DRIVE_LAYOUT_EX:
        return RelayDeviceIoControl(handle_, code, nullptr, 0, out.data(), size, returned);
      default:
        owner_.Refuse(owner_.refusedCommands_, peer_,
                      "refused I/O control 0x" + Hex(code, 8, HexDigits::Upper) + " on " + path_);
        return false;
    }
  }

 private:
  bool Admit(std::span<std::uint8_t> request) {
    if (request.size() < wire::kPassThroughHeaderSize) return false;
    const wire::ScsiPassThroughHeader header = wire::DecodePassThroughHeader(request);
    const CommandCheck check = CheckBridgeCommand(header);
    if (!check.Allowed()) {
      const std::string name = check.name.empty()
                                   ? "operation 0x" + Hex(header.Cdb[0], 2, HexDigits::Upper)
                                   : std::string(check.name);
      owner_.Refuse(
          owner_.refusedCommands_, peer_,
          "refused " + name + " on " + path_ + ": " + std::string(RefusalText(check.refusal)));
      return false;
    }
    if (header.TimeOutValue > kMaxCommandTimeoutSeconds)
      StoreLe32(request.data() + wire::spt::TimeOutValue, kMaxCommandTimeoutSeconds);
    return true;
  }

  DeviceIoBackend& owner_;
  platform::Handle handle_;
  std::string path_;
  RelayPeer peer_;
};

DeviceIoBackend::DeviceIoBackend(NodePolicy permitted, RefusalNote note)
    : permitted_(std::move(permitted)), note_(std::move(note)) {}

void DeviceIoBackend::Refuse(std::atomic<std::uint64_t>& counter, const RelayPeer& peer,
                             std::string_view text) {
  counter.fetch_add(1);
  if (note_) note_(peer, text);
}

std::unique_ptr<RelaySession> DeviceIoBackend::Open(std::string_view path, const RelayPeer& peer) {
  std::string text(path);
  if (!IsPlainNodePath(path) || !permitted_ || !permitted_(path)) {
    Refuse(refusedOpens_, peer, "refused to open " + text + ": not a bridge's node");
    return nullptr;
  }
  const platform::Handle handle = RelayOpenDevice(text.c_str());
  if (handle == platform::kInvalidHandle) return nullptr;
  return std::make_unique<Session>(*this, handle, std::move(text), peer);
}

}  // namespace burnwell::device::relay
