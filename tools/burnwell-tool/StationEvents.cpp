#include "tools/burnwell-tool/StationEvents.h"

#include <algorithm>
#include <cmath>

#include "common/Hex.h"
#include "common/OneLine.h"
#include "tools/burnwell-tool/Selection.h"

namespace burnwell::tool {
namespace {

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

Json Event(const char* kind, const std::string& socket) {
  Json event;
  event["event"] = kind;
  event["time"] = history::UtcNow();
  event["socket"] = socket;
  return event;
}

}  // namespace

std::string CountersText(const StationCounters& c) {
  return "passed " + std::to_string(c.passed) + "  failed " + std::to_string(c.failed) +
         "  refused " + std::to_string(c.refused) + "  up to date " + std::to_string(c.upToDate) +
         "  units/hour " + Fixed(c.UnitsPerHour(), 1);
}

Json CountersJson(const StationCounters& c) {
  return Json{{"passed", c.passed},
              {"failed", c.failed},
              {"refused", c.refused},
              {"up_to_date", c.upToDate},
              {"units_per_hour", std::round(c.UnitsPerHour() * 10) / 10}};
}

std::string SocketStateText(const SocketState& socket, std::uint16_t checksum) {
  switch (socket.stage) {
    case SocketState::Stage::Empty: return "empty";
    case SocketState::Stage::Checking: return "checking what it holds";
    case SocketState::Stage::Updating: {
      const ui::UpdateProgressState& p = socket.progress;
      std::string text = "updating " + p.phase + " " + std::to_string(p.percent) + "%";
      if (p.pass > 1)
        text += "  pass " + std::to_string(p.pass) + " of " + std::to_string(p.maxPasses);
      if (p.secondsLeft >= 0) {
        const long left = std::lround(p.secondsLeft);
        text += "  " + std::to_string(left / 60) + ":" + (left % 60 < 10 ? "0" : "") +
                std::to_string(left % 60) + " left";
      }
      return text;
    }
    case SocketState::Stage::Finished: break;
  }
  if (!socket.finished) return "finished";
  const history::UnitRecord& record = socket.finished->record;
  switch (record.result) {
    case history::UnitResult::Updated:
      return "passed  checksum " + ChecksumText(checksum) + "  " + Fixed(record.seconds, 1) + " s";
    case history::UnitResult::UpToDate: return "up to date";
    case history::UnitResult::Refused: return "refused: " + OneLine(record.error);
    case history::UnitResult::Disconnected:
      if (socket.finished->removed) return "removed during the update";
      return "disconnected: " + OneLine(record.error);
    case history::UnitResult::Stopped: return "stopped: " + OneLine(record.error);
    default: break;
  }
  return "failed: " + OneLine(record.error);
}

// --- one line per event -------------------------------------------------------------------------

void EventLines::Line(const std::string& socket, const std::string& serial,
                      const std::string& text) {
  std::fprintf(out_, "%s %s %s\n", socket.empty() ? "-" : socket.c_str(),
               serial.empty() ? "-" : serial.c_str(), text.c_str());
  std::fflush(out_);
}

void EventLines::Arrived(const std::string& socket, const std::string& serial,
                         const device::DeviceRecord* bridge, std::optional<int>) {
  std::string text = "arrived";
  if (bridge)
    text += ": " + Hex(bridge->VendorId, 4) + ":" + Hex(bridge->ProductId, 4) + " firmware " +
            Hex(bridge->FirmwareVersion, 8);
  Line(socket, serial, text);
}

void EventLines::Started(const std::string& socket, const std::string& serial) {
  Line(socket, serial, "started");
}

void EventLines::Progress(const std::string& socket, const std::string& serial,
                          const ui::UpdateProgressState& state) {
  SocketState updating;
  updating.stage = SocketState::Stage::Updating;
  updating.progress = state;
  Line(socket, serial, SocketStateText(updating, checksum_));
}

void EventLines::Finished(const FinishedUnit& unit) {
  SocketState finished;
  finished.stage = SocketState::Stage::Finished;
  finished.finished = unit;
  Line(unit.socket, unit.record.bridge.serial, SocketStateText(finished, checksum_));
}

void EventLines::Removed(const std::string& socket, const std::string& serial) {
  Line(socket, serial, "removed");
}

void EventLines::Ended(const std::vector<SocketState>&, const StationCounters& counters) {
  std::fprintf(out_, "station stopped: %s\n", CountersText(counters).c_str());
  std::fflush(out_);
}

// --- JSON events
// ----------------------------------------------------------------------------------

void JsonEvents::Emit(Json event) {
  const std::string text = event.dump() + "\n";
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}

void JsonEvents::Job(const Json& file, const std::vector<std::string>& sockets) {
  Json event;
  event["event"] = "job";
  event["time"] = history::UtcNow();
  event["file"] = file;
  event["sockets"] = sockets.empty() ? Json(nullptr) : Json(sockets);
  Emit(std::move(event));
}

void JsonEvents::Arrived(const std::string& socket, const std::string& serial,
                         const device::DeviceRecord* bridge, std::optional<int> index) {
  Json event = Event("arrived", socket);
  event["bridge"] = bridge ? BridgeJson(index.value_or(-1), *bridge) : Json{{"serial", serial}};
  Emit(std::move(event));
}

void JsonEvents::Started(const std::string& socket, const std::string& serial) {
  Json event = Event("started", socket);
  event["serial"] = serial;
  Emit(std::move(event));
}

void JsonEvents::Progress(const std::string& socket, const std::string& serial,
                          const ui::UpdateProgressState& state) {
  Json event = Event("progress", socket);
  event["serial"] = serial;
  event["percent"] = state.percent;
  event["phase"] = state.phase;
  event["pass"] = state.pass;
  event["seconds_left"] = state.secondsLeft >= 0 ? Json(std::round(state.secondsLeft)) : Json();
  Emit(std::move(event));
}

void JsonEvents::Finished(const FinishedUnit& unit) {
  Json event = Event("finished", unit.socket);
  event["removed"] = unit.removed;
  event["arrived"] = unit.arrived;
  event["seconds_since_arrival"] = unit.secondsSinceArrival;
  event["record"] = history::ToJson(unit.record);
  Emit(std::move(event));
}

void JsonEvents::Removed(const std::string& socket, const std::string& serial) {
  Json event = Event("removed", socket);
  event["serial"] = serial;
  Emit(std::move(event));
}

void JsonEvents::Ended(const std::vector<SocketState>&, const StationCounters& counters) {
  Json event;
  event["event"] = "counters";
  event["time"] = history::UtcNow();
  event.update(CountersJson(counters));
  Emit(std::move(event));
}

}  // namespace burnwell::tool
