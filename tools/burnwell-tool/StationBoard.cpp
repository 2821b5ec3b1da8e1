#include "tools/burnwell-tool/StationBoard.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "tools/burnwell-tool/TrayDisplay.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

namespace burnwell::tool {
namespace {

constexpr const char* kReset = "\x1b[0m";
constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kYellow = "\x1b[33m";
constexpr const char* kCyan = "\x1b[36m";
constexpr const char* kDim = "\x1b[2m";

const char* ColourOf(const SocketState& socket) {
  switch (socket.stage) {
    case SocketState::Stage::Empty: return kDim;
    case SocketState::Stage::Checking:
    case SocketState::Stage::Updating: return kCyan;
    case SocketState::Stage::Finished: break;
  }
  if (!socket.finished) return kReset;
  switch (socket.finished->record.result) {
    case history::UnitResult::Updated:
    case history::UnitResult::UpToDate: return kGreen;
    case history::UnitResult::Refused: return kYellow;
    default: break;
  }
  return kRed;
}

bool ColourWanted() {
  const char* noColour = std::getenv("NO_COLOR");
  if (noColour && *noColour) return false;
  const char* term = std::getenv("TERM");
  return !(term && std::strcmp(term, "dumb") == 0);
}

// The row cut to `width` characters (the text is ASCII apart from the serial, cut by bytes).
std::string Fit(std::string row, int width) {
  if (width > 0 && row.size() > static_cast<std::size_t>(width)) row.resize(width);
  return row;
}

}  // namespace

bool BoardFits(std::FILE* out) {
  if (!IsTerminal(out)) return false;
#ifdef _WIN32
  // The console draws escape sequences once asked to; an old console cannot, and gets lines.
  const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
  DWORD mode = 0;
  if (!GetConsoleMode(console, &mode)) return false;
  return SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
  return true;
#endif
}

StationBoard::StationBoard(std::FILE* out, std::uint16_t checksum)
    : out_(out), checksum_(checksum), colour_(ColourWanted()) {}

void StationBoard::Draw(const std::vector<SocketState>& sockets, const std::string& footer) {
  const int columns = ui::TerminalColumns(out_);
  // One column short of the width: the cursor never wraps to a new line.
  const int width = std::max(20, (columns > 0 ? columns : 80) - 1);
  std::vector<std::string> rows;
  std::vector<const char*> colours;
  char head[128];
  std::snprintf(head, sizeof head, "%-12s %-18s %s", "socket", "serial", "state");
  rows.push_back(Fit(head, width));
  colours.push_back(nullptr);
  for (const SocketState& socket : sockets) {
    char start[64];
    std::snprintf(start, sizeof start, "%-12s %-18s ", socket.location.c_str(),
                  socket.serial.empty() ? "-" : socket.serial.c_str());
    rows.push_back(Fit(start + SocketStateText(socket, checksum_), width));
    colours.push_back(ColourOf(socket));
  }
  rows.push_back(Fit(footer, width));
  colours.push_back(nullptr);
  if (rows == lastRows_) return;  // nothing changed: no flicker

  std::string text;
  if (drawnRows_ > 0) text += "\x1b[" + std::to_string(drawnRows_) + "A";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    text += "\r\x1b[K";
    if (colour_ && colours[i]) {
      text += colours[i] + rows[i] + kReset;
    } else {
      text += rows[i];
    }
    text += "\n";
  }
  // Rows of a longer board drawn before are cleared.
  for (std::size_t i = rows.size(); i < drawnRows_; ++i) text += "\r\x1b[K\n";
  const std::size_t extra = drawnRows_ > rows.size() ? drawnRows_ - rows.size() : 0;
  if (extra > 0) text += "\x1b[" + std::to_string(extra) + "A";
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
  drawnRows_ = rows.size();
  lastRows_ = std::move(rows);
}

void StationBoard::Show(const std::vector<SocketState>& sockets, const StationCounters& counters,
                        bool windingDown) {
  Draw(sockets, CountersText(counters) +
                    (windingDown ? "   taking no new units" : "   Ctrl-C: take no new units"));
}

void StationBoard::Ended(const std::vector<SocketState>& sockets, const StationCounters& counters) {
  Draw(sockets, "station stopped: " + CountersText(counters));
}

}  // namespace burnwell::tool
