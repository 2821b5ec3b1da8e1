// burnwell-tool verify: compares bridges' flash with exactly what an update with a firmware file
// leaves there.
#include <chrono>
#include <memory>
#include <string>

#include "common/Hex.h"
#include "image/ImageBuffer.h"
#include "tools/burnwell-tool/Commands.h"
#include "tools/burnwell-tool/FileTargets.h"
#include "tools/burnwell-tool/Records.h"
#include "tools/burnwell-tool/TrayUpdate.h"

namespace burnwell::tool {
namespace {

constexpr const char* kVerifyDetails =
    "Reads each selected bridge and compares its flash with exactly what `update FILE` (with the\n"
    "same power option) leaves there: the block with the update's edits, the code and the\n"
    "marker. Prints \"match\" or what differs for each bridge: \"no validity marker\", \"checksum\n"
    "65DA expected, 1234 found\", \"configuration block differs at offset 0x0008\" or \"code\n"
    "differs at offset 0x1234\" (the first differing byte, counted from the start of the "
    "flash).\n\n";

int RunVerify(const FileRequest& request, JsonOutput& jsonOut, std::ostream& out,
              std::ostream& err) {
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
      verdict = comparison.difference;
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
    entry["difference"] = comparison.firstDifference ? Json(comparison.difference) : Json(nullptr);
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
    jsonOut.Print(document);
  }
  return Code(allMatch ? ExitStatus::Success : ExitStatus::Failed);
}

}  // namespace

CommandAction DeclareVerify(CLI::App& command) {
  auto request = std::make_shared<FileRequest>();
  cli::SetUsage(
      command,
      "burnwell-tool verify FILE [--index N | --serial TEXT | --port LOC ... | --all]\n"
      "    [--self-powered | --bus-powered] [--json] [--history PATH|URL] [--no-history]\n"
      "    [--station NAME]");
  AddFileArgument(command, *request);
  AddPowerOptions(command, *request);
  AddBridgeSelection(command, request->selection, true);
  AddHistoryOptions(command, request->history);
  AddJsonFlag(command, *request);
  AddTransferOption(command, request->transfers);
  command.footer(std::string(kVerifyDetails) +
                 ExitStatusHelp({ExitStatus::Success, ExitStatus::Failed, ExitStatus::Usage,
                                 ExitStatus::NoBridge, ExitStatus::LoadFailedOrDeclined,
                                 ExitStatus::BridgeBusy, ExitStatus::NoPermission}));
  return [request](std::ostream& out, std::ostream& err) {
    JsonOutput jsonOut(stdout);
    const int status = RunVerify(*request, jsonOut, out, err);
    if (request->json) jsonOut.PrintUnlessPrinted("verify", status);
    return status;
  };
}

}  // namespace burnwell::tool
