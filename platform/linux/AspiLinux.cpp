// No ASPI library exists on Linux: loading fails. Events are real (mutex and condition
// variable) so that code above the seam behaves as it would without the library on Windows.
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "platform/Aspi.h"

namespace burnwell::platform {
namespace {

struct Event {
  std::mutex mutex;
  std::condition_variable changed;
  bool signalled = false;
};

class LinuxAspi final : public AspiLibrary {
 public:
  ModuleHandle Load(const char*) override { return 0; }
  void* Find(ModuleHandle, const char*) override { return nullptr; }
  void Free(ModuleHandle) override {}

  EventHandle NewEvent() override {
    std::lock_guard lock(mutex_);
    const EventHandle handle = next_++;
    events_[handle] = std::make_shared<Event>();
    return handle;
  }
  bool SignalEvent(EventHandle handle) override {
    const auto event = Find(handle);
    if (!event) return false;
    std::lock_guard lock(event->mutex);
    event->signalled = true;
    event->changed.notify_all();
    return true;
  }
  bool ClearEvent(EventHandle handle) override {
    const auto event = Find(handle);
    if (!event) return false;
    std::lock_guard lock(event->mutex);
    event->signalled = false;
    return true;
  }
  WaitResult WaitForEvent(EventHandle handle, std::uint32_t timeoutMs) override {
    const auto event = Find(handle);
    if (!event) return WaitResult::Failed;
    std::unique_lock lock(event->mutex);
    return event->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return event->signalled; })
               ? WaitResult::Signalled
               : WaitResult::TimedOut;
  }
  bool CloseEvent(EventHandle handle) override {
    std::lock_guard lock(mutex_);
    return events_.erase(handle) == 1;
  }

 private:
  std::shared_ptr<Event> Find(EventHandle handle) {
    std::lock_guard lock(mutex_);
    const auto it = events_.find(handle);
    return it == events_.end() ? nullptr : it->second;
  }

  std::mutex mutex_;
  std::map<EventHandle, std::shared_ptr<Event>> events_;
  EventHandle next_ = 1;
};

}  // namespace

template <>
AspiLibrary& SystemInstance<AspiLibrary>() {
  static LinuxAspi aspi;
  return aspi;
}

}  // namespace burnwell::platform
