// Named locks on Linux, owned per thread like Windows mutexes: one lock file per name, held
// with flock by the process while one of its threads owns the lock, plus an in-process state
// that says which thread that is. A process that dies drops its flock, so the next waiter
// simply gets the lock.
//
// Where the lock files live. Programs run by root (a station's service) and by ordinary users
// must exclude each other on the same bridge, so every program looks first in one shared
// folder, /run/burnwell/lock below the system root: owned by root, group burnwell, mode 1770
// (packaging/tmpfiles/burnwell.conf makes it at boot; a program running as root makes it when
// it is missing). Only a folder that nobody else controls is used: it is reached without
// following links and checked with fstat (owner root or the program's user, writable by nobody
// else, or shared with the group burnwell and sticky); a folder that fails the check is refused
// with a message and no lock is taken. A user who cannot create lock files there (outside the
// group, or no such folder) takes them in a folder of their own ($XDG_RUNTIME_DIR/burnwell-locks,
// else /run/user/UID/burnwell-locks, else /tmp/burnwell-locks-UID or the next free name when
// another user made that one first; mode 0700, checked the same way): such locks exclude only
// that user's programs. Lock files are opened read-only (flock needs no more), never through a
// link, and must be regular files: an entry that is not (a FIFO, a link, a folder planted by
// someone) is refused by name, and root replaces it in the shared folder with a fresh one.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "common/Hex.h"
#include "platform/Environment.h"
#include "platform/NamedLock.h"
#include "platform/PlatformState.h"
#include "platform/System.h"
#include "platform/linux/StationAccess.h"

namespace burnwell::platform {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

// Says a line on standard error, once per process.
void SayOnce(const std::string& text) {
  PlatformState& state = PlatformLayer();
  std::lock_guard lock(state.refusalsMutex);
  if (state.refusalsSaid.insert(text).second) std::fprintf(stderr, "burnwell: %s\n", text.c_str());
}

// Says why a folder or lock file was refused, and keeps it as the last lock problem
// (platform/NamedLock.h), which the programs' error lines repeat.
void ReportRefusal(const std::string& text) {
  NoteLockProblem(text);
  SayOnce(text);
}

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// A folder opened for lock files, and whether its files are shared with other users.
struct LockFolder {
  Descriptor fd;
  bool privateToUser = false;
  fs::path path;
};

enum class Outcome { Usable, Unavailable, Refused };

// Opens `name` inside `parent` as a folder, never through a link; creates it with `mode` when
// it is missing (the mode is set again after creation: the umask must not decide it). A link,
// or something other than a folder, is refused with a message. Usable once opened; whether the
// lock folder itself may be used is checked after.
Outcome OpenFolderStep(int parent, const fs::path& where, const char* name, mode_t mode,
                       std::optional<gid_t> group, Descriptor* out) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  for (int attempt = 0; attempt < 2; ++attempt) {
    Descriptor fd(::openat(parent, name, kFlags));
    if (fd.get() >= 0) {
      *out = std::move(fd);
      return Outcome::Usable;
    }
    if (errno == ELOOP || errno == ENOTDIR) {
      ReportRefusal("not using " + (where / name).string() + ": it is a link or not a folder");
      return Outcome::Refused;
    }
    if (errno != ENOENT) return Outcome::Unavailable;
    if (::mkdirat(parent, name, mode) != 0) {
      if (errno == EEXIST) continue;  // made by another process meanwhile: open that one
      return Outcome::Unavailable;    // no right to make it here
    }
    Descriptor made(::openat(parent, name, kFlags));
    if (made.get() < 0) return Outcome::Unavailable;
    if (group && ::fchown(made.get(), static_cast<uid_t>(-1), *group) != 0) {
      // The folder keeps its creator's group; the check below still decides whether it is used.
    }
    if (::fchmod(made.get(), mode) != 0) return Outcome::Unavailable;
    *out = std::move(made);
    return Outcome::Usable;
  }
  return Outcome::Unavailable;
}

