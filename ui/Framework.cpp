#include "ui/Framework.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

#include "platform/WinNames.h"
#include "ui/UiState.h"

namespace burnwell::ui {
namespace {

// The backend of a process that installed none.
class NoBackend final : public Backend {
 public:
  std::unique_ptr<DialogWindow> CreateDialogWindow(CDialog&, const DialogSpec&,
                                                   DialogWindow*) override {
    Fail();
  }
  int MessageBox(const std::string&, const std::string&, std::uint32_t) override { Fail(); }
  std::uintptr_t StartThread(void (*)(void*), void*) override { Fail(); }
  std::optional<FileVersion> ProgramFileVersion() override { Fail(); }
  std::string LoadString(int) override { Fail(); }
  int IconMetric(int) override { Fail(); }

 private:
  [[noreturn]] static void Fail() { throw std::logic_error("no user-interface backend installed"); }
};

class EmptyStringTable final : public StringTable {
 public:
  std::string Text(int) override { return std::string(); }
};

// Ends a failed exchange; caught by UpdateData only.
struct ExchangeFailed {};

std::string ReplaceArgs(std::string text, const std::string& first, const std::string& second) {
  auto replace = [&text](std::string_view marker, const std::string& value) {
    if (auto at = text.find(marker); at != std::string::npos)
      text.replace(at, marker.size(), value);
  };
  replace("%1", first);
  replace("%2", second);
  return text;
}

// The main window of the application, if a dialog is running as one.
CDialog* MainWindow() {
  CWinApp* app = AfxGetApp();
  return app ? app->m_pMainWnd : nullptr;
}

}  // namespace

LResult ApplyProgressMessage(ProgressState& state, std::uint32_t message, WParam wParam,
                             LParam lParam) {
  const int previous = state.position;
  switch (message) {
    case PBM_SETRANGE: {
      const LResult before =
          MakeWParam(static_cast<unsigned>(state.minimum), static_cast<unsigned>(state.maximum));
      state.minimum = static_cast<int>(LowWord(static_cast<std::uintptr_t>(lParam)));
      state.maximum = static_cast<int>(HighWord(static_cast<std::uintptr_t>(lParam)));
      state.position =
          std::clamp(state.position, state.minimum, std::max(state.minimum, state.maximum));
      return before;
    }
    case PBM_SETPOS:
      state.position = std::clamp(static_cast<int>(wParam), state.minimum,
                                  std::max(state.minimum, state.maximum));
      return previous;
    case WM_USER + 3: /* PBM_DELTAPOS */
      state.position = std::clamp(state.position + static_cast<int>(wParam), state.minimum,
                                  std::max(state.minimum, state.maximum));
      return previous;
    case WM_USER + 8: /* PBM_GETPOS */ return previous;
    case PBM_SETSTEP: {
      const int before = state.step;
      state.step = static_cast<int>(wParam);
      return before;
    }
    case PBM_STEPIT:
      // A bar stepped past its end starts again from the minimum, as the system's does.
      state.position += state.step;
      if (state.position > state.maximum)
        state.position = state.minimum + (state.position - state.maximum);
      if (state.position > state.maximum) state.position = state.minimum;
      return previous;
    default: return 0;
  }
}

std::string Backend::LoadString(int id) { return platform::Current<StringTable>().Text(id); }

int AfxMessageBox(const std::string& text, std::uint32_t style) {
  if (CDialog* owner = MainWindow(); owner && owner->Window())
    return owner->MessageBox(text, "Burnwell", style);
  return platform::Current<Backend>().MessageBox(text, "Burnwell", style);
}
int AfxMessageBox(int stringId, std::uint32_t style) {
  return AfxMessageBox(platform::Current<Backend>().LoadString(stringId), style);
}

// --- data exchange ---------------------------------------------------------------------------

void CDataExchange::Fail() { throw ExchangeFailed{}; }

void DDX_Control(CDataExchange& dx, int id, CWnd& control) { control = dx.Dialog().GetDlgItem(id); }

void DDX_Text(CDataExchange& dx, int id, std::string& value) {
  if (dx.SaveAndValidate()) {
    value = dx.Dialog().GetDlgItemText(id);
  } else {
    dx.Dialog().SetDlgItemText(id, value);
  }
}

void DDX_Text(CDataExchange& dx, int id, std::uint32_t& value) {
  if (!dx.SaveAndValidate()) {
    dx.Dialog().SetDlgItemText(id, std::to_string(value));
    return;
  }
  std::string text = dx.Dialog().GetDlgItemText(id);
  // Leading and trailing blanks are allowed around the digits, nothing else.
  const auto first = text.find_first_not_of(" \t");
  const auto last = text.find_last_not_of(" \t");
  std::uint32_t parsed = 0;
  bool ok = first != std::string::npos;
  if (ok) {
    const char* begin = text.data() + first;
    const char* end = text.data() + last + 1;
    auto [ptr, error] = std::from_chars(begin, end, parsed, 10);
    ok = error == std::errc() && ptr == end;
  }
  if (!ok) {
    dx.Dialog().MessageBox(kPromptPositiveInteger, "", MB_OK | MB_ICONEXCLAMATION);
    dx.Fail();
  }
  value = parsed;
}

void DDX_Radio(CDataExchange& dx, int firstId, int& value) {
  // The group: firstId and the radio buttons after it in template order, up to the next group.
  const DialogSpec* layout = FindDialogTemplate(dx.Dialog().TemplateId());
  std::vector<int> group;
  if (layout) {
    bool inGroup = false;
    for (const ControlSpec& control : layout->controls) {
      if (control.id == firstId) {
        inGroup = true;
      } else if (inGroup && (control.StartsGroup() || control.kind != ControlKind::Radio)) {
        break;
      }
      if (inGroup) group.push_back(control.id);
    }
  }
  DialogWindow* window = dx.Dialog().Window();
  if (!window) return;
  if (dx.SaveAndValidate()) {
    value = -1;
    for (std::size_t i = 0; i < group.size(); ++i) {
      if (window->IsChecked(group[i])) {
        value = static_cast<int>(i);
        break;
      }
    }
  } else {
    for (std::size_t i = 0; i < group.size(); ++i)
      window->SetChecked(group[i], static_cast<int>(i) == value);
  }
}

void DDV_MinMaxUInt(CDataExchange& dx, std::uint32_t value, std::uint32_t minimum,
                    std::uint32_t maximum) {
  if (!dx.SaveAndValidate() || (value >= minimum && value <= maximum)) return;
  dx.Dialog().MessageBox(
      ReplaceArgs(kPromptRange, std::to_string(minimum), std::to_string(maximum)), "",
      MB_OK | MB_ICONEXCLAMATION);
  dx.Fail();
}

// --- controls --------------------------------------------------------------------------------

CWnd::operator bool() const {
  return dialog_ && dialog_->Window() && dialog_->Window()->ControlHandle(id_) != 0;
}
WindowHandle CWnd::Handle() const { return *this ? dialog_->Window()->ControlHandle(id_) : 0; }
void CWnd::ShowWindow(bool show) {
  if (*this) dialog_->RunOnDialogThread([&] { dialog_->Window()->SetVisible(id_, show); });
}
void CWnd::EnableWindow(bool enable) {
  if (*this) dialog_->RunOnDialogThread([&] { dialog_->Window()->SetEnabled(id_, enable); });
}
void CWnd::SetWindowText(const std::string& text) {
  if (dialog_) dialog_->SetDlgItemText(id_, text);
}
std::string CWnd::GetWindowText() const {
  return dialog_ ? dialog_->GetDlgItemText(id_) : std::string();
}
bool CWnd::IsWindowVisible() const { return *this && dialog_->Window()->IsVisible(id_); }
bool CWnd::IsWindowEnabled() const { return *this && dialog_->Window()->IsEnabled(id_); }
LResult CWnd::SendMessage(std::uint32_t message, WParam wParam, LParam lParam) {
  LResult result = 0;
  if (*this)
    dialog_->RunOnDialogThread(
        [&] { result = dialog_->Window()->SendControlMessage(id_, message, wParam, lParam); });
  return result;
}

// --- dialog ----------------------------------------------------------------------------------

CDialog::CDialog(int templateId, CDialog* parent) : templateId_(templateId), parent_(parent) {}
CDialog::~CDialog() = default;

int CDialog::DoModal() {
  const DialogSpec* layout = FindDialogTemplate(templateId_);
  if (!layout) return -1;
  window_ = platform::Current<Backend>().CreateDialogWindow(*this, *layout,
                                                            parent_ ? parent_->Window() : nullptr);
  if (!window_) return -1;
  int result = -1;
  // The backend runs OnInitDialog through WM_INITDIALOG once the window exists.
  result = window_->RunModal();
  window_.reset();
  return result;
}

void CDialog::EndDialog(int result) {
  if (window_) window_->EndModal(result);
}

bool CDialog::UpdateData(bool saveAndValidate) {
  CDataExchange dx(*this, saveAndValidate);
  ++exchangeDepth_;
  bool ok = true;
  try {
    DoDataExchange(dx);
  } catch (const ExchangeFailed&) {
    ok = false;
  }
  --exchangeDepth_;
  return ok;
}

bool CDialog::OnInitDialog() {
  UpdateData(false);
  return true;
}

void CDialog::OnOK() {
  if (UpdateData(true)) EndDialog(IDOK);
}
void CDialog::OnCancel() { EndDialog(IDCANCEL); }

const MessageMap& CDialog::GetMessageMap() const {
  static const MessageMap empty;
  return empty;
}

LResult CDialog::Dispatch(std::uint32_t message, WParam wParam, LParam lParam) {
  if (message == WM_INITDIALOG) return OnInitDialog() ? 1 : 0;
  if (message == WM_COMMAND) {
    const unsigned code = HighWord(wParam);
    const int id = static_cast<int>(LowWord(wParam));
    if (code != BN_CLICKED && NotificationsSuppressed()) return 0;
    for (const MessageMapEntry& entry : GetMessageMap()) {
      if (entry.message == WM_COMMAND && entry.code == code && entry.id == id)
        return entry.handler(*this, wParam, lParam);
    }
    return DefaultHandling(message, wParam, lParam);
  }
  for (const MessageMapEntry& entry : GetMessageMap()) {
    if (entry.message == message) return entry.handler(*this, wParam, lParam);
  }
  return DefaultHandling(message, wParam, lParam);
}

LResult CDialog::DefaultHandling(std::uint32_t message, WParam wParam, LParam) {
  if (message == WM_COMMAND && HighWord(wParam) == BN_CLICKED) {
    if (LowWord(wParam) == IDOK) OnOK();
    if (LowWord(wParam) == IDCANCEL) OnCancel();
  } else if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE) {
    // A grey Close item closes nothing, whichever way the request came.
    if (!IsSystemMenuItemGrayed(SC_CLOSE)) OnCancel();
  } else if (message == WM_CLOSE) {
    if (!IsSystemMenuItemGrayed(SC_CLOSE)) OnCancel();
  } else if (message == WM_CTLCOLORSTATIC) {
    return kDefaultColour;
  }
  return 0;
}

