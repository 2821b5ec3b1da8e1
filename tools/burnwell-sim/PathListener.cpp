#include "PathListener.h"

#ifdef _WIN32

namespace burnwell::sim {

std::unique_ptr<platform::RelayListener> ListenAtPath(const std::string&, std::string* error) {
  if (error) *error = "--socket is not available on Windows; the relay pipe follows the system root";
  return nullptr;
}

}  // namespace burnwell::sim

#else

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace burnwell::sim {
namespace {

// One client on a SOCK_SEQPACKET socket: the socket keeps message boundaries.
class Channel final : public platform::RelayChannel {
 public:
  explicit Channel(int fd) : fd_(fd) {}
  ~Channel() override { ::close(fd_); }

  platform::ReceiveResult Receive(std::vector<std::uint8_t>& message, std::size_t limit) override {
    message.resize(limit);
    iovec iov{message.data(), limit};
    msghdr header{};
    header.msg_iov = &iov;
    header.msg_iovlen = 1;
    ssize_t n;
    do {
      n = ::recvmsg(fd_, &header, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      message.clear();
      return platform::ReceiveResult::Closed;
    }
    if (header.msg_flags & MSG_TRUNC) {
      message.clear();
      return platform::ReceiveResult::TooLong;
    }
    message.resize(static_cast<std::size_t>(n));
    return platform::ReceiveResult::Message;
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

class Listener final : public platform::RelayListener {
 public:
  Listener(int fd, int wakeRead, int wakeWrite, std::string path)
      : fd_(fd), wakeRead_(wakeRead), wakeWrite_(wakeWrite), path_(std::move(path)) {}
  ~Listener() override {
    ::close(fd_);
    ::close(wakeRead_);
    ::close(wakeWrite_);
    ::unlink(path_.c_str());
  }

  std::unique_ptr<platform::RelayChannel> Accept() override {
    while (!stopped_.load()) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return nullptr;
      }
      if (stopped_.load() || (fds[1].revents & POLLIN)) return nullptr;
      if (fds[0].revents & POLLIN) {
        const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) return std::make_unique<Channel>(client);
        if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) return nullptr;
      }
    }
    return nullptr;
  }

  void Stop() override {
    stopped_.store(true);
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_, &byte, 1);
  }

 private:
  int fd_;
  int wakeRead_;
  int wakeWrite_;
  std::string path_;
  std::atomic<bool> stopped_{false};
};

}  // namespace

std::unique_ptr<platform::RelayListener> ListenAtPath(const std::string& path, std::string* error) {
  auto fail = [&](std::string why) -> std::unique_ptr<platform::RelayListener> {
    if (error) *error = std::move(why);
    return nullptr;
  };
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path)) return fail("socket path too long: " + path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(std::strerror(errno));
  // A socket file with a live server behind it belongs to someone else; a dead one is stale.
  const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (probe >= 0) {
    const bool live = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    if (live) {
      ::close(fd);
      return fail("another server listens at " + path);
    }
  }
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
    const std::string why = std::strerror(errno);
    ::close(fd);
    return fail("cannot listen at " + path + ": " + why);
  }
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC) != 0) {
    ::close(fd);
    ::unlink(path.c_str());
    return fail(std::strerror(errno));
  }
  return std::make_unique<Listener>(fd, wake[0], wake[1], path);
}

}  // namespace burnwell::sim

#endif