// Folders on the way to the lock folder: owned by root or the program's user, and nobody else
// may replace what they hold (not writable by others, unless sticky).
bool PathFolderSound(int fd, const fs::path& path) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return false;
  const bool ownerOk = info.st_uid == 0 || info.st_uid == ::geteuid();
  const bool othersMayReplace = (info.st_mode & S_IWOTH) && !(info.st_mode & S_ISVTX);
  if (ownerOk && !othersMayReplace) return true;
  ReportRefusal("not using the lock folder below " + path.string() +
                ": that folder belongs to uid " + std::to_string(info.st_uid) +
                " or can be changed by every user");
  return false;
}

// True when this process may create files in the folder fstat describes.
bool MayCreateIn(const struct stat& info) {
  const uid_t self = ::geteuid();
  if (self == 0) return true;
  if (info.st_uid == self) return (info.st_mode & S_IWUSR) != 0;
  return (info.st_mode & S_IWGRP) && station::ProcessInGroup(info.st_gid);
}

// Checks an opened lock folder; refuses it with a message when somebody else controls it.
Outcome CheckLockFolder(const Descriptor& fd, const fs::path& path, std::optional<gid_t> group,
                        bool mustBePrivate) {
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return Outcome::Unavailable;
  std::string problem = station::LockFolderProblem(info, ::geteuid(), group);
  if (problem.empty() && mustBePrivate && info.st_uid != ::geteuid()) {
    problem = "belongs to uid " + std::to_string(info.st_uid) + ", not to uid " +
              std::to_string(::geteuid());
  }
  if (!problem.empty()) {
    ReportRefusal("not using the lock folder " + path.string() + ": it " + problem);
    return Outcome::Refused;
  }
  return MayCreateIn(info) ? Outcome::Usable : Outcome::Unavailable;
}

// The shared folder, /run/burnwell/lock below the system root.
Outcome OpenSharedFolder(LockFolder* folder) {
  const fs::path root = Current<System>().SystemRoot();
  Descriptor fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return Outcome::Unavailable;
  const std::optional<gid_t> group = station::GroupId();
  const bool asRoot = ::geteuid() == 0;
  // The modes of folders a program makes: /run/burnwell as the relay makes it, the lock folder
  // shared with the station group when there is one (made by root only: others could not give
  // it to root).
  struct Part {
    const char* name;
    mode_t mode;
    std::optional<gid_t> group;
  };
  const Part parts[] = {
      {"run", 0755, std::nullopt},
      {"burnwell", mode_t(group ? 0750 : 0700), asRoot ? group : std::nullopt},
      {"lock", mode_t(group && asRoot ? 01770 : 0755), asRoot ? group : std::nullopt},
  };
  fs::path path = root;
  for (const Part& part : parts) {
    if (!PathFolderSound(fd.get(), path)) return Outcome::Refused;
    Descriptor next;
    const Outcome step = OpenFolderStep(fd.get(), path, part.name, part.mode, part.group, &next);
    if (step != Outcome::Usable) return step;
    fd = std::move(next);
    path /= part.name;
  }
  const Outcome outcome = CheckLockFolder(fd, path, group, false);
  if (outcome == Outcome::Usable) *folder = {std::move(fd), false, path};
  return outcome;
}

