#include "ui/ModelWindow.h"

#include <algorithm>
#include <future>

#include "ui/UiState.h"

namespace burnwell::ui {

ModelWindow::ModelWindow(CDialog& dialog, const DialogSpec& layout)
    : dialog_(dialog), layout_(layout) {
  ControlHandles& handles = UiLayer().controlHandles;
  std::lock_guard lock(handles.mutex);
  for (const ControlSpec& control : layout.controls) {
    ControlState state;
    state.layout = &control;
    state.text = control.kind == ControlKind::Icon ? std::string() : std::string(control.text);
    state.visible = control.InitiallyVisible();
    state.enabled = control.InitiallyEnabled();
    state.handle = ++handles.last;
    handles.controls[state.handle] = {this, control.id};
    controls_.push_back(std::move(state));
  }
}

ModelWindow::~ModelWindow() {
  ControlHandles& handles = UiLayer().controlHandles;
  std::lock_guard lock(handles.mutex);
  for (const ControlState& control : controls_) handles.controls.erase(control.handle);
}

ControlState* ModelWindow::MutableControl(int id) {
  for (ControlState& control : controls_) {
    if (control.layout->id == id) return &control;
  }
  return nullptr;
}
const ControlState* ModelWindow::Control(int id) const {
  for (const ControlState& control : controls_) {
    if (control.layout->id == id) return &control;
  }
  return nullptr;
}

void ModelWindow::SetText(int id, const std::string& text) {
  ControlState* control = MutableControl(id);
  if (!control) return;
  control->text = text;
  Changed(id);
  if (control->layout->kind == ControlKind::Edit) {
    dialog_.Dispatch(WM_COMMAND, MakeWParam(static_cast<unsigned>(id), EN_CHANGE),
                     static_cast<LParam>(control->handle));
  }
}
std::string ModelWindow::GetText(int id) const {
  const ControlState* control = Control(id);
  return control ? control->text : std::string();
}
void ModelWindow::SetVisible(int id, bool visible) {
  if (ControlState* control = MutableControl(id)) {
    control->visible = visible;
    Changed(id);
  }
}
bool ModelWindow::IsVisible(int id) const {
  const ControlState* control = Control(id);
  return control && control->visible;
}
void ModelWindow::SetEnabled(int id, bool enabled) {
  if (ControlState* control = MutableControl(id)) {
    control->enabled = enabled;
    Changed(id);
  }
}
bool ModelWindow::IsEnabled(int id) const {
  const ControlState* control = Control(id);
  return control && control->enabled;
}
void ModelWindow::SetChecked(int id, bool checked) {
  if (ControlState* control = MutableControl(id)) {
    control->checked = checked;
    Changed(id);
  }
}
bool ModelWindow::IsChecked(int id) const {
  const ControlState* control = Control(id);
  return control && control->checked;
}
WindowHandle ModelWindow::ControlHandle(int id) const {
  const ControlState* control = Control(id);
  return control ? control->handle : 0;
}

LResult ModelWindow::SendControlMessage(int id, std::uint32_t message, WParam wParam,
                                        LParam lParam) {
  ControlState* control = MutableControl(id);
  if (!control) return 0;
  if (control->layout->kind == ControlKind::Progress) {
    const LResult result = ApplyProgressMessage(control->progress, message, wParam, lParam);
    Changed(id);
    return result;
  }
  if (message == WM_KEYDOWN && wParam == VK_END) ++scrolledToEnd_[id];
  return 0;
}

void ModelWindow::SetWindowIcon(bool big) {
  ++(big ? bigIcon_ : smallIcon_);
  Changed(0);
}
bool ModelWindow::HasSystemMenu() const { return (layout_.style & WS_SYSMENU) != 0; }
void ModelWindow::AppendSystemMenu(std::uint32_t flags, std::uint32_t command,
                                   const std::string& text) {
  systemMenu_.push_back({flags, command, text});
  Changed(0);
}
void ModelWindow::EnableSystemMenuItem(std::uint32_t command, std::uint32_t flags) {
  std::erase(grayed_, command);
  if (flags & MF_GRAYED) grayed_.push_back(command);
  Changed(0);
}
bool ModelWindow::SystemMenuItemGrayed(std::uint32_t command) const {
  return std::find(grayed_.begin(), grayed_.end(), command) != grayed_.end();
}
int ModelWindow::ScrolledToEnd(int id) const {
  auto it = scrolledToEnd_.find(id);
  return it == scrolledToEnd_.end() ? 0 : it->second;
}

void ModelWindow::UserClick(int id) {
  const ControlState* control = Control(id);
  // A disabled or hidden control cannot be pressed.
  if (!control || !control->visible || !control->enabled) return;
  if (control->layout->kind == ControlKind::Radio) {
    for (ControlState& other : controls_) {
      if (other.layout->kind == ControlKind::Radio) other.checked = other.layout->id == id;
    }
  }
  dialog_.Dispatch(WM_COMMAND, MakeWParam(static_cast<unsigned>(id), BN_CLICKED),
                   static_cast<LParam>(control->handle));
}

void ModelWindow::UserSystemCommand(std::uint32_t command) {
  if (SystemMenuItemGrayed(command & 0xFFF0)) return;
  dialog_.Dispatch(WM_SYSCOMMAND, command, 0);
}

// --- loop ------------------------------------------------------------------------------------

QueueLoop::~QueueLoop() { JoinThreads(); }

void QueueLoop::Post(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    work_.push_back(std::move(work));
  }
  changed_.notify_all();
}

