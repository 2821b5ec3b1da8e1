// burnwell-tool update and backup: the updater's one-shot update without a dialog, for scripts
// and production lines (the same update sequence, shown on the terminal), and a backup of a
// bridge's configuration block and code region as a header image file that `info` accepts and
// `update` writes back.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/UpdateSequence.h"
#include "common/Bytes.h"
#include "common/MakerIds.h"
#include "bridge/DeviceApi.h"
#include "device/DeviceRecord.h"
#include "image/ConfigBlock.h"
#include "image/FirmwareReaders.h"
#include "image/ImageBuffer.h"
#include "platform/StopRequest.h"
#include "platform/WinNames.h"
#include "tools/burnwell-tool/BridgeSession.h"
#include "tools/burnwell-tool/Commands.h"
#include "tools/burnwell-tool/OpenFailure.h"
#include "tools/burnwell-tool/WholeUpdateProgress.h"
#include "ui/terminal/UpdateProgress.h"
#include "ui/terminal/TerminalView.h"

namespace burnwell::tool {
namespace {

constexpr const char* UPDATE_DETAILS =
    "Updates the first bridge found with FILE, as the updater does: Intel HEX files (name ending\n"
    "in .hex) keep the bridge's own configuration block with the power setting applied; image\n"
    "files bring their own block, carrying the bridge's serial number. Erase, program, marker,\n"
    "read-back and compare, up to six passes; then power-cycle the bridge.\n\n";

constexpr const char* BACKUP_DETAILS =
    "Reads the configuration block and the whole code region of the bridge at table index N\n"
    "(default 0) and writes them to OUT as an image file: the 268-byte header (block, product,\n"
    "extra word, code length) and the code. `burnwell-tool info OUT` shows it and\n"
    "`burnwell-tool update OUT` writes it back. The block's checksum bytes are set to the\n"
    "checksum of the code read, so that the file loads even when the bridge's marker was stale.\n\n";

// The update's window on a terminal: message boxes as lines, one progress line for the whole
// update (phase status lines too when the output is not a terminal), and why no bridge could be
// used, as `list` would say it.
class TerminalUpdateHost final : public app::UpdateHost {
 public:
  TerminalUpdateHost(ui::TerminalView& view, int selfPowered, int fileType,
                     protocol::TransferMode transfers, std::ostream& err, std::uint64_t bytes)
      : view_(view),
        interactive_(ui::TerminalColumns(stdout) > 0),
        progress_(stdout, interactive_),
        observer_(progress_, stdout, bytes),
        selfPowered_(selfPowered),
        fileType_(fileType),
        transfers_(transfers),
        err_(err) {}

  // The exit status for "no bridge to update".
  int NoBridgeStatus() const { return noBridgeStatus_; }

  // Where the progress-bar messages must be delivered while the update runs.
  platform::WindowMessages& ProgressMessages() { return progress_; }

  int SelfPowered() const override { return selfPowered_; }
  int FileType() const override { return fileType_; }
  protocol::TransferMode Transfers() const override { return transfers_; }
  platform::WindowHandle ProgressWindow() override { return ui::UpdateProgress::kHandle; }
  void ShowProgress(bool visible) override {
    if (!visible) progress_.Clear();
  }
  void SetStatusText(const std::string& text) override {
    if (interactive_) return;  // the progress line names the phase
    view_.Status(text);
  }
  int ShowMessage(const std::string& text, std::uint32_t style) override {
    progress_.Clear();
    return view_.Message(text, "Burnwell", style);
  }
  bool ExplainNoBridge(int openResult) override {
    noBridgeStatus_ = ExplainOpenFailure("update", openResult, err_);
    return true;
  }
  app::UpdateObserver* Observer() override { return &observer_; }

