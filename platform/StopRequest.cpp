#include "platform/StopRequest.h"

#include <chrono>
#include <csignal>
#include <thread>

#include "platform/PlatformState.h"

namespace burnwell::platform {
namespace {

StopState& Stop() { return PlatformLayer().stop; }

extern "C" void OnServeStopSignal(int) { RequestStop(); }

}  // namespace

StopGuard::StopGuard() { Stop().guards.fetch_add(1); }
StopGuard::~StopGuard() { Stop().guards.fetch_sub(1); }

void SetFirstSignalWindsDown() { Stop().firstSignalWindsDown.store(true); }
bool WindDownRequested() { return Stop().windDownRequested.load(); }

bool StopRequested() { return Stop().requested.load(); }
void RequestStop() { Stop().requested.store(true); }

void ClearStopRequest() {
  Stop().requested.store(false);
  Stop().windDownRequested.store(false);
  Stop().lastWarningMs.store(kNoStopWarning);
}

bool TakeStopForThisThread() {
  bool& taken = PlatformThread().stopTaken;
  if (!Stop().requested.load() || taken) return false;
  taken = true;
  return true;
}

void ResetStopForThisThread() { PlatformThread().stopTaken = false; }

void InstallServeStopHandlers() {
  Stop();  // the state exists before a handler can reach it
  std::signal(SIGINT, OnServeStopSignal);
  std::signal(SIGTERM, OnServeStopSignal);
}

void WaitForStopRequest() {
  while (!StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

namespace stop_detail {

SignalVerdict TakeSignal(long long nowMs) {
  StopState& stop = Stop();
  if (stop.requested.load()) return SignalVerdict::AlreadyStopping;
  const bool windsDown = stop.firstSignalWindsDown.load();
  if (stop.guards.load() == 0 && !windsDown) return SignalVerdict::EndNow;
  const long long warned = stop.lastWarningMs.load();
  if (warned != kNoStopWarning && nowMs - warned <= kSecondSignalWindowSeconds * 1000LL) {
    stop.requested.store(true);
    return SignalVerdict::Stopping;
  }
  stop.lastWarningMs.store(nowMs);
  if (windsDown) {
    stop.windDownRequested.store(true);
    return SignalVerdict::WindingDown;
  }
  return SignalVerdict::Warned;
}

bool FirstInstall() {
  StopState& stop = Stop();
  return !stop.handlersInstalled.exchange(true);
}

}  // namespace stop_detail
}  // namespace burnwell::platform
