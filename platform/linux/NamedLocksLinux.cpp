// Named locks on Linux, owned per thread like Windows mutexes: one lock file per name, held
// with flock by the process while one of its threads owns the lock, plus an in-process state
// that says which thread that is. A process that dies drops its flock, so the next waiter
// simply gets the lock.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/NamedLock.h"
#include "platform/System.h"

namespace burnwell::platform {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

bool WritableDirectory(const fs::path& dir) {
  std::error_code error;
  fs::create_directories(dir, error);
  return fs::is_directory(dir, error) && ::access(dir.c_str(), W_OK | X_OK) == 0;
}

// Where lock files live: /run/lock/burnwell below the system root, else a folder this user
// can write.
fs::path LockDirectory() {
  const fs::path preferred = UnderSystemRoot("/run/lock/burnwell");
  if (WritableDirectory(preferred)) return preferred;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    const fs::path dir = fs::path(runtime) / "burnwell-locks";
    if (WritableDirectory(dir)) return dir;
  }
  return fs::temp_directory_path() / ("burnwell-locks-" + std::to_string(::getuid()));
}

// A file name that keeps every name distinct: characters outside [A-Za-z0-9_.-] and a leading
// dot become %XX.
std::string LockFileName(const std::string& name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-' || (c == '.' && i > 0);
    if (plain) {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
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
  bool busy = false;                  // a thread owns it or is taking the file lock
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
      const fs::path dir = LockDirectory();
      std::error_code error;
      fs::create_directories(dir, error);
      const fs::path file = dir / LockFileName(name);
      const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0666);
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
