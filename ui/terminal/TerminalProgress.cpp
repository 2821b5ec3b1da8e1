#include "ui/terminal/TerminalProgress.h"

namespace burnwell::ui {

void TerminalProgress::Show(bool visible) {
  std::lock_guard lock(mutex_);
  visible_ = visible;
  view_.ShowProgress(visible);
  if (visible) view_.Progress(state_);
}

ProgressState TerminalProgress::State() const {
  std::lock_guard lock(mutex_);
  return state_;
}

bool TerminalProgress::Post(WindowHandle window, std::uint32_t message, WParam wParam,
                            LParam lParam) {
  if (window != kHandle) return false;
  Send(window, message, wParam, lParam);
  return true;
}

LResult TerminalProgress::Send(WindowHandle window, std::uint32_t message, WParam wParam,
                               LParam lParam) {
  if (window != kHandle) return 0;
  std::lock_guard lock(mutex_);
  const LResult result = ApplyProgressMessage(state_, message, wParam, lParam);
  if (visible_) view_.Progress(state_);
  return result;
}

}  // namespace burnwell::ui
