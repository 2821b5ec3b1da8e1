// burnwell-tool station: a production station that runs until stopped. Every bridge plugged
// into one of its sockets is updated on its own with the job (FILE and the options, or the
// station folder's Config.ini), shown on a board, counted and recorded.
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/ConfigFile.h"
#include "bridge/BridgeNames.h"
#include "bridge/DeviceApi.h"
#include "history/Recorder.h"
#include "tools/burnwell-tool/Commands.h"
#include "tools/burnwell-tool/Records.h"
#include "tools/burnwell-tool/Station.h"
#include "tools/burnwell-tool/StationBoard.h"
#include "tools/burnwell-tool/StationEvents.h"
#include "tools/burnwell-tool/StationJob.h"

namespace burnwell::tool {
namespace {

constexpr const char* STATION_DETAILS =
    "Runs until stopped. Every bridge plugged into a socket of the station is one unit: its\n"
    "update starts on its own within a second (the same update, checks, transfers and passes\n"
    "as `update`), several sockets at once, and it is never written again while it stays\n"
    "plugged in; a unit that already holds what the update would write is reported up to date.\n"
    "A unit of another vendor or product, or one the version check refuses, is refused and\n"
    "nothing is written. Pull a unit out and plug the next one in: no command per unit.\n"
    "Without FILE the job comes from ./Config.ini as the dialog reads it: the firmware file\n"
    "(HEXNAME), the power setting (SELFPOWERON), the version check (CMPLEN, CMPSTR), the\n"
    "products the file is for ([Update_Device] VID/PID list) and the transfers ([Transfer] Fast);\n"
    "the options given override them. Without --port every USB location where a bridge\n"
    "appears is a socket.\n"
    "On a terminal a board shows one row per socket and the counters; otherwise one line per\n"
    "event. --json prints one JSON object per line per event on standard output (job, arrived,\n"
    "started, progress at every tenth, finished with the unit's record, removed, counters).\n"
    "Every finished unit is recorded in the history (see `burnwell-tool history`) before its\n"
    "result is shown, and --log appends the same record.\n"
    "The first Ctrl-C takes no new units, lets the running updates end and prints the\n"
    "counters; a second within 5 seconds stops the running updates (status 13).\n\n";

struct StationRequest {
  std::optional<std::string> file;
  StationSettings settings;
  std::optional<std::string> log;
  bool json = false;
  bool selfPowered = false;
  bool busPowered = false;
  protocol::TransferMode transfers = protocol::TransferMode::Fast;
  FitRules fit;
  history::HistoryOptions history;
  const CLI::App* command = nullptr;
  bool started = false;  // the events have begun
};

int RunStation(StationRequest& request, std::ostream& out, std::ostream& err) {
  std::ostream& human = request.json ? err : out;
  std::unique_ptr<JsonLog> log;
  if (request.log) {
    std::string why;
    log = JsonLog::Open(*request.log, why);
    if (!log) return UsageError(err, "station", why);
  }

  StationJob job;
  job.fit = request.fit;
  std::string why;
  if (request.file) {
    job.file = *request.file;
  } else if (!ReadStationConfig(std::string(app::kConfigFilePath), job, why)) {
    err << "burnwell-tool station: " << why << "\n";
    return Code(ExitStatus::LoadFailedOrDeclined);
  }
  if (request.busPowered) job.busPowered = true;
  if (request.selfPowered) job.busPowered = false;
  if (request.command->count("--classic-transfers") != 0) job.transfers = request.transfers;
  if (!LoadStationFile(job, why)) {
    err << "burnwell-tool station: " << why << "\n";
    return Code(ExitStatus::LoadFailedOrDeclined);
  }
  const image::ImageBuffer& loaded = image::LoadedImage();

  for (const std::string& line : JobLines(job, loaded)) human << line << "\n";
  std::string sockets = "sockets:";
  for (const std::string& port : request.settings.ports) sockets += " " + port;
  if (request.settings.ports.empty()) sockets += " every USB location where a bridge appears";
  human << sockets << "\n";
  if (request.settings.count)
    human << "lot: " << *request.settings.count << " units, then the station stops\n";
  if (log) human << "log: " << *request.log << "\n";
  human << std::endl;

  if (bridge::BridgeInitialize() == 0) {
    err << "burnwell-tool station: error: cannot create the device lock \"" << bridge::kApiMutexName
        << "\"\n";
    return Code(ExitStatus::Failed);
  }
  const std::unique_ptr<history::Recorder> recorder = StartHistory("station", request.history, err);
  request.started = true;
  // With --json the events go to standard output as JSON, and as lines to standard error.
  std::vector<std::unique_ptr<StationView>> views;
  if (request.json) {
    auto events = std::make_unique<JsonEvents>(stdout);
    events->Job(FileJson(job.file, loaded, job.type), request.settings.ports);
    views.push_back(std::move(events));
    views.push_back(std::make_unique<EventLines>(stderr, loaded.GetChecksum()));
  } else if (BoardFits(stdout)) {
    views.push_back(std::make_unique<StationBoard>(stdout, loaded.GetChecksum()));
  } else {
    views.push_back(std::make_unique<EventLines>(stdout, loaded.GetChecksum()));
  }
  std::vector<StationView*> shown;
  for (const auto& view : views) shown.push_back(view.get());

  int status = 0;
  bool logLost = false;
  {
    Station station(job, loaded, request.settings, shown, *recorder, log.get());
    status = station.Run();
    logLost = station.LogLost();
  }
  bridge::BridgeClose();
  bridge::BridgeUninitialize();
  if (logLost)
    err << "burnwell-tool station: the log " << *request.log << " could not be written\n";
  return status;
}

}  // namespace

CommandAction DeclareStation(CLI::App& command) {
  auto request = std::make_shared<StationRequest>();
  request->command = &command;
  cli::SetUsage(command,
                "burnwell-tool station [FILE] [--port LOC ...] [--count N] [--log FILE] [--json]\n"
                "    [--self-powered | --bus-powered] [--vendor ID] [--product ID] [--force]\n"
                "    [--classic-transfers] [--history PATH|URL] [--no-history] [--station NAME]");
  command.add_option("FILE", request->file,
                     "the firmware file (Intel HEX or an image file); without it, the job of "
                     "./Config.ini");
  command
      .add_option_function<std::vector<std::string>>(
          "--port",
          [request](const std::vector<std::string>& texts) {
            for (const std::string& text : texts) {
              if (!bridge::LooksLikeLocation(text))
                throw CLI::ValidationError("--port takes a USB location such as 1-2.3, not '" +
                                           text + "'");
              request->settings.ports.push_back(text);
            }
          },
          "a socket of the station: the USB location of a port (such as 1-2.3; burnwell-tool "
          "list prints it as usb=LOC); may be given more than once")
      ->type_name("LOC")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  command
      .add_option_function<unsigned>(
          "--count",
          [request](unsigned count) {
            if (count == 0) throw CLI::ValidationError("--count takes a number of units from 1");
            request->settings.count = count;
          },
          "stop by itself once N units have finished, whatever their results (a lot of N)")
      ->type_name("N");
  command
      .add_option("--log", request->log,
                  "append one JSON line per finished unit to FILE (its record, as the history "
                  "keeps it)")
      ->type_name("FILE");
  command.add_flag("--json", request->json,
                   "one JSON object per line per event on standard output (the other lines go "
                   "to standard error)");
  CLI::Option* self = command.add_flag("--self-powered", request->selfPowered,
                                       "program the units as self-powered, 100 mA");
  CLI::Option* bus = command.add_flag("--bus-powered", request->busPowered,
                                      "program the units as bus-powered, 500 mA");
  self->excludes(bus);
  AddFitOptions(command, request->fit);
  AddTransferOption(command, request->transfers);
  AddHistoryOptions(command, request->history);
  command.footer(std::string(STATION_DETAILS) +
                 ExitStatusHelp({ExitStatus::Success, ExitStatus::Failed, ExitStatus::Usage,
                                 ExitStatus::LoadFailedOrDeclined, ExitStatus::Stopped}));
  return [request](std::ostream& out, std::ostream& err) {
    const int status = RunStation(*request, out, err);
    // Standard output is JSON on every way out, also when the station never started.
    if (request->json && !request->started)
      JsonOutput(stdout).PrintUnlessPrinted("station", status);
    return status;
  };
}

}  // namespace burnwell::tool
