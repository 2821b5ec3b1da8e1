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
#include <optional>
#include <vector>

#include "common/RateLimitedLog.h"
#include "platform/Environment.h"
#include "platform/RelayListener.h"
#include "platform/RelaySocketPath.h"
#include "platform/linux/RetryOnInterrupt.h"
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

// A line on standard error about an event that may come in floods.
RateLimitedLog StandardErrorLog(std::string what) {
  return RateLimitedLog([what = std::move(what)](const std::string& line) {
    std::fprintf(stderr, "relay: %s: %s\n", what.c_str(), line.c_str());
  });
}

// How long one wait of a blocked send lasts before it looks again whether the channel was
// shut down (a shutdown wakes the wait as a rule; this bounds it where it does not).
constexpr int kSendWaitSliceMs = 200;

class SocketChannel final : public RelayChannel {
 public:
  SocketChannel(int fd, std::optional<std::uint32_t> peer) : fd_(fd), peer_(peer) {}
  ~SocketChannel() override { ::close(fd_); }

  ReceiveResult Receive(std::vector<std::uint8_t>& message, std::size_t limit) override {
    message.resize(limit);
    iovec iov{message.data(), limit};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    const ssize_t n = RetryOnInterrupt([&] { return ::recvmsg(fd_, &msg, MSG_CMSG_CLOEXEC); });
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

  // Never blocked in the kernel: a client that does not read must not hold this thread past a
  // shutdown, so the send waits for room in poll, where a shutdown ends the wait.
  bool Send(std::span<const std::uint8_t> message) override {
    while (!shutDown_.load()) {
      const ssize_t n = ::send(fd_, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) return static_cast<std::size_t>(n) == message.size();
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
      pollfd room{fd_, POLLOUT, 0};
      if (::poll(&room, 1, kSendWaitSliceMs) < 0 && errno != EINTR) return false;
      if (room.revents & (POLLERR | POLLHUP)) return false;
    }
    return false;
  }

  void Shutdown() override {
    shutDown_.store(true);
    ::shutdown(fd_, SHUT_RDWR);
  }

  std::optional<std::uint32_t> PeerUser() const override { return peer_; }

 private:
  int fd_;
  std::optional<std::uint32_t> peer_;
  std::atomic<bool> shutDown_{false};
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
      const std::optional<PeerIdentity> peer = IdentifyPeer(client);
      if (!Permitted(peer)) {
        ::close(client);
        continue;
      }
      return std::make_unique<SocketChannel>(client, peer->uid);
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
    RetryOnInterrupt([&] { return ::poll(&wake, 1, static_cast<int>(pause.count())); });
    return stopped_.load();
  }

  bool Permitted(const std::optional<PeerIdentity>& peer) {
    if (peer && station::PeerPermitted(peer->uid, peer->gid, peer->groups, self_, group_))
      return true;
    if (!peer) {
      refused_.Note("the client's credentials are unknown");
    } else {
      refused_.Note("uid " + std::to_string(peer->uid) + " is not root, uid " +
                        std::to_string(self_) + " or a member of the group " + station::kGroupName,
                    peer->uid);
    }
    return false;
  }

  int fd_;
  int wakeRead_;
  int wakeWrite_;
  std::optional<fs::path> ownedPath_;  // removed at the end when it is still a socket
  uid_t self_;
  std::optional<gid_t> group_;
  std::atomic<bool> stopped_{false};
  RateLimitedLog shortage_ = StandardErrorLog("cannot accept a client");
  RateLimitedLog refused_ = StandardErrorLog("refused a client");
};

// Says why in `problem`, when one is asked for; nothing is listened on.
std::nullptr_t Fail(std::string* problem, std::string text) {
  if (problem) *problem = std::move(text);
  return nullptr;
}

// Makes a missing folder with exactly `mode`, whatever the umask; true when it was made.
bool MakeFolder(const fs::path& folder, mode_t mode) {
  if (::mkdir(folder.c_str(), 0700) != 0) return false;
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    ::fchmod(fd, mode);
    ::close(fd);
  }
  return true;
}

// Makes the folders above the socket's folder that are missing, 0755 each.
void MakeMissingParents(const fs::path& folder) {
  std::vector<fs::path> missing;
  for (fs::path at = folder.parent_path(); !at.empty() && at != at.root_path();
       at = at.parent_path()) {
    struct stat info {};
    if (::lstat(at.c_str(), &info) == 0) break;
    missing.push_back(at);
  }
  for (auto at = missing.rbegin(); at != missing.rend(); ++at) MakeFolder(*at, 0755);
}

