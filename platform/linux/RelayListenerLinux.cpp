// Relay listener on a Unix-domain SOCK_SEQPACKET socket: message boundaries are kept by the
// socket, like a message-mode pipe.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/RelayListener.h"
#include "platform/RelaySocketPath.h"

namespace burnwell::platform {
namespace {

class SocketChannel final : public RelayChannel {
 public:
  explicit SocketChannel(int fd) : fd_(fd) {}
  ~SocketChannel() override { ::close(fd_); }

  ReceiveResult Receive(std::vector<std::uint8_t>& message, std::size_t limit) override {
    message.resize(limit);
    iovec iov{message.data(), limit};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n;
    do {
      n = ::recvmsg(fd_, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      message.clear();
      return ReceiveResult::Closed;
    }
    if (msg.msg_flags & MSG_TRUNC) {
      message.clear();
      return ReceiveResult::TooLong;
    }
    message.resize(static_cast<std::size_t>(n));
    return ReceiveResult::Message;
  }

  bool Send(std::span<const std::uint8_t> message) override {
    ssize_t n;
    do {
      n = ::send(fd_, message.data(), message.size(), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n >= 0 && static_cast<std::size_t>(n) == message.size();
  }

  void Shutdown() override { ::shutdown(fd_, SHUT_RDWR); }

 private:
  int fd_;
};

class SocketListener final : public RelayListener {
 public:
  SocketListener(int fd, int wakeRead, int wakeWrite, std::filesystem::path path)
      : fd_(fd), wakeRead_(wakeRead), wakeWrite_(wakeWrite), path_(std::move(path)) {}
  ~SocketListener() override {
    ::close(fd_);
    ::close(wakeRead_);
    ::close(wakeWrite_);
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }

  std::unique_ptr<RelayChannel> Accept() override {
    while (!stopped_.load()) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return nullptr;
      }
      if (stopped_.load() || (fds[1].revents & POLLIN)) return nullptr;
      if (fds[0].revents & POLLIN) {
        const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) return std::make_unique<SocketChannel>(client);
        if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) return nullptr;
      }
    }
    return nullptr;
  }

  void Stop() override {
    stopped_.store(true);
    const char byte = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wakeWrite_, &byte, 1);
  }

 private:
  int fd_;
  int wakeRead_;
  int wakeWrite_;
  std::filesystem::path path_;
  std::atomic<bool> stopped_{false};
};

}  // namespace

std::unique_ptr<RelayListener> ListenForRelayClients() {
  return ListenForRelayClientsAt(RelaySocketPath());
}

std::unique_ptr<RelayListener> ListenForRelayClientsAt(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  if (text.size() >= sizeof(address.sun_path)) return nullptr;
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);

  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);

  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  // A socket file left by a server that died is stale; one with a live server is not ours.
  const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (probe >= 0) {
    const bool live = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    if (live) {
      ::close(fd);
      return nullptr;
    }
  }
  ::unlink(text.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 16) != 0) {
    ::close(fd);
    return nullptr;
  }
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC) != 0) {
    ::close(fd);
    ::unlink(text.c_str());
    return nullptr;
  }
  return std::make_unique<SocketListener>(fd, wake[0], wake[1], path);
}

}  // namespace burnwell::platform
