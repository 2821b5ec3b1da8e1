#include "history/Queries.h"

#include <chrono>
#include <cstdio>
#include <regex>
#include <set>
#include <tuple>

#include "history/Recorder.h"
#if BURNWELL_HISTORY_SERVER
#include "history/ServerStore.h"
#endif

namespace burnwell::history {

std::optional<std::vector<StoredUnit>> FindUnits(const std::vector<std::string>& places,
                                                 const HistoryFilter& filter, std::string& error) {
  const std::optional<HistoryPlaces> where = ResolvePlaces(places, error);
  if (!where) return std::nullopt;
  if (where->url) {
#if BURNWELL_HISTORY_SERVER
    const std::unique_ptr<ServerStore> server = ServerStore::Connect(*where->url, error);
    if (!server) {
      error = "the history server " + UrlWithoutPassword(*where->url) + " cannot be used: " + error;
      return std::nullopt;
    }
    return server->Find(filter, error);
#else
    error = std::string(kNoServer) + "; leave the URL out to ask this station's own file";
    return std::nullopt;
#endif
  }
  const std::unique_ptr<LocalStore> store =
      LocalStore::Open(where->file, LocalStore::Mode::Read, error);
  if (!store) return std::nullopt;
  return store->Find(filter, error);
}

std::optional<std::vector<WaitingUnit>> PendingUnits(const std::vector<std::string>& places,
                                                     std::string& error) {
  const std::optional<HistoryPlaces> where = ResolvePlaces(places, error);
  if (!where) return std::nullopt;
  const std::unique_ptr<LocalStore> store =
      LocalStore::Open(where->file, LocalStore::Mode::Read, error);
  if (!store) return std::nullopt;
  return store->Waiting(std::nullopt, true, SIZE_MAX / 2, error);
}

std::optional<std::string> ParseTime(std::string_view text, bool endOfDay) {
  static const std::regex form(
      R"((\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2})(?:\.(\d{1,3}))?)?)?Z?)");
  std::match_results<std::string_view::const_iterator> parts;
  if (!std::regex_match(text.begin(), text.end(), parts, form)) return std::nullopt;
  auto number = [&](int i, int otherwise) {
    return parts[i].matched ? std::stoi(parts[i].str()) : otherwise;
  };
  using namespace std::chrono;
  year_month_day day{year{number(1, 0)}, month{static_cast<unsigned>(number(2, 0))},
                     std::chrono::day{static_cast<unsigned>(number(3, 0))}};
  const int hour = number(4, 0), minute = number(5, 0), second = number(6, 0);
  if (!day.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  if (endOfDay && !parts[4].matched) day = year_month_day{sys_days{day} + days{1}};
  std::string millis = parts[7].matched ? parts[7].str() : "";
  millis.resize(3, '0');
  char textOut[96];
  std::snprintf(textOut, sizeof textOut, "%04d-%02u-%02uT%02d:%02d:%02d.%sZ",
                static_cast<int>(day.year()), static_cast<unsigned>(day.month()),
                static_cast<unsigned>(day.day()), hour, minute, second, millis.c_str());
  return std::string(textOut);
}

std::vector<SummaryLine> Summarise(const std::vector<StoredUnit>& units) {
  std::vector<const StoredUnit*> oldestFirst;
  for (const StoredUnit& unit : units) oldestFirst.push_back(&unit);
  std::stable_sort(oldestFirst.begin(), oldestFirst.end(),
                   [](const StoredUnit* a, const StoredUnit* b) {
                     return std::tie(a->record.time, a->id) < std::tie(b->record.time, b->id);
                   });
  using Key = std::tuple<std::string, std::string, std::string>;
  std::map<Key, SummaryLine> lines;
  std::map<Key, std::set<std::string>> tried;
  for (const StoredUnit* unit : oldestFirst) {
    const UnitRecord& record = unit->record;
    const Key key{record.time.substr(0, 10), record.station, record.file.checksum};
    SummaryLine& line = lines[key];
    line.day = std::get<0>(key);
    line.station = record.station;
    line.checksum = record.file.checksum;
    line.fileName = record.file.name;
    ++line.rows;
    ++line.results[ResultName(record.result)];
    if (record.command == "verify") continue;  // a look at a unit, not a try at it
    const std::string bridge =
        record.bridge.serial.empty() ? "usb " + record.bridge.usb : record.bridge.serial;
    if (!tried[key].insert(bridge).second) continue;
    ++line.units;
    if (Passed(record.result)) ++line.firstPass;
  }
  std::vector<SummaryLine> sorted;
  for (auto& [key, line] : lines) sorted.push_back(std::move(line));
  return sorted;
}

}  // namespace burnwell::history