void QueueLoop::Send(std::function<void()> work) {
  if (OnLoopThread()) {
    work();
    return;
  }
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  Post([work = std::move(work), done] {
    work();
    done->set_value();
  });
  finished.wait();
}

std::int64_t QueueLoop::NowMs() const {
  if (virtualTime_) return virtualNow_;
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start_)
      .count();
}

void QueueLoop::SetTimer(ModelWindow* window, unsigned id, unsigned milliseconds) {
  {
    std::lock_guard lock(mutex_);
    std::erase_if(timers_, [&](const Timer& t) { return t.window == window && t.id == id; });
    timers_.push_back({window, id, milliseconds, NowMs() + milliseconds, timerOrder_++});
  }
  changed_.notify_all();
}
void QueueLoop::KillTimer(ModelWindow* window, unsigned id) {
  std::lock_guard lock(mutex_);
  std::erase_if(timers_, [&](const Timer& t) { return t.window == window && t.id == id; });
}
void QueueLoop::KillTimers(ModelWindow* window) {
  std::lock_guard lock(mutex_);
  std::erase_if(timers_, [&](const Timer& t) { return t.window == window; });
}

bool QueueLoop::RunUntil(const std::function<bool()>& done, const std::function<bool()>& onIdle) {
  std::unique_lock lock(mutex_);
  while (true) {
    lock.unlock();
    if (done()) return true;
    lock.lock();
    if (!work_.empty()) {
      auto work = std::move(work_.front());
      work_.pop_front();
      lock.unlock();
      work();
      lock.lock();
      continue;
    }
    auto earliest =
        std::min_element(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) {
          return a.due != b.due ? a.due < b.due : a.order < b.order;
        });
    const bool haveTimer = earliest != timers_.end();
    if (virtualTime_) {
      if (runningThreads_ > 0) {
        // A worker may still send or post; virtual time stands still until it does or ends.
        changed_.wait(lock);
        continue;
      }
    } else if (haveTimer && earliest->due > NowMs()) {
      changed_.wait_for(lock, std::chrono::milliseconds(earliest->due - NowMs()));
      continue;
    } else if (!haveTimer && runningThreads_ > 0) {
      changed_.wait(lock);
      continue;
    }
    if (haveTimer) {
      Timer fired = *earliest;
      if (virtualTime_) virtualNow_ = std::max(virtualNow_, fired.due);
      earliest->due = NowMs() + std::max(1u, fired.period);
      earliest->order = timerOrder_++;
      lock.unlock();
      fired.window->Dialog().Dispatch(WM_TIMER, fired.id, 0);
      lock.lock();
      continue;
    }
    lock.unlock();
    if (!onIdle || !onIdle()) return false;
    lock.lock();
  }
}

std::uintptr_t QueueLoop::StartThread(void (*entry)(void*), void* argument) {
  std::lock_guard lock(mutex_);
  ++runningThreads_;
  try {
    threads_.emplace_back([this, entry, argument] {
      entry(argument);
      {
        std::lock_guard inner(mutex_);
        --runningThreads_;
      }
      changed_.notify_all();
    });
  } catch (const std::system_error&) {
    --runningThreads_;
    return 0;
  }
  return nextThreadHandle_++;
}

void QueueLoop::JoinThreads() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    threads.swap(threads_);
  }
  for (std::thread& thread : threads) {
    if (thread.joinable()) thread.join();
  }
}

// --- window messages by handle ---------------------------------------------------------------

bool ModelWindowMessages::Post(WindowHandle window, std::uint32_t message, WParam wParam,
                               LParam lParam) {
  ControlHandles& handles = UiLayer().controlHandles;
  std::lock_guard lock(handles.mutex);
  auto it = handles.controls.find(window);
  if (it == handles.controls.end()) return false;
  ModelWindow* target = it->second.first;
  const int id = it->second.second;
  target->Post([target, id, message, wParam, lParam] {
    target->SendControlMessage(id, message, wParam, lParam);
  });
  return true;
}

LResult ModelWindowMessages::Send(WindowHandle window, std::uint32_t message, WParam wParam,
                                  LParam lParam) {
  ModelWindow* target = nullptr;
  int id = 0;
  {
    ControlHandles& handles = UiLayer().controlHandles;
    std::lock_guard lock(handles.mutex);
    auto it = handles.controls.find(window);
    if (it == handles.controls.end()) return 0;
    target = it->second.first;
    id = it->second.second;
  }
  // The window outlives a worker's send: the dialog does not end while its worker runs.
  LResult result = 0;
  target->Send([&] { result = target->SendControlMessage(id, message, wParam, lParam); });
  return result;
}

}  // namespace burnwell::ui