LResult CDialog::ControlTextColour(int id) {
  return Dispatch(WM_CTLCOLORSTATIC, static_cast<WParam>(id), 0);
}

void CDialog::RunOnDialogThread(const std::function<void()>& work) {
  if (!window_ || window_->OnDialogThread()) {
    work();
  } else {
    window_->Send(work);
  }
}

CWnd CDialog::GetDlgItem(int id) { return CWnd(this, id); }

void CDialog::SetDlgItemText(int id, const std::string& text) {
  if (window_) RunOnDialogThread([&] { window_->SetText(id, text); });
}
std::string CDialog::GetDlgItemText(int id) {
  std::string text;
  if (window_) RunOnDialogThread([&] { text = window_->GetText(id); });
  return text;
}

void CDialog::SetTimer(unsigned id, unsigned milliseconds) {
  if (window_) window_->SetTimer(id, milliseconds);
}
void CDialog::KillTimer(unsigned id) {
  if (window_) window_->KillTimer(id);
}

int CDialog::MessageBox(const std::string& text, const std::string& caption, std::uint32_t style) {
  const std::string title = caption.empty() ? std::string("Burnwell") : caption;
  if (!window_) return platform::Current<Backend>().MessageBox(text, title, style);
  int answer = 0;
  RunOnDialogThread([&] { answer = window_->MessageBox(text, title, style); });
  return answer;
}

