// The questions `burnwell-tool history` answers, against the station's file or the line's
// server: the rows a filter asks for, the rows waiting for a server, and the counts and
// first-pass yield per day, station and file.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/Columns.h"
#include "history/LocalStore.h"

namespace burnwell::history {

// The rows the filter asks for, newest first: from the server when a URL is among the places,
// from the file (given or the default one) otherwise.
std::optional<std::vector<StoredUnit>> FindUnits(const std::vector<std::string>& places,
                                                 const HistoryFilter& filter, std::string& error);

// The rows in the file's outbox, oldest first, refused ones included.
std::optional<std::vector<WaitingUnit>> PendingUnits(const std::vector<std::string>& places,
                                                     std::string& error);

// A time as the command line gives it ("2026-05-01", "2026-05-01T08:30", "2026-05-01 08:30:15",
// each optionally ending in Z; always UTC) in the records' own form. A day alone is its first
// moment, or with endOfDay the first moment of the next day. Nothing when it is not a time.
std::optional<std::string> ParseTime(std::string_view text, bool endOfDay);

// One day, station and file of the summary.
struct SummaryLine {
  std::string day;  // "2026-05-01"
  std::string station;
  std::string checksum;
  std::string fileName;                // the latest name the file was given
  std::map<std::string, int> results;  // rows per result name
  int rows = 0;
  int units = 0;      // bridges tried (updates), told apart by serial number
  int firstPass = 0;  // of those, the ones whose first try that day passed
  double Yield() const { return units == 0 ? 0.0 : static_cast<double>(firstPass) / units; }
};
// The summary of rows (in any order), sorted by day, station and file.
std::vector<SummaryLine> Summarise(const std::vector<StoredUnit>& units);

}  // namespace burnwell::history
