// How the calling thread's device I/O last failed: a command that failed on a device that is
// still there, a device that no longer answers within the program's own deadline, a device
// that is gone (unplugged), or a command refused because a stop was requested. Kept per thread
// because each bridge's update runs on its own thread; the device layer's last-error value keeps
// its own meaning beside it.
#pragma once

#include <cstdint>

namespace burnwell::platform {

// Ordered from mild to grave: a graver failure is never overwritten by a milder one until the
// record is cleared (the clean-up commands after an unplug must not hide it).
enum class IoFailure : std::uint8_t { None, CommandFailed, Stopped, NoAnswer, DeviceGone };

void NoteIoFailure(IoFailure failure);
IoFailure LastIoFailure();
void ClearIoFailure();

}  // namespace burnwell::platform
