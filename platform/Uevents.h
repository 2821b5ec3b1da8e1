// Storage devices arriving and leaving as the Linux kernel announces them: its uevents for SCSI
// generic nodes, received through libudev (from udev once it has set up the node, or straight
// from the kernel where no udev runs). Windows announces arrivals through WinDeviceServices;
// there the system instance has none.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/Seam.h"

namespace burnwell::platform {

class Uevents {
 public:
  virtual ~Uevents() = default;
  // Calls `changed` on a thread of the implementation's own after each event: 0 when events
  // cannot be had (the caller then looks by itself).
  virtual std::intptr_t Watch(std::function<void()> changed) = 0;
  // Ends a watch: no call of `changed` starts after it returns.
  virtual void EndWatch(std::intptr_t watch) = 0;
};

template <>
Uevents& SystemInstance<Uevents>();

}  // namespace burnwell::platform
