#include "history/Recorder.h"

#include "app/ConfigFile.h"
#include "common/Version.h"
#include "history/LocalStore.h"
#include "platform/Environment.h"

#if BURNWELL_HISTORY_SERVER
#include "history/Forwarder.h"
#include "history/ServerStore.h"
#endif

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

namespace burnwell::history {
namespace {

// What the Recorder's owner is left with when the file cannot be had: the units go on.
constexpr const char* kNotKept = "units are not recorded";
// Rows still on their way to the server when the program ends get this long.
constexpr std::chrono::milliseconds kLastSending{5000};

}  // namespace

bool IsServerUrl(const std::string& place) {
  return place.rfind("postgresql://", 0) == 0 || place.rfind("postgres://", 0) == 0;
}

std::optional<std::filesystem::path> DefaultHistoryFile(std::string& error) {
  if (const auto set = platform::EnvironmentSetting("BURNWELL_HISTORY"))
    return app::PathFromUtf8(*set);
#ifdef _WIN32
  // The machine's program data for an elevated administrator (every operator of a station shares
  // it), the user's own local application data otherwise.
  const char* folder = platform::RunsAsAdministrator() ? "ProgramData" : "LOCALAPPDATA";
  if (const auto base = platform::EnvironmentSetting(folder))
    return app::PathFromUtf8(*base) / "burnwell" / "history.db";
  error = std::string("%") + folder + "% is not set (give a file with --history FILE)";
  return std::nullopt;
#else
  if (platform::RunsAsAdministrator()) return std::filesystem::path("/var/lib/burnwell/history.db");
  const auto state = platform::EnvironmentSetting("XDG_STATE_HOME");
  if (state && std::filesystem::path(*state).is_absolute())
    return std::filesystem::path(*state) / "burnwell" / "history.db";
  std::optional<std::string> home = platform::EnvironmentSetting("HOME");
  if (!home) {
    if (const passwd* entry = ::getpwuid(::geteuid()); entry && entry->pw_dir) home = entry->pw_dir;
  }
  if (!home) {
    error = "no home folder to keep the history in (give one with --history FILE)";
    return std::nullopt;
  }
  return std::filesystem::path(*home) / ".local" / "state" / "burnwell" / "history.db";
#endif
}

std::optional<HistoryPlaces> ResolvePlaces(const std::vector<std::string>& places,
                                           std::string& error) {
  std::optional<std::filesystem::path> file;
  std::optional<std::string> url;
  auto refuse = [&](std::string why) -> std::optional<HistoryPlaces> {
    error = std::move(why);
    return std::nullopt;
  };
  for (const std::string& place : places) {
    if (!IsServerUrl(place) && place.find("://") != std::string::npos)
      return refuse("--history takes a file or a postgresql:// URL, not '" + place + "'");
    if (IsServerUrl(place)) {
      if (url) return refuse("--history takes one server URL");
      url = place;
    } else {
      if (file) return refuse("--history takes one file");
      if (place.empty()) return refuse("--history needs a file or a postgresql:// URL");
      file = app::PathFromUtf8(place);
    }
  }
  if (!file) file = DefaultHistoryFile(error);
  if (!file) return std::nullopt;
  return HistoryPlaces{*file, url};
}

Recorder::Recorder(const HistoryOptions& options, std::string program, Warn warn)
    : program_(std::move(program)),
      station_(options.station.empty() ? HostName() : options.station),
      warn_(std::move(warn)),
      off_(options.off) {
  if (off_) return;
  std::string error;
  const std::optional<HistoryPlaces> places = ResolvePlaces(options.places, error);
  if (!places) {
    warn_("no history: " + error + "; " + kNotKept);
    return;
  }
  file_ = places->file;
  store_ = LocalStore::Open(file_, LocalStore::Mode::Write, error);
  if (!store_) {
    warn_(error + "; " + kNotKept);
    return;
  }
  if (!places->url) return;
#if BURNWELL_HISTORY_SERVER
  target_ = UrlWithoutPassword(*places->url);
  std::unique_ptr<ServerStore> server = ServerStore::Connect(*places->url, error);
  if (!server)
    warn_("the history server " + target_ + " cannot be used (" + error + "); rows are kept in " +
          file_.string() + " and sent when it answers");
  forwarder_ = std::make_unique<Forwarder>(file_, *places->url, std::move(server), warn_);
#else
  warn_(std::string(kNoServer) + "; the rows are kept in " + file_.string() + " only");
#endif
}

Recorder::~Recorder() {
#if BURNWELL_HISTORY_SERVER
  if (!forwarder_) return;
  forwarder_->Drain(kLastSending);
  forwarder_.reset();
  std::string error;
  std::lock_guard lock(mutex_);
  const auto waiting = store_->CountWaiting(target_, false, error);
  const auto refused = store_->CountWaiting(target_, true, error);
  if (waiting && *waiting > 0)
    warn_(std::to_string(*waiting) + " row(s) wait in " + file_.string() + " for " + target_ +
          "; the next program recording there with that server sends them ('burnwell-tool "
          "history --pending' lists them)");
  if (refused && *refused > 0)
    warn_(std::to_string(*refused) + " row(s) refused by " + target_ + " are kept in " +
          file_.string() + " ('burnwell-tool history --pending' shows why)");
#endif
}

bool Recorder::Record(UnitRecord& record) {
  if (record.time.empty()) record.time = UtcNow();
  record.station = station_;
  record.program = program_;
  record.version = kVersionText;
  if (off_) return false;
  const std::string unit = "the record of " +
                           (record.bridge.serial.empty() ? std::string("the bridge")
                                                         : "bridge " + record.bridge.serial) +
                           " (" + ResultName(record.result) + ") is missing from the history";
  if (!store_) {
    warn_(unit);
    return false;
  }
  std::string error;
  {
    std::lock_guard lock(mutex_);
    if (!store_->Append(record, target_, error)) {
      warn_(unit + " " + file_.string() + ": " + error);
      return false;
    }
  }
#if BURNWELL_HISTORY_SERVER
  if (forwarder_) forwarder_->Wake();
#endif
  return true;
}

}  // namespace burnwell::history
