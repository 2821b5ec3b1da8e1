// The updater's main dialog: reads Config.ini, loads the firmware file, shows its checksum, asks
// for the backup warning, then on its own checks the bridge's firmware version and runs the
// update on a worker thread, and closes when the update has ended.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/ConfigFile.h"
#include "app/DialogBridge.h"
#include "app/UpdateHost.h"
#include "app/UpdateSequence.h"
#include "app/VersionCheck.h"
#include "common/ExitStatus.h"
#include "ui/Framework.h"

namespace burnwell::app {

inline constexpr unsigned TIMER_START_UPDATE = 8888;
inline constexpr unsigned TIMER_CLOSE = 9999;
inline constexpr unsigned kStartUpdateDelayMs = 500;
inline constexpr unsigned kCloseAfterLoadErrorMs = 500;
inline constexpr unsigned kCloseAfterUpdateMs = 300;

// Bounds of the start address and length boxes.
inline constexpr std::uint32_t kMaxStartAddress = 0x5BFF;
inline constexpr std::uint32_t kMinLength = 256;

inline constexpr char kLoadError[] = "Load FW error!!!";
inline constexpr char kUpdatingWarning[] = "Updating now, please don't remove device!";
inline constexpr char kMainCodeLoaded[] = "Main code loaded!";
inline constexpr char kWorkerStartFailed[] = "The update could not be started.";

// How a run of the dialog ended; the process exit status of the updater, from the table it
// shares with burnwell-tool.
enum class RunResult : int {
  Updated = Code(ExitStatus::Success),      // programmed and verified
  UpdateFailed = Code(ExitStatus::Failed),  // the update ran and reported a failure
  NoBridge = Code(ExitStatus::NoBridge),    // no bridge found (version check or update)
  LoadErrorOrCancel =
      Code(ExitStatus::LoadFailedOrDeclined),  // file not loaded, warning cancelled, or
                                               // closed before the start
  VersionRefused =
      Code(ExitStatus::VersionRefused),           // version unreadable or not the configured one
  NotStarted = Code(ExitStatus::NotStarted),      // the worker thread could not be started
  NoWindow = Code(ExitStatus::NoWindow),          // the dialog could not be shown at all
  Disconnected = Code(ExitStatus::Disconnected),  // the bridge went away or stopped answering
  Stopped = Code(ExitStatus::Stopped),            // stopped by a second Ctrl-C mid-update
  BridgeBusy = Code(ExitStatus::BridgeBusy),      // another program holds the bridge's lock
  NoPermission = Code(ExitStatus::NoPermission),  // the user may not open the bridge's node
  OtherVendor = Code(ExitStatus::FirmwareDoesNotFit),  // the bridge reports another vendor ID
  SeveralBridges = Code(ExitStatus::SeveralBridges),   // more than one bridge attached
};

// What the dialog calls outside itself; tests put fakes in place of the device API. Passed to
// the dialog rather than reached through the seam: they are this dialog's collaborators, held
// by it for its life, not services of the whole process.
struct DialogServices {
  std::function<int(const std::filesystem::path&, ConfigSettings&)> readConfig;
  std::function<int(std::uint8_t*, std::uint32_t)> bridgeOpen;
  std::function<int(int, std::uint32_t*, std::uint32_t*)> bridgeGetVersion;
  std::function<int()> bridgeClose;
  std::function<UpdateOutcome(UpdateHost&)> runUpdate;
  std::function<int()> bridgeInitialize;
  std::function<int()> bridgeUninitialize;
  // The bridge the update will write, named before the warning (app/DialogBridge.h); none
  // leaves the dialog as it was: the update finds and checks its bridge itself.
  std::function<DialogBridge()> chooseBridge;
  // The version check refused the bridge (why, as the operator is told), while the device API
  // is still open; none by default. The updater's program records the refusal here.
  std::function<void(const std::string&)> versionRefused;

  // The real configuration reader, device API and update sequence.
  static DialogServices Real();
};

// The operator texts as the string table of the portable backends, installed for this object's
// lifetime (the application object's and each main dialog's).
class ScopedOperatorTexts final : public ui::StringTable {
 public:
  std::string Text(int id) override;

 private:
  platform::ScopedOverride<ui::StringTable> installed_{this};
};

class CBurnwellDlg : public ui::CDialog, public UpdateHost {
 public:
  explicit CBurnwellDlg(DialogServices services = DialogServices::Real(),
                        ui::CDialog* parent = nullptr);
  ~CBurnwellDlg() override;

