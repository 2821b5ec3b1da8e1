// burnwell-tool history: what the station's history (or the line's server) says about units:
// every attempt at a serial number, at a firmware file, with a result, in a time range or at a
// station, newest first; the counts and first-pass yield per day, station and file; the rows
// still waiting for the server. Also the history options update and verify share.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/Hex.h"
#include "common/OneLine.h"
#include "history/Queries.h"
#include "history/Recorder.h"
#include "image/FirmwareReaders.h"
#include "image/ImageBuffer.h"
#include "tools/burnwell-tool/Commands.h"
#include "tools/burnwell-tool/Records.h"

namespace burnwell::tool {
namespace {

constexpr const char* kHistoryDetails =
    "Every update and verify (and every unit of the updater and of a station) is a row in the\n"
    "station's history, whatever its result: an SQLite file, by default\n"
    "/var/lib/burnwell/history.db for root and $XDG_STATE_HOME/burnwell/history.db\n"
    "(~/.local/state/...) for anyone else. With --history postgresql://... the questions go to\n"
    "the line's server, which holds the rows of every station sending to it.\n"
    "Rows come newest first. --serial S tells one unit's whole story. --summary counts the\n"
    "results per day (UTC), station and file, and the first-pass yield: of the bridges tried\n"
    "(told apart by serial number), the share whose first try that day passed. --pending lists\n"
    "the rows of the station's file still waiting for a server, and those a server refused.\n"
    "Times are UTC: 2026-05-01, 2026-05-01T08:30 or 2026-05-01T08:30:15; --until with a day\n"
    "alone includes that day.\n\n";

struct HistoryRequest {
  std::vector<std::string> places;
  history::HistoryFilter filter;
  std::optional<std::string> file;
  std::optional<std::string> since;
  std::optional<std::string> until;
  bool json = false;
  bool summary = false;
  bool pending = false;
};

std::string Cell(const std::string& text, std::size_t width) {
  std::string cell = text.empty() ? "-" : text;
  if (cell.size() > width) cell = cell.substr(0, width - 1) + "~";
  cell.resize(width, ' ');
  return cell;
}

// "2026-05-01 12:34:56" of "2026-05-01T12:34:56.789Z".
std::string ShortTime(const std::string& time) {
  std::string shown = time.substr(0, 19);
  if (shown.size() > 10) shown[10] = ' ';
  return shown;
}

void PrintUnits(std::ostream& out, const std::vector<history::StoredUnit>& units) {
  out << "time                 station      command  serial            usb        file  "
         "result        passes  seconds  error\n";
  for (const history::StoredUnit& unit : units) {
    const history::UnitRecord& r = unit.record;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%-7.1f", r.seconds);
    out << Cell(ShortTime(r.time), 20) << " " << Cell(r.station, 12) << " " << Cell(r.command, 8)
        << " " << Cell(r.bridge.serial, 17) << " " << Cell(r.bridge.usb, 10) << " "
        << Cell(ChecksumText(r.file.checksum), 5) << " " << Cell(history::ResultName(r.result), 13)
        << " " << Cell(std::to_string(r.passes), 7) << " " << seconds << "  " << OneLine(r.error)
        << "\n";
  }
}

std::string ResultsText(const history::SummaryLine& line) {
  std::string text;
  for (const auto& [name, count] : line.results)
    text += (text.empty() ? "" : ", ") + name + " " + std::to_string(count);
  return text;
}

void PrintSummary(std::ostream& out, const std::vector<history::SummaryLine>& lines) {
  out << "day         station      file  rows   units  first-pass  yield   results\n";
  for (const history::SummaryLine& line : lines) {
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%-6d %-6d %-11d %5.1f%%  ", line.rows, line.units,
                  line.firstPass, 100.0 * line.Yield());
    out << Cell(line.day, 11) << " " << Cell(line.station, 12) << " "
        << Cell(ChecksumText(line.checksum), 5) << " " << numbers << ResultsText(line) << "\n";
  }
}

Json SummaryJson(const std::vector<history::SummaryLine>& lines) {
  Json array = Json::array();
  for (const history::SummaryLine& line : lines) {
    array.push_back({{"day", line.day},
                     {"station", line.station},
                     {"file", {{"checksum", line.checksum}, {"name", line.fileName}}},
                     {"rows", line.rows},
                     {"results", line.results},
                     {"units", line.units},
                     {"first_pass", line.firstPass},
                     {"first_pass_yield", line.Yield()}});
  }
  return array;
}

int Failed(std::ostream& err, const std::string& why) {
  err << kProgram << " history: " << why << "\n";
  return Code(ExitStatus::Failed);
}

// --pending: the rows of the station's file that wait for a server, or that it refused.
int ShowPending(const HistoryRequest& request, JsonOutput& jsonOut, std::ostream& out,
                std::ostream& err) {
  std::string error;
  const auto waiting = history::PendingUnits(request.places, error);
  if (!waiting) return Failed(err, error);
  if (request.json) {
    Json rows = Json::array();
    for (const history::WaitingUnit& unit : *waiting) {
      Json row = history::ToJson(unit.record);
      row["id"] = unit.id;
      row["server"] = unit.target;
      row["refused"] = unit.rejected.empty() ? Json(nullptr) : Json(unit.rejected);
      rows.push_back(row);
    }
    jsonOut.Print(Json{{"command", "history"}, {"pending", rows}});
    return Code(ExitStatus::Success);
  }
  if (waiting->empty()) out << "nothing waits for a server\n";
  for (const history::WaitingUnit& unit : *waiting)
    out << "row " << unit.id << " " << ShortTime(unit.record.time) << " "
        << Cell(unit.record.bridge.serial, 17) << " " << history::ResultName(unit.record.result)
        << " for " << unit.target
        << (unit.rejected.empty() ? ": waiting" : ": refused by the server: " + unit.rejected)
        << "\n";
  return Code(ExitStatus::Success);
}

int RunHistory(HistoryRequest& request, JsonOutput& jsonOut, std::ostream& out, std::ostream& err) {
  if (request.since) {
    request.filter.since = history::ParseTime(*request.since, false);
    if (!request.filter.since)
      return UsageError(err, "history", "--since takes a UTC time such as 2026-05-01T08:30");
  }
  if (request.until) {
    request.filter.until = history::ParseTime(*request.until, true);
    if (!request.filter.until)
      return UsageError(err, "history", "--until takes a UTC time such as 2026-05-01T17:00");
  }
  if (request.filter.result && !history::ResultFromName(*request.filter.result))
    return UsageError(err, "history", "--result takes one of " + history::ResultNameList(", "));
  if (request.file) {
    const auto loaded =
        image::LoadFirmwareByType(image::LoadedImage(), ArgumentPath(*request.file));
    if (!loaded.ok) {
      err << kProgram << " history: " << *request.file << " could not be loaded\n";
      return Code(ExitStatus::LoadFailedOrDeclined);
    }
    request.filter.checksum = Hex(image::LoadedImage().GetChecksum(), 4);
  }
  if (request.filter.checksum)
    for (char& c : *request.filter.checksum) c = static_cast<char>(std::tolower(c));

  std::string error;
  if (request.pending) return ShowPending(request, jsonOut, out, err);
  if (request.summary) request.filter.limit.reset();
  const auto units = history::FindUnits(request.places, request.filter, error);
  if (!units) return Failed(err, error);
  if (request.summary) {
    const std::vector<history::SummaryLine> lines = history::Summarise(*units);
    if (request.json) {
      jsonOut.Print(Json{{"command", "history"}, {"summary", SummaryJson(lines)}});
    } else {
      PrintSummary(out, lines);
    }
    return Code(ExitStatus::Success);
  }
  if (request.json) {
    Json rows = Json::array();
    for (const history::StoredUnit& unit : *units) rows.push_back(history::ToJson(unit.record));
    jsonOut.Print(Json{{"command", "history"}, {"units", rows}});
  } else if (units->empty()) {
    err << kProgram << " history: no unit on record matches\n";
  } else {
    PrintUnits(out, *units);
  }
  return Code(ExitStatus::Success);
}

}  // namespace