// The folder `name` in `base`, made for this user alone when missing.
Outcome OpenPrivateFolderIn(const fs::path& base, const std::string& name, LockFolder* folder) {
  Descriptor parent(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (parent.get() < 0) return Outcome::Unavailable;
  if (!PathFolderSound(parent.get(), base)) return Outcome::Refused;
  Descriptor fd;
  const Outcome step = OpenFolderStep(parent.get(), base, name.c_str(), 0700, std::nullopt, &fd);
  if (step != Outcome::Usable) return step;
  const fs::path path = base / name;
  const Outcome outcome = CheckLockFolder(fd, path, std::nullopt, true);
  if (outcome == Outcome::Usable) *folder = {std::move(fd), true, path};
  return outcome;
}

// How many names in /tmp a user's lock folder may move on to past folders other users made.
constexpr int kPrivateFolderNames = 64;

// The user's own folder: $XDG_RUNTIME_DIR/burnwell-locks; else burnwell-locks in the user's
// runtime folder /run/user/UID, when there is one (only root makes those); else
// /tmp/burnwell-locks-UID. Another user may make that one first: then the next name
// (burnwell-locks-UID-2, -3, ...) that is this user's or free is taken, the same one by every
// program of the user.
Outcome OpenPrivateFolder(LockFolder* folder) {
  if (const auto runtime = EnvironmentSetting("XDG_RUNTIME_DIR");
      runtime && runtime->front() == '/')
    return OpenPrivateFolderIn(*runtime, "burnwell-locks", folder);
  const std::string uid = std::to_string(::geteuid());
  const fs::path userRuntime = Current<System>().SystemRoot() / "run" / "user" / uid;
  std::error_code error;
  if (fs::is_directory(userRuntime, error)) {
    const Outcome outcome = OpenPrivateFolderIn(userRuntime, "burnwell-locks", folder);
    if (outcome != Outcome::Unavailable) return outcome;
  }
  for (int n = 1; n <= kPrivateFolderNames; ++n) {
    const std::string name = "burnwell-locks-" + uid + (n == 1 ? "" : "-" + std::to_string(n));
    const Outcome outcome = OpenPrivateFolderIn("/tmp", name, folder);
    if (outcome != Outcome::Refused) return outcome;
  }
  return Outcome::Refused;
}

std::optional<LockFolder> OpenLockFolder() {
  LockFolder folder;
  switch (OpenSharedFolder(&folder)) {
    case Outcome::Usable: return folder;
    case Outcome::Refused: return std::nullopt;
    case Outcome::Unavailable: break;
  }
  if (OpenPrivateFolder(&folder) == Outcome::Usable) return folder;
  return std::nullopt;
}

// What a folder entry that is no lock file is, for a message.
std::string EntryKind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "not a regular file";
}

// Whoever may keep lock files in the shared folder: root and the station group's members.
bool OwnedByMember(uid_t owner) {
  if (owner == 0) return true;
  const std::optional<gid_t> group = station::GroupId();
  return group && station::UserInGroup(owner, *group);
}

// Opens (or creates) one lock file in a checked folder: never through a link, only a regular
// file, read-only. An entry that is no lock file (a FIFO, a link, a folder... planted by
// someone) is refused by name with what to do; root replaces it in the shared folder with a
// fresh lock file, and replaces a lock file of someone outside the station group too. -1 on
// failure.
int OpenLockFile(const LockFolder& folder, const std::string& fileName, bool create) {
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
  const mode_t mode = folder.privateToUser ? 0600 : 0644;
  const fs::path path = folder.path / fileName;
  const bool mayReplace = ::geteuid() == 0 && !folder.privateToUser;
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = -1;
    if (create) {
      fd = ::openat(folder.fd.get(), fileName.c_str(), kFlags | O_CREAT | O_EXCL, mode);
      if (fd >= 0) ::fchmod(fd, mode);  // the umask must not keep other users of the folder out
    }
    if (fd < 0 && (!create || errno == EEXIST))
      fd = ::openat(folder.fd.get(), fileName.c_str(), kFlags);
    struct stat info {};
    std::string problem;  // why the entry is no lock file; empty when it is one
    if (fd < 0) {
      const int error = errno;
      if (error == ENOENT ||
          ::fstatat(folder.fd.get(), fileName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
      problem = S_ISREG(info.st_mode)
                    ? std::string("it cannot be opened (") + std::strerror(error) + ")"
                    : "it is " + EntryKind(info.st_mode) + ", not a lock file";
    } else if (::fstat(fd, &info) != 0) {
      ::close(fd);
      return -1;
    } else if (!S_ISREG(info.st_mode)) {
      problem = "it is " + EntryKind(info.st_mode) + ", not a lock file";
    } else if (mayReplace && !OwnedByMember(info.st_uid)) {
      problem = "it belongs to uid " + std::to_string(info.st_uid) + ", outside the group " +
                station::kGroupName;
    } else {
      return fd;
    }
    if (fd >= 0) ::close(fd);
    if (!mayReplace || attempt > 0 ||
        ::unlinkat(folder.fd.get(), fileName.c_str(), S_ISDIR(info.st_mode) ? AT_REMOVEDIR : 0) !=
            0) {
      ReportRefusal("remove " + path.string() + ": " + problem);
      return -1;
    }
    SayOnce("replaced " + path.string() + " with a fresh lock file: " + problem);
    create = true;
  }
  return -1;
}

// A file name that keeps every name distinct: characters outside [A-Za-z0-9_.-] and a leading
// dot become %XX.
std::string LockFileName(const std::string& name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-' || (c == '.' && i > 0);
    out += plain ? std::string(1, static_cast<char>(c)) : "%" + Hex(c, 2, HexDigits::Upper);
  }
  return out + ".lock";
}

