// A progress "window" for a command-line update: the flash operations post progress-bar
// messages to ProgressWindow(); installed as the platform's window messages, this applies them
// to a bar and draws it with a TerminalView. Messages for other handles are refused.
#pragma once

#include <mutex>

#include "platform/WindowMessages.h"
#include "ui/Framework.h"
#include "ui/terminal/TerminalView.h"

namespace burnwell::ui {

class TerminalProgress final : public platform::WindowMessages {
 public:
  explicit TerminalProgress(TerminalView& view) : view_(view) {}
  static constexpr WindowHandle kHandle = 0x7E55;
  WindowHandle ProgressWindow() const { return kHandle; }
  void Show(bool visible);
  ProgressState State() const;

  bool Post(WindowHandle window, std::uint32_t message, WParam wParam, LParam lParam) override;
  LResult Send(WindowHandle window, std::uint32_t message, WParam wParam, LParam lParam) override;

 private:
  TerminalView& view_;
  mutable std::mutex mutex_;
  ProgressState state_;
  bool visible_ = false;
};

}  // namespace burnwell::ui
