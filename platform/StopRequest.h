// Interrupts while a bridge's memory is being changed. A program that installs the handlers
// (InstallStopHandlers) gets this behaviour for SIGINT, SIGTERM and SIGHUP (Windows: Ctrl-C,
// Ctrl-Break and closing the console):
//  - outside a guarded window the signal ends the program at once, as it would without them;
//  - inside one (an update between its erase and the end of its compare) the first signal only
//    warns; a second within kSecondSignalWindowSeconds requests a stop. The update sees the
//    request between commands (the transport refuses exactly one command per thread, so that
//    the flash routines' own clean-up still reaches the bridge) and ends saying what state the
//    bridge is left in.
// The handlers only set flags and write their text with write(2) (WriteConsole on Windows).
#pragma once

namespace burnwell::platform {

inline constexpr int kSecondSignalWindowSeconds = 5;

// Installs the handlers once for the process; later calls do nothing.
void InstallStopHandlers();

// While at least one guard lives, a signal warns before it stops (guards nest and may live on
// several threads at once).
class StopGuard {
 public:
  StopGuard();
  ~StopGuard();
  StopGuard(const StopGuard&) = delete;
  StopGuard& operator=(const StopGuard&) = delete;
};

// For a program that runs until it is told to stop (a station): the first signal asks it to
// wind down (take no new work, let the running updates end) instead of ending it or only
// warning, and a second within kSecondSignalWindowSeconds requests the stop as above.
void SetFirstSignalWindsDown();
// True once a signal asked the program to wind down.
bool WindDownRequested();

// True once a stop has been requested (by a second signal, or RequestStop).
bool StopRequested();
// Async-signal-safe.
void RequestStop();
// Forgets a request and a pending warning (tests, and a program that starts over).
void ClearStopRequest();

// For a program that serves until it is told to stop (the relay, the emulator): SIGINT and
// SIGTERM (Ctrl-C on Windows) request the stop at once; WaitForStopRequest returns then.
void InstallServeStopHandlers();
void WaitForStopRequest();

// The calling thread's transport takes a stop request into account once: the first command
// after the request is refused, later ones (clean-up) go through. True when this command is
// the one to refuse.
bool TakeStopForThisThread();
// A new update on this thread refuses again after a new request.
void ResetStopForThisThread();

}  // namespace burnwell::platform

namespace burnwell::platform::stop_detail {

// What one signal means now: end the program, warn, wind down, or request the stop (once).
enum class SignalVerdict { EndNow, Warned, WindingDown, Stopping, AlreadyStopping };

// The decision the handlers share; `nowMs` is a monotonic time. Async-signal-safe.
SignalVerdict TakeSignal(long long nowMs);

// True for the first of the InstallStopHandlers calls, which installs them.
bool FirstInstall();

inline constexpr char kWarningText[] =
    "\nStopping now leaves the bridge without valid firmware. Press Ctrl-C again within 5 seconds "
    "to stop anyway.\n";
inline constexpr char kStoppingText[] = "\nStopping after the command in flight...\n";
inline constexpr char kWindingDownText[] =
    "\nTaking no new units; the updates running go on to their end. Press Ctrl-C again within 5 "
    "seconds to stop them, which leaves those bridges without valid firmware.\n";

}  // namespace burnwell::platform::stop_detail
