// SIGINT, SIGTERM and SIGHUP while an update may be changing a bridge's memory.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "platform/StopRequest.h"

namespace burnwell::platform {
namespace {

void WriteText(const char* text, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(STDERR_FILENO, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    length -= static_cast<std::size_t>(n);
  }
}

void OnStopSignal(int number) {
  const int savedErrno = errno;
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const long long nowMs = static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  using stop_detail::SignalVerdict;
  switch (stop_detail::TakeSignal(nowMs)) {
    case SignalVerdict::EndNow:
      // Nothing is being changed: end as the signal would have ended the program.
      ::signal(number, SIG_DFL);
      ::raise(number);
      break;
    case SignalVerdict::Warned:
      WriteText(stop_detail::kWarningText, sizeof stop_detail::kWarningText - 1);
      break;
    case SignalVerdict::WindingDown:
      WriteText(stop_detail::kWindingDownText, sizeof stop_detail::kWindingDownText - 1);
      break;
    case SignalVerdict::Stopping:
      WriteText(stop_detail::kStoppingText, sizeof stop_detail::kStoppingText - 1);
      break;
    case SignalVerdict::AlreadyStopping: break;
  }
  errno = savedErrno;
}

}  // namespace

void InstallStopHandlers() {
  if (!stop_detail::FirstInstall()) return;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int number : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(number, &action, nullptr);
}

}  // namespace burnwell::platform
