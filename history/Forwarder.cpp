#include "history/Forwarder.h"

#include <algorithm>
#include <vector>

#include "history/LocalStore.h"

namespace burnwell::history {
namespace {

constexpr std::chrono::milliseconds kFirstRetry{500};
constexpr std::chrono::milliseconds kLongestRetry{4000};
// Other programs recording into the same file add rows too: the outbox is looked at this often.
constexpr std::chrono::milliseconds kIdleLook{2000};
constexpr std::size_t kRowsPerTransaction = 200;

}  // namespace

Forwarder::Forwarder(std::filesystem::path store, std::string url,
                     std::unique_ptr<ServerStore> connected, Report report)
    : store_(std::move(store)),
      url_(std::move(url)),
      target_(UrlWithoutPassword(url_)),
      server_(std::move(connected)),
      report_(std::move(report)),
      away_(server_ == nullptr) {
  thread_ = std::thread([this] { Run(); });
}

Forwarder::~Forwarder() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void Forwarder::Wake() {
  {
    std::lock_guard lock(mutex_);
    ++wanted_;
  }
  changed_.notify_all();
}

bool Forwarder::Drain(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  const std::uint64_t target = wanted_;
  changed_.wait_for(lock, limit, [&] { return clean_ >= target || away_; });
  return clean_ >= target;
}

bool Forwarder::Pause(std::chrono::milliseconds time) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, time, [&] { return stopping_ || wanted_ != seen_; });
  return !stopping_;
}

void Forwarder::Publish(bool clean, bool away) {
  {
    std::lock_guard lock(mutex_);
    if (clean) clean_ = seen_;
    away_ = away;
  }
  changed_.notify_all();
}

void Forwarder::Run() {
  std::string error;
  const std::unique_ptr<LocalStore> local =
      LocalStore::Open(store_, LocalStore::Mode::Write, error);
  if (!local) {
    report_("no rows can be sent to " + target_ + ": " + error);
    Publish(false, true);
    return;
  }
  const std::string where = local->Path().string();
  std::string problem;  // the server's last trouble, said once
  std::chrono::milliseconds retry = kFirstRetry;
  auto serverAway = [&](const std::string& why) {
    server_.reset();
    if (why != problem)
      report_("the history server " + target_ + " cannot take rows (" + why + "); they wait in " +
              where + " and are sent when it answers");
    problem = why;
    Publish(false, true);
    const bool going = Pause(retry);
    retry = std::min(retry * 2, kLongestRetry);
    return going;
  };
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      seen_ = wanted_;
    }
    if (!server_ || !server_->Usable()) {
      server_ = ServerStore::Connect(url_, error);
      if (!server_) {
        if (!serverAway(error)) return;
        continue;
      }
    }
    if (!problem.empty()) {
      report_("the history server " + target_ + " answers again; the waiting rows are sent");
      problem.clear();
    }
    retry = kFirstRetry;
    const auto waiting = local->Waiting(target_, false, kRowsPerTransaction, error);
    if (!waiting || waiting->empty()) {
      if (!waiting) report_("the rows waiting in " + where + " cannot be read: " + error);
      Publish(waiting.has_value(), false);
      if (!Pause(kIdleLook)) return;
      continue;
    }
    std::vector<StoredUnit> units;
    for (const WaitingUnit& unit : *waiting)
      units.push_back({unit.id, local->Origin(), unit.record});
    std::size_t refused = 0;
    const ServerStore::Sent sent = server_->Send(units, refused, error);
    if (sent == ServerStore::Sent::Unavailable ? !serverAway(error)
                                               : !Settle(*local, units, sent, refused, error))
      return;
  }
}

bool Forwarder::Settle(LocalStore& local, const std::vector<StoredUnit>& units,
                       ServerStore::Sent sent, std::size_t refused, const std::string& error) {
  const std::string where = local.Path().string();
  std::string problem;
  if (sent == ServerStore::Sent::Stored) {
    std::vector<std::int64_t> ids;
    for (const StoredUnit& unit : units) ids.push_back(unit.id);
    if (local.MarkSent(ids, problem)) return true;
    // Sent again later: the server keeps each row once.
    report_("the rows sent to " + target_ + " cannot be marked in " + where + ": " + problem);
    return Pause(kIdleLook);
  }
  const StoredUnit& unit = units[refused];
  report_("the history server " + target_ + " refused row " + std::to_string(unit.id) +
          " (serial " + unit.record.bridge.serial + ", " + unit.record.time + "): " + error +
          "; it is kept in " + where);
  if (local.MarkRejected(unit.id, error, problem)) return true;
  report_("row " + std::to_string(unit.id) + " cannot be marked in " + where + ": " + problem);
  return Pause(kIdleLook);
}

}  // namespace burnwell::history
