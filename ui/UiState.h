// The dialog framework's process-wide state: the application object and the control handles
// of the live in-memory windows (ui/ModelWindow.h).
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <utility>

#include "platform/WindowMessages.h"

namespace burnwell::ui {

class CWinApp;
class ModelWindow;

// Control handles of every live in-memory window: handle -> (window, control id). Windows add
// their controls when they are made and take them out when they end.
struct ControlHandles {
  static constexpr platform::WindowHandle kFirst = 0x10000;
  std::mutex mutex;
  std::map<platform::WindowHandle, std::pair<ModelWindow*, int>> controls;
  platform::WindowHandle last = kFirst;

  void Clear() {
    std::lock_guard lock(mutex);
    controls.clear();
    last = kFirst;
  }
};

struct UiState {
  std::atomic<CWinApp*> app{nullptr};  // the one application object, while it lives
  ControlHandles controlHandles;
};

// The one dialog-framework state of the process.
UiState& UiLayer();

// Puts the dialog-framework state back to its start values (tests, with no window and no
// application object alive).
void ResetUiState();

}  // namespace burnwell::ui
