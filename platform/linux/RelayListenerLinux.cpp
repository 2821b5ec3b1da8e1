// Relay listener on a Unix-domain SOCK_SEQPACKET socket: message boundaries are kept by the
// socket, like a message-mode pipe. Who may connect is decided twice: by the socket's mode and
// group (the kernel refuses others at connect), and by the peer's credentials at accept (a
// socket opened up by hand, or handed over by a service manager with other modes, still serves
// no one else).
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

#include "platform/Environment.h"
#include "platform/RelayListener.h"
#include "platform/RelaySocketPath.h"
#include "platform/linux/StationAccess.h"

namespace burnwell::platform {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

// The descriptor a service manager hands over first (SD_LISTEN_FDS_START).
constexpr int kFirstInheritedDescriptor = 3;
// Pauses after an accept that failed for want of descriptors or memory.
constexpr std::chrono::milliseconds kFirstBackOff{50};
constexpr std::chrono::milliseconds kLongestBackOff{1000};
constexpr int kBacklog = 128;

// A line on standard error, at most one a second for each kind; the next line says how many
// were left out.
class RateLimitedLog {
 public:
  explicit RateLimitedLog(const char* what) : what_(what) {}
  void Note(const std::string& detail) {
    std::lock_guard lock(mutex_);
    const auto now = SteadyClock::now();
    if (now - last_ < std::chrono::seconds(1) && last_ != SteadyClock::time_point{}) {
      ++suppressed_;
      return;
    }
    if (suppressed_ > 0) {
      std::fprintf(stderr, "relay: %s: %s (and %lu more since the last note)\n", what_,
                   detail.c_str(), suppressed_);
    } else {
      std::fprintf(stderr, "relay: %s: %s\n", what_, detail.c_str());
    }
    suppressed_ = 0;
    last_ = now;
  }

 private:
  const char* what_;
  std::mutex mutex_;
  SteadyClock::time_point last_{};
  unsigned long suppressed_ = 0;
};

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

// The peer's user, primary group and supplementary groups; nothing when the kernel cannot say.
struct PeerIdentity {
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;
};

std::optional<PeerIdentity> IdentifyPeer(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return std::nullopt;
  PeerIdentity peer{credentials.uid, credentials.gid, {}};
  std::vector<gid_t> groups(64);
  socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) != 0 && errno == ERANGE) {
    groups.resize(size / sizeof(gid_t) + 1);
    size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) != 0) size = 0;
  }
  groups.resize(size / sizeof(gid_t));
  peer.groups = std::move(groups);
  return peer;
}

bool ResourceShortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

class SocketListener final : public RelayListener {
 public:
  SocketListener(int fd, int wakeRead, int wakeWrite, std::optional<fs::path> ownedPath)
      : fd_(fd),
        wakeRead_(wakeRead),
        wakeWrite_(wakeWrite),
        ownedPath_(std::move(ownedPath)),
        self_(::geteuid()),
        group_(station::GroupId()) {}
  ~SocketListener() override {
    ::close(fd_);
    ::close(wakeRead_);
    ::close(wakeWrite_);
    if (ownedPath_) {
      // Only the socket this listener made; never a file someone put there since.
      struct stat info {};
      if (::lstat(ownedPath_->c_str(), &info) == 0 && S_ISSOCK(info.st_mode))
        ::unlink(ownedPath_->c_str());
    }
  }

  std::unique_ptr<RelayChannel> Accept() override {
    auto backOff = kFirstBackOff;
    while (!stopped_.load()) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return nullptr;
      }
      if (stopped_.load() || (fds[1].revents & POLLIN)) return nullptr;
      if (!(fds[0].revents & (POLLIN | POLLERR | POLLHUP))) continue;
      const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        const int error = errno;
        if (ResourceShortage(error)) {
          // The client stays queued; a descriptor may be free after a pause.
          shortage_.Note(std::string(std::strerror(error)) + "; accepting again in " +
                         std::to_string(backOff.count()) + " ms");
          if (Pause(backOff)) return nullptr;
          backOff = std::min(backOff * 2, kLongestBackOff);
          continue;
        }
        if (error == EINTR || error == ECONNABORTED || error == EAGAIN || error == EPROTO ||
            error == EPERM)
          continue;
        return nullptr;
      }
      backOff = kFirstBackOff;
      if (!Permitted(client)) {
        ::close(client);
        continue;
      }
      return std::make_unique<SocketChannel>(client);
    }
    return nullptr;
  }

  void Stop() override {
    stopped_.store(true);
    const char byte = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wakeWrite_, &byte, 1);
  }

 private:
  // Waits for `pause` or a Stop; true when stopped.
  bool Pause(std::chrono::milliseconds pause) {
    pollfd wake{wakeRead_, POLLIN, 0};
    while (::poll(&wake, 1, static_cast<int>(pause.count())) < 0 && errno == EINTR) {
    }
    return stopped_.load();
  }

  bool Permitted(int client) {
    const std::optional<PeerIdentity> peer = IdentifyPeer(client);
    if (peer && station::PeerPermitted(peer->uid, peer->gid, peer->groups, self_, group_))
      return true;
    refused_.Note(peer ? "uid " + std::to_string(peer->uid) + " is not root, uid " +
                             std::to_string(self_) + " or a member of the group " +
                             station::kGroupName
                       : std::string("the client's credentials are unknown"));
    return false;
  }

  int fd_;
  int wakeRead_;
  int wakeWrite_;
  std::optional<fs::path> ownedPath_;  // removed at the end when it is still a socket
  uid_t self_;
  std::optional<gid_t> group_;
  std::atomic<bool> stopped_{false};
  RateLimitedLog shortage_{"cannot accept a client"};
  RateLimitedLog refused_{"refused a client"};
};

