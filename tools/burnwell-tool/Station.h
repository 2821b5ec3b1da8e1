// A production station: every bridge plugged into one of its sockets is one unit, whose update
// starts on its own (the same update `update` runs, on a thread of its own) and which is never
// written again while it stays plugged in. A unit the job refuses, or that already holds the
// file, is not written at all. The station runs until the first Ctrl-C (it then takes no new
// units and lets the running updates end) or until --count units have finished; a second
// Ctrl-C within 5 s stops the running updates as `update` stops.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bridge/Arrivals.h"
#include "history/Recorder.h"
#include "image/ImageBuffer.h"
#include "platform/WindowMessages.h"
#include "tools/burnwell-tool/StationEvents.h"
#include "tools/burnwell-tool/StationJob.h"

namespace burnwell::tool {

struct StationSettings {
  std::vector<std::string> ports;  // the sockets served, each shown even when empty; none: all
  std::optional<unsigned> count;   // end once this many units have finished
};

class Station final : public platform::WindowMessages {
 public:
  // The device API must be initialised; the views, the recorder and the log (may be null) must
  // outlive the station.
  Station(const StationJob& job, const image::ImageBuffer& loaded, StationSettings settings,
          std::vector<StationView*> views, history::Recorder& recorder, JsonLog* log);
  ~Station() override;

  // Runs the station; returns the exit status: 0 when every finished unit was updated or up to
  // date, 13 after a stop of the running updates, 1 otherwise.
  int Run();
  // Some record could not be written to the log.
  bool LogLost() const { return logLost_; }

  // The progress messages of each unit's update, routed to that unit.
  bool Post(platform::WindowHandle window, std::uint32_t message, platform::WParam wParam,
            platform::LParam lParam) override;
  platform::LResult Send(platform::WindowHandle window, std::uint32_t message,
                         platform::WParam wParam, platform::LParam lParam) override;

 private:
  struct Unit;
  void TakeArrivals(const bridge::UnitChanges& changes);
  void StartUpdate(Unit& unit);
  void CollectUpdates();
  // The one place a unit's record is made: it goes to the history, then the log, then every
  // view, with the lock held.
  void FinishUnit(Unit& unit, history::UnitRecord record, bool removed = false);
  void RemoveUnit(Unit& unit);  // with the lock held
  void Followed(Unit& unit, const ui::UpdateProgressState& state);
  std::vector<SocketState> Sockets() const;  // with the lock held
  StationCounters Counters() const;          // with the lock held
  void AddSocket(const std::string& location);

  const StationJob& job_;
  const image::ImageBuffer& loaded_;
  StationSettings settings_;
  std::vector<StationView*> views_;
  history::Recorder& recorder_;
  JsonLog* log_;
  history::FileFacts file_;
  std::unique_ptr<bridge::BridgeArrivals> arrivals_;
  std::chrono::steady_clock::time_point start_;

  mutable std::mutex mutex_;
  std::map<std::uint64_t, std::unique_ptr<Unit>> units_;
  std::vector<std::string> sockets_;       // in board order
  std::map<std::string, Unit*> inSocket_;  // the unit each socket shows
  std::map<platform::WindowHandle, Unit*> windows_;
  StationCounters counters_;
  unsigned taken_ = 0;
  bool anyFailed_ = false;
  bool logLost_ = false;
};

}  // namespace burnwell::tool
