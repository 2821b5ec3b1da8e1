// The platform seam: every operating-system service is reached through a small interface,
// one process-wide implementation at a time. The system's own implementation lives in
// platform/linux or platform/win32; tests install fakes with ScopedOverride.
#pragma once

#include <atomic>

namespace burnwell::platform {

// The operating system's implementation of Interface; defined once per platform.
template <class Interface>
Interface& SystemInstance();

template <class Interface>
std::atomic<Interface*>& OverrideSlot() {
  static std::atomic<Interface*> slot{nullptr};
  return slot;
}

// The implementation in use: the installed override, else the system's own.
template <class Interface>
Interface& Current() {
  Interface* override = OverrideSlot<Interface>().load(std::memory_order_acquire);
  return override ? *override : SystemInstance<Interface>();
}

// Installs an implementation (nullptr restores the system's own).
template <class Interface>
void SetOverride(Interface* implementation) {
  OverrideSlot<Interface>().store(implementation, std::memory_order_release);
}

// Installs an implementation for the lifetime of the guard and restores the previous one.
template <class Interface>
class ScopedOverride {
 public:
  explicit ScopedOverride(Interface* implementation)
      : previous_(OverrideSlot<Interface>().exchange(implementation)) {}
  ~ScopedOverride() { OverrideSlot<Interface>().store(previous_); }
  ScopedOverride(const ScopedOverride&) = delete;
  ScopedOverride& operator=(const ScopedOverride&) = delete;

 private:
  Interface* previous_;
};

}  // namespace burnwell::platform
