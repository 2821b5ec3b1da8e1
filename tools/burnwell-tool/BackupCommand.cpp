// burnwell-tool backup: a bridge's configuration block and code region saved as an image file
// that `info` accepts and `update` writes back.
#include <memory>
#include <string>

#include "device/DeviceRecord.h"
#include "tools/burnwell-tool/BackupFile.h"
#include "tools/burnwell-tool/Commands.h"
#include "tools/burnwell-tool/FileTargets.h"
#include "tools/burnwell-tool/Records.h"
#include "tools/burnwell-tool/Selection.h"

namespace burnwell::tool {
namespace {

constexpr const char* kBackupDetails =
    "Reads the configuration block and the whole code region of the selected bridge (the only\n"
    "one attached, or the one --index, --serial or --port names) and writes them to OUT as an "
    "image file: the 268-byte header (block, product,\n"
    "extra word, code length) and the code. `burnwell-tool info OUT` shows it and\n"
    "`burnwell-tool update OUT` writes it back. The block's checksum bytes are set to the\n"
    "checksum of the code read, so that the file loads even when the bridge's marker was "
    "stale.\n\n";

}  // namespace

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
      std::string(kBackupDetails) +
      ExitStatusHelp({ExitStatus::Success, ExitStatus::Failed, ExitStatus::Usage,
                      ExitStatus::NoBridge, ExitStatus::BridgeBusy, ExitStatus::NoPermission}));
  return [request](std::ostream& out, std::ostream& err) {
    JsonOutput jsonOut(stdout);
    BridgeSession session;
    const int opened = ReportNoBridgeToUse(session, "backup", err);
    const Selected selected = opened != 0 ? Selected{opened, {}}
                                          : SelectBridges(device::DeviceLayer().table,
                                                          request->selection, "backup", false, err);
    if (selected.status != 0) {
      if (request->json) jsonOut.PrintUnlessPrinted("backup", selected.status);
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
      jsonOut.Print(document);
    } else if (status == Code(ExitStatus::Success)) {
      out << "saved " << request->out << "\n";
    }
    return status;
  };
}

}  // namespace burnwell::tool
