// The seam: every service the code reaches process-wide (an operating-system service, the
// dialogs' backend and string table, the image readers' allocator) is a small interface with
// one implementation in use at a time, reached with Current<Interface>(). The process's own
// implementation is SystemInstance<Interface>(); a program or a test installs another with
// ScopedOverride, which puts the previous one back at the end of its scope.
//
// State is not a service: each layer keeps its process-wide state in one object reached
// through one accessor and put back by one reset (PlatformLayer() and ResetPlatformState(),
// device::DeviceLayer() and device::ResetDeviceLayerState(), bridge::BridgeLayer() and
// bridge::ResetBridgeLayerState(), ui::UiLayer() and ui::ResetUiState(), image::LoadedImage()
// and image::ResetLoadedImage()); scripts/check-state.py refuses state anywhere else.
#pragma once

#include <atomic>

namespace burnwell::platform {

// The process's own implementation of Interface: defined once, per platform for an
// operating-system service (platform/linux, platform/win32), beside the interface otherwise.
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

// Installs an implementation for the lifetime of the guard and restores the previous one.
// Guards end in the reverse order of their start (each one a local or a member).
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