void AddHistoryPlaces(CLI::App& command, std::vector<std::string>& places) {
  command
      .add_option_function<std::vector<std::string>>(
          "--history",
          [&places](const std::vector<std::string>& given) {
            std::string error;
            // The default file is not needed to tell a bad command line.
            std::vector<std::string> checked = given;
            if (std::none_of(given.begin(), given.end(),
                             [](const std::string& place) { return !history::IsServerUrl(place); }))
              checked.push_back("-");
            if (!history::ResolvePlaces(checked, error)) throw CLI::ValidationError(error);
            places = given;
          },
          "the history file, or the line's server as postgresql://USER@HOST/DB; a file "
          "and a URL together: the rows go to the file first, then to the server")
      ->type_name("PATH|URL")
      ->group("History");
}

void AddHistoryOptions(CLI::App& command, history::HistoryOptions& options) {
  AddHistoryPlaces(command, options.places);
  CLI::Option* off = command.add_flag("--no-history", options.off, "record nothing");
  off->group("History");
  command.add_option("--station", options.station, "the station's name in the rows (host name)")
      ->type_name("NAME")
      ->group("History");
}

CommandAction DeclareHistory(CLI::App& command) {
  auto request = std::make_shared<HistoryRequest>();
  cli::SetUsage(command,
                "burnwell-tool history [--history PATH|URL] [--serial TEXT] [--checksum HEX | "
                "--file FILE]\n"
                "    [--result NAME] [--since TIME] [--until TIME] [--station NAME] [--limit N]\n"
                "    [--summary | --pending] [--json]");
  AddHistoryPlaces(command, request->places);
  command.add_option("--serial", request->filter.serial, "the unit with this serial number")
      ->type_name("TEXT");
  CLI::Option* checksum = command
                              .add_option("--checksum", request->filter.checksum,
                                          "units given the firmware with this checksum")
                              ->type_name("HEX");
  command.add_option("--file", request->file, "units given this firmware file (by its checksum)")
      ->type_name("FILE")
      ->excludes(checksum);
  command.add_option("--result", request->filter.result, "units whose attempt ended so")
      ->type_name(history::ResultNameList("|"));
  command.add_option("--since", request->since, "attempts at or after TIME (UTC)")
      ->type_name("TIME");
  command.add_option("--until", request->until, "attempts before TIME (UTC)")->type_name("TIME");
  command.add_option("--station", request->filter.station, "attempts at this station")
      ->type_name("NAME");
  command.add_option("--limit", request->filter.limit, "at most N rows")->type_name("N");
  CLI::Option* summary =
      command.add_flag("--summary", request->summary,
                       "counts and first-pass yield per day, station and file instead of the rows");
  command
      .add_flag("--pending", request->pending,
                "the rows of the station's file waiting for a server, or refused by it")
      ->excludes(summary);
  command.add_flag("--json", request->json, "print one JSON document on standard output");
  command.footer(std::string(kHistoryDetails) +
                 ExitStatusHelp({ExitStatus::Success, ExitStatus::Failed, ExitStatus::Usage,
                                 ExitStatus::LoadFailedOrDeclined}));
  return [request](std::ostream& out, std::ostream& err) {
    JsonOutput jsonOut(stdout);
    const int status = RunHistory(*request, jsonOut, out, err);
    if (request->json) jsonOut.PrintUnlessPrinted("history", status);
    return status;
  };
}

}  // namespace burnwell::tool
