#include "ui/terminal/TerminalBackend.h"

#include "ui/Templates.h"

namespace burnwell::ui {

class TerminalWindow final : public ModelWindow {
 public:
  TerminalWindow(TerminalBackend& backend, CDialog& dialog, const DialogSpec& layout)
      : ModelWindow(dialog, layout), backend_(backend) {}
  ~TerminalWindow() override { backend_.loop_.KillTimers(this); }

  void SetTimer(unsigned id, unsigned milliseconds) override {
    backend_.loop_.SetTimer(this, id, milliseconds);
  }
  void KillTimer(unsigned id) override { backend_.loop_.KillTimer(this, id); }
  int RunModal() override {
    backend_.view_.Line(std::string(Layout().caption));
    Dialog().Dispatch(WM_INITDIALOG, 0, 0);
    // A terminal dialog that nothing can end any more (no timer, no worker) would hang.
    if (!backend_.loop_.RunUntil([this] { return ended_; }, {})) result_ = IDCANCEL;
    backend_.view_.ShowProgress(false);
    return result_;
  }
  void EndModal(int result) override {
    ended_ = true;
    result_ = result;
  }
  void Post(std::function<void()> work) override { backend_.loop_.Post(std::move(work)); }
  void Send(std::function<void()> work) override { backend_.loop_.Send(std::move(work)); }
  bool OnDialogThread() const override { return backend_.loop_.OnLoopThread(); }
  int MessageBox(const std::string& text, const std::string& caption,
                 std::uint32_t style) override {
    return backend_.view_.Message(text, caption, style);
  }

 protected:
  void Changed(int id) override {
    const ControlState* control = id ? Control(id) : nullptr;
    if (!control) return;
    switch (control->layout->kind) {
      case ControlKind::Progress:
        backend_.view_.ShowProgress(control->visible);
        if (control->visible) backend_.view_.Progress(control->progress);
        return;
      case ControlKind::Static:
        if (id == IDC_STATUS) {
          backend_.view_.Status(control->text);
        } else if (control->visible && !control->text.empty() && printed_[id] != control->text &&
                   control->layout->kind == ControlKind::Static && id != IDC_VERSION_TEXT) {
          printed_[id] = control->text;
          backend_.view_.Line(control->text);
        }
        return;
      case ControlKind::Edit:
        if (control->visible && !control->text.empty() && printed_[id] != control->text) {
          printed_[id] = control->text;
          backend_.view_.Line(Label(id) + control->text);
        }
        return;
      default: return;
    }
  }

 private:
  // The text of the label in front of an edit ("Checksum: "), from the template.
  std::string Label(int id) const {
    const ControlSpec* previous = nullptr;
    for (const ControlSpec& control : Layout().controls) {
      if (control.kind == ControlKind::Static && control.y == Layout().Find(id)->y &&
          control.x < Layout().Find(id)->x) {
        previous = &control;
      }
    }
    return previous ? StripMnemonic(previous->text) + " " : std::string();
  }

  TerminalBackend& backend_;
  std::map<int, std::string> printed_;
  bool ended_ = false;
  int result_ = IDCANCEL;
};

TerminalBackend::TerminalBackend(TerminalView view, std::optional<FileVersion> version)
    : view_(std::move(view)), version_(version) {
  loop_.BindToThisThread();
}

TerminalBackend::~TerminalBackend() { loop_.JoinThreads(); }

std::unique_ptr<DialogWindow> TerminalBackend::CreateDialogWindow(CDialog& dialog,
                                                                  const DialogSpec& layout,
                                                                  DialogWindow*) {
  return std::make_unique<TerminalWindow>(*this, dialog, layout);
}

int TerminalBackend::MessageBox(const std::string& text, const std::string& caption,
                                std::uint32_t style) {
  return view_.Message(text, caption, style);
}

std::uintptr_t TerminalBackend::StartThread(void (*entry)(void*), void* argument) {
  return loop_.StartThread(entry, argument);
}

}  // namespace burnwell::ui
