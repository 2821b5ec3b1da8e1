#include "ui/terminal/UpdateProgress.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/Clock.h"
#include "platform/Seam.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace burnwell::ui {
namespace {

std::string Fixed1(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string KiB(std::uint64_t bytes) { return Fixed1(static_cast<double>(bytes) / 1024.0); }

std::string Duration(double seconds) {
  const long total = std::lround(std::max(0.0, seconds));
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  return text;
}

std::uint64_t NowUs() { return platform::Current<platform::Clock>().NowUs(); }

}  // namespace

std::string UpdateProgressLine(const UpdateProgressState& s, int width) {
  const std::string percent = std::to_string(std::clamp(s.percent, 0, 100)) + "%";
  // Always shown: the phase and the percentage. The rest in the order it is given up.
  std::string head = s.phase + " " + percent;
  std::string passText;
  if (s.pass > 1)
    passText = "pass " + std::to_string(s.pass) + " of " + std::to_string(s.maxPasses);
  struct Part {
    std::string text;
    int keep;  // higher stays longer
  };
  std::vector<Part> parts;
  if (!passText.empty()) parts.push_back({passText, 5});
  if (s.secondsLeft >= 0) parts.push_back({Duration(s.secondsLeft) + " left", 4});
  if (s.bytesTotal > 0) parts.push_back({KiB(s.bytesDone) + "/" + KiB(s.bytesTotal) + " KiB", 3});
  if (s.bytesPerSecond > 0)
    parts.push_back({KiB(static_cast<std::uint64_t>(s.bytesPerSecond)) + " KiB/s", 2});
  if (!s.reason.empty()) parts.push_back({"(" + s.reason + ")", 1});

  auto compose = [&](const std::vector<Part>& kept, int barWidth) {
    std::string line = head;
    if (barWidth > 0) {
      const int filled = std::clamp(s.percent, 0, 100) * barWidth / 100;
      line = s.phase + " [" + std::string(filled, '#') + std::string(barWidth - filled, '-') +
             "] " + percent;
    }
    for (const Part& part : kept) line += "  " + part.text;
    return line;
  };
  constexpr int kMinBar = 10;
  constexpr int kMaxBar = 30;
  constexpr int kBarDecoration = 3;  // " [" and "]"
  std::vector<Part> kept = parts;
  for (;;) {
    const int rest = width - static_cast<int>(compose(kept, 0).size());
    if (rest >= kMinBar + kBarDecoration)
      return compose(kept, std::min(kMaxBar, rest - kBarDecoration));
    if (kept.empty()) break;
    // Give up the least useful part still shown.
    kept.erase(std::min_element(kept.begin(), kept.end(),
                                [](const Part& a, const Part& b) { return a.keep < b.keep; }));
  }
  return head.substr(0, static_cast<std::size_t>(std::max(0, width)));
}

int TerminalColumns(std::FILE* out) {
#if defined(_WIN32)
  CONSOLE_SCREEN_BUFFER_INFO info{};
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
  if (!::GetConsoleScreenBufferInfo(handle, &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
#else
  winsize size{};
  if (::ioctl(fileno(out), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
#endif
}

void UpdateProgress::StartPhase(const std::string& name, double start, double share,
                                std::uint64_t bytes, int pass, int maxPasses,
                                const std::string& reason) {
  std::lock_guard lock(mutex_);
  const std::uint64_t now = NowUs();
  if (pass != state_.pass || !active_) passStartUs_ = now;
  phaseStartUs_ = now;
  active_ = true;
  start_ = start;
  share_ = share;
  bar_ = ProgressState{};
  state_.phase = name;
  state_.bytesTotal = bytes;
  state_.bytesDone = 0;
  state_.bytesPerSecond = 0;
  state_.pass = pass;
  state_.maxPasses = maxPasses;
  state_.reason = reason;
  state_.percent = static_cast<int>(start * 100);
  DrawLocked();
}

void UpdateProgress::Clear() {
  std::lock_guard lock(mutex_);
  if (out_ && interactive_ && drawn_) {
    std::fputs("\r\033[K", out_);
    std::fflush(out_);
  }
  drawn_ = false;
}

bool UpdateProgress::Post(WindowHandle window, std::uint32_t message, WParam wParam,
                          LParam lParam) {
  if (window != kHandle) return false;
  Send(window, message, wParam, lParam);
  return true;
}

LResult UpdateProgress::Send(WindowHandle window, std::uint32_t message, WParam wParam,
                             LParam lParam) {
  if (window != kHandle) return 0;
  std::lock_guard lock(mutex_);
  const LResult result = ApplyProgressMessage(bar_, message, wParam, lParam);
  if (!active_) return result;
  const int span = bar_.maximum - bar_.minimum;
  const double inPhase =
      span > 0 ? std::clamp(static_cast<double>(bar_.position - bar_.minimum) / span, 0.0, 1.0)
               : 0.0;
  const double whole = std::clamp(start_ + share_ * inPhase, 0.0, 1.0);
  // Within a phase the line never goes back: a failed flash routine sets its bar to 0, and a
  // phase of several operations (code, then marker) starts each one at 0.
  if (static_cast<int>(whole * 100) < state_.percent) return result;
  state_.percent = static_cast<int>(whole * 100);
  state_.bytesDone = static_cast<std::uint64_t>(inPhase * static_cast<double>(state_.bytesTotal));
  const std::uint64_t now = NowUs();
  const double phaseSeconds = static_cast<double>(now - phaseStartUs_) / 1e6;
  if (phaseSeconds > 0 && state_.bytesDone > 0)
    state_.bytesPerSecond = static_cast<double>(state_.bytesDone) / phaseSeconds;
  const double passSeconds = static_cast<double>(now - passStartUs_) / 1e6;
  state_.secondsLeft = whole > 0.02 && passSeconds > 0 ? passSeconds * (1 - whole) / whole : -1;
  DrawLocked();
  return result;
}

void UpdateProgress::DrawLocked() {
  if (follow_) {
    follow_(state_);
    return;
  }
  if (interactive_) {
    const int columns = TerminalColumns(out_);
    // One column short of the width, so that the cursor never wraps to a new line.
    const int width = std::max(10, (columns > 0 ? columns : 80) - 1);
    std::fputs(("\r" + UpdateProgressLine(state_, width) + "\033[K").c_str(), out_);
    std::fflush(out_);
    drawn_ = true;
    return;
  }
  const int tenth = state_.percent / 10;
  if (tenth == lastTenth_) return;
  lastTenth_ = tenth;
  std::fputs(("progress: " + UpdateProgressLine(state_, 1000) + "\n").c_str(), out_);
  std::fflush(out_);
}

}  // namespace burnwell::ui
