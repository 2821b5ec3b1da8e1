#include "tools/burnwell-tool/Station.h"

#include <algorithm>
#include <thread>

#include "common/ExitStatus.h"
#include "device/DeviceRecord.h"
#include "image/ConfigBlock.h"
#include "platform/StopRequest.h"
#include "tools/burnwell-tool/WholeUpdateProgress.h"

namespace burnwell::tool {
namespace {

// Progress windows of the units' updates are numbered from here, one per unit.
constexpr platform::WindowHandle kFirstUnitWindow = 0x7E5A0000;

// Socket order on the board: by bus, then port by port ("1-2" before "1-10", "1-2.3" after
// "1-2").
bool BoardOrder(const std::string& a, const std::string& b) {
  auto numbers = [](const std::string& text) {
    std::vector<long> parts;
    long value = -1;
    for (const char c : text) {
      if (c >= '0' && c <= '9') {
        value = (value < 0 ? 0 : value * 10) + (c - '0');
      } else {
        parts.push_back(value);
        value = -1;
      }
    }
    parts.push_back(value);
    return parts;
  };
  const auto x = numbers(a);
  const auto y = numbers(b);
  return x != y ? x < y : a < b;
}

double Seconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

}  // namespace

struct Station::Unit {
  std::uint64_t id = 0;
  std::string socket;
  std::string serial;
  std::optional<std::uint32_t> index;
  std::optional<device::DeviceRecord> bridge;  // as discovery found it
  std::chrono::steady_clock::time_point arrivedAt;
  std::string arrivedUtc;
  platform::WindowHandle window = 0;
  std::unique_ptr<ui::UpdateProgress> progress;
  std::unique_ptr<WholeUpdateProgress> observer;
  std::thread worker;
  bool updating = false;    // a worker runs (until it is joined)
  bool workerDone = false;  // the worker has its result
  BridgeResult result;
  bool left = false;
  SocketState::Stage stage = SocketState::Stage::Checking;
  ui::UpdateProgressState state;
  int lastTenth = 0;
  std::optional<FinishedUnit> record;  // once finished
};

Station::Station(const StationJob& job, const image::ImageBuffer& loaded, StationSettings settings,
                 std::vector<StationView*> views, history::Recorder& recorder, JsonLog* log)
    : job_(job),
      loaded_(loaded),
      settings_(std::move(settings)),
      views_(std::move(views)),
      recorder_(recorder),
      log_(log),
      file_(history::FileFactsOf(job.file, loaded, job.type)) {
  for (const std::string& port : settings_.ports) AddSocket(port);
}

Station::~Station() {
  for (auto& [id, unit] : units_)
    if (unit->worker.joinable()) unit->worker.join();
}

void Station::AddSocket(const std::string& location) {
  if (std::find(sockets_.begin(), sockets_.end(), location) != sockets_.end()) return;
  if (settings_.ports.empty()) {
    sockets_.insert(std::upper_bound(sockets_.begin(), sockets_.end(), location, BoardOrder),
                    location);
  } else {
    sockets_.push_back(location);
  }
  inSocket_.emplace(location, nullptr);
}

int Station::Run() {
  platform::InstallStopHandlers();
  platform::SetFirstSignalWindsDown();
  platform::ScopedOverride<platform::WindowMessages> routed(this);
  std::function<bool(const std::string&)> serves;
  if (!settings_.ports.empty()) {
    serves = [this](const std::string& location) {
      return std::find(settings_.ports.begin(), settings_.ports.end(), location) !=
             settings_.ports.end();
    };
  }
  arrivals_ = std::make_unique<bridge::BridgeArrivals>(serves);
  start_ = std::chrono::steady_clock::now();

  bool taking = true;
  for (;;) {
    const bool lotComplete = settings_.count && taken_ >= *settings_.count;
    if (platform::WindDownRequested() || platform::StopRequested() || lotComplete) taking = false;
    if (taking) TakeArrivals(arrivals_->Rescan());
    CollectUpdates();
    bool busy = false;
    {
      std::lock_guard lock(mutex_);
      for (const auto& [id, unit] : units_) busy = busy || unit->updating;
      if (!taking && !busy) break;
      const std::vector<SocketState> sockets = Sockets();
      const StationCounters counters = Counters();
      for (StationView* view : views_) view->Show(sockets, counters, !taking);
    }
    arrivals_->Wait(std::chrono::milliseconds(bridge::kRescanIntervalMs));
  }

  {
    std::lock_guard lock(mutex_);
    const std::vector<SocketState> sockets = Sockets();
    const StationCounters counters = Counters();
    for (StationView* view : views_) view->Ended(sockets, counters);
  }
  arrivals_.reset();
  if (platform::StopRequested()) return Code(ExitStatus::Stopped);
  return Code(anyFailed_ || logLost_ ? ExitStatus::Failed : ExitStatus::Success);
}

void Station::TakeArrivals(const bridge::UnitChanges& changes) {
  std::lock_guard lock(mutex_);
  for (const std::uint64_t id : changes.left) {
    const auto found = units_.find(id);
    if (found == units_.end()) continue;
    Unit& unit = *found->second;
    unit.left = true;
    if (!unit.updating) RemoveUnit(unit);
  }
  for (const bridge::UnitArrival& arrival : changes.arrived) {
    if (settings_.count && taken_ >= *settings_.count) {
      // The lot is complete: the unit is not this station's any more.
      if (arrival.index) arrivals_->Release(*arrival.index);
      continue;
    }
    ++taken_;
    auto owned = std::make_unique<Unit>();
    Unit& unit = *owned;
    unit.id = arrival.unit;
    unit.socket = !arrival.location.empty() ? arrival.location
                                            : "#" + std::to_string(arrival.index.value_or(0));
    unit.serial = arrival.serial;
    unit.index = arrival.index;
    unit.arrivedAt = std::chrono::steady_clock::now();
    unit.arrivedUtc = history::UtcNow();
    if (arrival.index) unit.bridge = device::DeviceLayer().table.records[*arrival.index];
    units_.emplace(unit.id, std::move(owned));
    AddSocket(unit.socket);
    inSocket_[unit.socket] = &unit;
    for (StationView* view : views_)
      view->Arrived(unit.socket, unit.serial, unit.bridge ? &*unit.bridge : nullptr, unit.index);

    if (!arrival.problem.empty()) {
      history::UnitRecord record;
      record.bridge.serial = unit.serial;
      record.bridge.usb = arrival.location;
      record.file = file_;
      record.result = history::UnitResult::Failed;
      record.error = arrival.problem;
      FinishUnit(unit, std::move(record));
      continue;
    }
    if (const std::optional<std::string> refusal = Refusal(job_, *unit.bridge, loaded_)) {
      FinishUnit(unit, RefusalRecord(*unit.bridge, file_, *refusal));
      continue;
    }
    StartUpdate(unit);
  }
}

void Station::StartUpdate(Unit& unit) {
  unit.window = kFirstUnitWindow + static_cast<platform::WindowHandle>(unit.id);
  unit.progress = std::make_unique<ui::UpdateProgress>(
      [this, &unit](const ui::UpdateProgressState& state) { Followed(unit, state); });
  unit.observer = std::make_unique<WholeUpdateProgress>(
      *unit.progress, nullptr, loaded_.CodeLength() + image::kConfigBlockSize);
  windows_[unit.window] = &unit;

  BridgeJob work;
  work.plan.deviceIndex = static_cast<int>(*unit.index);
  work.plan.selfPowered = job_.BusPowered() ? 0 : 1;
  work.plan.keepBridgeBlock = job_.type == image::FileType::Hex;
  work.plan.transfers = job_.Transfers();
  work.plan.progressWindow = unit.window;
  work.observer = unit.observer.get();
  unit.updating = true;
  for (StationView* view : views_) view->Started(unit.socket, unit.serial);
  unit.worker = std::thread([this, &unit, work] {
    BridgeResult result = UpdateOneBridge(work, loaded_);
    {
      std::lock_guard lock(mutex_);
      unit.result = std::move(result);
      unit.workerDone = true;
    }
    arrivals_->Wake();
  });
}

void Station::Followed(Unit& unit, const ui::UpdateProgressState& state) {
  std::lock_guard lock(mutex_);
  unit.stage = SocketState::Stage::Updating;
  unit.state = state;
  const int tenth = state.percent / 10;
  if (tenth <= unit.lastTenth) return;
  unit.lastTenth = tenth;
  for (StationView* view : views_) view->Progress(unit.socket, unit.serial, state);
}

void Station::CollectUpdates() {
  std::vector<Unit*> done;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, unit] : units_)
      if (unit->updating && unit->workerDone) done.push_back(unit.get());
  }
  for (Unit* unit : done) {
    unit->worker.join();
    std::lock_guard lock(mutex_);
    unit->updating = false;
    windows_.erase(unit->window);
    // A bridge gone in the middle of its update was pulled out of its socket.
    const bool removed = unit->result.report.result == app::UpdateResult::Disconnected;
    FinishUnit(*unit, UpdateRecord(*unit->bridge, file_, unit->result), removed);
    if (unit->left) RemoveUnit(*unit);
  }
}

