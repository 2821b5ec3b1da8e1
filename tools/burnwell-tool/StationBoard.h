// The station's board on a terminal, to be read from across the bench: one row per socket
// (location, serial, state), then the counters, redrawn in place; colour where the terminal
// takes it (not with NO_COLOR or TERM=dumb). Rows are cut to the terminal's width, so that none
// wraps and the redraw finds every row again.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tools/burnwell-tool/StationEvents.h"

namespace burnwell::tool {

// Whether the terminal behind `out` takes the board's escape sequences (on Windows they are
// switched on first); false for anything that is no terminal.
bool BoardFits(std::FILE* out);

class StationBoard final : public StationView {
 public:
  StationBoard(std::FILE* out, std::uint16_t checksum);

  void Arrived(const std::string&, const std::string&, const device::DeviceRecord*,
               std::optional<int>) override {}
  void Started(const std::string&, const std::string&) override {}
  void Progress(const std::string&, const std::string&, const ui::UpdateProgressState&) override {}
  void Finished(const FinishedUnit&) override {}
  void Removed(const std::string&, const std::string&) override {}
  void Show(const std::vector<SocketState>& sockets, const StationCounters& counters,
            bool windingDown) override;
  void Ended(const std::vector<SocketState>& sockets, const StationCounters& counters) override;

 private:
  void Draw(const std::vector<SocketState>& sockets, const std::string& footer);
  std::FILE* out_;
  std::uint16_t checksum_;
  bool colour_;
  std::size_t drawnRows_ = 0;
  std::vector<std::string> lastRows_;
};

}  // namespace burnwell::tool
