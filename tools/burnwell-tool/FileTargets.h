// What update and verify share: the firmware file and the bridges a command is aimed at, the
// device API open for the command, the plan of one bridge's update and the history their units
// are recorded in; and the backup file that backup and update --backup write.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/BridgeUpdate.h"
#include "common/CommandLine.h"
#include "history/Recorder.h"
#include "image/FirmwareReaders.h"
#include "protocol/TransferMode.h"
#include "tools/burnwell-tool/BridgeSession.h"
#include "tools/burnwell-tool/Selection.h"

namespace burnwell::tool {

// The file, the bridges, the power option, the output and the history of update and verify.
struct FileRequest {
  std::string file;
  BridgeSelection selection;
  bool busPowered = false;
  bool json = false;
  protocol::TransferMode transfers = protocol::TransferMode::Fast;
  history::HistoryOptions history;
};

// The FILE argument.
void AddFileArgument(CLI::App& command, FileRequest& request);
// --self-powered (the default) and --bus-powered.
void AddPowerOptions(CLI::App& command, FileRequest& request);
// --json, whose document goes to standard output and the other lines to standard error.
void AddJsonFlag(CLI::App& command, FileRequest& request);

// The loaded file and the bridges chosen for it, with the device API open for the command.
struct Targets {
  image::FirmwareLoadResult loaded{};
  std::unique_ptr<BridgeSession> session;
  std::vector<int> indexes;
};

// Why the device API gave no bridge to use (a node the user may not open, a busy bridge, no
// driver, no relay, none at all), with its own status; 0 when bridges were found.
int ReportNoBridgeToUse(BridgeSession& session, std::string_view command, std::ostream& err);

// Loads the file, opens the device API and applies the selection. Returns the exit status
// when that failed (having said why), 0 otherwise.
int PrepareTargets(std::string_view command, const FileRequest& request, bool many,
                   Targets& targets, std::ostream& err);

// The update of one bridge as the request asks for it.
app::UpdatePlan PlanFor(int index, const FileRequest& request, image::FileType type);

// Reads the bridge the device API's `index` names and writes the file `text` names (the file
// name as given, for messages): the 268-byte header (block, product, extra word, code length)
// and the code, the block's checksum bytes set to the checksum of the code read. The file is
// written beside its place and renamed over it, so that no short backup is ever left behind.
// Returns the exit status.
int WriteBackup(int index, const std::string& text, protocol::TransferMode transfers,
                std::ostream& err);

}  // namespace burnwell::tool
