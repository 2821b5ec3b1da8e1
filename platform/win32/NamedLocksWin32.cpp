// Named locks on Windows: named mutexes.
#include <windows.h>

#include "platform/NamedLock.h"

namespace burnwell::platform {
namespace {

HANDLE AsHandle(LockHandle lock) { return reinterpret_cast<HANDLE>(lock); }

class Win32NamedLocks final : public NamedLocks {
 public:
  LockHandle Open(const char* name) override {
    if (name == nullptr) return 0;
    return reinterpret_cast<LockHandle>(::OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name));
  }
  LockHandle Create(const char* name) override {
    if (name == nullptr || *name == '\0') return 0;
    return reinterpret_cast<LockHandle>(::CreateMutexA(nullptr, FALSE, name));
  }
  WaitResult Wait(LockHandle lock, std::uint32_t timeoutMs) override {
    if (lock == 0) return WaitResult::Failed;
    switch (::WaitForSingleObject(AsHandle(lock), timeoutMs)) {
      case WAIT_OBJECT_0: return WaitResult::Signalled;
      case WAIT_TIMEOUT: return WaitResult::TimedOut;
      case WAIT_ABANDONED: return WaitResult::Abandoned;
      default: return WaitResult::Failed;
    }
  }
  bool Release(LockHandle lock) override {
    return lock != 0 && ::ReleaseMutex(AsHandle(lock)) != 0;
  }
  bool Close(LockHandle lock) override { return lock != 0 && ::CloseHandle(AsHandle(lock)) != 0; }
};

}  // namespace

template <>
NamedLocks& SystemInstance<NamedLocks>() {
  static Win32NamedLocks locks;
  return locks;
}

}  // namespace burnwell::platform
