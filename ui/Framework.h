// A small dialog framework in the shape the updater needs: an application object, modal dialogs
// built from the templates in ui/Templates.h, a message map, data exchange with validation,
// timers, control access, message boxes, the system menu, and calls into the dialog's thread
// from a worker thread. The dialogs are written once against this; a Backend (Win32, Qt,
// terminal, scripted) supplies the window.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Seam.h"
#include "platform/WindowMessages.h"
#include "ui/DialogTemplate.h"
#include "ui/WinConstants.h"

namespace burnwell::ui {

using platform::LParam;
using platform::LResult;
using platform::WindowHandle;
using platform::WParam;

class CDialog;

constexpr WParam MakeWParam(unsigned low, unsigned high) {
  return static_cast<WParam>((low & 0xFFFFu) | ((high & 0xFFFFu) << 16));
}
constexpr unsigned LowWord(std::uintptr_t value) { return static_cast<unsigned>(value & 0xFFFFu); }
constexpr unsigned HighWord(std::uintptr_t value) {
  return static_cast<unsigned>((value >> 16) & 0xFFFFu);
}

// A text colour as Windows' COLORREF: 0x00BBGGRR.
constexpr std::uint32_t Rgb(unsigned r, unsigned g, unsigned b) { return r | (g << 8) | (b << 16); }
// OnCtlColor's answer when the framework's colours apply.
inline constexpr LResult kDefaultColour = -1;

// The position and range of a progress bar, as the progress-bar messages leave them.
struct ProgressState {
  int minimum = 0;
  int maximum = 100;
  int position = 0;
  int step = 10;
};
// Applies one PBM_* message; returns what the control returns (previous position or range).
LResult ApplyProgressMessage(ProgressState& state, std::uint32_t message, WParam wParam,
                             LParam lParam);

// The four parts of a file version, most significant first.
using FileVersion = std::array<unsigned, 4>;

// One live dialog window. Everything is called on the dialog's thread, except Post, Send,
// SetTimer and KillTimer, which any thread may call.
class DialogWindow {
 public:
  virtual ~DialogWindow() = default;

  virtual void SetText(int id, const std::string& text) = 0;
  virtual std::string GetText(int id) const = 0;
  virtual void SetVisible(int id, bool visible) = 0;
  virtual bool IsVisible(int id) const = 0;
  virtual void SetEnabled(int id, bool enabled) = 0;
  virtual bool IsEnabled(int id) const = 0;
  virtual void SetChecked(int id, bool checked) = 0;
  virtual bool IsChecked(int id) const = 0;
  // The handle progress-bar messages are posted to (non-zero for an existing control).
  virtual WindowHandle ControlHandle(int id) const = 0;
  // Delivers a message to a control (progress-bar messages, WM_KEYDOWN, WM_SETICON).
  virtual LResult SendControlMessage(int id, std::uint32_t message, WParam wParam,
                                     LParam lParam) = 0;

  virtual void SetWindowIcon(bool big) = 0;
  virtual bool HasSystemMenu() const = 0;
  virtual void AppendSystemMenu(std::uint32_t flags, std::uint32_t command,
                                const std::string& text) = 0;
  virtual void EnableSystemMenuItem(std::uint32_t command, std::uint32_t flags) = 0;
  virtual bool IsIconic() const = 0;
  // The minimised window's painting: background erase and the icon at (x, y).
  virtual void PaintIconic(int x, int y) = 0;
  virtual std::array<int, 2> ClientSize() const = 0;

  virtual void SetTimer(unsigned id, unsigned milliseconds) = 0;
  virtual void KillTimer(unsigned id) = 0;

  // Runs the modal loop until EndModal; returns its result.
  virtual int RunModal() = 0;
  virtual void EndModal(int result) = 0;

  // Runs work on the dialog's thread: Post queues it and returns, Send waits until it has run
  // (at once when called on the dialog's thread).
  virtual void Post(std::function<void()> work) = 0;
  virtual void Send(std::function<void()> work) = 0;
  virtual bool OnDialogThread() const = 0;

