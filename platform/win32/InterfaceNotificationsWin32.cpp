#include "platform/win32/InterfaceNotifications.h"

#include <dbt.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace burnwell::platform {
namespace {

constexpr wchar_t kWindowClass[] = L"BurnwellInterfaceWatch";

struct Watch {
  std::function<void()> changed;
  std::vector<GUID> classes;
  std::thread thread;
  HWND window = nullptr;
  std::mutex mutex;
  std::condition_variable readyChanged;
  bool ready = false;
  bool running = false;
};

LRESULT CALLBACK WatchProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE &&
      (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
    auto* watch = reinterpret_cast<Watch*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (watch) watch->changed();
    return TRUE;
  }
  if (message == WM_CLOSE) {
    DestroyWindow(window);
    return 0;
  }
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterWindowClass() {
  static const bool registered = [] {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WatchProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    return RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  return registered;
}

void RunWatch(Watch& watch) {
  std::vector<HDEVNOTIFY> registrations;
  HWND window = RegisterWindowClass()
                    ? CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      GetModuleHandleW(nullptr), nullptr)
                    : nullptr;
  if (window) {
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&watch));
    for (const GUID& interfaceClass : watch.classes) {
      DEV_BROADCAST_DEVICEINTERFACE_W filter{};
      filter.dbcc_size = sizeof filter;
      filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      filter.dbcc_classguid = interfaceClass;
      if (HDEVNOTIFY registration =
              RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE))
        registrations.push_back(registration);
    }
  }
  const bool running = window && registrations.size() == watch.classes.size();
  {
    std::lock_guard lock(watch.mutex);
    watch.window = window;
    watch.running = running;
    watch.ready = true;
  }
  watch.readyChanged.notify_all();
  if (running) {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  } else if (window) {
    DestroyWindow(window);
  }
  for (HDEVNOTIFY registration : registrations) UnregisterDeviceNotification(registration);
}

}  // namespace

std::intptr_t StartInterfaceNotifications(std::initializer_list<GUID> classes,
                                          std::function<void()> changed) {
  auto watch = std::make_unique<Watch>();
  watch->changed = std::move(changed);
  watch->classes.assign(classes.begin(), classes.end());
  Watch& started = *watch;
  started.thread = std::thread([&started] { RunWatch(started); });
  std::unique_lock lock(started.mutex);
  started.readyChanged.wait(lock, [&started] { return started.ready; });
  if (!started.running) {
    lock.unlock();
    started.thread.join();
    return 0;
  }
  return reinterpret_cast<std::intptr_t>(watch.release());
}

void EndInterfaceNotifications(std::intptr_t handle) {
  if (handle == 0) return;
  std::unique_ptr<Watch> watch(reinterpret_cast<Watch*>(handle));
  PostMessageW(watch->window, WM_CLOSE, 0, 0);
  if (watch->thread.joinable()) watch->thread.join();
}

}  // namespace burnwell::platform