void Station::FinishUnit(Unit& unit, history::UnitRecord record, bool removed) {
  record.command = "station";
  recorder_.Record(record);  // the history's row first, before anyone is told the result
  if (log_ && !log_->Append(record)) logLost_ = true;
  FinishedUnit finished;
  finished.socket = unit.socket;
  finished.removed = removed;
  finished.arrived = unit.arrivedUtc;
  finished.secondsSinceArrival = Seconds(std::chrono::steady_clock::now() - unit.arrivedAt);
  finished.record = std::move(record);
  for (StationView* view : views_) view->Finished(finished);

  switch (finished.record.result) {
    case history::UnitResult::Updated: ++counters_.passed; break;
    case history::UnitResult::UpToDate: ++counters_.upToDate; break;
    case history::UnitResult::Refused: ++counters_.refused; break;
    default: ++counters_.failed; break;
  }
  anyFailed_ = anyFailed_ || !history::Passed(finished.record.result);
  unit.stage = SocketState::Stage::Finished;
  unit.record = std::move(finished);
}

void Station::RemoveUnit(Unit& unit) {
  for (StationView* view : views_) view->Removed(unit.socket, unit.serial);
  const auto shown = inSocket_.find(unit.socket);
  if (shown != inSocket_.end() && shown->second == &unit) shown->second = nullptr;
  if (unit.index) arrivals_->Release(*unit.index);
  units_.erase(unit.id);
}

