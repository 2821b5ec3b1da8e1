// What the relay server does with a validated request: the device side of the relay. The
// emulator plugs in here for tests and end-to-end runs; a real relay daemon plugs in the
// operating system's device I/O (DeviceIoBackend).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace burnwell::device::relay {

// One client connection's device, opened by the open message and closed by the close
// message or when the connection ends.
class RelaySession {
 public:
  virtual ~RelaySession() = default;

  // One I/O control on the device (the contract of DeviceIoControl without overlapped I/O).
  //  - IOCTL_SCSI_PASS_THROUGH: `in` is the whole ScsiRequest in its wire layout; `out` has the
  //    same size and already holds a copy of it: update it in place (ScsiStatus, sense, data).
  //    Pass-through-direct requests reach the session in this form too.
  //  - the four disk queries: `in` is empty, `out` is the caller's output area.
  // Returns false on failure; *returned is the number of valid bytes at the start of `out`.
  virtual bool IoControl(std::uint32_t code, std::span<const std::uint8_t> in,
                         std::span<std::uint8_t> out, std::uint32_t* returned) = 0;
};

// Who a connection serves, as far as the system says.
struct RelayPeer {
  std::optional<std::uint32_t> uid;  // nothing where the system does not say (Windows pipes)

  // "uid 1000", or "a client" when the system did not say.
  std::string Text() const { return uid ? "uid " + std::to_string(*uid) : "a client"; }
};

// Told one line about every refusal: the user it refused (when known) and why.
using RefusalNote = std::function<void(const RelayPeer& peer, std::string_view text)>;

class RelayBackend {
 public:
  virtual ~RelayBackend() = default;
  // Opens the device at `path` for one connection of `peer`; nullptr refuses the open. Called
  // from the connection's own thread: connections may be served concurrently.
  virtual std::unique_ptr<RelaySession> Open(std::string_view path, const RelayPeer& peer) = 0;
};

}  // namespace burnwell::device::relay