  // A modal message box owned by this window; called on the dialog's thread.
  virtual int MessageBox(const std::string& text, const std::string& caption,
                         std::uint32_t style) = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;
  // Builds the window of a template for dialog; parent is the owner's window or nullptr.
  virtual std::unique_ptr<DialogWindow> CreateDialogWindow(CDialog& dialog,
                                                           const DialogSpec& layout,
                                                           DialogWindow* parent) = 0;
  // A message box without an owner window.
  virtual int MessageBox(const std::string& text, const std::string& caption,
                         std::uint32_t style) = 0;
  // Starts entry(argument) on a new thread; returns its handle, 0 when it could not start.
  virtual std::uintptr_t StartThread(void (*entry)(void*), void* argument) = 0;
  // The program file's version, or nothing when it has no readable version resource.
  virtual std::optional<FileVersion> ProgramFileVersion() = 0;
  // A string-table entry; empty when there is none.
  virtual std::string LoadString(int id);
  // The system metric of an icon side (SM_CXICON / SM_CYICON).
  virtual int IconMetric(int which) { return which == SM_CXICON || which == SM_CYICON ? 32 : 0; }
};

// The string table the portable backends answer LoadString from (the Win32 backend reads the
// real resource and falls back to this one). The application installs its texts.
class StringTable {
 public:
  virtual ~StringTable() = default;
  // The entry's text; empty when there is none.
  virtual std::string Text(int id) = 0;
};

// A message box by text or by string-table id, owned by the main window when there is one.
int AfxMessageBox(const std::string& text, std::uint32_t style = MB_OK);
int AfxMessageBox(int stringId, std::uint32_t style = MB_OK);

// The message handlers of a dialog class: a message (or a control notification) to a handler.
struct MessageMapEntry {
  std::uint32_t message;
  std::uint32_t code;  // WM_COMMAND: the notification code
  int id;              // WM_COMMAND: the control id
  std::function<LResult(CDialog&, WParam, LParam)> handler;
};
using MessageMap = std::vector<MessageMapEntry>;

template <class D>
MessageMapEntry OnControlNotify(std::uint32_t code, int id, void (D::*handler)()) {
  return {WM_COMMAND, code, id, [handler](CDialog& d, WParam, LParam) -> LResult {
            (static_cast<D&>(d).*handler)();
            return 0;
          }};
}
template <class D>
MessageMapEntry OnWindowMessage(std::uint32_t message, LResult (D::*handler)(WParam, LParam)) {
  return {message, 0, 0, [handler](CDialog& d, WParam w, LParam l) {
            return (static_cast<D&>(d).*handler)(w, l);
          }};
}

class CDataExchange {
 public:
  CDataExchange(CDialog& dialog, bool saveAndValidate)
      : dialog_(dialog), saveAndValidate_(saveAndValidate) {}
  CDialog& Dialog() const { return dialog_; }
  bool SaveAndValidate() const { return saveAndValidate_; }
  // Shows nothing; ends the exchange as failed (the message has been shown by the caller).
  [[noreturn]] void Fail();

 private:
  CDialog& dialog_;
  bool saveAndValidate_;
};

class CWnd;
// Binds a control member to the control with this id.
void DDX_Control(CDataExchange& dx, int id, CWnd& control);
// Member <-> control exchange. On save they read the control; on failure they show the
// framework's message with the exclamation icon and end the exchange.
void DDX_Text(CDataExchange& dx, int id, std::string& value);
void DDX_Text(CDataExchange& dx, int id, std::uint32_t& value);
// The radio group that starts at firstId: load checks the button at position value (none when
// out of range); save stores the checked position, or -1 when none is checked.
void DDX_Radio(CDataExchange& dx, int firstId, int& value);
// On save, value must lie in minimum..maximum.
void DDV_MinMaxUInt(CDataExchange& dx, std::uint32_t value, std::uint32_t minimum,
                    std::uint32_t maximum);

// The framework's own messages.
inline constexpr char kPromptRange[] = "Please enter an integer between %1 and %2.";
inline constexpr char kPromptPositiveInteger[] = "Please enter a positive integer.";

// A control of a dialog, reached by id.
class CWnd {
 public:
  CWnd() = default;
  CWnd(CDialog* dialog, int id) : dialog_(dialog), id_(id) {}
  explicit operator bool() const;
  int Id() const { return id_; }
  WindowHandle Handle() const;
  void ShowWindow(bool show);
  void EnableWindow(bool enable);
  void SetWindowText(const std::string& text);
  std::string GetWindowText() const;
  bool IsWindowVisible() const;
  bool IsWindowEnabled() const;
  LResult SendMessage(std::uint32_t message, WParam wParam = 0, LParam lParam = 0);