  RunResult Result() const { return result_.load(); }

  // The update's view of the dialog.
  int SelfPowered() const override { return m_selfPowered; }
  int FileType() const override { return m_fileType; }
  protocol::TransferMode Transfers() const override {
    return settings_.fastTransfers != 0 ? protocol::TransferMode::Fast
                                        : protocol::TransferMode::Classic;
  }
  platform::WindowHandle ProgressWindow() override;
  void ShowProgress(bool visible) override;
  void SetStatusText(const std::string& text) override;
  int ShowMessage(const std::string& text, std::uint32_t style) override;
  bool ExplainNoBridge(int openResult) override;

  // Read access for tests and the front ends.
  const std::string& FirmwarePathText() const { return m_firmwarePath; }
  const std::string& ChecksumText() const { return m_checksumText; }
  std::uint32_t Length() const { return m_length; }
  bool FileLoaded() const { return m_fileLoaded.load() == 1; }
  const ConfigSettings& Settings() const { return settings_; }

  void LoadFirmwareFile();
  void StartUpdate();
  bool CheckFirmwareVersion();
  static void UpdateWorker(void* dialog);

 protected:
  bool OnInitDialog() override;
  void DoDataExchange(ui::CDataExchange& dx) override;
  void OnOK() override;
  void OnCancel() override;
  const ui::MessageMap& GetMessageMap() const override;

 private:
  void OnFirmwarePathChange();
  ui::LResult OnTimer(ui::WParam id, ui::LParam);
  ui::LResult OnSysCommand(ui::WParam command, ui::LParam lParam);
  ui::LResult OnPaint(ui::WParam, ui::LParam);
  ui::LResult OnCtlColor(ui::WParam controlId, ui::LParam);
  ui::LResult OnQueryDragIcon(ui::WParam, ui::LParam);
  bool WorkerBusy() const;
  // Names the bridge the update will write; false (the operator told, the close started) when
  // the dialog refuses to update what is attached.
  bool NameBridge();

  ScopedOperatorTexts operatorTexts_;
  DialogServices services_;

  ui::CWnd m_progress;
  ui::CWnd m_getVersionButton;
  ui::CWnd m_updateButton;
  ui::CWnd m_firmwarePathEdit;
  std::array<DeviceIdEntry, kDeviceIdCount> m_deviceIds{};
  std::string m_firmwarePath;
  std::string m_checksumText;
  std::string m_firmwareFileName;
  std::string m_compareString;
  std::int32_t m_selfPowered;
  std::uint32_t m_startAddress = 0;
  std::uint32_t m_length = 0;
  std::int32_t m_deviceCount = 0;
  std::int32_t m_compareLength = 0;
  std::int32_t m_fileType = 0;
  std::atomic<std::uint32_t> m_fileLoaded{0};
  int m_icon;
  std::atomic<std::uintptr_t> m_workerHandle{0};
  // True from the worker's start until its last use of the dialog, which is later than the
  // handle is cleared: the dialog must not end before that.
  std::atomic<bool> workerActive_{false};
  std::atomic<RunResult> result_{RunResult::LoadErrorOrCancel};
  // Set by the update's worker when the bridge is there but cannot be used (busy, no permission).
  std::optional<RunResult> unusableBridge_;
  // Set by the update's first message box, whose text the warning line then keeps.
  std::atomic<bool> verdictShown_{false};
  ConfigSettings settings_;
};

class CAboutDlg : public ui::CDialog {
 public:
  explicit CAboutDlg(ui::CDialog* parent = nullptr);
  const std::string& VersionText() const { return m_versionText; }

 protected:
  bool OnInitDialog() override;
  void DoDataExchange(ui::CDataExchange& dx) override;

 private:
  std::string m_versionText;
};

// The About box's line for a file version: "Burnwell Version 1.4.3.23".
std::string AboutVersionLine(const ui::FileVersion& version);

class CBurnwellApp : public ui::CWinApp {
 public:
  explicit CBurnwellApp(DialogServices services = DialogServices::Real());
  bool InitInstance() override;
  RunResult Result() const { return result_; }

 private:
  ScopedOperatorTexts operatorTexts_;
  DialogServices services_;
  RunResult result_ = RunResult::NoWindow;
};

}  // namespace burnwell::app
