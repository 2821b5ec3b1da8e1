#include "platform/StopRequest.h"

#include <atomic>

namespace burnwell::platform {
namespace {

constexpr long long kNoWarning = -1;

std::atomic<int> guards{0};
std::atomic<bool> stopRequested{false};
std::atomic<long long> lastWarningMs{kNoWarning};
std::atomic<bool> firstSignalWindsDown{false};
std::atomic<bool> windDownRequested{false};
thread_local bool stopTaken = false;

}  // namespace

StopGuard::StopGuard() { guards.fetch_add(1); }
StopGuard::~StopGuard() { guards.fetch_sub(1); }

void SetFirstSignalWindsDown() { firstSignalWindsDown.store(true); }
bool WindDownRequested() { return windDownRequested.load(); }

bool StopRequested() { return stopRequested.load(); }
void RequestStop() { stopRequested.store(true); }

void ClearStopRequest() {
  stopRequested.store(false);
  windDownRequested.store(false);
  lastWarningMs.store(kNoWarning);
}

bool TakeStopForThisThread() {
  if (!stopRequested.load() || stopTaken) return false;
  stopTaken = true;
  return true;
}

void ResetStopForThisThread() { stopTaken = false; }

namespace stop_detail {

SignalVerdict TakeSignal(long long nowMs) {
  if (stopRequested.load()) return SignalVerdict::AlreadyStopping;
  const bool windsDown = firstSignalWindsDown.load();
  if (guards.load() == 0 && !windsDown) return SignalVerdict::EndNow;
  const long long warned = lastWarningMs.load();
  if (warned != kNoWarning && nowMs - warned <= kSecondSignalWindowSeconds * 1000LL) {
    stopRequested.store(true);
    return SignalVerdict::Stopping;
  }
  lastWarningMs.store(nowMs);
  if (windsDown) {
    windDownRequested.store(true);
    return SignalVerdict::WindingDown;
  }
  return SignalVerdict::Warned;
}

}  // namespace stop_detail
}  // namespace burnwell::platform
