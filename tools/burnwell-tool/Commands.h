// The commands of burnwell-tool. Each command declares its arguments and options on its own
// CLI11 subcommand, in its own source file, and gets back the function that runs it once the
// command line has been parsed; the function returns the exit status (common/ExitStatus.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/CommandLine.h"
#include "common/ExitStatus.h"
#include "image/FirmwareReaders.h"
#include "history/Recorder.h"
#include "protocol/TransferMode.h"
#include "tools/burnwell-tool/FitCheck.h"

namespace burnwell::tool {

inline constexpr std::string_view kProgram = "burnwell-tool";

using CommandAction = std::function<int(std::ostream& out, std::ostream& err)>;
using DeclareFunction = CommandAction (*)(CLI::App& command);

struct Command {
  std::string_view name;
  std::string_view summary;  // one line for the tool's usage text
  DeclareFunction declare;
};

// Every command, in the order the usage text lists them. Add a new command here and in its
// own source file.
std::span<const Command> AllCommands();

CommandAction DeclareInfo(CLI::App& command);
CommandAction DeclareList(CLI::App& command);
CommandAction DeclareFlash(CLI::App& command);
CommandAction DeclareUpdate(CLI::App& command);
CommandAction DeclareBackup(CLI::App& command);
CommandAction DeclareVerify(CLI::App& command);
CommandAction DeclareHistory(CLI::App& command);
CommandAction DeclareStation(CLI::App& command);

// How the commands that move the flash (update, backup, flash read and write) move it: fast
// transfers unless --classic-transfers is given. Sets `transfers` to its default.
void AddTransferOption(CLI::App& command, protocol::TransferMode& transfers);

// --history PATH|URL (repeatable: a file and a server), as the "History" group of the help.
void AddHistoryPlaces(CLI::App& command, std::vector<std::string>& places);
// --history, --no-history and --station NAME: where the commands that work on units record them.
void AddHistoryOptions(CLI::App& command, history::HistoryOptions& options);
// The history a command's units are recorded in; its warnings go to err, one line each.
std::unique_ptr<history::Recorder> StartHistory(std::string_view command,
                                                const history::HistoryOptions& options,
                                                std::ostream& err);
// Declares --vendor ID (repeatable), --product ID and --force as the "Fit checks" group.
void AddFitOptions(CLI::App& command, FitRules& rules);

// A file name argument as the file readers take it: on Windows the UTF-8 text becomes UTF-16
// again, on Linux the bytes stay as given.
std::filesystem::path ArgumentPath(const std::string& text);

// Writes "burnwell-tool COMMAND: problem (see 'burnwell-tool COMMAND --help')" and returns the
// usage-error status, for faults found after parsing (a span past the end of the memory).
int UsageError(std::ostream& err, std::string_view command, std::string_view problem);

}  // namespace burnwell::tool
