// The one way a program records its units: every front end (burnwell-tool's update and verify,
// the dialog, a station) starts one Recorder for its run and hands it each unit's record as the
// unit ends, before it tells anyone the unit's result. The row is committed to the station's own
// file at once; with a server's URL it is then sent on in the background. A recording problem
// is a warning and never changes what happened to the unit.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "history/UnitRecord.h"

namespace burnwell::history {

class Forwarder;
class LocalStore;

// Where the history is kept and under which name, as the command line or Config.ini says.
struct HistoryOptions {
  std::vector<std::string> places;  // a file, a postgresql:// URL, or one of each
  bool off = false;                 // record nothing
  std::string station;              // "" for the host name
};

// A postgresql:// (or postgres://) URL rather than a file.
bool IsServerUrl(const std::string& place);

// The file the history is kept in when none is given: BURNWELL_HISTORY when set; for root
// /var/lib/burnwell/history.db; else $XDG_STATE_HOME/burnwell/history.db (~/.local/state by
// default). Nothing, and why in error, when there is none (no home folder).
std::optional<std::filesystem::path> DefaultHistoryFile(std::string& error);

// The file and the server the places name (the file defaulting as above). Nothing, and why in
// error, for two files, two URLs, a URL of another kind, or no file to be had.
struct HistoryPlaces {
  std::filesystem::path file;
  std::optional<std::string> url;
};
std::optional<HistoryPlaces> ResolvePlaces(const std::vector<std::string>& places,
                                           std::string& error);

// What a build without libpq (the Windows build) says when a server is named: its rows stay in
// the station's file.
inline constexpr const char* kNoServer =
    "this build reaches no PostgreSQL server (the Linux build does)";

class Recorder {
 public:
  using Warn = std::function<void(const std::string&)>;
  // Opens the history the options name and says at once, through warn, what cannot be used (the
  // file, the server). program is the recording program's name ("burnwell-tool").
  Recorder(const HistoryOptions& options, std::string program, Warn warn);
  // Gives the server a few seconds for the rows still on their way, then says what waits.
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Stamps the record (time when unset, station, program, version), also when recording is
  // off, and commits it as a row. False, after a warning naming the unit, when it could not be
  // recorded; false without a word when recording is off. Callable from several threads.
  bool Record(UnitRecord& record);

  // Records are kept (recording is on and the file could be opened).
  bool Keeping() const { return store_ != nullptr; }
  const std::string& Station() const { return station_; }

 private:
  std::string program_;
  std::string station_;
  Warn warn_;
  bool off_ = false;
  std::filesystem::path file_;
  std::string target_;  // the server's URL without its password, "" for none
  std::mutex mutex_;    // one row at a time through the file's connection
  std::unique_ptr<LocalStore> store_;
  // A shared pointer only so that a build without the server (Windows) needs none of its code.
  std::shared_ptr<Forwarder> forwarder_;
};

}  // namespace burnwell::history