 private:
  CDialog* dialog_ = nullptr;
  int id_ = 0;
};

class CDialog {
 public:
  explicit CDialog(int templateId, CDialog* parent = nullptr);
  virtual ~CDialog();
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Builds the window, runs OnInitDialog and the modal loop; returns EndDialog's result, or
  // -1 when the window could not be built.
  int DoModal();
  void EndDialog(int result);

  // Save (controls to members, with validation) or load; false when validation failed.
  // Control notifications are not delivered while it runs.
  bool UpdateData(bool saveAndValidate = true);

  // Backends deliver every window message here; it goes through the message map.
  LResult Dispatch(std::uint32_t message, WParam wParam, LParam lParam);
  // Text colour for a control, in COLORREF, or kDefaultColour.
  LResult ControlTextColour(int id);

  CWnd GetDlgItem(int id);
  void SetDlgItemText(int id, const std::string& text);
  std::string GetDlgItemText(int id);
  void SetTimer(unsigned id, unsigned milliseconds);
  void KillTimer(unsigned id);
  int MessageBox(const std::string& text, const std::string& caption = "",
                 std::uint32_t style = MB_OK);
  void SetIcon(bool big);

  // The system menu, as far as a dialog uses it.
  bool HasSystemMenu() const;
  void AppendSystemMenu(std::uint32_t flags, std::uint32_t command, const std::string& text);
  void EnableSystemMenuItem(std::uint32_t command, std::uint32_t flags);
  bool IsSystemMenuItemGrayed(std::uint32_t command) const;

  bool IsIconic() const;
  int TemplateId() const { return templateId_; }
  DialogWindow* Window() const { return window_.get(); }
  bool NotificationsSuppressed() const { return exchangeDepth_ > 0; }

  // Runs work on the dialog's thread and waits for it (directly when already there).
  void RunOnDialogThread(const std::function<void()>& work);

 protected:
  virtual bool OnInitDialog();
  virtual void DoDataExchange(CDataExchange&) {}
  virtual void OnOK();
  virtual void OnCancel();
  virtual const MessageMap& GetMessageMap() const;
  // What a message gets when the message map has no entry for it.
  virtual LResult DefaultHandling(std::uint32_t message, WParam wParam, LParam lParam);

 private:
  friend class DialogRun;
  int templateId_;
  CDialog* parent_;
  std::unique_ptr<DialogWindow> window_;
  int exchangeDepth_ = 0;
  std::vector<std::uint32_t> grayedMenuItems_;
};

class CWinApp {
 public:
  CWinApp();
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // Returns false when the program should end without a message loop of its own.
  virtual bool InitInstance() { return false; }
  void EnableControlContainer() {}
  CDialog* m_pMainWnd = nullptr;
};

// The one application object, or nullptr.
CWinApp* AfxGetApp();

}  // namespace burnwell::ui

namespace burnwell::platform {
// The dialogs and message boxes of this process reach their backend and string table through
// the seam: Current<ui::Backend>(), Current<ui::StringTable>(); a program or a test installs
// its own with ScopedOverride. Without one, every backend call throws std::logic_error and the
// string table is empty.
template <>
ui::Backend& SystemInstance<ui::Backend>();
template <>
ui::StringTable& SystemInstance<ui::StringTable>();
}  // namespace burnwell::platform
