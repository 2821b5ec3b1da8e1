// burnwell-tool update, verify and backup: the updater's update without a dialog, for scripts
// and production lines (aimed at chosen bridges, checked for fit, every bridge of a tray at
// once), the comparison of bridges with a file, and a backup of a bridge's configuration block
// and code region as a header image file that `info` accepts and `update` writes back.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <sstream>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/UpdateSequence.h"
#include "common/Bytes.h"
#include "common/MakerIds.h"
#include "bridge/DeviceApi.h"
#include "device/DeviceRecord.h"
#include "history/Recorder.h"
#include "image/ConfigBlock.h"
#include "image/FirmwareReaders.h"
#include "image/ImageBuffer.h"
#include "platform/StopRequest.h"
#include "platform/WinNames.h"
#include "tools/burnwell-tool/BridgeSession.h"
#include "tools/burnwell-tool/Commands.h"
#include "tools/burnwell-tool/FitCheck.h"
#include "tools/burnwell-tool/OpenFailure.h"
#include "tools/burnwell-tool/Records.h"
#include "tools/burnwell-tool/Selection.h"
#include "tools/burnwell-tool/TrayDisplay.h"
#include "tools/burnwell-tool/TrayUpdate.h"
#include "tools/burnwell-tool/WholeUpdateProgress.h"
#include "ui/terminal/TerminalView.h"
#include "ui/terminal/UpdateProgress.h"

