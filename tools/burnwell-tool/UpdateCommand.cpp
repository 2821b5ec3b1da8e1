// burnwell-tool update and backup: the updater's one-shot update without a dialog, for scripts
// and production lines (the same update sequence, shown on the terminal), and a backup of a
// bridge's configuration block and code region as a header image file that `info` accepts and
// `update` writes back.
#include <cstdio>
#include <filesystem>
#include <fstream>
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
#include "platform/WinNames.h"
#include "tools/burnwell-tool/BridgeSession.h"
#include "tools/burnwell-tool/Commands.h"
#include "ui/terminal/TerminalProgress.h"
#include "ui/terminal/TerminalView.h"

namespace burnwell::tool {
namespace {

// Exit status of update (besides 0 updated, 1 update failed, 2 usage error, 3 no bridge).
constexpr int kExitLoadFailedOrCancelled = 4;
constexpr int kExitBackupFailed = 5;

constexpr const char* UPDATE_HELP =
    "Usage: burnwell-tool update FILE [--yes] [--self-powered | --bus-powered] [--backup OUT]\n\n"
    "Updates the first bridge found with FILE, as the updater does: Intel HEX files (name ending\n"
    "in .hex) keep the bridge's own configuration block with the power setting applied; image\n"
    "files bring their own block, carrying the bridge's serial number. Erase, program, marker,\n"
    "read-back and compare, up to six passes; then power-cycle the bridge.\n\n"
    "  --yes           do not ask to confirm the backup warning\n"
    "  --self-powered  program the bridge as self-powered, 100 mA (the default)\n"
    "  --bus-powered   program the bridge as bus-powered, 500 mA\n"
    "  --backup OUT    first save the bridge's block and code region to OUT (as `backup` does);\n"
    "                  the update does not start when the backup fails\n\n"
    "Exit status: 0 updated and verified, 1 the update failed, 2 usage error, 3 no bridge found,\n"
    "4 the file could not be loaded or the warning was declined, 5 the backup failed.\n";

constexpr const char* BACKUP_HELP =
    "Usage: burnwell-tool backup OUT [--index N]\n\n"
    "Reads the configuration block and the whole code region of the bridge at table index N\n"
    "(default 0) and writes them to OUT as an image file: the 268-byte header (block, product,\n"
    "extra word, code length) and the code. `burnwell-tool info OUT` shows it and\n"
    "`burnwell-tool update OUT` writes it back. The block's checksum bytes are set to the\n"
    "checksum of the code read, so that the file loads even when the bridge's marker was stale.\n\n"
    "Exit status: 0 saved, 1 the read or the write failed, 2 usage error, 3 no bridge found.\n";

// The update's window on a terminal: status lines, message boxes as lines, and the progress
// bar that the flash operations drive with their progress-bar messages.
class TerminalUpdateHost final : public app::UpdateHost {
 public:
  TerminalUpdateHost(ui::TerminalView& view, int selfPowered, int fileType)
      : view_(view), progress_(view), selfPowered_(selfPowered), fileType_(fileType) {}

  // Where the progress-bar messages must be delivered while the update runs.
  platform::WindowMessages& ProgressMessages() { return progress_; }

  int SelfPowered() const override { return selfPowered_; }
  int FileType() const override { return fileType_; }
  platform::WindowHandle ProgressWindow() override { return progress_.ProgressWindow(); }
  void ShowProgress(bool visible) override { progress_.Show(visible); }
  void SetStatusText(const std::string& text) override { view_.Status(text); }
  int ShowMessage(const std::string& text, std::uint32_t style) override {
    return view_.Message(text, "Burnwell", style);
  }

