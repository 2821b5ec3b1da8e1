// The relay backend a real relay daemon runs: it serves requests with this machine's own
// device access (the device layer's open, I/O control and close, which reach the platform's
// device I/O once the use-relay flag is clear, as it is in a daemon serving the relay's own
// place), and it serves only bridges and only bridge commands:
//  - an open succeeds only for a plain absolute node path ("/dev/sg3": no ".", ".." or empty
//    part) that the owner's policy permits (burnwell-relayd permits the SCSI generic nodes
//    discovery found to be bridges);
//  - a pass-through is passed on only when it is one of the tool's own commands
//    (CheckBridgeCommand), with its time-out capped; the disk queries pass; anything else fails.
// Refused opens and commands get the failure reply, are counted, and are told to the owner with
// the client's uid.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>

#include "device/relay/RelayBackend.h"

namespace burnwell::device::relay {

// The longest time-out a command may ask for: no client waits longer for a reply.
inline constexpr std::uint32_t kMaxCommandTimeoutSeconds = 20 * 60;

// An absolute path without empty, "." or ".." parts.
bool IsPlainNodePath(std::string_view path);

class DeviceIoBackend final : public RelayBackend {
 public:
  // Whether a client may open this node path; called from connection threads.
  using NodePolicy = std::function<bool(std::string_view path)>;

  // `note` is told one line about every refused open or command; called from connection
  // threads.
  explicit DeviceIoBackend(NodePolicy permitted, RefusalNote note = {});

  std::unique_ptr<RelaySession> Open(std::string_view path, const RelayPeer& peer) override;

  std::uint64_t RefusedOpens() const { return refusedOpens_.load(); }
  std::uint64_t RefusedCommands() const { return refusedCommands_.load(); }

 private:
  class Session;
  void Refuse(std::atomic<std::uint64_t>& counter, const RelayPeer& peer, std::string_view text);

  NodePolicy permitted_;
  RefusalNote note_;
  std::atomic<std::uint64_t> refusedOpens_{0};
  std::atomic<std::uint64_t> refusedCommands_{0};
};

}  // namespace burnwell::device::relay
