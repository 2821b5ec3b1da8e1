// Telling a bridge that is going away from a command that failed on a bridge that is still
// there. An unplug does not always fail the command in flight the way a gone device fails: on
// Linux, usb-storage ends it with a host error (DID_ERROR) and only the commands after it meet
// ENODEV; on Windows it may end with a general device error. So after a command that failed
// without saying why, the device is looked at again for a short while (is its node still
// there, does a harmless TEST UNIT READY still reach it) before the failure counts as a failed
// command, which the update would answer with a further pass.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/IoFailure.h"

namespace burnwell::platform {

// How long a failed command's device is watched, and how often it is looked at. A device being
// removed goes within a few hundred milliseconds (measured under QEMU on a busy machine);
// one that is there answers the first look.
inline constexpr std::uint32_t kGoneSettleMs = 3000;
inline constexpr std::uint32_t kGoneLookIntervalMs = 20;

// What one look at the device saw: DeviceGone, NoAnswer, None (the device answered: it is
// there), or CommandFailed (nothing certain yet).
using DeviceLook = std::function<IoFailure()>;

// Looks at the device until it answers, is seen gone or silent, or kGoneSettleMs have passed
// (on the platform clock); returns DeviceGone or NoAnswer when seen so, else CommandFailed.
IoFailure SettleFailedCommand(const DeviceLook& look);

}  // namespace burnwell::platform
