// The state of a dialog's controls kept in memory, for the backends that do not have system
// windows to keep it (Qt mirrors it into widgets, the terminal prints it, the scripted backend
// records it), plus the event loop that the terminal and scripted backends share.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ui/Framework.h"

namespace burnwell::ui {

struct ControlState {
  const ControlSpec* layout = nullptr;
  std::string text;
  bool visible = false;
  bool enabled = true;
  bool checked = false;
  ProgressState progress;
  WindowHandle handle = 0;
};

struct SystemMenuItem {
  std::uint32_t flags;
  std::uint32_t command;
  std::string text;
};

// Controls in memory; subclasses show them. Edits send EN_CHANGE when their text is set, as
// system edit controls do, so the dialog sees a path change whichever way it happens.
class ModelWindow : public DialogWindow {
 public:
  ModelWindow(CDialog& dialog, const DialogSpec& layout);
  ~ModelWindow() override;

  void SetText(int id, const std::string& text) override;
  std::string GetText(int id) const override;
  void SetVisible(int id, bool visible) override;
  bool IsVisible(int id) const override;
  void SetEnabled(int id, bool enabled) override;
  bool IsEnabled(int id) const override;
  void SetChecked(int id, bool checked) override;
  bool IsChecked(int id) const override;
  WindowHandle ControlHandle(int id) const override;
  LResult SendControlMessage(int id, std::uint32_t message, WParam wParam, LParam lParam) override;

  void SetWindowIcon(bool big) override;
  bool HasSystemMenu() const override;
  void AppendSystemMenu(std::uint32_t flags, std::uint32_t command,
                        const std::string& text) override;
  void EnableSystemMenuItem(std::uint32_t command, std::uint32_t flags) override;
  bool IsIconic() const override { return iconic_; }
  void PaintIconic(int, int) override {}
  std::array<int, 2> ClientSize() const override { return {layout_.width * 2, layout_.height * 2}; }

  // The user's side: typing into a control, pressing a button, choosing a menu item.
  void UserSetText(int id, const std::string& text) { SetText(id, text); }
  void UserClick(int id);
  void UserSystemCommand(std::uint32_t command);

  const ControlState* Control(int id) const;
  const std::vector<ControlState>& Controls() const { return controls_; }
  const std::vector<SystemMenuItem>& SystemMenu() const { return systemMenu_; }
  bool SystemMenuItemGrayed(std::uint32_t command) const;
  CDialog& Dialog() const { return dialog_; }
  const DialogSpec& Layout() const { return layout_; }
  int BigIconSet() const { return bigIcon_; }
  int SmallIconSet() const { return smallIcon_; }
  int ScrolledToEnd(int id) const;

 protected:
  // A control's state changed; id 0: the window itself (menu, icon).
  virtual void Changed(int) {}
  ControlState* MutableControl(int id);
  bool iconic_ = false;

 private:
  CDialog& dialog_;
  const DialogSpec& layout_;
  std::vector<ControlState> controls_;
  std::vector<SystemMenuItem> systemMenu_;
  std::vector<std::uint32_t> grayed_;
  std::map<int, int> scrolledToEnd_;
  int bigIcon_ = 0;
  int smallIcon_ = 0;
};

// One event loop per backend and thread: posted work, sent work and timers of every window, so
// that a nested modal dialog (the About box) keeps the owner's messages flowing. With virtual
// time, timers fire in due order as soon as nothing else is pending (tests); otherwise at their
// real due time.
class QueueLoop {
 public:
  explicit QueueLoop(bool virtualTime) : virtualTime_(virtualTime) {}
  ~QueueLoop();

  void Post(std::function<void()> work);
  void Send(std::function<void()> work);  // from another thread; waits until it has run
  void SetTimer(ModelWindow* window, unsigned id, unsigned milliseconds);
  void KillTimer(ModelWindow* window, unsigned id);
  void KillTimers(ModelWindow* window);
  bool OnLoopThread() const { return std::this_thread::get_id() == loopThread_; }
  void BindToThisThread() { loopThread_ = std::this_thread::get_id(); }

  // Runs until done() is true. onIdle is called when nothing is pending and nothing can come
  // (no worker runs, no timer is set); it must change something or the loop gives up and
  // returns false.
  bool RunUntil(const std::function<bool()>& done, const std::function<bool()>& onIdle);

  // Threads started through the loop are counted so that an idle loop waits for them, and
  // joined when the loop goes.
  std::uintptr_t StartThread(void (*entry)(void*), void* argument);
  void JoinThreads();
  std::int64_t NowMs() const;

 private:
  struct Timer {
    ModelWindow* window;
    unsigned id;
    unsigned period;
    std::int64_t due;
    std::uint64_t order;
  };
  bool virtualTime_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> work_;
  std::vector<Timer> timers_;
  std::uint64_t timerOrder_ = 0;
  std::int64_t virtualNow_ = 0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::thread::id loopThread_ = std::this_thread::get_id();
  int runningThreads_ = 0;
  std::vector<std::thread> threads_;
  std::uintptr_t nextThreadHandle_ = 1;
};

// Posts and sends progress-bar messages to the model windows' controls by handle; installed as
// the platform's window messages while a portable backend exists.
class ModelWindowMessages final : public platform::WindowMessages {
 public:
  bool Post(WindowHandle window, std::uint32_t message, WParam wParam, LParam lParam) override;
  LResult Send(WindowHandle window, std::uint32_t message, WParam wParam, LParam lParam) override;
};

}  // namespace burnwell::ui
