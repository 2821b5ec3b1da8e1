// The dialogs on a terminal: no display, or when asked. Timers run in real time; the worker's
// messages reach the dialog's thread through the shared loop.
#pragma once

#include <optional>

#include "ui/Framework.h"
#include "ui/ModelWindow.h"
#include "ui/terminal/TerminalView.h"

namespace burnwell::ui {

class TerminalBackend final : public Backend {
 public:
  explicit TerminalBackend(TerminalView view, std::optional<FileVersion> version);
  ~TerminalBackend() override;

  std::unique_ptr<DialogWindow> CreateDialogWindow(CDialog& dialog, const DialogSpec& layout,
                                                   DialogWindow* parent) override;
  int MessageBox(const std::string& text, const std::string& caption, std::uint32_t style) override;
  std::uintptr_t StartThread(void (*entry)(void*), void* argument) override;
  std::optional<FileVersion> ProgramFileVersion() override { return version_; }
  TerminalView& View() { return view_; }

 private:
  friend class TerminalWindow;
  TerminalView view_;
  std::optional<FileVersion> version_;
  QueueLoop loop_{false};
  // Progress messages reach this backend's windows while it lives.
  ModelWindowMessages messages_;
  platform::ScopedOverride<platform::WindowMessages> windowMessages_{&messages_};
};

}  // namespace burnwell::ui
