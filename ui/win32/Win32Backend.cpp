#include "ui/win32/Win32Backend.h"

#include <windows.h>
#include <commctrl.h>
#include <process.h>

#include <vector>

#include "ui/Templates.h"

namespace burnwell::ui {
namespace {

// Private messages of the dialog window: work posted or sent from another thread.
constexpr UINT kPostedWork = WM_APP + 1;
constexpr UINT kSentWork = WM_APP + 2;

HINSTANCE Instance() { return ::GetModuleHandleW(nullptr); }

class Win32Window final : public DialogWindow {
 public:
  Win32Window(CDialog& dialog, const DialogSpec& layout, HWND parent)
      : dialog_(dialog), layout_(layout), parent_(parent) {}

  void SetText(int id, const std::string& text) override {
    ::SetDlgItemTextW(hwnd_, id, Widen(text).c_str());
  }
  std::string GetText(int id) const override {
    HWND control = ::GetDlgItem(hwnd_, id);
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return Narrow(text);
  }
  void SetVisible(int id, bool visible) override {
    ::ShowWindow(::GetDlgItem(hwnd_, id), visible ? SW_SHOW : SW_HIDE);
  }
  bool IsVisible(int id) const override {
    return (::GetWindowLongW(::GetDlgItem(hwnd_, id), GWL_STYLE) & WS_VISIBLE) != 0;
  }
  void SetEnabled(int id, bool enabled) override {
    ::EnableWindow(::GetDlgItem(hwnd_, id), enabled);
  }
  bool IsEnabled(int id) const override { return ::IsWindowEnabled(::GetDlgItem(hwnd_, id)) != 0; }
  void SetChecked(int id, bool checked) override {
    ::CheckDlgButton(hwnd_, id, checked ? BST_CHECKED : BST_UNCHECKED);
  }
  bool IsChecked(int id) const override { return ::IsDlgButtonChecked(hwnd_, id) == BST_CHECKED; }
  WindowHandle ControlHandle(int id) const override {
    return reinterpret_cast<WindowHandle>(::GetDlgItem(hwnd_, id));
  }
  LResult SendControlMessage(int id, std::uint32_t message, WParam wParam, LParam lParam) override {
    return ::SendMessageW(::GetDlgItem(hwnd_, id), message, wParam, lParam);
  }

  void SetWindowIcon(bool big) override {
    HICON icon = ::LoadIconW(Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME));
    ::SendMessageW(hwnd_, WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  }
  bool HasSystemMenu() const override { return ::GetSystemMenu(hwnd_, FALSE) != nullptr; }
  void AppendSystemMenu(std::uint32_t flags, std::uint32_t command,
                        const std::string& text) override {
    ::AppendMenuW(::GetSystemMenu(hwnd_, FALSE), flags, command,
                  (flags & MF_SEPARATOR) ? nullptr : Widen(text).c_str());
  }
  void EnableSystemMenuItem(std::uint32_t command, std::uint32_t flags) override {
    ::EnableMenuItem(::GetSystemMenu(hwnd_, FALSE), command, flags);
  }
  bool IsIconic() const override { return ::IsIconic(hwnd_) != 0; }
  void PaintIconic(int x, int y) override {
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(hwnd_, &paint);
    ::SendMessageW(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    ::DrawIcon(dc, x, y, ::LoadIconW(Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME)));
    ::EndPaint(hwnd_, &paint);
  }
  std::array<int, 2> ClientSize() const override {
    RECT rect{};
    ::GetClientRect(hwnd_, &rect);
    return {rect.right - rect.left, rect.bottom - rect.top};
  }

  // Win32 timers belong to the window's thread: a worker's request goes there first.
  void SetTimer(unsigned id, unsigned milliseconds) override {
    if (OnDialogThread()) {
      ::SetTimer(hwnd_, id, milliseconds, nullptr);
    } else {
      Post([this, id, milliseconds] { ::SetTimer(hwnd_, id, milliseconds, nullptr); });
    }
  }
  void KillTimer(unsigned id) override {
    if (OnDialogThread()) {
      ::KillTimer(hwnd_, id);
    } else {
      Post([this, id] { ::KillTimer(hwnd_, id); });
    }
  }

  int RunModal() override {
    thread_ = ::GetCurrentThreadId();
    const INT_PTR result =
        ::DialogBoxParamW(Instance(), MAKEINTRESOURCEW(layout_.id), parent_,
                          &Win32Window::Procedure, reinterpret_cast<LPARAM>(this));
    hwnd_ = nullptr;
    return static_cast<int>(result);
  }
  void EndModal(int result) override { ::EndDialog(hwnd_, result); }

