// The relay server's handling of whatever a client sends. The input is a sequence of
// messages, each a 2-byte little-endian length and its bytes; every one goes through the same
// connection, so opens, I/O and closes interleave as a hostile client likes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "device/RelayProtocol.h"
#include "device/relay/BridgeCommands.h"
#include "device/relay/RelayServer.h"
#include "platform/WinNames.h"

namespace {

using namespace burnwell::device::relay;

class Session : public RelaySession {
 public:
  bool IoControl(std::uint32_t code, std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                 std::uint32_t* returned) override {
    // Touch every byte the server claims is ours: the sanitizers catch any lie.
    std::uint8_t sum = 0;
    for (std::uint8_t b : in) sum = static_cast<std::uint8_t>(sum + b);
    // The device back end's command filter judges every pass-through the server lets through.
    if (code == IOCTL_SCSI_PASS_THROUGH && in.size() >= burnwell::wire::kPassThroughHeaderSize) {
      const auto header = burnwell::wire::DecodePassThroughHeader(in);
      sum = static_cast<std::uint8_t>(sum + CheckBridgeCommand(header).Allowed());
    }
    std::fill(out.begin(), out.end(), sum);
    *returned = code == IOCTL_DISK_GET_DRIVE_GEOMETRY ? 0xFFFFFFFFu
                                                      : static_cast<std::uint32_t>(out.size());
    return (sum & 7) != 0;
  }
};

class Backend : public RelayBackend {
 public:
  std::unique_ptr<RelaySession> Open(std::string_view path, const RelayPeer&) override {
    if (!path.empty() && path[0] == 'x') return nullptr;
    return std::make_unique<Session>();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Backend backend;
  RelayConnection connection(backend);
  std::size_t at = 0;
  while (at + 2 <= size) {
    const std::size_t length = std::min<std::size_t>(data[at] | (data[at + 1] << 8), size - at - 2);
    // Messages the transport would never carry whole are still shown to the server, up to
    // one byte past the limit it enforces.
    const RelayOutcome outcome =
        connection.Handle(std::span<const std::uint8_t>(data + at + 2, length));
    if (outcome.reply.size() > kMaxMessageSize) __builtin_trap();
    if (outcome.closeConnection) break;
    at += 2 + length;
  }
  return 0;
}