// One name's state in this process, shared by every handle opened on it.
struct LockState {
  explicit LockState(int descriptor) : fd(descriptor), process(::getpid()) {}
  ~LockState() { ::close(fd); }

  const int fd;
  // A forked child shares the parent's open file and so its flock: it opens its own.
  const pid_t process;
  std::mutex mutex;
  std::condition_variable released;
  bool busy = false;  // a thread owns it or is taking the file lock
  std::thread::id owner;
  unsigned recursion = 0;
};

class LinuxNamedLocks final : public NamedLocks {
 public:
  LockHandle Open(const char* name) override { return OpenOrCreate(name, false); }
  LockHandle Create(const char* name) override { return OpenOrCreate(name, true); }

  WaitResult Wait(LockHandle handle, std::uint32_t timeoutMs) override {
    const auto state = Find(handle);
    if (!state) return WaitResult::Failed;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(state->mutex);
    if (state->busy && state->owner == std::this_thread::get_id()) {
      ++state->recursion;
      return WaitResult::Signalled;
    }
    if (!state->released.wait_until(lock, deadline, [&] { return !state->busy; }))
      return WaitResult::TimedOut;
    // This thread now takes the file lock on the process's behalf; others in the process wait.
    state->busy = true;
    state->owner = std::this_thread::get_id();
    lock.unlock();

    const WaitResult result = TakeFileLock(state->fd, deadline);
    lock.lock();
    if (result == WaitResult::Signalled) {
      state->recursion = 1;
    } else {
      state->busy = false;
      state->owner = {};
      state->released.notify_one();
    }
    return result;
  }

  bool Release(LockHandle handle) override {
    const auto state = Find(handle);
    if (!state) return false;
    std::lock_guard lock(state->mutex);
    if (!state->busy || state->owner != std::this_thread::get_id() || state->recursion == 0)
      return false;
    if (--state->recursion > 0) return true;
    ::flock(state->fd, LOCK_UN);
    state->busy = false;
    state->owner = {};
    state->released.notify_one();
    return true;
  }

  bool Close(LockHandle handle) override {
    std::lock_guard lock(mutex_);
    return handles_.erase(handle) == 1;
  }

 private:
  static WaitResult TakeFileLock(int fd, SteadyClock::time_point deadline) {
    // flock has no time-out: poll it, briefly at first.
    auto pause = std::chrono::milliseconds(1);
    while (true) {
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return WaitResult::Signalled;
      if (errno != EWOULDBLOCK && errno != EINTR) return WaitResult::Failed;
      const auto now = SteadyClock::now();
      if (now >= deadline) return WaitResult::TimedOut;
      std::this_thread::sleep_for(std::min<SteadyClock::duration>(pause, deadline - now));
      pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
  }

  LockHandle OpenOrCreate(const char* name, bool create) {
    if (name == nullptr || *name == '\0') return 0;
    std::lock_guard lock(mutex_);
    std::shared_ptr<LockState> state = byName_[name].lock();
    if (state && state->process != ::getpid()) state.reset();
    if (!state) {
      NoteLockProblem({});  // a reason met earlier must not explain a later failure
      const std::optional<LockFolder> folder = OpenLockFolder();
      if (!folder) return 0;
      const int fd = OpenLockFile(*folder, LockFileName(name), create);
      if (fd < 0) return 0;
      state = std::make_shared<LockState>(fd);
      byName_[name] = state;
    }
    const LockHandle handle = nextHandle_++;
    handles_[handle] = state;
    return handle;
  }

  std::shared_ptr<LockState> Find(LockHandle handle) {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : it->second;
  }

  std::mutex mutex_;
  std::map<std::string, std::weak_ptr<LockState>> byName_;
  std::map<LockHandle, std::shared_ptr<LockState>> handles_;
  LockHandle nextHandle_ = 1;
};

}  // namespace

template <>
NamedLocks& SystemInstance<NamedLocks>() {
  static LinuxNamedLocks locks;
  return locks;
}

}  // namespace burnwell::platform