// Opens the socket's folder without following a link at its place; makes it when missing, with
// the socket's ownership (group burnwell, 0750; 0700 without the group), whatever the umask.
// Refused: no folder, or a folder that belongs to someone other than root and this server's
// user, or that others may write to (they could put a link where the socket goes). -1 then.
int OpenSocketFolder(const fs::path& folder, std::optional<gid_t> group, std::string* problem) {
  const mode_t mode = group ? 0750 : 0700;
  MakeMissingParents(folder);
  const bool made = MakeFolder(folder, mode);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    Fail(problem,
         folder.string() + " is not a folder (or is a link to one): " + std::strerror(errno));
    return -1;
  }
  // Not allowed to give it to the group: it stays the owner's alone.
  if (made && group && ::fchown(fd, static_cast<uid_t>(-1), *group) != 0) ::fchmod(fd, 0700);
  struct stat info {};
  std::string why;
  if (::fstat(fd, &info) != 0) {
    why = std::strerror(errno);
  } else if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
    why = "it belongs to uid " + std::to_string(info.st_uid) + ", not to root or uid " +
          std::to_string(::geteuid());
  } else if (info.st_mode & (S_IWGRP | S_IWOTH)) {
    why = "others may write to it (mode " + station::Octal(info.st_mode) + ")";
  }
  if (!why.empty()) {
    ::close(fd);
    Fail(problem, "not serving in " + folder.string() + ": " + why);
    return -1;
  }
  return fd;
}

// The path by which bind reaches `name` in the folder open as `folderFd`: through the
// descriptor (/proc/self/fd), so that the folder checked is the folder bound in.
std::string PathThrough(int folderFd, const std::string& name, const std::string& fallback) {
  const std::string through = "/proc/self/fd/" + std::to_string(folderFd) + "/" + name;
  struct stat info {};
  if (through.size() < sizeof(sockaddr_un{}.sun_path) &&
      ::stat(("/proc/self/fd/" + std::to_string(folderFd)).c_str(), &info) == 0)
    return through;
  return fallback;
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
  if (::pipe2(wake, O_CLOEXEC) != 0)
    return Fail(problem, std::string("cannot make a pipe: ") + std::strerror(errno));
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
  const std::string name = path.filename().string();
  if (text.empty() || name.empty() || text.size() >= sizeof(address.sun_path))
    return Fail(problem, "the socket path " + text + " is empty or too long");
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);

  // Group burnwell only when this process may give the socket to it.
  std::optional<gid_t> group = station::GroupId();
  if (group && ::geteuid() != 0 && !station::ProcessInGroup(*group)) group.reset();
  const fs::path folderPath = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  const int folder = OpenSocketFolder(folderPath, group, problem);
  if (folder < 0) return nullptr;
  struct FolderCloser {
    int fd;
    ~FolderCloser() { ::close(fd); }
  } closeFolder{folder};

  // What is at the place already: a socket of a live server is not ours; one left by a server
  // that died is stale; anything else is somebody's file and stays untouched.
  struct stat existing {};
  if (::fstatat(folder, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISSOCK(existing.st_mode))
      return Fail(problem, text + " exists and is not a socket; it is left alone");
    if (LiveServerAt(address)) return Fail(problem, "a server listens at " + text + " already");
    ::unlinkat(folder, name.c_str(), 0);
  }

  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail(problem, std::string("cannot make a socket: ") + std::strerror(errno));
  // The socket file is born with its final mode (0660 for the group, else 0600), in the folder
  // checked above; its group is then set on the file itself, never through a link.
  sockaddr_un bindAddress{};
  bindAddress.sun_family = AF_UNIX;
  const std::string bindPath = PathThrough(folder, name, text);
  std::memcpy(bindAddress.sun_path, bindPath.c_str(), bindPath.size() + 1);
  const mode_t previousMask = ::umask(group ? 0117 : 0177);
  const int bound = ::bind(fd, reinterpret_cast<sockaddr*>(&bindAddress), sizeof bindAddress);
  const int bindError = errno;
  ::umask(previousMask);
  if (bound != 0) {
    ::close(fd);
    return Fail(problem, "cannot listen at " + text + ": " + std::strerror(bindError));
  }
  if (group &&
      ::fchownat(folder, name.c_str(), static_cast<uid_t>(-1), *group, AT_SYMLINK_NOFOLLOW) != 0) {
    Fail(problem, "cannot give " + text + " to the group " + station::kGroupName + ": " +
                      std::strerror(errno));
    ::close(fd);
    ::unlinkat(folder, name.c_str(), 0);
    return nullptr;
  }
  if (::listen(fd, kBacklog) != 0) {
    Fail(problem, "cannot listen at " + text + ": " + std::strerror(errno));
    ::close(fd);
    ::unlinkat(folder, name.c_str(), 0);
    return nullptr;
  }
  auto listener = MakeListener(fd, path, problem);
  if (!listener) {
    ::close(fd);
    ::unlinkat(folder, name.c_str(), 0);
  }
  return listener;
}

std::unique_ptr<RelayListener> InheritedRelayListener(std::string* problem) {
  const std::optional<std::string> pid = EnvironmentSetting("LISTEN_PID");
  const std::optional<std::string> count = EnvironmentSetting("LISTEN_FDS");
  if (!pid || !count || *pid != std::to_string(::getpid())) return nullptr;
  if (*count != "1")
    return Fail(problem, "the service manager handed over " + *count + " sockets; one is served");
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
  if (!isSeqPacket || !isListening || !isLocal)
    return Fail(problem, "the socket handed over is not a listening local SOCK_SEQPACKET socket");
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  // The service manager made the socket file and removes it; this listener only serves it.
  return MakeListener(fd, std::nullopt, problem);
}

}  // namespace burnwell::platform