void CDialog::SetIcon(bool big) {
  if (window_) window_->SetWindowIcon(big);
}

bool CDialog::HasSystemMenu() const { return window_ && window_->HasSystemMenu(); }
void CDialog::AppendSystemMenu(std::uint32_t flags, std::uint32_t command,
                               const std::string& text) {
  if (window_) window_->AppendSystemMenu(flags, command, text);
}
void CDialog::EnableSystemMenuItem(std::uint32_t command, std::uint32_t flags) {
  std::erase(grayedMenuItems_, command);
  if (flags & MF_GRAYED) grayedMenuItems_.push_back(command);
  if (window_) window_->EnableSystemMenuItem(command, flags);
}
bool CDialog::IsSystemMenuItemGrayed(std::uint32_t command) const {
  return std::find(grayedMenuItems_.begin(), grayedMenuItems_.end(), command) !=
         grayedMenuItems_.end();
}
bool CDialog::IsIconic() const { return window_ && window_->IsIconic(); }

// --- application -----------------------------------------------------------------------------

CWinApp::CWinApp() { UiLayer().app.store(this); }
CWinApp::~CWinApp() {
  CWinApp* self = this;
  UiLayer().app.compare_exchange_strong(self, nullptr);
}
CWinApp* AfxGetApp() { return UiLayer().app.load(); }

}  // namespace burnwell::ui

namespace burnwell::platform {
template <>
ui::Backend& SystemInstance<ui::Backend>() {
  static ui::NoBackend none;
  return none;
}
template <>
ui::StringTable& SystemInstance<ui::StringTable>() {
  static ui::EmptyStringTable empty;
  return empty;
}
}  // namespace burnwell::platform