namespace burnwell::tool {
namespace {

constexpr const char* UPDATE_DETAILS =
    "Updates the selected bridges with FILE, as the updater does: Intel HEX files (name ending\n"
    "in .hex) keep the bridge's own configuration block with the power setting applied; image\n"
    "files bring their own block, carrying the bridge's serial number. Erase, program, marker,\n"
    "read-back and compare, up to six passes; then power-cycle the bridge.\n"
    "With several bridges attached, choose them with --index, --serial or --port (each may be\n"
    "repeated) or --all; the chosen bridges update at the same time. Each target is shown before\n"
    "the warning is asked. A bridge of another vendor ID (unless --vendor allows it), an image\n"
    "file for another product, or a file without code is refused (status 6) unless --force; an\n"
    "Intel HEX file names no product, --product says which one it is for. A bridge whose flash\n"
    "already holds what the update would write is skipped (--reinstall writes it anyway).\n\n";

constexpr const char* VERIFY_DETAILS =
    "Reads each selected bridge and compares its flash with exactly what `update FILE` (with the\n"
    "same power option) leaves there: the block with the update's edits, the code and the\n"
    "marker. Prints \"match\" or the offset of the first differing byte for each bridge.\n\n";

constexpr const char* BACKUP_DETAILS =
    "Reads the configuration block and the code of the selected bridge (the only one attached,\n"
    "or the one --index, --serial or --port names) and writes them to OUT as an image file: the\n"
    "268-byte header (block, product, extra word, code length) and the code. The code saved is\n"
    "the region the checksum beside the bridge's marker covers (23552 or 47104 bytes); without a\n"
    "valid marker, the whole 47104-byte region. `burnwell-tool info OUT` shows the file and\n"
    "`burnwell-tool update OUT` writes it back. The block's checksum bytes are set to the\n"
    "checksum of the code saved, so that the file loads even when the bridge's marker was "
    "stale.\n\n";

// Which code a backup saves, and why.
std::string BackupRegionText(const image::StampedCode& code) {
  const std::string size = std::to_string(code.size);
  if (!code.markedValid)
    return "the bridge's firmware is not marked valid (no marker, or a checksum that matches "
           "neither code size); saving the whole " +
           size + "-byte code region";
  char checksum[8];
  std::snprintf(checksum, sizeof checksum, "%04x", code.checksum);
  return "saving the " + size + "-byte code region that the bridge's checksum " + checksum +
         " covers";
}

// The bridge's block and code region as a header image file.
// The device API is open and index names a bridge of its table. Returns the exit status; text
// is the file name as given, for messages.
int WriteBackup(int index, const std::string& text, protocol::TransferMode transfers,
                std::ostream& err) {
  const std::filesystem::path out = ArgumentPath(text);
  const device::DeviceRecord& record = device::DeviceLayer().table.records[index];
  const bool smallEeprom = std::string(MemoryKind(record)) == "eeprom-256";
  std::uint32_t codeLength = smallEeprom ? 0 : image::LARGE_IMAGE_SIZE;

  std::vector<std::uint8_t> flash(image::CONFIG_BLOCK_SIZE + codeLength, 0xFF);
  const int read = bridge::BridgeReadFlash(
      index, flash.data(), 0, static_cast<std::uint32_t>(flash.size()), 0, 0, transfers);
  if (read != 0) {
    err << "burnwell-tool backup: reading the bridge failed: " << ResultText(read) << "\n";
    return Code(ExitStatus::Failed);
  }
  if (codeLength != 0) {
    const image::StampedCode code = image::FindStampedCode(flash);
    codeLength = static_cast<std::uint32_t>(code.size);
    flash.resize(image::CONFIG_BLOCK_SIZE + codeLength);
    err << "burnwell-tool backup: " << BackupRegionText(code) << "\n";
  }

  std::vector<std::uint8_t> file(image::IMAGE_HEADER_SIZE + codeLength, 0);
  std::copy_n(flash.begin(), image::CONFIG_BLOCK_SIZE, file.begin());
  if (codeLength != 0) {
    const std::uint16_t checksum = image::ComputeChecksum(
        std::span<const std::uint8_t>(flash).subspan(image::CONFIG_BLOCK_SIZE, codeLength));
    StoreBe16(file.data() + image::offset::CHECKSUM, checksum);
    std::copy(flash.begin() + image::CONFIG_BLOCK_SIZE, flash.end(),
              file.begin() + image::IMAGE_HEADER_SIZE);
  }
  StoreLe32(file.data() + image::offset::PRODUCT_WORD, record.ProductId);
  StoreLe32(file.data() + image::offset::CODE_LENGTH, codeLength);

  std::filesystem::path partial = out;
  partial += ".partial";
  {
    std::ofstream stream(partial, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(file.data()),
                 static_cast<std::streamsize>(file.size()));
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

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*x", digits, value);
  return text;
}

// What update and verify share: the file, the bridges, the power option, the output and the
// history their units are recorded in.
struct FileRequest {
  std::string file;
  BridgeSelection selection;
  bool busPowered = false;
  bool json = false;
  protocol::TransferMode transfers = protocol::TransferMode::Fast;
  history::HistoryOptions history;
};

// The history this command's units are recorded in; its warnings go to err.
std::unique_ptr<history::Recorder> StartHistory(std::string_view command,
                                                const history::HistoryOptions& options,
                                                std::ostream& err) {
  auto warn = [command = std::string(command), &err](const std::string& line) {
    static std::mutex oneLine;  // workers and the forwarder warn from their threads
    std::lock_guard lock(oneLine);
    err << kProgram << " " << command << ": warning: " << line << std::endl;
  };
  return std::make_unique<history::Recorder>(options, std::string(kProgram), warn);
}

void AddPowerOptions(CLI::App& command, FileRequest& request) {
  CLI::Option* self = command.add_flag_callback(
      "--self-powered", [&request] { request.busPowered = false; },
      "program the bridge as self-powered, 100 mA (the default)");
  CLI::Option* bus = command.add_flag("--bus-powered", request.busPowered,
                                      "program the bridge as bus-powered, 500 mA");
  self->excludes(bus);
}

// Reads a 16-bit ID option ("0x7e55" or decimal) into target.
CLI::Option* AddId(CLI::App& command, const std::string& name,
                   std::function<void(std::uint16_t)> take, const std::string& description) {
  return command
      .add_option_function<std::vector<std::string>>(
          name,
          [name, take](const std::vector<std::string>& texts) {
            for (const std::string& text : texts) {
              const std::optional<std::uint64_t> value = cli::ParseNumber(text, 0xFFFF);
              if (!value)
                throw CLI::ValidationError(name + " takes a 16-bit ID such as 0x5801, not '" +
                                           text + "'");
              take(static_cast<std::uint16_t>(*value));
            }
          },
          description)
      ->type_name("ID");
}

// The loaded file and the bridges chosen for it, with the device API open for the command.
struct Targets {
  image::FirmwareLoadResult loaded{};
  std::unique_ptr<BridgeSession> session;
  std::vector<int> indexes;
};

// Why the device API gave no bridge to use (a node the user may not open, a busy bridge, no
// driver, no relay, none at all), with its own status; 0 when bridges were found.
int ReportNoBridgeToUse(BridgeSession& session, std::string_view command, std::ostream& err) {
  if (session.Initialized() && session.OpenResult() <= 0)
    return ExplainOpenFailure(command, session.OpenResult(), err);
  return session.ReportOpenFailure(command, err);
}

// Loads the file, opens the device API and applies the selection. Returns the exit status
// when that failed (having said why).
int PrepareTargets(std::string_view command, const FileRequest& request, bool many,
                   Targets& targets, std::ostream& err) {
  targets.loaded = image::LoadFirmwareByType(image::LoadedImage(), ArgumentPath(request.file));
  if (const auto error = LoadFailureText(targets.loaded)) {
    err << "burnwell-tool " << command << ": " << *error << "\n";
    return Code(ExitStatus::LoadFailedOrDeclined);
  }
  targets.session = std::make_unique<BridgeSession>();
  if (const int status = ReportNoBridgeToUse(*targets.session, command, err); status != 0)
    return status;
  const Selected selected =
      SelectBridges(device::DeviceLayer().table, request.selection, command, many, err);
  if (selected.status != 0) return selected.status;
  targets.indexes = selected.indexes;
  return 0;
}

app::UpdatePlan PlanFor(int index, const FileRequest& request, image::FileType type) {
  app::UpdatePlan plan;
  plan.deviceIndex = index;
  plan.selfPowered = request.busPowered ? 0 : 1;
  plan.keepBridgeBlock = type == image::FileType::Hex;
  plan.transfers = request.transfers;
  plan.eraseOnlyWhatIsWritten = true;
  return plan;
}

std::string FileLine(const FileRequest& request, image::FileType type) {
  const image::ImageBuffer& loaded = image::LoadedImage();
  return "file " + request.file + " checksum " + Hex(loaded.GetChecksum(), 4) + " product " +
         (type == image::FileType::Hex ? std::string("not named (Intel HEX)")
                                       : Hex(loaded.ProductId() & 0xFFFFu, 4));
}

// "bridge #1 serial=FIRST usb=1-2.3 7e55:5801 firmware=... memory ..."
std::string TargetLine(int index) {
  const device::DeviceRecord& record = device::DeviceLayer().table.records[index];
  return "bridge " + BridgeLine(index, record) + " firmware " + Hex(record.FirmwareVersion, 8) +
         " memory " + MemoryText(record);
}

struct UpdateRequest : FileRequest {
  std::optional<std::string> backup;
  std::optional<std::string> log;
  bool yes = false;
  bool reinstall = false;
  FitRules fit;
};

// The summary table at the end of a tray update.
void PrintSummary(std::ostream& out, const std::vector<int>& indexes,
                  const std::vector<BridgeResult>& results) {
  out << "\nindex  serial            usb        result      passes  seconds\n";
  for (std::size_t i = 0; i < results.size(); ++i) {
    const device::DeviceRecord& record = device::DeviceLayer().table.records[indexes[i]];
    char line[160];
    const std::string location = UsbLocation(record);
    std::snprintf(line, sizeof line, "%-6d %-17s %-10s %-11s %-7d %.1f", indexes[i],
                  SerialOf(record).c_str(), location.empty() ? "-" : location.c_str(),
                  OutcomeName(results[i].outcome), results[i].report.passes, results[i].seconds);
    out << line << "\n";
  }
}

// The last line of a one-bridge update: the verdict, and what to do next.
std::string VerdictLine(const BridgeResult& result, const std::string& serial,
                        std::uint16_t checksum) {
  switch (result.report.result) {
    case app::UpdateResult::Updated:
      return (result.outcome == BridgeOutcome::UpToDate ? "up to date: serial "
                                                        : "updated and verified: serial ") +
             serial + ", checksum " + Hex(checksum, 4) + "\n";
    case app::UpdateResult::Failed:
      return "not updated: the update failed; check the cable and the power, and run the update "
             "again before "
             "the bridge is power-cycled\n";
    case app::UpdateResult::Disconnected:
    case app::UpdateResult::StoppedAnswering:
      return "not updated: reconnect the bridge and run the update again before it is "
             "power-cycled\n";
    case app::UpdateResult::Stopped:
      return "not updated: stopped; run the update again before the bridge is power-cycled\n";
  }
  return {};
}

// The status of an update in which a bridge did not end updated: a stop by signal wins, then a
// lone bridge's disconnect; otherwise the update failed.
ExitStatus TrayFailureStatus(const std::vector<BridgeResult>& results) {
  const auto ended = [&](app::UpdateResult how) {
    return std::any_of(results.begin(), results.end(), [&](const BridgeResult& r) {
      return r.outcome == BridgeOutcome::Failed && r.report.result == how;
    });
  };
  if (ended(app::UpdateResult::Stopped)) return ExitStatus::Stopped;
  if (results.size() == 1 &&
      (ended(app::UpdateResult::Disconnected) || ended(app::UpdateResult::StoppedAnswering)))
    return ExitStatus::Disconnected;
  return ExitStatus::Failed;
}

int RunUpdate(const UpdateRequest& request, std::ostream& out, std::ostream& err) {
  // Human lines go to standard error when standard output carries the JSON document.
  std::ostream& human = request.json ? err : out;
  std::FILE* humanFile = request.json ? stderr : stdout;

  std::unique_ptr<JsonLog> log;
  if (request.log) {
    std::string why;
    log = JsonLog::Open(*request.log, why);
    if (!log) return UsageError(err, "update", why);
  }
  const std::unique_ptr<history::Recorder> recorder = StartHistory("update", request.history, err);
  Targets targets;
  if (const int status = PrepareTargets("update", request, true, targets, err); status != 0)
    return status;
  if (request.backup && targets.indexes.size() != 1)
    return UsageError(err, "update", "--backup saves one bridge; select one bridge with it");
  const image::FileType type = targets.loaded.type;
  const image::ImageBuffer& loaded = image::LoadedImage();
  const device::DeviceTable& table = device::DeviceLayer().table;
  const history::FileFacts fileFacts = history::FileFactsOf(request.file, loaded, type);
  // Every unit's record goes to the history, then to the log, before its result is shown.
  auto keep = [&](history::UnitRecord& record) {
    recorder->Record(record);
    return !log || log->Append(record);
  };

  for (const int index : targets.indexes) human << TargetLine(index) << "\n";
  human << FileLine(request, type) << std::endl;

  bool fits = true;
  std::vector<std::string> refusals(targets.indexes.size());
  for (std::size_t i = 0; i < targets.indexes.size(); ++i) {
    const int index = targets.indexes[i];
    const FitVerdict verdict = CheckFit(table.records[index], loaded, type, request.fit);
    for (const std::string& warning : verdict.warnings)
      err << "burnwell-tool update: #" << index << ": " << warning << "\n";
    for (const std::string& refusal : verdict.refusals) {
      refusals[i] += (refusals[i].empty() ? "the firmware does not fit: " : "; ") + refusal;
      fits = false;
    }
  }
  if (!fits) {
    for (std::size_t i = 0; i < targets.indexes.size(); ++i) {
      history::UnitRecord record = RefusalRecord(
          table.records[targets.indexes[i]], fileFacts,
          refusals[i].empty() ? "another bridge of the update does not fit; nothing was written"
                              : refusals[i]);
      keep(record);
      if (!refusals[i].empty())
        err << "burnwell-tool update: #" << targets.indexes[i] << ": " << refusals[i] << "\n";
    }
    err << "burnwell-tool update: nothing written (--force writes anyway)\n";
    return Code(ExitStatus::FirmwareDoesNotFit);
  }

  ui::TerminalView view(humanFile, stdin, IsTerminal(humanFile));
  view.SetAssumeYes(request.yes);
  if (view.Message(app::kBackupWarning, "Warning", MB_OKCANCEL | MB_ICONEXCLAMATION) != IDOK) {
    err << "burnwell-tool update: cancelled\n";
    return Code(ExitStatus::LoadFailedOrDeclined);
  }
  if (request.backup) {
    if (WriteBackup(targets.indexes.front(), *request.backup, request.transfers, err) !=
        Code(ExitStatus::Success)) {
      history::UnitRecord record;
      record.command = "update";
      record.bridge = history::BridgeFactsOf(table.records[targets.indexes.front()]);
      record.file = fileFacts;
      record.error = "the backup " + *request.backup + " failed; the update did not start";
      keep(record);
      return Code(ExitStatus::BackupFailed);
    }
    human << "backup: " << *request.backup << std::endl;
  }

  // One bridge: one progress line for its whole update (rate, time left, pass); a tray: one line
  // per bridge.
  const bool oneBridge = targets.indexes.size() == 1;
  const bool interactive = IsTerminal(humanFile);
  TrayDisplay display(humanFile, interactive);
  ui::UpdateProgress wholeUpdate(humanFile, interactive);
  WholeUpdateProgress wholeUpdateObserver(wholeUpdate, humanFile,
                                          loaded.CodeLength() + image::CONFIG_BLOCK_SIZE);
  std::vector<BridgeJob> jobs;
  for (const int index : targets.indexes) {
    BridgeJob job;
    job.plan = PlanFor(index, request, type);
    if (oneBridge) {
      job.plan.progressWindow = ui::UpdateProgress::kHandle;
      job.observer = &wholeUpdateObserver;
    } else {
      job.plan.progressWindow =
          display.AddBridge("#" + std::to_string(index) + " " + SerialOf(table.records[index]));
      job.observer = &display.Observer(job.plan.progressWindow);
    }
    job.reinstall = request.reinstall;
    jobs.push_back(job);
  }
  const Json file = history::ToJson(fileFacts);
  std::atomic<bool> logged = true;
  std::vector<history::UnitRecord> records(jobs.size());
  std::vector<BridgeResult> results;
  {
    platform::InstallStopHandlers();  // Ctrl-C mid-update warns first, a second one stops
    platform::ScopedOverride<platform::WindowMessages> progress(
        oneBridge ? static_cast<platform::WindowMessages*>(&wholeUpdate) : &display);
    results = UpdateTray(jobs, loaded, [&](std::size_t i, const BridgeResult& result) {
      records[i] = UpdateRecord(table.records[targets.indexes[i]], fileFacts, result);
      if (!keep(records[i])) logged = false;
      if (oneBridge) {
        wholeUpdate.Clear();
      } else {
        display.Finished(jobs[i].plan.progressWindow, result);
      }
    });
  }

  bool allGood = true;
  Json bridges = Json::array();
  for (std::size_t i = 0; i < results.size(); ++i) {
    const BridgeResult& result = results[i];
    allGood = allGood && result.outcome != BridgeOutcome::Failed;
    bridges.push_back(BridgeResultJson(targets.indexes[i], records[i]));
  }
  if (results.size() == 1) {
    const BridgeResult& result = results.front();
    if (result.outcome == BridgeOutcome::UpToDate) human << "already up to date\n";
    if (result.outcome == BridgeOutcome::Updated) {
      human << "Programming completed\nPlease device power off and turn on.\n";
      if (result.report.fellBackToClassic)
        human << "(a pass with fast transfers failed its compare; the update ended in 32-byte "
                 "pieces: "
                 "use --classic-transfers with this bridge)\n";
    }
    if (result.outcome == BridgeOutcome::Failed)
      err << "burnwell-tool update: " << result.report.errorText << "\n";
    human << VerdictLine(result, SerialOf(table.records[targets.indexes.front()]),
                         loaded.GetChecksum());
  } else {
    PrintSummary(human, targets.indexes, results);
    if (std::any_of(results.begin(), results.end(),
                    [](const BridgeResult& r) { return r.outcome == BridgeOutcome::Updated; }))
      human << "Please power the updated bridges off and on.\n";
  }
  human.flush();
  if (!logged) err << "burnwell-tool update: the log " << *request.log << " could not be written\n";
  if (request.json) {
    Json document;
    document["command"] = "update";
    document["file"] = file;
    document["bridges"] = bridges;
    document["ok"] = allGood;
    PrintJson(stdout, document);
  }
  if (!allGood) return Code(TrayFailureStatus(results));
  return Code(logged ? ExitStatus::Success : ExitStatus::Failed);
}

int RunVerify(const FileRequest& request, std::ostream& out, std::ostream& err) {
  std::ostream& human = request.json ? err : out;
  const std::unique_ptr<history::Recorder> recorder = StartHistory("verify", request.history, err);
  Targets targets;
  if (const int status = PrepareTargets("verify", request, true, targets, err); status != 0)
    return status;
  const image::FileType type = targets.loaded.type;
  const image::ImageBuffer& loaded = image::LoadedImage();
  const device::DeviceTable& table = device::DeviceLayer().table;
  bool allMatch = true;
  Json bridges = Json::array();
  const history::FileFacts fileFacts = history::FileFactsOf(request.file, loaded, type);
  for (const int index : targets.indexes) {
    const auto start = std::chrono::steady_clock::now();
    const FlashComparison comparison = CompareWithUpdate(PlanFor(index, request, type), loaded);
    std::string verdict;
    history::UnitRecord record;
    record.command = "verify";
    record.bridge = history::BridgeFactsOf(table.records[index]);
    record.file = fileFacts;
    if (!comparison.read) {
      verdict = "error: " + comparison.errorText;
      record.error = comparison.errorText;
    } else if (comparison.firstDifference) {
      verdict = "differs at offset 0x" + Hex(*comparison.firstDifference, 4);
      record.result = history::UnitResult::Differs;
      record.error = verdict;
    } else {
      verdict = "match";
      record.result = history::UnitResult::Match;
    }
    // Nothing is written: the flash holds after the look what it held before.
    if (comparison.checksumBefore)
      record.flashBefore = record.flashAfter = Hex(*comparison.checksumBefore, 4);
    record.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    recorder->Record(record);
    allMatch = allMatch && comparison.Matches();
    human << "#" << index << " " << SerialOf(table.records[index]) << ": " << verdict << "\n";
    Json entry = BridgeJson(index, table.records[index]);
    entry["result"] = !comparison.read ? "error" : comparison.firstDifference ? "differs" : "match";
    entry["first_difference"] =
        comparison.firstDifference ? Json(*comparison.firstDifference) : Json(nullptr);
    entry["error"] = comparison.read ? Json(nullptr) : Json(comparison.errorText);
    bridges.push_back(entry);
  }
  human.flush();
  if (request.json) {
    Json document;
    document["command"] = "verify";
    document["file"] = FileJson(request.file, loaded, type);
    document["bridges"] = bridges;
    document["ok"] = allMatch;
    PrintJson(stdout, document);
  }
  return Code(allMatch ? ExitStatus::Success : ExitStatus::Failed);
}

}  // namespace

CommandAction DeclareUpdate(CLI::App& command) {
  auto request = std::make_shared<UpdateRequest>();
  cli::SetUsage(
      command,
      "burnwell-tool update FILE [--index N | --serial TEXT | --port LOC ... | --all] [--yes]\n"
      "    [--self-powered | --bus-powered] [--backup OUT] [--vendor ID] [--product ID] [--force]\n"
      "    [--reinstall] [--json] [--log FILE] [--history PATH|URL] [--no-history] [--station "
      "NAME]");
  command.add_option("FILE", request->file, "the firmware file: Intel HEX (.hex) or an image file")
      ->required();
  command.add_flag("--yes", request->yes, "do not ask to confirm the backup warning");
  AddPowerOptions(command, *request);
  AddHistoryOptions(command, request->history);
  command
      .add_option("--backup", request->backup,
                  "first save the bridge's block and code region to OUT (as backup does; one "
                  "bridge only); the "
                  "update does not start when the backup fails")
      ->type_name("OUT");
  AddBridgeSelection(command, request->selection, true);
  AddId(
      command, "--vendor", [request](std::uint16_t id) { request->fit.vendors.push_back(id); },
      "also update bridges reporting this vendor ID (may be repeated)")
      ->group("Fit checks");
  AddId(
      command, "--product", [request](std::uint16_t id) { request->fit.product = id; },
      "the product an Intel HEX file is meant for, checked against each bridge's product ID")
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw)
      ->group("Fit checks");
  command
      .add_flag("--force", request->fit.force,
                "write even when the file does not fit, after a warning")
      ->group("Fit checks");
  command.add_flag("--reinstall", request->reinstall,
                   "write even when the bridge already holds the file");
  command.add_flag(
      "--json", request->json,
      "print one JSON document on standard output (the other lines go to standard error)");
  command.add_option("--log", request->log, "append one JSON line per bridge to FILE")
      ->type_name("FILE");
  AddTransferOption(command, request->transfers);
  command.footer(std::string(UPDATE_DETAILS) +
                 ExitStatusHelp({ExitStatus::Success, ExitStatus::Failed, ExitStatus::Usage,
                                 ExitStatus::NoBridge, ExitStatus::LoadFailedOrDeclined,
                                 ExitStatus::BackupFailed, ExitStatus::FirmwareDoesNotFit,
                                 ExitStatus::BridgeBusy, ExitStatus::NoPermission,
                                 ExitStatus::Disconnected, ExitStatus::Stopped}));
  return [request](std::ostream& out, std::ostream& err) {
    const int status = RunUpdate(*request, out, err);
    if (request->json) PrintJsonUnlessPrinted(stdout, "update", status);
    return status;
  };
}

CommandAction DeclareVerify(CLI::App& command) {
  auto request = std::make_shared<FileRequest>();
  cli::SetUsage(
      command,
      "burnwell-tool verify FILE [--index N | --serial TEXT | --port LOC ... | --all]\n"
      "    [--self-powered | --bus-powered] [--json] [--history PATH|URL] [--no-history]\n"
      "    [--station NAME]");
  command.add_option("FILE", request->file, "the firmware file: Intel HEX (.hex) or an image file")
      ->required();
  AddPowerOptions(command, *request);
  AddBridgeSelection(command, request->selection, true);
  AddHistoryOptions(command, request->history);
  command.add_flag(
      "--json", request->json,
      "print one JSON document on standard output (the other lines go to standard error)");
  AddTransferOption(command, request->transfers);
  command.footer(std::string(VERIFY_DETAILS) +
                 ExitStatusHelp({ExitStatus::Success, ExitStatus::Failed, ExitStatus::Usage,
                                 ExitStatus::NoBridge, ExitStatus::LoadFailedOrDeclined,
                                 ExitStatus::BridgeBusy, ExitStatus::NoPermission}));
  return [request](std::ostream& out, std::ostream& err) {
    const int status = RunVerify(*request, out, err);
    if (request->json) PrintJsonUnlessPrinted(stdout, "verify", status);
    return status;
  };
}

CommandAction DeclareBackup(CLI::App& command) {
  struct BackupRequest {
    std::string out;
    BridgeSelection selection;
    bool json = false;
    protocol::TransferMode transfers = protocol::TransferMode::Fast;
  };
  auto request = std::make_shared<BackupRequest>();
  cli::SetUsage(command,
                "burnwell-tool backup OUT [--index N | --serial TEXT | --port LOC] [--json]");
  command.add_option("OUT", request->out, "the image file to write")->required();
  AddBridgeSelection(command, request->selection);
  command.add_flag("--json", request->json, "print one JSON document on standard output");
  AddTransferOption(command, request->transfers);
  command.footer(
      std::string(BACKUP_DETAILS) +
      ExitStatusHelp({ExitStatus::Success, ExitStatus::Failed, ExitStatus::Usage,
                      ExitStatus::NoBridge, ExitStatus::BridgeBusy, ExitStatus::NoPermission}));
  return [request](std::ostream& out, std::ostream& err) {
    BridgeSession session;
    const int opened = ReportNoBridgeToUse(session, "backup", err);
    const Selected selected = opened != 0 ? Selected{opened, {}}
                                          : SelectBridges(device::DeviceLayer().table,
                                                          request->selection, "backup", false, err);
    if (selected.status != 0) {
      if (request->json) PrintJsonUnlessPrinted(stdout, "backup", selected.status);
      return selected.status;
    }
    const int index = selected.indexes.front();
    const int status = WriteBackup(index, request->out, request->transfers, err);
    if (request->json) {
      Json document;
      document["command"] = "backup";
      document["bridge"] = BridgeJson(index, device::DeviceLayer().table.records[index]);
      document["file"] = request->out;
      document["ok"] = status == Code(ExitStatus::Success);
      PrintJson(stdout, document);
    } else if (status == Code(ExitStatus::Success)) {
      out << "saved " << request->out << "\n";
    }
    return status;
  };
}

}  // namespace burnwell::tool