bool Fail(std::string* problem, std::string text) {
  if (problem) *problem = std::move(text);
  return false;
}

// Makes the socket's folder when missing: the folders above it 0755, the folder itself with
// the socket's ownership (group burnwell, 0750; 0700 without the group). An existing folder in
// which every user may replace files (world-writable and not sticky) is refused.
bool PrepareFolder(const fs::path& folder, std::optional<gid_t> group, std::string* problem) {
  if (folder.empty()) return true;
  struct stat info {};
  if (::stat(folder.c_str(), &info) == 0) {
    if (!S_ISDIR(info.st_mode)) return Fail(problem, folder.string() + " is not a folder");
    if ((info.st_mode & S_IWOTH) && !(info.st_mode & S_ISVTX))
      return Fail(problem, folder.string() + " can be changed by every user");
    return true;
  }
  std::error_code error;
  if (!folder.parent_path().empty() && folder.parent_path() != folder) {
    fs::create_directories(folder.parent_path(), error);
  }
  const mode_t mode = group ? 0750 : 0700;
  if (::mkdir(folder.c_str(), mode) != 0 && errno != EEXIST)
    return Fail(problem, "cannot make the folder " + folder.string() + ": " + std::strerror(errno));
  if (group && ::lchown(folder.c_str(), static_cast<uid_t>(-1), *group) != 0) {
    // Not allowed to give it to the group: it stays the owner's alone.
    if (::chmod(folder.c_str(), 0700) != 0)
      return Fail(problem, "cannot set the mode of " + folder.string());
    return true;
  }
  if (::chmod(folder.c_str(), mode) != 0)
    return Fail(problem, "cannot set the mode of " + folder.string());
  return true;
}

// A socket at `path` with a live server behind it.
bool LiveServerAt(const sockaddr_un& address) {
  const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  const bool live =
      ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(probe);
  return live;
}

std::unique_ptr<RelayListener> MakeListener(int fd, std::optional<fs::path> ownedPath,
                                            std::string* problem) {
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC) != 0) {
    Fail(problem, std::string("cannot make a pipe: ") + std::strerror(errno));
    return nullptr;
  }
  return std::make_unique<SocketListener>(fd, wake[0], wake[1], std::move(ownedPath));
}

}  // namespace

std::unique_ptr<RelayListener> ListenForRelayClients(std::string* problem) {
  return ListenForRelayClientsAt(RelaySocketPath(), problem);
}

std::unique_ptr<RelayListener> ListenForRelayClientsAt(const std::filesystem::path& path,
                                                       std::string* problem) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  if (text.empty() || text.size() >= sizeof(address.sun_path)) {
    Fail(problem, "the socket path " + text + " is empty or too long");
    return nullptr;
  }
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);

  // Group burnwell only when this process may give the socket to it.
  std::optional<gid_t> group = station::GroupId();
  if (group && ::geteuid() != 0 && !station::ProcessInGroup(*group)) group.reset();
  if (!PrepareFolder(path.parent_path(), group, problem)) return nullptr;

  // What is at the place already: a socket of a live server is not ours; one left by a server
  // that died is stale; anything else is somebody's file and stays untouched.
  struct stat existing {};
  if (::lstat(text.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      Fail(problem, text + " exists and is not a socket; it is left alone");
      return nullptr;
    }
    if (LiveServerAt(address)) {
      Fail(problem, "a server listens at " + text + " already");
      return nullptr;
    }
    ::unlink(text.c_str());
  }

  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Fail(problem, std::string("cannot make a socket: ") + std::strerror(errno));
    return nullptr;
  }
  // The socket file is born 0600 whatever the umask says; it is opened to the group after.
  const mode_t previousMask = ::umask(0177);
  const int bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const int bindError = errno;
  ::umask(previousMask);
  if (bound != 0) {
    ::close(fd);
    Fail(problem, "cannot listen at " + text + ": " + std::strerror(bindError));
    return nullptr;
  }
  if (group && ::lchown(text.c_str(), static_cast<uid_t>(-1), *group) == 0 &&
      ::chmod(text.c_str(), 0660) != 0) {
    // Stays 0600: the owner alone.
  }
  if (::listen(fd, kBacklog) != 0) {
    Fail(problem, "cannot listen at " + text + ": " + std::strerror(errno));
    ::close(fd);
    ::unlink(text.c_str());
    return nullptr;
  }
  auto listener = MakeListener(fd, path, problem);
  if (!listener) {
    ::close(fd);
    ::unlink(text.c_str());
  }
  return listener;
}

std::unique_ptr<RelayListener> InheritedRelayListener(std::string* problem) {
  const std::optional<std::string> pid = EnvironmentSetting("LISTEN_PID");
  const std::optional<std::string> count = EnvironmentSetting("LISTEN_FDS");
  if (!pid || !count || *pid != std::to_string(::getpid())) return nullptr;
  if (*count != "1") {
    Fail(problem, "the service manager handed over " + *count + " sockets; one is served");
    return nullptr;
  }
  const int fd = kFirstInheritedDescriptor;
  int type = 0, listening = 0;
  socklen_t length = sizeof type;
  sockaddr_storage local{};
  socklen_t localLength = sizeof local;
  const bool isSeqPacket =
      ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_SEQPACKET;
  length = sizeof listening;
  const bool isListening =
      ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening;
  const bool isLocal = ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) == 0 &&
                       local.ss_family == AF_UNIX;
  if (!isSeqPacket || !isListening || !isLocal) {
    Fail(problem, "the socket handed over is not a listening local SOCK_SEQPACKET socket");
    return nullptr;
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  // The service manager made the socket file and removes it; this listener only serves it.
  return MakeListener(fd, std::nullopt, problem);
}

}  // namespace burnwell::platform
