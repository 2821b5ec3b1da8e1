// burnwell-tool update: the updater's update without a dialog, for scripts and production lines:
// aimed at chosen bridges, checked for fit, every bridge of a tray at once.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/UpdateSequence.h"
#include "common/Hex.h"
#include "common/OneLine.h"
#include "image/ConfigBlock.h"
#include "image/ImageBuffer.h"
#include "platform/StopRequest.h"
#include "platform/WinNames.h"
#include "tools/burnwell-tool/Commands.h"
#include "tools/burnwell-tool/FileTargets.h"
#include "tools/burnwell-tool/FitCheck.h"
#include "tools/burnwell-tool/Records.h"
#include "tools/burnwell-tool/TrayDisplay.h"
#include "tools/burnwell-tool/TrayUpdate.h"
#include "tools/burnwell-tool/WholeUpdateProgress.h"
#include "ui/terminal/TerminalView.h"
#include "ui/terminal/UpdateProgress.h"

namespace burnwell::tool {
namespace {

constexpr const char* kUpdateDetails =
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

std::string FileLine(const FileRequest& request, image::FileType type) {
  const image::ImageBuffer& loaded = image::LoadedImage();
  return "file " + request.file + " checksum " + ChecksumText(loaded.GetChecksum()) + " product " +
         image::NamedProductText(loaded, type);
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

// The summary table at the end of a tray update, from each bridge's record (the history's row):
// what it holds now (the checksum, "no code" for a block alone, "-" when not updated) and why
// it failed.
void PrintSummary(std::ostream& out, const std::vector<int>& indexes,
                  const std::vector<history::UnitRecord>& records) {
  out << "\nindex  serial            usb        result        checksum  passes  seconds  error\n";
  for (std::size_t i = 0; i < records.size(); ++i) {
    const history::UnitRecord& record = records[i];
    const bool holdsFile = history::Passed(record.result);
    const std::string holds = !holdsFile                    ? "-"
                              : record.file.codeLength == 0 ? "no code"
                                                            : ChecksumText(record.flashAfter);
    const std::string error = OneLine(record.error);
    char line[160];
    std::snprintf(line, sizeof line, "%-6d %-17s %-10s %-13s %-9s %-7d %-8.1f ", indexes[i],
                  record.bridge.serial.c_str(),
                  record.bridge.usb.empty() ? "-" : record.bridge.usb.c_str(),
                  history::ResultName(record.result), holds.c_str(), record.passes, record.seconds);
    out << line << (error.empty() ? "-" : error) << "\n";
  }
}

// The last line of a one-bridge update: the verdict, and what to do next.
std::string VerdictLine(const BridgeResult& result, const std::string& serial) {
  switch (result.report.result) {
    case app::UpdateResult::Updated:
      return (result.outcome == BridgeOutcome::UpToDate ? "up to date: serial "
                                                        : "updated and verified: serial ") +
             serial + ", " + app::HoldsAfterUpdate(image::LoadedImage()) + "\n";
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

struct TrayOutcome {
  std::vector<BridgeResult> results;
  std::vector<history::UnitRecord> records;  // one per bridge, as kept
  bool logged = true;                        // every bridge's log line was written
};

// Every unit's record goes to the history, then to the log, before its result is shown. False
// when the log line could not be written.
using KeepRecord = std::function<bool(history::UnitRecord&)>;

// Why each bridge does not fit the file ("" for one that fits), having given the warnings.
std::vector<std::string> FitRefusals(const Targets& targets, const FitRules& rules,
                                     std::ostream& err) {
  const device::DeviceTable& table = device::DeviceLayer().table;
  std::vector<std::string> refusals(targets.indexes.size());
  for (std::size_t i = 0; i < targets.indexes.size(); ++i) {
    const int index = targets.indexes[i];
    const FitVerdict verdict =
        CheckFit(table.records[index], image::LoadedImage(), targets.loaded.type, rules);
    for (const std::string& warning : verdict.warnings)
      err << "burnwell-tool update: #" << index << ": " << warning << "\n";
    for (const std::string& refusal : verdict.refusals)
      refusals[i] += (refusals[i].empty() ? "the firmware does not fit: " : "; ") + refusal;
  }
  return refusals;
}

// Records and says why nothing is written when a bridge does not fit; the exit status.
int RefuseUnfit(const Targets& targets, const std::vector<std::string>& refusals,
                const history::FileFacts& file, const KeepRecord& keep, std::ostream& err) {
  const device::DeviceTable& table = device::DeviceLayer().table;
  for (std::size_t i = 0; i < targets.indexes.size(); ++i) {
    history::UnitRecord record = RefusalRecord(
        table.records[targets.indexes[i]], file,
        refusals[i].empty() ? "another bridge of the update does not fit; nothing was written"
                            : refusals[i]);
    keep(record);
    if (!refusals[i].empty())
      err << "burnwell-tool update: #" << targets.indexes[i] << ": " << refusals[i] << "\n";
  }
  err << "burnwell-tool update: nothing written (--force writes anyway)\n";
  return Code(ExitStatus::FirmwareDoesNotFit);
}

// Why a backup could not be written to `path`, found without touching the bridge: a folder that
// is missing or not writable, or a folder in its place; nothing when a file can be made there.
std::optional<std::string> BackupPathProblem(const std::string& path) {
  const std::filesystem::path target = ArgumentPath(path);
  std::error_code error;
  if (std::filesystem::is_directory(target, error)) return path + " is a folder";
  std::filesystem::path probe = target;
  probe += ".check";
  {
    std::ofstream out(probe, std::ios::binary | std::ios::app);
    if (!out) return "cannot write beside " + path + ": " + std::strerror(errno);
  }
  std::filesystem::remove(probe, error);
  return std::nullopt;
}

// Records that the backup failed, so the update did not start; the exit status.
int BackupFailed(const UpdateRequest& request, const Targets& targets,
                 const history::FileFacts& file, const KeepRecord& keep) {
  history::UnitRecord record;
  record.command = "update";
  record.bridge =
      history::BridgeFactsOf(device::DeviceLayer().table.records[targets.indexes.front()]);
  record.file = file;
  record.error = "the backup " + *request.backup + " failed; the update did not start";
  keep(record);
  return Code(ExitStatus::BackupFailed);
}

// The operator's go-ahead after the backup warning, which names the bridges whose firmware is
// erased, then the backup asked for; the exit status when the update must not start.
std::optional<int> ConfirmAndBackUp(const UpdateRequest& request, const Targets& targets,
                                    const std::vector<int>& toWrite, const history::FileFacts& file,
                                    const KeepRecord& keep, std::FILE* humanFile,
                                    std::ostream& human, std::ostream& err) {
  const device::DeviceTable& table = device::DeviceLayer().table;
  human << (toWrite.size() == 1 ? "the firmware of this bridge is erased and rewritten:\n"
                                : "the firmware of these bridges is erased and rewritten:\n");
  for (const int index : toWrite) human << "  " << BridgeLine(index, table.records[index]) << "\n";
  human.flush();
  ui::TerminalView view(humanFile, stdin, IsTerminal(humanFile));
  view.SetAssumeYes(request.yes);
  if (view.Message(app::kBackupWarning, "Warning", MB_OKCANCEL | MB_ICONEXCLAMATION) != IDOK) {
    err << "burnwell-tool update: cancelled\n";
    return Code(ExitStatus::LoadFailedOrDeclined);
  }
  if (request.backup) {
    if (WriteBackup(targets.indexes.front(), *request.backup, request.transfers, err) !=
        Code(ExitStatus::Success))
      return BackupFailed(request, targets, file, keep);
    human << "backup: " << *request.backup << std::endl;
  }
  return std::nullopt;
}

// The targets whose flash does not already hold what the update would leave there (all of them
// with --reinstall), found by reading before anything is asked or written.
std::vector<int> TargetsToWrite(const UpdateRequest& request, const Targets& targets,
                                std::vector<FlashComparison>& comparisons) {
  std::vector<int> toWrite;
  for (const int index : targets.indexes) {
    comparisons.push_back(request.reinstall
                              ? FlashComparison{}
                              : CompareWithUpdate(PlanFor(index, request, targets.loaded.type),
                                                  image::LoadedImage()));
    if (!comparisons.back().Matches()) toWrite.push_back(index);
  }
  return toWrite;
}

// Every target already holds the file: each one's result, as a tray update would report it,
// with nothing asked or written.
TrayOutcome AllUpToDate(const Targets& targets, const std::vector<FlashComparison>& comparisons,
                        const history::FileFacts& file, const KeepRecord& keep) {
  TrayOutcome outcome;
  for (std::size_t i = 0; i < targets.indexes.size(); ++i) {
    const int index = targets.indexes[i];
    BridgeResult result;
    result.outcome = BridgeOutcome::UpToDate;
    result.report.result = app::UpdateResult::Updated;
    result.report.checksumBefore = comparisons[i].checksumBefore;
    outcome.results.push_back(result);
    outcome.records.push_back(
        UpdateRecord(device::DeviceLayer().table.records[index], file, result));
    if (!keep(outcome.records.back())) outcome.logged = false;
  }
  return outcome;
}

// Updates the chosen bridges at once, showing one bridge's whole update on one progress line
// (rate, time left, pass) or a tray's bridges one line each, and keeps each bridge's record as
// it ends.
TrayOutcome UpdateTargets(const UpdateRequest& request, const Targets& targets,
                          const history::FileFacts& file, const KeepRecord& keep,
                          std::FILE* humanFile) {
  const image::ImageBuffer& loaded = image::LoadedImage();
  const device::DeviceTable& table = device::DeviceLayer().table;
  const bool oneBridge = targets.indexes.size() == 1;
  const bool interactive = IsTerminal(humanFile);
  TrayDisplay display(humanFile, interactive);
  ui::UpdateProgress wholeUpdate(humanFile, interactive);
  WholeUpdateProgress wholeUpdateObserver(wholeUpdate, humanFile,
                                          loaded.CodeLength() + image::kConfigBlockSize);
  std::vector<BridgeJob> jobs;
  for (const int index : targets.indexes) {
    BridgeJob job;
    job.plan = PlanFor(index, request, targets.loaded.type);
    if (oneBridge) {
      job.plan.progressWindow = ui::UpdateProgress::kHandle;
      job.observer = &wholeUpdateObserver;
    } else {
      job.plan.progressWindow = display.AddBridge(BridgeLine(index, table.records[index]));
      job.observer = &display.Observer(job.plan.progressWindow);
    }
    job.reinstall = request.reinstall;
    jobs.push_back(job);
  }
  TrayOutcome outcome;
  outcome.records.resize(jobs.size());
  std::atomic<bool> logged = true;
  platform::InstallStopHandlers();  // Ctrl-C mid-update warns first, a second one stops
  platform::ScopedOverride<platform::WindowMessages> progress(
      oneBridge ? static_cast<platform::WindowMessages*>(&wholeUpdate) : &display);
  outcome.results = UpdateTray(jobs, loaded, [&](std::size_t i, const BridgeResult& result) {
    outcome.records[i] = UpdateRecord(table.records[targets.indexes[i]], file, result);
    if (!keep(outcome.records[i])) logged = false;
    if (oneBridge) {
      wholeUpdate.Clear();
    } else {
      display.Finished(jobs[i].plan.progressWindow, result);
    }
  });
  outcome.logged = logged;
  return outcome;
}

// What the operator reads at the end: one bridge's verdict and what to do next, or a tray's
// summary table.
void PrintOutcome(const TrayOutcome& outcome, const Targets& targets, std::ostream& human,
                  std::ostream& err) {
  const std::vector<BridgeResult>& results = outcome.results;
  if (results.size() != 1) {
    PrintSummary(human, targets.indexes, outcome.records);
    if (std::any_of(results.begin(), results.end(),
                    [](const BridgeResult& r) { return r.outcome == BridgeOutcome::Updated; }))
      human << "Please power the updated bridges off and on.\n";
    return;
  }
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
  const device::DeviceTable& table = device::DeviceLayer().table;
  human << VerdictLine(result, SerialOf(table.records[targets.indexes.front()]));
}

int RunUpdate(const UpdateRequest& request, JsonOutput& jsonOut, std::ostream& out,
              std::ostream& err) {
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
  const history::FileFacts file =
      history::FileFactsOf(request.file, image::LoadedImage(), targets.loaded.type);
  const KeepRecord keep = [&](history::UnitRecord& record) {
    recorder->Record(record);
    return !log || log->Append(record);
  };

  for (const int index : targets.indexes) human << TargetLine(index) << "\n";
  human << FileLine(request, targets.loaded.type) << std::endl;
  const std::vector<std::string> refusals = FitRefusals(targets, request.fit, err);
  if (std::any_of(refusals.begin(), refusals.end(), [](const auto& r) { return !r.empty(); }))
    return RefuseUnfit(targets, refusals, file, keep, err);
  // Every check that needs no writing comes before the question.
  if (request.backup) {
    if (const std::optional<std::string> problem = BackupPathProblem(*request.backup)) {
      err << "burnwell-tool update: the backup cannot be written: " << *problem << "\n";
      return BackupFailed(request, targets, file, keep);
    }
  }
  std::vector<FlashComparison> comparisons;
  const std::vector<int> toWrite = TargetsToWrite(request, targets, comparisons);
  if (!toWrite.empty()) {
    if (const std::optional<int> status =
            ConfirmAndBackUp(request, targets, toWrite, file, keep, humanFile, human, err))
      return *status;
  }

  const TrayOutcome outcome = toWrite.empty()
                                  ? AllUpToDate(targets, comparisons, file, keep)
                                  : UpdateTargets(request, targets, file, keep, humanFile);
  const std::vector<BridgeResult>& results = outcome.results;
  PrintOutcome(outcome, targets, human, err);
  human.flush();
  if (!outcome.logged)
    err << "burnwell-tool update: the log " << *request.log << " could not be written\n";

  const bool allGood = std::none_of(results.begin(), results.end(), [](const BridgeResult& r) {
    return r.outcome == BridgeOutcome::Failed;
  });
  if (request.json) {
    Json bridges = Json::array();
    for (std::size_t i = 0; i < results.size(); ++i)
      bridges.push_back(BridgeResultJson(targets.indexes[i], outcome.records[i]));
    jsonOut.Print(Json{{"command", "update"},
                       {"file", history::ToJson(file)},
                       {"bridges", bridges},
                       {"ok", allGood}});
  }
  if (!allGood) return Code(TrayFailureStatus(results));
  return Code(outcome.logged ? ExitStatus::Success : ExitStatus::Failed);
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
  AddFileArgument(command, *request);
  cli::AddYes(command, request->yes, "do not ask to confirm the backup warning");
  AddPowerOptions(command, *request);
  AddHistoryOptions(command, request->history);
  command
      .add_option("--backup", request->backup,
                  "first save the bridge's block and code region to OUT (as backup does; one "
                  "bridge only); the "
                  "update does not start when the backup fails")
      ->type_name("OUT");
  AddBridgeSelection(command, request->selection, true);
  AddFitOptions(command, request->fit);
  command.add_flag("--reinstall", request->reinstall,
                   "write even when the bridge already holds the file");
  AddJsonFlag(command, *request);
  command.add_option("--log", request->log, "append one JSON line per bridge to FILE")
      ->type_name("FILE");
  AddTransferOption(command, request->transfers);
  command.footer(std::string(kUpdateDetails) +
                 ExitStatusHelp({ExitStatus::Success, ExitStatus::Failed, ExitStatus::Usage,
                                 ExitStatus::NoBridge, ExitStatus::LoadFailedOrDeclined,
                                 ExitStatus::BackupFailed, ExitStatus::FirmwareDoesNotFit,
                                 ExitStatus::BridgeBusy, ExitStatus::NoPermission,
                                 ExitStatus::Disconnected, ExitStatus::Stopped}));
  return [request](std::ostream& out, std::ostream& err) {
    JsonOutput jsonOut(stdout);
    const int status = RunUpdate(*request, jsonOut, out, err);
    if (request->json) jsonOut.PrintUnlessPrinted("update", status);
    return status;
  };
}

}  // namespace burnwell::tool
