// What a station tells about its units: the record each finished unit leaves (the --log line,
// the "finished" event and anything else that keeps a history of the units), the counters, and
// the events, one JSON object per line for a line's own software (--json) or one text line per
// event when the output is no terminal. The board on a terminal is StationBoard.h.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "device/DeviceRecord.h"
#include "history/UnitRecord.h"
#include "tools/burnwell-tool/Records.h"
#include "tools/burnwell-tool/TrayUpdate.h"
#include "ui/terminal/UpdateProgress.h"

namespace burnwell::tool {

// A unit that has finished, as the station keeps it: its record (history/UnitRecord.h), which
// is the --log line, the history's row and the "finished" event, and where and when it was
// plugged in. Made in one place, when the station finishes a unit (Station.cpp, FinishUnit).
struct FinishedUnit {
  std::string socket;
  history::UnitRecord record;
  bool removed = false;            // pulled out in the middle of its update
  std::string arrived;             // UTC time the station saw it arrive
  double secondsSinceArrival = 0;  // from then to its end
};

struct StationCounters {
  unsigned passed = 0;
  unsigned failed = 0;  // disconnected (pulled out) and stopped during the update included
  unsigned refused = 0;
  unsigned upToDate = 0;
  double hours = 0;  // since the station started

  unsigned Finished() const { return passed + failed + refused + upToDate; }
  double UnitsPerHour() const { return hours > 0 ? Finished() / hours : 0; }
};
std::string CountersText(const StationCounters& counters);
Json CountersJson(const StationCounters& counters);

// One socket as the board shows it.
struct SocketState {
  enum class Stage { Empty, Checking, Updating, Finished };
  std::string location;
  std::string serial;
  Stage stage = Stage::Empty;
  ui::UpdateProgressState progress;      // while updating
  std::optional<FinishedUnit> finished;  // once finished, until the unit is pulled out
};

// The state text of a socket: "empty", "updating program 45% ...", "passed  checksum 1a2b
// 12.3 s", "failed: ...", "refused: ...", "up to date", "removed during the update".
std::string SocketStateText(const SocketState& socket, std::uint16_t checksum);

// What happens at the station, as it happens. Every call comes on the station's own thread
// or with its lock held: one at a time.
class StationView {
 public:
  virtual ~StationView() = default;
  virtual void Arrived(const std::string& socket, const std::string& serial,
                       const device::DeviceRecord* bridge, std::optional<int> index) = 0;
  virtual void Started(const std::string& socket, const std::string& serial) = 0;
  // At each tenth of the update.
  virtual void Progress(const std::string& socket, const std::string& serial,
                        const ui::UpdateProgressState& state) = 0;
  virtual void Finished(const FinishedUnit& unit) = 0;
  virtual void Removed(const std::string& socket, const std::string& serial) = 0;
  // The whole station, for a view that draws it (called often; a view may ignore it).
  virtual void Show(const std::vector<SocketState>&, const StationCounters&, bool /*windingDown*/) {
  }
  virtual void Ended(const std::vector<SocketState>& sockets, const StationCounters& counters) = 0;
};

// One text line per event: "1-1.2 SERIAL arrived ...", for output that is no terminal.
class EventLines final : public StationView {
 public:
  EventLines(std::FILE* out, std::uint16_t checksum) : out_(out), checksum_(checksum) {}
  void Arrived(const std::string& socket, const std::string& serial,
               const device::DeviceRecord* bridge, std::optional<int> index) override;
  void Started(const std::string& socket, const std::string& serial) override;
  void Progress(const std::string& socket, const std::string& serial,
                const ui::UpdateProgressState& state) override;
  void Finished(const FinishedUnit& unit) override;
  void Removed(const std::string& socket, const std::string& serial) override;
  void Ended(const std::vector<SocketState>& sockets, const StationCounters& counters) override;

 private:
  void Line(const std::string& socket, const std::string& serial, const std::string& text);
  std::FILE* out_;
  std::uint16_t checksum_;
};

// One JSON object per line per event: {"event": "arrived" | "started" | "progress" | "finished"
// | "removed" | "counters", "time", "socket", ...}; "finished" carries the unit's record.
class JsonEvents final : public StationView {
 public:
  explicit JsonEvents(std::FILE* out) : out_(out) {}
  void Arrived(const std::string& socket, const std::string& serial,
               const device::DeviceRecord* bridge, std::optional<int> index) override;
  void Started(const std::string& socket, const std::string& serial) override;
  void Progress(const std::string& socket, const std::string& serial,
                const ui::UpdateProgressState& state) override;
  void Finished(const FinishedUnit& unit) override;
  void Removed(const std::string& socket, const std::string& serial) override;
  void Ended(const std::vector<SocketState>& sockets, const StationCounters& counters) override;
  // The first line: {"event": "job", "file": ..., "sockets": [...]}.
  void Job(const Json& file, const std::vector<std::string>& sockets);

 private:
  void Emit(Json event);
  std::FILE* out_;
};

}  // namespace burnwell::tool