  void Post(std::function<void()> work) override {
    auto* posted = new std::function<void()>(std::move(work));
    if (!::PostMessageW(hwnd_, kPostedWork, 0, reinterpret_cast<LPARAM>(posted))) delete posted;
  }
  void Send(std::function<void()> work) override {
    if (OnDialogThread()) {
      work();
      return;
    }
    ::SendMessageW(hwnd_, kSentWork, 0, reinterpret_cast<LPARAM>(&work));
  }
  bool OnDialogThread() const override { return ::GetCurrentThreadId() == thread_; }
  int MessageBox(const std::string& text, const std::string& caption,
                 std::uint32_t style) override {
    return ::MessageBoxW(hwnd_, Widen(text).c_str(), Widen(caption).c_str(), style);
  }

  HWND Hwnd() const { return hwnd_; }

 private:
  static INT_PTR CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
      auto* self = reinterpret_cast<Win32Window*>(lParam);
      self->hwnd_ = hwnd;
      ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
      // A visible template is shown before its initialisation, so that a question asked
      // there (the backup warning) appears over the dialog and its checksum.
      if (self->layout_.style & WS_VISIBLE) {
        ::ShowWindow(hwnd, SW_SHOW);
        ::UpdateWindow(hwnd);
      }
      return self->dialog_.Dispatch(WM_INITDIALOG, wParam, 0);
    }
    auto* self = reinterpret_cast<Win32Window*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
    if (!self) return FALSE;
    CDialog& dialog = self->dialog_;
    switch (message) {
      case kPostedWork: {
        std::unique_ptr<std::function<void()>> work(
            reinterpret_cast<std::function<void()>*>(lParam));
        (*work)();
        return TRUE;
      }
      case kSentWork: (*reinterpret_cast<std::function<void()>*>(lParam))(); return TRUE;
      case WM_COMMAND:
      case WM_TIMER: dialog.Dispatch(message, wParam, lParam); return TRUE;
      case WM_SYSCOMMAND:
        // The dialog's own items; moving, minimising and closing stay the system's, which
        // also refuses a grey Close.
        if ((wParam & 0xFFF0) != IDM_ABOUTBOX) return FALSE;
        dialog.Dispatch(message, wParam, lParam);
        return TRUE;
      case WM_PAINT:
        if (!::IsIconic(hwnd)) return FALSE;
        dialog.Dispatch(message, wParam, lParam);
        return TRUE;
      case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(::LoadIconW(Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME)));
      case WM_CTLCOLORSTATIC: {
        const LResult colour =
            dialog.ControlTextColour(::GetDlgCtrlID(reinterpret_cast<HWND>(lParam)));
        if (colour == kDefaultColour) return FALSE;
        HDC dc = reinterpret_cast<HDC>(wParam);
        ::SetTextColor(dc, static_cast<COLORREF>(colour));
        ::SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<INT_PTR>(::GetSysColorBrush(COLOR_BTNFACE));
      }
      default: return FALSE;
    }
  }

  CDialog& dialog_;
  const DialogSpec& layout_;
  HWND parent_;
  HWND hwnd_ = nullptr;
  DWORD thread_ = 0;
};

}  // namespace

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int size =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size,
                        nullptr, nullptr);
  return narrow;
}

Win32Backend::Win32Backend() {
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&controls);
}

std::unique_ptr<DialogWindow> Win32Backend::CreateDialogWindow(CDialog& dialog,
                                                               const DialogSpec& layout,
                                                               DialogWindow* parent) {
  HWND owner = parent ? static_cast<Win32Window*>(parent)->Hwnd() : nullptr;
  return std::make_unique<Win32Window>(dialog, layout, owner);
}

int Win32Backend::MessageBox(const std::string& text, const std::string& caption,
                             std::uint32_t style) {
  return ::MessageBoxW(nullptr, Widen(text).c_str(), Widen(caption).c_str(), style);
}

std::uintptr_t Win32Backend::StartThread(void (*entry)(void*), void* argument) {
  const std::uintptr_t handle = ::_beginthread(entry, 0, argument);
  return handle == static_cast<std::uintptr_t>(-1) ? 0 : handle;
}

std::optional<FileVersion> Win32Backend::ProgramFileVersion() {
  wchar_t path[MAX_PATH + 1] = {};
  if (::GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) return std::nullopt;
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) return std::nullopt;
  std::vector<unsigned char> block(size);
  if (!::GetFileVersionInfoW(path, 0, size, block.data())) return std::nullopt;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return std::nullopt;
  }
  return FileVersion{HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                     HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS)};
}

std::string Win32Backend::LoadString(int id) {
  const wchar_t* text = nullptr;
  // A zero buffer size returns a pointer to the resource itself.
  const int length =
      ::LoadStringW(Instance(), static_cast<UINT>(id), reinterpret_cast<LPWSTR>(&text), 0);
  if (length <= 0 || !text) return Backend::LoadString(id);
  return Narrow(std::wstring(text, static_cast<std::size_t>(length)));
}

int Win32Backend::IconMetric(int which) { return ::GetSystemMetrics(which); }

}  // namespace burnwell::ui
