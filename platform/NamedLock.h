// Named locks shared between processes and owned per thread, like Windows named mutexes
// (CreateMutexA / OpenMutexA on Windows; lock files with flock plus an in-process lock on Linux).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Seam.h"

namespace burnwell::platform {

using LockHandle = std::intptr_t;  // 0: none

enum class WaitResult {
  Signalled,  // the caller owns the lock
  TimedOut,
  Abandoned,  // the previous holder ended without releasing; the caller owns the lock now
  Failed,
};

class NamedLocks {
 public:
  virtual ~NamedLocks() = default;
  // Opens an existing lock by name (OpenMutexA with MUTEX_ALL_ACCESS); 0 on failure.
  virtual LockHandle Open(const char* name) = 0;
  // Creates the lock, not owned (CreateMutexA); opens it when it exists already; 0 on failure.
  virtual LockHandle Create(const char* name) = 0;
  // Waits up to timeoutMs milliseconds for ownership (WaitForSingleObject).
  virtual WaitResult Wait(LockHandle lock, std::uint32_t timeoutMs) = 0;
  // Gives up ownership held by the calling thread (ReleaseMutex).
  virtual bool Release(LockHandle lock) = 0;
  // Closes the handle (CloseHandle).
  virtual bool Close(LockHandle lock) = 0;
};

template <>
NamedLocks& SystemInstance<NamedLocks>();

// Why the last lock could not be opened or created, in words the user can act on ("remove
// /run/burnwell/lock/DeviceIndex_00.lock: it is a FIFO, not a lock file"); nothing when no
// such reason was met. Linux only: a Windows named mutex has no file to plant.
std::optional<std::string> LastLockProblem();
// Records such a reason (an empty text forgets it).
void NoteLockProblem(std::string text);

}  // namespace burnwell::platform
