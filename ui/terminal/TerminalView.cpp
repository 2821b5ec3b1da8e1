#include "ui/terminal/TerminalView.h"

#include <algorithm>
#include <cctype>

#if defined(_WIN32)
#include <io.h>
#define BURNWELL_ISATTY _isatty
#define BURNWELL_FILENO _fileno
#else
#include <unistd.h>
#define BURNWELL_ISATTY isatty
#define BURNWELL_FILENO fileno
#endif

namespace burnwell::ui {
namespace {

std::string WithoutTrailingNewlines(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

int Percent(const ProgressState& state) {
  const int span = state.maximum - state.minimum;
  if (span <= 0) return 0;
  return std::clamp((state.position - state.minimum) * 100 / span, 0, 100);
}

}  // namespace

TerminalView::TerminalView(std::FILE* out, std::FILE* in, bool interactive)
    : out_(out), in_(in), interactive_(interactive) {}

TerminalView TerminalView::Standard() {
  return TerminalView(stdout, stdin, BURNWELL_ISATTY(BURNWELL_FILENO(stdout)) != 0);
}

std::string TerminalView::IconWord(std::uint32_t style) {
  switch (style & MB_ICONMASK) {
    case MB_ICONHAND: return "error";
    case MB_ICONEXCLAMATION: return "warning";
    case MB_ICONQUESTION: return "question";
    case MB_ICONASTERISK: return "information";
    default: return "";
  }
}

std::string TerminalView::BarText(const ProgressState& state, int width) {
  const int percent = Percent(state);
  const int filled = percent * width / 100;
  std::string text = "[" + std::string(filled, '#') + std::string(width - filled, '-') + "]";
  std::string number = std::to_string(percent);
  return text + std::string(5 - number.size(), ' ') + number + "%";
}

void TerminalView::ClearBar() {
  if (interactive_ && barDrawn_) {
    std::fputs("\r\033[K", out_);
    barDrawn_ = false;
  }
}

void TerminalView::DrawBar() {
  if (!barVisible_) return;
  if (interactive_) {
    std::fputs(("\r" + BarText(bar_, 40)).c_str(), out_);
    barDrawn_ = true;
  } else {
    // Plain output gets one line per tenth reached, so a log shows the run without flooding.
    const int tenth = Percent(bar_) / 10;
    if (tenth != lastTenth_) {
      lastTenth_ = tenth;
      std::fprintf(out_, "progress %d%%\n", tenth * 10);
    }
  }
  std::fflush(out_);
}

void TerminalView::Line(const std::string& text) {
  ClearBar();
  std::fprintf(out_, "%s\n", WithoutTrailingNewlines(text).c_str());
  DrawBar();
}

void TerminalView::Status(const std::string& text) {
  const std::string line = WithoutTrailingNewlines(text);
  if (!line.empty()) Line(line);
}

void TerminalView::ShowProgress(bool visible) {
  if (visible == barVisible_) return;
  if (!visible) {
    ClearBar();
    barVisible_ = false;
    std::fflush(out_);
    return;
  }
  barVisible_ = true;
  lastTenth_ = -1;
  DrawBar();
}

void TerminalView::Progress(const ProgressState& state) {
  const int before = Percent(bar_);
  bar_ = state;
  // Redrawing on every step of a 3000-step bar would only cost time.
  if (!interactive_ || !barDrawn_ || Percent(bar_) != before) DrawBar();
}

int TerminalView::Message(const std::string& text, const std::string& caption,
                          std::uint32_t style) {
  ClearBar();
  const std::string word = IconWord(style);
  std::string body = text;
  std::replace(body.begin(), body.end(), '\n', ' ');
  std::string prefix =
      word.empty() ? (caption.empty() ? std::string() : caption + ": ") : word + ": ";
  int answer = IDOK;
  if ((style & MB_TYPEMASK) == MB_OKCANCEL) {
    std::fprintf(out_, "%s%s [y/N] ", prefix.c_str(), body.c_str());
    if (assumeYes_) {
      std::fputs("y\n", out_);
    } else {
      std::fflush(out_);
      char reply[64] = {};
      answer = IDCANCEL;
      if (in_ && std::fgets(reply, sizeof reply, in_)) {
        std::string word_ = reply;
        word_.erase(std::remove_if(word_.begin(), word_.end(),
                                   [](unsigned char c) { return std::isspace(c); }),
                    word_.end());
        std::transform(word_.begin(), word_.end(), word_.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        if (word_ == "y" || word_ == "yes") answer = IDOK;
        // A piped answer is not echoed by a terminal: show it, so the log reads as a dialogue.
        if (BURNWELL_ISATTY(BURNWELL_FILENO(in_)) == 0) std::fprintf(out_, "%s\n", word_.c_str());
      } else {
        std::fputs("\n", out_);
      }
    }
  } else {
    std::fprintf(out_, "%s%s\n", prefix.c_str(), body.c_str());
  }
  std::fflush(out_);
  DrawBar();
  return answer;
}

}  // namespace burnwell::ui
