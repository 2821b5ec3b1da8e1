#include "sim/Trace.h"

#include <algorithm>

#include "common/Hex.h"

namespace burnwell::sim {

std::string ScsiTraceLine(std::span<const std::uint8_t> cdb, TraceDirection direction,
                          std::span<const std::uint8_t> data, TraceStatus status) {
  constexpr std::size_t kShown = 32;
  std::string line = HexBytes(cdb) + " | ";
  switch (direction) {
    case TraceDirection::None: line += "none"; break;
    case TraceDirection::Out:
    case TraceDirection::In:
      line += direction == TraceDirection::Out ? "out" : "in";
      if (!data.empty()) line += ' ' + HexBytes(data.first(std::min(kShown, data.size())));
      if (data.size() > kShown) line += " ... " + std::to_string(data.size());
      break;
  }
  line += " | ";
  line += status == TraceStatus::Good ? "GOOD" : status == TraceStatus::Check ? "CHECK" : "FAIL";
  return line;
}

std::string SpiTraceLine(std::span<const std::uint8_t> written,
                         std::span<const std::uint8_t> read) {
  if (written.empty() && read.empty()) return {};
  std::string line = HexBytes(written);
  if (!read.empty()) line += (written.empty() ? "> " : " > ") + HexBytes(read);
  return line;
}

}  // namespace burnwell::sim