 private:
  ui::TerminalView& view_;
  bool interactive_;
  ui::UpdateProgress progress_;
  WholeUpdateProgress observer_;
  int selfPowered_;
  int fileType_;
  protocol::TransferMode transfers_;
  std::ostream& err_;
  int noBridgeStatus_ = Code(ExitStatus::NoBridge);
};

// The bridge's block and code region as a header image file.
// Returns the exit status; text is the file name as given, for messages.
int WriteBackup(std::uint32_t selected, const std::string& text, protocol::TransferMode transfers,
                std::ostream& err) {
  const std::filesystem::path out = ArgumentPath(text);
  BridgeSession session;
  if (session.Initialized() && session.OpenResult() <= 0)
    return ExplainOpenFailure("backup", session.OpenResult(), err);
  if (const int status = session.ReportOpenFailure("backup", err); status != 0) return status;
  const device::DeviceTable& table = device::DeviceLayer().table;
  if (selected >= table.count) {
    err << "burnwell-tool backup: no bridge at index " << selected << " (" << table.count << " found)\n";
    return Code(ExitStatus::NoBridge);
  }
  const int index = static_cast<int>(selected);
  const device::DeviceRecord& record = table.records[index];
  const bool smallEeprom = std::string(MemoryKind(record)) == "eeprom-256";
  const std::uint32_t codeLength = smallEeprom ? 0 : record.CodeSize;

  std::vector<std::uint8_t> flash(image::CONFIG_BLOCK_SIZE + codeLength, 0xFF);
  const int read =
      bridge::BridgeReadFlash(index, flash.data(), 0, static_cast<std::uint32_t>(flash.size()), 0, 0, transfers);
  if (read != 0) {
    err << "burnwell-tool backup: reading the bridge failed: " << ResultText(read) << "\n";
    return Code(ExitStatus::Failed);
  }

  std::vector<std::uint8_t> file(image::IMAGE_HEADER_SIZE + codeLength, 0);
  std::copy_n(flash.begin(), image::CONFIG_BLOCK_SIZE, file.begin());
  if (codeLength != 0) {
    const std::uint16_t checksum = image::ComputeChecksum(
        std::span<const std::uint8_t>(flash).subspan(image::CONFIG_BLOCK_SIZE, codeLength));
    StoreBe16(file.data() + image::offset::CHECKSUM, checksum);
    std::copy(flash.begin() + image::CONFIG_BLOCK_SIZE, flash.end(), file.begin() + image::IMAGE_HEADER_SIZE);
  }
  StoreLe32(file.data() + image::offset::PRODUCT_WORD, record.ProductId);
  StoreLe32(file.data() + image::offset::CODE_LENGTH, codeLength);

  std::filesystem::path partial = out;
  partial += ".partial";
  {
    std::ofstream stream(partial, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    // Closed before the check: a write that fails only when the buffer is flushed (a full disk)
    // must not leave a short backup behind a success.
    stream.close();
    if (!stream) {
      err << "burnwell-tool backup: cannot write " << text << "\n";
      std::error_code ignored;
      std::filesystem::remove(partial, ignored);
      return Code(ExitStatus::Failed);
    }
  }
  std::error_code renamed;
  std::filesystem::rename(partial, out, renamed);
  if (renamed) {
    err << "burnwell-tool backup: cannot write " << text << ": " << renamed.message() << "\n";
    return Code(ExitStatus::Failed);
  }
  return Code(ExitStatus::Success);
}

// The error text of a firmware file the updater's readers did not load; nothing when loaded.
std::optional<std::string> LoadFailureText(const image::FirmwareLoadResult& result) {
  if (result.ok) return std::nullopt;
  if (result.type == image::FileType::Hex)
    return result.errorText.empty() ? "the file could not be loaded" : result.errorText;
  return "the image file could not be loaded (status " + std::to_string(Code(result.status)) + ")";
}

// The last line of an update: the verdict in plain words, and what to do next.
std::string VerdictLine(app::UpdateOutcome outcome, const char* checksum) {
  switch (outcome) {
    case app::UpdateOutcome::Updated:
      return std::string("updated and verified: checksum ") + checksum + "; power-cycle the bridge\n";
    case app::UpdateOutcome::NoBridge:
      return "not updated: no bridge could be used\n";
    case app::UpdateOutcome::Failed:
      return "not updated: the update failed after its passes; check the cable and the power, and "
             "run the update again before the bridge is power-cycled\n";
    case app::UpdateOutcome::Disconnected:
      return "not updated: reconnect the bridge and run the update again before it is power-cycled\n";
    case app::UpdateOutcome::Stopped:
      return "not updated: stopped; run the update again before the bridge is power-cycled\n";
  }
  return {};
}

struct UpdateRequest {
  std::string file;
  std::optional<std::string> backup;
  bool yes = false;
  bool busPowered = false;
  protocol::TransferMode transfers = protocol::TransferMode::Fast;
};

int RunUpdate(const UpdateRequest& request, std::ostream& out, std::ostream& err) {
  const std::filesystem::path file = ArgumentPath(request.file);
  const int selfPowered = request.busPowered ? 0 : 1;
  const image::FirmwareLoadResult loaded = image::LoadFirmwareByType(image::LoadedImage(), file);
  const image::FileType type = loaded.type;
  if (const auto error = LoadFailureText(loaded)) {
    err << "burnwell-tool update: " << *error << "\n";
    return Code(ExitStatus::LoadFailedOrDeclined);
  }
  char checksum[8];
  std::snprintf(checksum, sizeof checksum, "%04X", image::LoadedImage().GetChecksum());
  out << "firmware: " << request.file << "\nchecksum: " << checksum << std::endl;

  ui::TerminalView view = ui::TerminalView::Standard();
  view.SetAssumeYes(request.yes);
  if (view.Message(app::kBackupWarning, "Warning", MB_OKCANCEL | MB_ICONEXCLAMATION) != IDOK) {
    err << "burnwell-tool update: cancelled\n";
    return Code(ExitStatus::LoadFailedOrDeclined);
  }

  if (bridge::BridgeInitialize() == 0) {
    err << "burnwell-tool update: the bridges' lock could not be opened or created\n";
    bridge::BridgeUninitialize();
    return Code(ExitStatus::Failed);
  }
  if (request.backup) {
    const int saved = WriteBackup(0, *request.backup, request.transfers, err);
    if (saved != Code(ExitStatus::Success)) {
      bridge::BridgeUninitialize();
      const bool noBridgeToUse = saved == Code(ExitStatus::NoBridge) || saved == Code(ExitStatus::BridgeBusy) ||
                                 saved == Code(ExitStatus::NoPermission);
      return noBridgeToUse ? saved : Code(ExitStatus::BackupFailed);
    }
    out << "backup: " << *request.backup << std::endl;
  }

  platform::InstallStopHandlers();  // Ctrl-C mid-update warns first, a second one stops
  TerminalUpdateHost host(view, selfPowered, static_cast<int>(type), request.transfers, err,
                          image::LoadedImage().CodeLength() + image::CONFIG_BLOCK_SIZE);
  app::UpdateOutcome outcome;
  {
    platform::ScopedOverride<platform::WindowMessages> progress(&host.ProgressMessages());
    outcome = app::RunUpdate(host);
  }
  bridge::BridgeUninitialize();
  out << VerdictLine(outcome, checksum) << std::flush;
  switch (outcome) {
    case app::UpdateOutcome::Updated: return Code(ExitStatus::Success);
    case app::UpdateOutcome::NoBridge: return host.NoBridgeStatus();
    case app::UpdateOutcome::Disconnected: return Code(ExitStatus::Disconnected);
    case app::UpdateOutcome::Stopped: return Code(ExitStatus::Stopped);
    case app::UpdateOutcome::Failed: break;
  }
  return Code(ExitStatus::Failed);
}

}  // namespace

CommandAction DeclareUpdate(CLI::App& command) {
  auto request = std::make_shared<UpdateRequest>();
  cli::SetUsage(command, "burnwell-tool update FILE [--yes] [--self-powered | --bus-powered] [--backup OUT]");
  command.add_option("FILE", request->file, "the firmware file: Intel HEX (.hex) or an image file")->required();
  command.add_flag("--yes", request->yes, "do not ask to confirm the backup warning");
  CLI::Option* self = command.add_flag_callback(
      "--self-powered", [request] { request->busPowered = false; },
      "program the bridge as self-powered, 100 mA (the default)");
  CLI::Option* bus = command.add_flag("--bus-powered", request->busPowered, "program the bridge as bus-powered, 500 mA");
  self->excludes(bus);
  command.add_option("--backup", request->backup,
                     "first save the bridge's block and code region to OUT (as backup does); the update does "
                     "not start when the backup fails")
      ->type_name("OUT");
  AddTransferOption(command, request->transfers);
  command.footer(std::string(UPDATE_DETAILS) +
                 ExitStatusHelp({ExitStatus::Success, ExitStatus::Failed, ExitStatus::Usage, ExitStatus::NoBridge,
                                 ExitStatus::LoadFailedOrDeclined, ExitStatus::BackupFailed,
                                 ExitStatus::BridgeBusy, ExitStatus::NoPermission,
                                 ExitStatus::Disconnected, ExitStatus::Stopped}));
  return [request](std::ostream& out, std::ostream& err) { return RunUpdate(*request, out, err); };
}

CommandAction DeclareBackup(CLI::App& command) {
  struct BackupRequest {
    std::string out;
    BridgeSelection selection;
    protocol::TransferMode transfers = protocol::TransferMode::Fast;
  };
  auto request = std::make_shared<BackupRequest>();
  cli::SetUsage(command, "burnwell-tool backup OUT [--index N]");
  command.add_option("OUT", request->out, "the image file to write")->required();
  AddBridgeSelection(command, request->selection);
  AddTransferOption(command, request->transfers);
  command.footer(std::string(BACKUP_DETAILS) + ExitStatusHelp({ExitStatus::Success, ExitStatus::Failed,
                                                                ExitStatus::Usage, ExitStatus::NoBridge,
                                                                ExitStatus::BridgeBusy, ExitStatus::NoPermission}));
  return [request](std::ostream& out, std::ostream& err) {
    const int status = WriteBackup(request->selection.index, request->out, request->transfers, err);
    if (status == Code(ExitStatus::Success)) out << "saved " << request->out << "\n";
    return status;
  };
}

}  // namespace burnwell::tool
