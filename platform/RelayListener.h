// The server side of the I/O relay channel: a listener at the relay's well-known place (the
// named pipe "\\.\pipe\DeviceIoControlPipe" in message mode on Windows; a SOCK_SEQPACKET
// socket at /run/burnwell/DeviceIoControlPipe below the system root on Linux) and one message
// channel per accepted client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace burnwell::platform {

enum class ReceiveResult {
  Message,  // one whole message arrived
  TooLong,  // the message was longer than the limit; it was discarded
  Closed,   // the client went away, or the channel was shut down
};

class RelayChannel {
 public:
  virtual ~RelayChannel() = default;
  // Receives one message of at most `limit` bytes into `message`.
  virtual ReceiveResult Receive(std::vector<std::uint8_t>& message, std::size_t limit) = 0;
  // Sends one whole message, waiting while the client does not read; false when it could not
  // be sent whole, or the channel was shut down meanwhile.
  virtual bool Send(std::span<const std::uint8_t> message) = 0;
  // Ends the connection; a Receive or Send blocked in another thread returns (Closed, false).
  // Thread-safe.
  virtual void Shutdown() = 0;
  // The client's user ID as the system vouches for it; nothing where the system does not say.
  virtual std::optional<std::uint32_t> PeerUser() const { return std::nullopt; }
};

class RelayListener {
 public:
  virtual ~RelayListener() = default;
  // Waits for the next client; nullptr once stopped (or on a failure of the listener itself).
  virtual std::unique_ptr<RelayChannel> Accept() = 0;
  // Makes a blocked Accept return nullptr, now and from then on. Thread-safe.
  virtual void Stop() = 0;
};

// Starts listening at the relay's well-known place; nullptr when that is impossible (another
// server listens there already, no rights, ...), with the reason in *problem when given.
//
// Linux: the socket is born with its final mode, 0660 and the group burnwell (0600 when the
// system has no such group or the server may not give the socket to it), its group set through
// the bound descriptor's own file, never by a path a link could redirect. It is made in a folder
// of the same ownership that the server makes when missing (0750, or 0700; the folders above it
// 0755, whatever the umask). A folder that belongs to someone other than root and the server's
// user, or that others may write to, is refused. Only root, the server's own user and members of
// the group burnwell are served: any other client is disconnected at once (checked with the
// peer's credentials), and told in a line naming its uid. A file at the place that is not a
// socket is never removed. Failing accepts for want of descriptors or memory do not end the
// listener: it waits a little and goes on.
std::unique_ptr<RelayListener> ListenForRelayClients(std::string* problem = nullptr);

// Linux: listens on a socket at the given path instead (an emulator serving a place of the
// user's choice), with the same rules. Windows: nullptr, the relay's place is its pipe.
std::unique_ptr<RelayListener> ListenForRelayClientsAt(const std::filesystem::path& path,
                                                       std::string* problem = nullptr);

// Linux: the listening socket the service manager handed over (systemd socket activation:
// LISTEN_PID and LISTEN_FDS name descriptor 3), served with the same rules; nullptr when the
// program was not started that way, with the reason in *problem when the hand-over was
// unusable. Windows: nullptr.
std::unique_ptr<RelayListener> InheritedRelayListener(std::string* problem = nullptr);

}  // namespace burnwell::platform