std::vector<SocketState> Station::Sockets() const {
  std::vector<SocketState> sockets;
  for (const std::string& location : sockets_) {
    SocketState socket;
    socket.location = location;
    const auto shown = inSocket_.find(location);
    if (shown != inSocket_.end() && shown->second) {
      const Unit& unit = *shown->second;
      socket.serial = unit.serial;
      socket.stage = unit.stage;
      socket.progress = unit.state;
      socket.finished = unit.record;
    }
    sockets.push_back(std::move(socket));
  }
  return sockets;
}

StationCounters Station::Counters() const {
  StationCounters counters = counters_;
  counters.hours = Seconds(std::chrono::steady_clock::now() - start_) / 3600;
  return counters;
}

bool Station::Post(platform::WindowHandle window, std::uint32_t message, platform::WParam wParam,
                   platform::LParam lParam) {
  ui::UpdateProgress* progress = nullptr;
  {
    std::lock_guard lock(mutex_);
    const auto found = windows_.find(window);
    if (found == windows_.end()) return false;
    progress = found->second->progress.get();
  }
  // Outside the lock: the progress line calls back into Followed.
  return progress->Post(ui::UpdateProgress::kHandle, message, wParam, lParam);
}

platform::LResult Station::Send(platform::WindowHandle window, std::uint32_t message,
                                platform::WParam wParam, platform::LParam lParam) {
  Post(window, message, wParam, lParam);
  return 0;
}

}  // namespace burnwell::tool
