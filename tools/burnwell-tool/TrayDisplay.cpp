#include "tools/burnwell-tool/TrayDisplay.h"

#include <algorithm>

#include "platform/WinNames.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace burnwell::tool {

bool IsTerminal(std::FILE* stream) {
#ifdef _WIN32
  return _isatty(_fileno(stream)) != 0;
#else
  return ::isatty(::fileno(stream)) != 0;
#endif
}

// Progress windows are numbered from here, one per bridge.
constexpr platform::WindowHandle kFirstWindow = 0x7E5500;

struct TrayDisplay::Line {
  platform::WindowHandle window = 0;
  std::string name;
  std::string phase = "waiting";
  int pass = 0;
  std::uint32_t barMaximum = 0;
  std::uint32_t barPosition = 0;
  int percent = -1;  // -1: no bar in this phase
  std::unique_ptr<app::UpdateObserver> observer;
};

class TrayDisplay::LineObserver final : public app::UpdateObserver {
 public:
  LineObserver(TrayDisplay& display, Line& line) : display_(display), line_(line) {}
  void PhaseStarted(app::UpdatePhase phase, int pass) override {
    std::lock_guard lock(display_.mutex_);
    line_.phase = app::PhaseName(phase);
    line_.pass = pass;
    line_.percent = -1;
    display_.Changed(line_, true,
                     line_.phase + (pass ? " (pass " + std::to_string(pass) + ")" : ""));
  }
  void PassFailed(int pass, app::MessageId, const std::string& text) override {
    std::lock_guard lock(display_.mutex_);
    std::string flat = text;
    std::replace(flat.begin(), flat.end(), '\n', ' ');
    display_.Changed(line_, true, "pass " + std::to_string(pass) + " failed: " + flat);
  }

 private:
  TrayDisplay& display_;
  Line& line_;
};

TrayDisplay::TrayDisplay(std::FILE* out, bool redraw) : out_(out), redraw_(redraw) {}

TrayDisplay::~TrayDisplay() = default;

platform::WindowHandle TrayDisplay::AddBridge(const std::string& name) {
  std::lock_guard lock(mutex_);
  auto line = std::make_unique<Line>();
  line->window = kFirstWindow + lines_.size();
  line->name = name;
  line->observer = std::make_unique<LineObserver>(*this, *line);
  byWindow_[line->window] = line.get();
  lines_.push_back(std::move(line));
  return lines_.back()->window;
}

app::UpdateObserver& TrayDisplay::Observer(platform::WindowHandle window) {
  std::lock_guard lock(mutex_);
  return *byWindow_.at(window)->observer;
}

void TrayDisplay::Finished(platform::WindowHandle window, const BridgeResult& result) {
  std::lock_guard lock(mutex_);
  Line& line = *byWindow_.at(window);
  line.phase = OutcomeName(result.outcome);
  line.percent = -1;
  std::string text = line.phase;
  if (result.outcome == BridgeOutcome::Failed && !result.report.errorText.empty()) {
    std::string flat = result.report.errorText;
    std::replace(flat.begin(), flat.end(), '\n', ' ');
    text += ": " + flat;
    line.phase = text;
  }
  Changed(line, true, text);
}

void TrayDisplay::Changed(Line& line, bool event, const std::string& eventText) {
  if (redraw_) {
    Redraw();
  } else if (event) {
    std::fprintf(out_, "%s: %s\n", line.name.c_str(), eventText.c_str());
    std::fflush(out_);
  }
}

void TrayDisplay::Redraw() {
  if (drawn_) std::fprintf(out_, "\x1b[%uA", static_cast<unsigned>(lines_.size()));
  for (const auto& line : lines_) {
    std::string text = line->name + "  " + line->phase;
    if (line->pass > 0 && line->percent >= 0) text += "  pass " + std::to_string(line->pass);
    if (line->percent >= 0) text += "  " + std::to_string(line->percent) + "%";
    std::fprintf(out_, "\r\x1b[K%s\n", text.c_str());
  }
  drawn_ = true;
  std::fflush(out_);
}

bool TrayDisplay::Post(platform::WindowHandle window, std::uint32_t message,
                       platform::WParam wParam, platform::LParam lParam) {
  std::lock_guard lock(mutex_);
  const auto found = byWindow_.find(window);
  if (found == byWindow_.end()) return false;
  Line& line = *found->second;
  switch (message) {
    case PBM_SETRANGE:
      line.barMaximum = static_cast<std::uint32_t>(lParam >> 16) & 0xFFFFu;
      line.barPosition = 0;
      break;
    case PBM_SETPOS: line.barPosition = static_cast<std::uint32_t>(wParam); break;
    case PBM_STEPIT: ++line.barPosition; break;
    default: return true;
  }
  const int percent = line.barMaximum == 0
                          ? 0
                          : static_cast<int>(std::min<std::uint64_t>(
                                100, std::uint64_t{line.barPosition} * 100 / line.barMaximum));
  if (percent != line.percent) {
    line.percent = percent;
    Changed(line, false, {});
  }
  return true;
}

platform::LResult TrayDisplay::Send(platform::WindowHandle window, std::uint32_t message,
                                    platform::WParam wParam, platform::LParam lParam) {
  Post(window, message, wParam, lParam);
  return 0;
}

}  // namespace burnwell::tool
