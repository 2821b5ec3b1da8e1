#include "app/BurnwellDlg.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "common/Hex.h"
#include "app/StringTable.h"
#include "common/MainCode.h"
#include "bridge/DeviceApi.h"
#include "bridge/OpenFailure.h"
#include "image/FirmwareReaders.h"
#include "image/ImageBuffer.h"
#include "ui/Templates.h"

namespace burnwell::app {
namespace {

// Marks the worker handle between the decision to start a worker and the thread's real handle,
// so that a worker which ends at once is not taken for still running.
constexpr std::uintptr_t kWorkerStarting = ~std::uintptr_t{0};

constexpr std::size_t kMaxStatusChars = 259;

RunResult FromOutcome(UpdateOutcome outcome) {
  switch (outcome) {
    case UpdateOutcome::Updated: return RunResult::Updated;
    case UpdateOutcome::NoBridge: return RunResult::NoBridge;
    case UpdateOutcome::Failed: return RunResult::UpdateFailed;
    case UpdateOutcome::Disconnected: return RunResult::Disconnected;
    case UpdateOutcome::Stopped: return RunResult::Stopped;
    case UpdateOutcome::SeveralBridges: return RunResult::SeveralBridges;
    case UpdateOutcome::OtherVendor: return RunResult::OtherVendor;
  }
  return RunResult::UpdateFailed;
}

// A bridge that is there but cannot be used (busy, or a node the user may not open) is told as
// such, with what to do, instead of "Device not found"; nothing when no bridge is there.
std::optional<std::string> UnusableBridgeText(int openResult, RunResult& result) {
  const bridge::OpenFailure failure = bridge::DescribeOpenFailure(openResult);
  if (failure.kind == bridge::OpenFailureKind::Busy) {
    result = RunResult::BridgeBusy;
  } else if (failure.kind == bridge::OpenFailureKind::NoPermission) {
    result = RunResult::NoPermission;
  } else {
    return std::nullopt;
  }
  std::string text = "The bridge cannot be used: " + failure.headline + ".";
  for (const std::string& line : failure.lines) text += "\n" + line;
  return text;
}

// A bridge that is attached but did not answer its identification: the line the status shows
// beside "Device not found".
std::optional<std::string> SilentBridgeLine(int openResult) {
  const bridge::OpenFailure failure = bridge::DescribeOpenFailure(openResult);
  if (failure.kind != bridge::OpenFailureKind::NotAnswering) return std::nullopt;
  return failure.headline;
}

}  // namespace

DialogServices DialogServices::Real() {
  DialogServices services;
  services.readConfig = [](const std::filesystem::path& path, ConfigSettings& settings) {
    return ReadConfigFile(path, settings);
  };
  services.bridgeOpen = bridge::BridgeOpen;
  services.bridgeGetVersion = bridge::BridgeGetVersion;
  services.bridgeClose = bridge::BridgeClose;
  services.runUpdate = RunUpdate;
  services.bridgeInitialize = bridge::BridgeInitialize;
  services.bridgeUninitialize = bridge::BridgeUninitialize;
  services.chooseBridge = [] {
    std::uint8_t devices[32] = {};
    DialogBridge chosen;
    if (const int opened = bridge::BridgeOpen(devices, sizeof devices); opened > 0) {
      chosen = ChooseDialogBridge(device::DeviceLayer().table, image::LoadedImage());
    } else {
      chosen.text = SilentBridgeLine(opened).value_or("");
    }
    bridge::BridgeClose();
    return chosen;
  };
  return services;
}

std::string ScopedOperatorTexts::Text(int id) { return StringTableText(id); }

// --- the main dialog -------------------------------------------------------------------------

CBurnwellDlg::CBurnwellDlg(DialogServices services, ui::CDialog* parent)
    : ui::CDialog(IDD_BURNWELL_DIALOG, parent),
      services_(std::move(services)),
      m_selfPowered(kDefaultSelfPowerOn),
      m_icon(IDR_MAINFRAME) {}

CBurnwellDlg::~CBurnwellDlg() = default;

const ui::MessageMap& CBurnwellDlg::GetMessageMap() const {
  static const ui::MessageMap map = {
      ui::OnWindowMessage(WM_SYSCOMMAND, &CBurnwellDlg::OnSysCommand),
      ui::OnWindowMessage(WM_PAINT, &CBurnwellDlg::OnPaint),
      ui::OnWindowMessage(WM_CTLCOLORSTATIC, &CBurnwellDlg::OnCtlColor),
      ui::OnWindowMessage(WM_QUERYDRAGICON, &CBurnwellDlg::OnQueryDragIcon),
      ui::OnControlNotify(EN_CHANGE, IDC_FIRMWARE_PATH, &CBurnwellDlg::OnFirmwarePathChange),
      ui::OnControlNotify(EN_KILLFOCUS, IDC_FIRMWARE_PATH, &CBurnwellDlg::LoadFirmwareFile),
      ui::OnWindowMessage(WM_TIMER, &CBurnwellDlg::OnTimer),
  };
  return map;
}

void CBurnwellDlg::DoDataExchange(ui::CDataExchange& dx) {
  ui::DDX_Control(dx, IDC_PROGRESS, m_progress);
  ui::DDX_Control(dx, IDC_GET_VERSION, m_getVersionButton);
  ui::DDX_Control(dx, IDC_UPDATE, m_updateButton);
  ui::DDX_Control(dx, IDC_FIRMWARE_PATH, m_firmwarePathEdit);
  ui::DDX_Radio(dx, IDC_RADIO_HEX, m_fileType);
  ui::DDX_Text(dx, IDC_FIRMWARE_PATH, m_firmwarePath);
  ui::DDX_Text(dx, IDC_CHECKSUM, m_checksumText);
  ui::DDX_Text(dx, IDC_START, m_startAddress);
  ui::DDV_MinMaxUInt(dx, m_startAddress, 0, kMaxStartAddress);
  ui::DDX_Text(dx, IDC_LENGTH, m_length);
  ui::DDV_MinMaxUInt(dx, m_length, kMinLength, kLargeMainCodeSize);
}

bool CBurnwellDlg::OnInitDialog() {
  ui::CDialog::OnInitDialog();

  const std::string aboutItem = platform::Current<ui::Backend>().LoadString(IDS_ABOUTBOX);
  if (HasSystemMenu() && !aboutItem.empty()) {
    AppendSystemMenu(MF_SEPARATOR, 0, "");
    AppendSystemMenu(MF_STRING, IDM_ABOUTBOX, aboutItem);
    EnableSystemMenuItem(SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
  }

  SetIcon(true);
  SetIcon(false);

  settings_.firmwareFileName = m_firmwareFileName;
  settings_.compareLength = m_compareLength;
  settings_.compareString = m_compareString;
  settings_.deviceCount = m_deviceCount;
  if (services_.readConfig)
    services_.readConfig(std::filesystem::path(std::string(kConfigFilePath)), settings_);
  m_deviceCount = settings_.deviceCount;
  m_deviceIds = settings_.deviceIds;
  m_firmwareFileName = settings_.firmwareFileName;
  m_compareLength = settings_.compareLength;
  m_compareString = settings_.compareString;
  m_selfPowered = settings_.selfPowered;

  m_firmwarePath = app::FirmwarePathText(m_firmwareFileName);

  GetDlgItem(IDC_FIRMWARE_PATH).EnableWindow(false);
  GetDlgItem(IDC_BROWSE).EnableWindow(false);
  GetDlgItem(IDC_UPDATE).ShowWindow(false);
  GetDlgItem(IDC_GET_VERSION).ShowWindow(false);
  GetDlgItem(IDCANCEL).ShowWindow(false);

  UpdateData(false);
  LoadFirmwareFile();

  if (m_fileLoaded.load() == 1 && !NameBridge()) return true;
  std::string warning;
  if (m_fileLoaded.load() == 1 &&
      MessageBox(kBackupWarning, "Warning", MB_OKCANCEL | MB_ICONEXCLAMATION) == IDOK) {
    SetTimer(TIMER_START_UPDATE, kStartUpdateDelayMs);
    warning = kUpdatingWarning;
  } else {
    result_ = RunResult::LoadErrorOrCancel;
    MessageBox(kLoadError, "Error", MB_ICONHAND);
    SetTimer(TIMER_CLOSE, kCloseAfterLoadErrorMs);
    warning = kLoadError;
  }
  SetDlgItemText(IDC_WARNING, warning);
  return true;
}

bool CBurnwellDlg::NameBridge() {
  if (!services_.chooseBridge) return true;
  const DialogBridge chosen = services_.chooseBridge();
  if (chosen.choice == BridgeChoice::One || chosen.choice == BridgeChoice::None)
    SetDlgItemText(IDC_BRIDGE, chosen.text);
  if (chosen.choice != BridgeChoice::Several && chosen.choice != BridgeChoice::OtherVendor)
    return true;
  result_ =
      chosen.choice == BridgeChoice::Several ? RunResult::SeveralBridges : RunResult::OtherVendor;
  MessageBox(chosen.text, "Error", MB_ICONHAND);
  SetTimer(TIMER_CLOSE, kCloseAfterLoadErrorMs);
  return false;
}

void CBurnwellDlg::LoadFirmwareFile() {
  if (!m_checksumText.empty()) return;
  image::ImageBuffer& loaded = image::LoadedImage();
  const std::filesystem::path path = PathFromUtf8(m_firmwarePath);
  const image::FirmwareLoadResult result = image::LoadFirmwareByType(loaded, path);
  m_fileType = static_cast<std::int32_t>(result.type);
  if (!result.ok) {
    std::string errorText = result.errorText;  // empty from the header reader: cleared line
    if (errorText.size() > kMaxStatusChars) errorText.resize(kMaxStatusChars);
    SetStatusText(errorText);
    // Beside the reader's own text: the file's name and the whole reason.
    SetDlgItemText(IDC_BRIDGE, image::LoadFailureText(path, m_firmwarePath, result));
    m_fileLoaded.store(0);
    return;
  }
  m_fileLoaded.store(1);
  m_startAddress = 0;
  m_length = loaded.CodeLength();
  m_checksumText = Hex(loaded.GetChecksum(), 4, HexDigits::Upper);
  UpdateData(false);
  m_firmwarePathEdit.SendMessage(WM_KEYDOWN, VK_END, 0);
  SetStatusText(kMainCodeLoaded);
}

void CBurnwellDlg::OnFirmwarePathChange() {
  UpdateData(true);
  m_checksumText.clear();
  UpdateData(false);
  m_updateButton.EnableWindow(false);
}

ui::LResult CBurnwellDlg::OnTimer(ui::WParam id, ui::LParam) {
  if (id == TIMER_START_UPDATE) {
    KillTimer(TIMER_START_UPDATE);
    StartUpdate();
  } else if (id == TIMER_CLOSE) {
    KillTimer(TIMER_CLOSE);
    EndDialog(IDCANCEL);
  }
  return 0;
}

void CBurnwellDlg::StartUpdate() {
  UpdateData(true);
  if (m_compareLength != 0 && !CheckFirmwareVersion()) {
    EndDialog(IDCANCEL);
    return;
  }
  std::uintptr_t idle = 0;
  if (!m_workerHandle.compare_exchange_strong(idle, kWorkerStarting)) return;
  workerActive_ = true;
  const std::uintptr_t handle =
      platform::Current<ui::Backend>().StartThread(&CBurnwellDlg::UpdateWorker, this);
  if (handle == 0) {
    workerActive_ = false;
    m_workerHandle = 0;
    result_ = RunResult::NotStarted;
    MessageBox(kWorkerStartFailed, "Error", MB_ICONHAND);
    EndDialog(IDCANCEL);
    return;
  }
  // The worker may have finished already and cleared the mark; then it stays clear.
  std::uintptr_t starting = kWorkerStarting;
  m_workerHandle.compare_exchange_strong(starting, handle);
}

void CBurnwellDlg::UpdateWorker(void* argument) {
  auto& dialog = *static_cast<CBurnwellDlg*>(argument);
  UpdateOutcome outcome = UpdateOutcome::Failed;
  if (dialog.services_.runUpdate) outcome = dialog.services_.runUpdate(dialog);
  dialog.result_ = FromOutcome(outcome);
  if (outcome == UpdateOutcome::NoBridge && dialog.unusableBridge_)
    dialog.result_ = *dialog.unusableBridge_;
  dialog.m_workerHandle = 0;
  dialog.RunOnDialogThread([&dialog] { dialog.SetTimer(TIMER_CLOSE, kCloseAfterUpdateMs); });
  dialog.workerActive_ = false;
}

bool CBurnwellDlg::CheckFirmwareVersion() {
  std::array<std::uint8_t, 32> devices{};
  bool passed = false;
  if (const int opened =
          services_.bridgeOpen(devices.data(), static_cast<std::uint32_t>(devices.size()));
      opened <= 0) {
    RunResult why = RunResult::NoBridge;
    const auto text = UnusableBridgeText(opened, why);
    result_ = why;
    if (const auto silent = SilentBridgeLine(opened)) SetStatusText(*silent);
    if (text) {
      ui::AfxMessageBox(*text, MB_ICONHAND);
    } else {
      ui::AfxMessageBox(IDS_DEVICE_NOT_FOUND, MB_ICONHAND);
    }
  } else {
    std::uint32_t ids = 0;
    std::uint32_t version = 0;
    if (services_.bridgeGetVersion(devices[0], &ids, &version) < 0) {
      result_ = RunResult::VersionRefused;
      if (services_.versionRefused)
        services_.versionRefused("the bridge's firmware version could not be read");
      ui::AfxMessageBox(IDS_VERSION_UNREADABLE, MB_ICONHAND);
    } else if (!VersionTextMatches(FirmwareVersionText(version), m_compareString,
                                   m_compareLength)) {
      result_ = RunResult::VersionRefused;
      const std::string why =
          "the bridge reports firmware version " + FirmwareVersionText(version) + ", not " +
          m_compareString.substr(0, static_cast<std::size_t>(std::max(m_compareLength, 0)));
      SetStatusText(why);  // the found and the wanted version, beside the box
      if (services_.versionRefused) services_.versionRefused(why);
      ui::AfxMessageBox(IDS_VERSION_REFUSED, MB_ICONHAND);
    } else {
      passed = true;
    }
  }
  services_.bridgeClose();
  return passed;
}

bool CBurnwellDlg::WorkerBusy() const { return m_workerHandle.load() != 0 || workerActive_.load(); }

void CBurnwellDlg::OnOK() {
  // Enter must not end the dialog under a running update.
  if (!WorkerBusy()) ui::CDialog::OnOK();
}
void CBurnwellDlg::OnCancel() {
  if (!WorkerBusy()) ui::CDialog::OnCancel();
}

ui::LResult CBurnwellDlg::OnSysCommand(ui::WParam command, ui::LParam lParam) {
  if ((command & 0xFFF0) == IDM_ABOUTBOX) {
    CAboutDlg about(this);
    about.DoModal();
    return 0;
  }
  return DefaultHandling(WM_SYSCOMMAND, command, lParam);
}

ui::LResult CBurnwellDlg::OnPaint(ui::WParam wParam, ui::LParam lParam) {
  if (!IsIconic()) return DefaultHandling(WM_PAINT, wParam, lParam);
  const auto [width, height] = Window()->ClientSize();
  const int iconWidth = platform::Current<ui::Backend>().IconMetric(SM_CXICON);
  const int iconHeight = platform::Current<ui::Backend>().IconMetric(SM_CYICON);
  Window()->PaintIconic((width - iconWidth + 1) / 2, (height - iconHeight + 1) / 2);
  return 0;
}

ui::LResult CBurnwellDlg::OnCtlColor(ui::WParam controlId, ui::LParam) {
  if (static_cast<int>(controlId) == IDC_WARNING)
    return static_cast<ui::LResult>(ui::Rgb(255, 0, 0));
  return ui::kDefaultColour;
}

ui::LResult CBurnwellDlg::OnQueryDragIcon(ui::WParam, ui::LParam) { return m_icon; }

platform::WindowHandle CBurnwellDlg::ProgressWindow() { return m_progress.Handle(); }
void CBurnwellDlg::ShowProgress(bool visible) { m_progress.ShowWindow(visible); }
void CBurnwellDlg::SetStatusText(const std::string& text) { SetDlgItemText(IDC_STATUS, text); }
int CBurnwellDlg::ShowMessage(const std::string& text, std::uint32_t style) {
  // The update's first box is its verdict ("Programming completed", or what failed). The
  // warning line takes it over, so that until the window closes it shows how the update ended
  // rather than still asking not to remove the device.
  if (!verdictShown_.exchange(true)) SetDlgItemText(IDC_WARNING, text);
  return MessageBox(text, "", style);
}

bool CBurnwellDlg::ExplainNoBridge(int openResult) {
  RunResult result = RunResult::NoBridge;
  const auto text = UnusableBridgeText(openResult, result);
  if (const auto silent = SilentBridgeLine(openResult)) SetStatusText(*silent);
  if (!text) return false;
  unusableBridge_ = result;
  ShowMessage(*text, MB_ICONHAND);
  return true;
}

// --- About box -------------------------------------------------------------------------------

std::string AboutVersionLine(const ui::FileVersion& version) {
  char text[64];
  std::snprintf(text, sizeof text, "Burnwell Version %u.%u.%u.%u", version[0], version[1],
                version[2], version[3]);
  return text;
}

CAboutDlg::CAboutDlg(ui::CDialog* parent) : ui::CDialog(IDD_ABOUTBOX, parent) {}

void CAboutDlg::DoDataExchange(ui::CDataExchange& dx) {
  ui::DDX_Text(dx, IDC_VERSION_TEXT, m_versionText);
}

bool CAboutDlg::OnInitDialog() {
  ui::CDialog::OnInitDialog();
  const std::optional<ui::FileVersion> version =
      platform::Current<ui::Backend>().ProgramFileVersion();
  if (!version) {
    EndDialog(IDCANCEL);
    return true;
  }
  m_versionText = AboutVersionLine(*version);
  UpdateData(false);
  return true;
}

// --- application -----------------------------------------------------------------------------

CBurnwellApp::CBurnwellApp(DialogServices services) : services_(std::move(services)) {}

bool CBurnwellApp::InitInstance() {
  EnableControlContainer();
  if (services_.bridgeInitialize) services_.bridgeInitialize();
  {
    CBurnwellDlg dialog(services_);
    m_pMainWnd = &dialog;
    const int shown = dialog.DoModal();
    m_pMainWnd = nullptr;
    result_ = shown == -1 ? RunResult::NoWindow : dialog.Result();
  }
  if (services_.bridgeUninitialize) services_.bridgeUninitialize();
  return false;
}

}  // namespace burnwell::app
