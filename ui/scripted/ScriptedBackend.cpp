#include "ui/scripted/ScriptedBackend.h"

namespace burnwell::ui {
namespace {

std::string ProgressText(const ProgressState& state) {
  return std::to_string(state.minimum) + ".." + std::to_string(state.maximum) + " @" +
         std::to_string(state.position);
}

}  // namespace

ScriptedBackend::ScriptedBackend() { loop_.BindToThisThread(); }

ScriptedBackend::~ScriptedBackend() { loop_.JoinThreads(); }

std::unique_ptr<DialogWindow> ScriptedBackend::CreateDialogWindow(CDialog& dialog,
                                                                  const DialogSpec& layout,
                                                                  DialogWindow*) {
  return std::make_unique<ScriptedWindow>(*this, dialog, layout);
}

int ScriptedBackend::MessageBox(const std::string& text, const std::string& caption,
                                std::uint32_t style) {
  return Answer(text, caption, style, 0);
}

std::uintptr_t ScriptedBackend::StartThread(void (*entry)(void*), void* argument) {
  if (failThreadStart_) return 0;
  return loop_.StartThread(entry, argument);
}

void ScriptedBackend::AnswerBox(std::string textContains, int answer) {
  std::lock_guard lock(mutex_);
  answers_.emplace_back(std::move(textContains), answer);
}

int ScriptedBackend::Answer(const std::string& text, const std::string& caption,
                            std::uint32_t style, int templateId) {
  std::lock_guard lock(mutex_);
  int answer = IDOK;
  for (const auto& [match, reply] : answers_) {
    if (text.find(match) != std::string::npos) {
      answer = reply;
      break;
    }
  }
  // A box without Cancel can only answer OK.
  if ((style & MB_TYPEMASK) == MB_OK) answer = IDOK;
  boxes_.push_back({text, caption, style, answer, templateId});
  events_.push_back("box " + caption + ": " + text);
  return answer;
}

void ScriptedBackend::Record(std::string event) {
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
}
std::vector<std::string> ScriptedBackend::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}
std::vector<ShownMessageBox> ScriptedBackend::Boxes() const {
  std::lock_guard lock(mutex_);
  return boxes_;
}

ScriptedWindow::ScriptedWindow(ScriptedBackend& backend, CDialog& dialog, const DialogSpec& layout)
    : ModelWindow(dialog, layout), backend_(backend) {
  for (const ControlState& control : Controls()) {
    if (control.layout->kind == ControlKind::Progress)
      lastProgress_[control.layout->id] = ProgressText(control.progress);
  }
}

ScriptedWindow::~ScriptedWindow() { backend_.loop_.KillTimers(this); }

void ScriptedWindow::SetTimer(unsigned id, unsigned milliseconds) {
  backend_.Record("timer " + std::to_string(id) + " " + std::to_string(milliseconds));
  backend_.loop_.SetTimer(this, id, milliseconds);
}
void ScriptedWindow::KillTimer(unsigned id) { backend_.loop_.KillTimer(this, id); }

int ScriptedWindow::RunModal() {
  backend_.Record("open " + std::to_string(Layout().id));
  Dialog().Dispatch(WM_INITDIALOG, 0, 0);
  if (backend_.onOpened && !ended_) backend_.onOpened(*this);
  const bool ended = backend_.loop_.RunUntil(
      [this] { return ended_; }, [this] { return backend_.onIdle && backend_.onIdle(*this); });
  if (!ended) {
    // Nothing more can happen: the dialog would wait forever for the operator.
    backend_.Record("stalled " + std::to_string(Layout().id));
    result_ = -1;
  }
  backend_.loop_.KillTimers(this);
  backend_.Record("end " + std::to_string(Layout().id) + " " + std::to_string(result_));
  return result_;
}

void ScriptedWindow::EndModal(int result) {
  ended_ = true;
  result_ = result;
}

int ScriptedWindow::MessageBox(const std::string& text, const std::string& caption,
                               std::uint32_t style) {
  return backend_.Answer(text, caption, style, Layout().id);
}

void ScriptedWindow::PaintIconic(int x, int y) {
  backend_.Record("paint-icon " + std::to_string(x) + " " + std::to_string(y));
}

void ScriptedWindow::Changed(int id) {
  if (id == 0) return;
  const ControlState* control = Control(id);
  if (!control) return;
  if (control->layout->kind == ControlKind::Progress) {
    // A bar records its position when that changed, else its state like any other control.
    const std::string position = ProgressText(control->progress);
    if (lastProgress_[id] != position) {
      lastProgress_[id] = position;
      backend_.Record("progress " + std::to_string(id) + " " + position);
      return;
    }
  }
  backend_.Record("state " + std::to_string(id) + " visible=" + std::to_string(control->visible) +
                  " enabled=" + std::to_string(control->enabled) + " text=" + control->text);
}

}  // namespace burnwell::ui
