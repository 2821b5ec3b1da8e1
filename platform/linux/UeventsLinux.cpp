// The kernel's uevents for SCSI generic nodes through libudev's monitor, read by a thread that
// also waits on an eventfd for the end of the watch.
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <thread>

#include "platform/Uevents.h"

namespace burnwell::platform {
namespace {

// udev announces a node once its rules have run (permissions set); without udev running, the
// kernel's own announcement is all there is.
constexpr char kUdevControl[] = "/run/udev/control";

struct MonitorThread {
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;
  int stopFd = -1;
  std::function<void()> changed;
  std::thread thread;

  ~MonitorThread() {
    if (stopFd >= 0) ::close(stopFd);
    if (monitor) udev_monitor_unref(monitor);
    if (context) udev_unref(context);
  }

  void Run() {
    pollfd waits[2] = {{udev_monitor_get_fd(monitor), POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
      if (::poll(waits, 2, -1) < 0) continue;  // EINTR
      if (waits[1].revents != 0) return;
      if (waits[0].revents & (POLLERR | POLLNVAL)) return;
      if (udev_device* device = udev_monitor_receive_device(monitor)) {
        udev_device_unref(device);
        changed();
      }
    }
  }
};

class LibudevUevents final : public Uevents {
 public:
  std::intptr_t Watch(std::function<void()> changed) override {
    auto watch = std::make_unique<MonitorThread>();
    watch->changed = std::move(changed);
    watch->context = udev_new();
    if (!watch->context) return 0;
    const char* source = ::access(kUdevControl, F_OK) == 0 ? "udev" : "kernel";
    watch->monitor = udev_monitor_new_from_netlink(watch->context, source);
    if (!watch->monitor) return 0;
    if (udev_monitor_filter_add_match_subsystem_devtype(watch->monitor, "scsi_generic", nullptr) <
            0 ||
        udev_monitor_enable_receiving(watch->monitor) < 0)
      return 0;
    watch->stopFd = ::eventfd(0, EFD_CLOEXEC);
    if (watch->stopFd < 0) return 0;
    MonitorThread& started = *watch;
    started.thread = std::thread([&started] { started.Run(); });
    return reinterpret_cast<std::intptr_t>(watch.release());
  }

  void EndWatch(std::intptr_t handle) override {
    if (handle == 0) return;
    std::unique_ptr<MonitorThread> watch(reinterpret_cast<MonitorThread*>(handle));
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(watch->stopFd, &one, sizeof one);
    if (watch->thread.joinable()) watch->thread.join();
  }
};

}  // namespace

template <>
Uevents& SystemInstance<Uevents>() {
  static LibudevUevents instance;
  return instance;
}

}  // namespace burnwell::platform
