// A backend for tests: windows live in memory, timers run in virtual time (a 500 ms timer fires
// as soon as nothing else is pending), message boxes are answered by the test's script, and
// everything shown is recorded in order.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ui/Framework.h"
#include "ui/ModelWindow.h"

namespace burnwell::ui {

struct ShownMessageBox {
  std::string text;
  std::string caption;
  std::uint32_t style;
  int answer;
  int templateId;  // the owner's template, 0 without an owner
};

class ScriptedWindow;

class ScriptedBackend final : public Backend {
 public:
  ScriptedBackend();
  ~ScriptedBackend() override;

  std::unique_ptr<DialogWindow> CreateDialogWindow(CDialog& dialog, const DialogSpec& layout,
                                                   DialogWindow* parent) override;
  int MessageBox(const std::string& text, const std::string& caption, std::uint32_t style) override;
  std::uintptr_t StartThread(void (*entry)(void*), void* argument) override;
  std::optional<FileVersion> ProgramFileVersion() override { return fileVersion_; }

  // The script. A box is answered by the first rule whose text matches (substring); without a
  // rule the first button (IDOK) is pressed.
  void AnswerBox(std::string textContains, int answer);
  void SetFileVersion(std::optional<FileVersion> version) { fileVersion_ = version; }
  void FailThreadStart(bool fail) { failThreadStart_ = fail; }
  // Called once a dialog is initialised (after WM_INITDIALOG), and when its loop is idle.
  std::function<void(ScriptedWindow&)> onOpened;
  std::function<bool(ScriptedWindow&)> onIdle;

  // What was shown, in order: "state <id> visible=0|1 enabled=0|1 text=<text>",
  // "progress <id> <min>..<max> @<pos>", "box <caption>: <text>", "timer <id> <ms>",
  // "paint-icon <x> <y>", "open <template>", "end <template> <result>", "stalled <template>".
  std::vector<std::string> Events() const;
  std::vector<ShownMessageBox> Boxes() const;
  std::int64_t NowMs() const { return loop_.NowMs(); }
  void Record(std::string event);

 private:
  friend class ScriptedWindow;
  int Answer(const std::string& text, const std::string& caption, std::uint32_t style,
             int templateId);

  QueueLoop loop_{true};
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, int>> answers_;
  std::vector<std::string> events_;
  std::vector<ShownMessageBox> boxes_;
  std::optional<FileVersion> fileVersion_;
  bool failThreadStart_ = false;
  // Progress messages reach this backend's windows while it lives.
  ModelWindowMessages messages_;
  platform::ScopedOverride<platform::WindowMessages> windowMessages_{&messages_};
};

class ScriptedWindow final : public ModelWindow {
 public:
  ScriptedWindow(ScriptedBackend& backend, CDialog& dialog, const DialogSpec& layout);
  ~ScriptedWindow() override;

  void SetTimer(unsigned id, unsigned milliseconds) override;
  void KillTimer(unsigned id) override;
  int RunModal() override;
  void EndModal(int result) override;
  void Post(std::function<void()> work) override { backend_.loop_.Post(std::move(work)); }
  void Send(std::function<void()> work) override { backend_.loop_.Send(std::move(work)); }
  bool OnDialogThread() const override { return backend_.loop_.OnLoopThread(); }
  int MessageBox(const std::string& text, const std::string& caption, std::uint32_t style) override;
  void PaintIconic(int x, int y) override;

  void SetIconic(bool iconic) { iconic_ = iconic; }
  bool Ended() const { return ended_; }

 protected:
  void Changed(int id) override;

 private:
  ScriptedBackend& backend_;
  bool ended_ = false;
  int result_ = -1;
  std::map<int, std::string> lastProgress_;
};

}  // namespace burnwell::ui