 private:
  ui::TerminalView& view_;
  ui::TerminalProgress progress_;
  int selfPowered_;
  int fileType_;
};

// The bridge's block and code region as a header image file.
int WriteBackup(int index, const std::filesystem::path& out, std::ostream& err) {
  BridgeSession session;
  if (const int status = session.ReportOpenFailure("backup", err); status != 0) return status;
  const device::DeviceTable& table = device::DeviceLayer().table;
  if (index < 0 || static_cast<std::uint32_t>(index) >= table.count) {
    err << "burnwell-tool backup: no bridge at index " << index << "\n";
    return 1;
  }
  const device::DeviceRecord& record = table.records[index];
  const bool smallEeprom = std::string(MemoryKind(record)) == "eeprom-256";
  const std::uint32_t codeLength = smallEeprom ? 0 : record.CodeSize;

  std::vector<std::uint8_t> flash(image::CONFIG_BLOCK_SIZE + codeLength, 0xFF);
  const int read = bridge::BridgeReadFlash(index, flash.data(), 0, static_cast<std::uint32_t>(flash.size()), 0, 0);
  if (read != 0) {
    err << "burnwell-tool backup: reading the bridge failed: " << ResultText(read) << "\n";
    return 1;
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

  const std::filesystem::path partial = out.string() + ".partial";
  {
    std::ofstream stream(partial, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    if (!stream) {
      err << "burnwell-tool backup: cannot write " << out.string() << "\n";
      std::error_code ignored;
      std::filesystem::remove(partial, ignored);
      return 1;
    }
  }
  std::error_code renamed;
  std::filesystem::rename(partial, out, renamed);
  if (renamed) {
    err << "burnwell-tool backup: cannot write " << out.string() << ": " << renamed.message() << "\n";
    return 1;
  }
  return 0;
}

// The error text of a firmware file the updater's readers did not load; nothing when loaded.
std::optional<std::string> LoadFailureText(const image::FirmwareLoadResult& result) {
  if (result.ok) return std::nullopt;
  if (result.type == image::FileType::Hex)
    return result.errorText.empty() ? "the file could not be loaded" : result.errorText;
  return "the image file could not be loaded (status " + std::to_string(Code(result.status)) + ")";
}

}  // namespace

int RunBackup(std::span<const Argument> args, std::ostream& out, std::ostream& err) {
  if (WantsHelp(args)) {
    out << BACKUP_HELP;
    return 0;
  }
  std::optional<std::filesystem::path> target;
  int index = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i].Is("--index") && i + 1 < args.size()) {
      const auto value = ParseNumber(args[++i].Text());
      if (!value || *value > 0x7FFFFFFF) {
        err << "burnwell-tool backup: --index needs a number\n";
        return 2;
      }
      index = static_cast<int>(*value);
    } else if (args[i].Text().rfind("--", 0) == 0 || target) {
      err << "burnwell-tool backup: unexpected argument " << args[i].Text() << "\n" << BACKUP_HELP;
      return 2;
    } else {
      target = args[i].value;
    }
  }
  if (!target) {
    err << BACKUP_HELP;
    return 2;
  }
  const int status = WriteBackup(index, *target, err);
  if (status == 0) out << "saved " << target->string() << "\n";
  return status;
}

int RunUpdate(std::span<const Argument> args, std::ostream& out, std::ostream& err) {
  if (WantsHelp(args)) {
    out << UPDATE_HELP;
    return 0;
  }
  std::optional<std::filesystem::path> file;
  std::optional<std::filesystem::path> backup;
  bool yes = false;
  int selfPowered = 1;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i].Is("--yes")) {
      yes = true;
    } else if (args[i].Is("--self-powered")) {
      selfPowered = 1;
    } else if (args[i].Is("--bus-powered")) {
      selfPowered = 0;
    } else if (args[i].Is("--backup") && i + 1 < args.size()) {
      backup = args[++i].value;
    } else if (args[i].Text().rfind("--", 0) == 0 || file) {
      err << "burnwell-tool update: unexpected argument " << args[i].Text() << "\n" << UPDATE_HELP;
      return 2;
    } else {
      file = args[i].value;
    }
  }
  if (!file) {
    err << UPDATE_HELP;
    return 2;
  }

  const image::FirmwareLoadResult loaded = image::LoadFirmwareByType(image::LoadedImage(), *file);
  const image::FileType type = loaded.type;
  if (const auto error = LoadFailureText(loaded)) {
    err << "burnwell-tool update: " << *error << "\n";
    return kExitLoadFailedOrCancelled;
  }
  char checksum[8];
  std::snprintf(checksum, sizeof checksum, "%04X", image::LoadedImage().GetChecksum());
  out << "firmware: " << file->string() << "\nchecksum: " << checksum << std::endl;

  ui::TerminalView view = ui::TerminalView::Standard();
  view.SetAssumeYes(yes);
  if (view.Message(app::kBackupWarning, "Warning", MB_OKCANCEL | MB_ICONEXCLAMATION) != IDOK) {
    err << "burnwell-tool update: cancelled\n";
    return kExitLoadFailedOrCancelled;
  }

  if (bridge::BridgeInitialize() == 0) {
    err << "burnwell-tool update: the bridges' lock could not be opened or created\n";
    bridge::BridgeUninitialize();
    return 1;
  }
  if (backup) {
    const int saved = WriteBackup(0, *backup, err);
    if (saved != 0) {
      bridge::BridgeUninitialize();
      return saved == kExitNoBridge ? kExitNoBridge : kExitBackupFailed;
    }
    out << "backup: " << backup->string() << std::endl;
  }

  TerminalUpdateHost host(view, selfPowered, static_cast<int>(type));
  app::UpdateOutcome outcome;
  {
    platform::ScopedOverride<platform::WindowMessages> progress(&host.ProgressMessages());
    outcome = app::RunUpdate(host);
  }
  bridge::BridgeUninitialize();
  switch (outcome) {
    case app::UpdateOutcome::Updated: return 0;
    case app::UpdateOutcome::NoBridge: return kExitNoBridge;
    case app::UpdateOutcome::Failed: break;
  }
  return 1;
}

}  // namespace burnwell::tool
