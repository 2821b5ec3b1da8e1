// Placeholder until the named locks of this platform land: every call fails.
#include "platform/NamedLock.h"

namespace burnwell::platform {
namespace {

class UnavailableLocks final : public NamedLocks {
 public:
  LockHandle Open(const char*) override { return 0; }
  LockHandle Create(const char*) override { return 0; }
  WaitResult Wait(LockHandle, std::uint32_t) override { return WaitResult::Failed; }
  bool Release(LockHandle) override { return false; }
  bool Close(LockHandle) override { return false; }
};

}  // namespace

template <>
NamedLocks& SystemInstance<NamedLocks>() {
  static UnavailableLocks locks;
  return locks;
}

}  // namespace burnwell::platform
