// What recording costs: rows per second into the station's SQLite file, the time a unit waits
// for its row (each row a durable transaction), and, given a PostgreSQL URL, rows per second
// through the forwarder into the server (from the first row recorded to the last one held
// there). Usage: bench_history FOLDER [URL] [ROWS]   (bench/history-bench.sh starts a server;
// the Windows build takes "" for the URL: it reaches no server)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "history/Recorder.h"
#if BURNWELL_HISTORY_SERVER
#include "history/ServerStore.h"
#endif

namespace {

using namespace burnwell::history;
using Clock = std::chrono::steady_clock;

UnitRecord Unit(int i) {
  UnitRecord record;
  record.command = "update";
  record.bridge = {"BENCH" + std::to_string(i),
                   "1-1." + std::to_string(1 + i % 4),
                   "7e55",
                   "5801",
                   "01020304",
                   "spi",
                   0xB800};
  record.file = {"ZQ5x8x.hex", "hex", "65da", "", 0x4000};
  record.result = UnitResult::Updated;
  record.flashBefore = "1234";
  record.flashAfter = "65da";
  record.passes = 1;
  record.phaseSeconds.fill(0.25);
  record.seconds = 1.75;
  return record;
}

double Millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

int ServerRows(const std::string& url) {
#if BURNWELL_HISTORY_SERVER
  std::string error;
  const auto server = ServerStore::Connect(url, error);
  const auto units = server ? server->Find({}, error) : std::nullopt;
  return units ? static_cast<int>(units->size()) : -1;
#else
  (void)url;
  return -1;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_history FOLDER [URL] [ROWS]\n");
    return 2;
  }
  const std::string folder = argv[1];
  const std::string url = argc > 2 ? argv[2] : "";
  const int rows = argc > 3 ? std::atoi(argv[3]) : 2000;
  auto warn = [](const std::string& line) { std::fprintf(stderr, "warning: %s\n", line.c_str()); };

  {
    Recorder recorder({{folder + "/alone.db"}, false, "bench"}, "bench_history", warn);
    std::vector<double> waits;
    const auto start = Clock::now();
    for (int i = 0; i < rows; ++i) {
      UnitRecord unit = Unit(i);
      const auto before = Clock::now();
      if (!recorder.Record(unit)) return 1;
      waits.push_back(Millis(Clock::now() - before));
    }
    const double seconds = Millis(Clock::now() - start) / 1000;
    std::sort(waits.begin(), waits.end());
    std::printf("sqlite: %d rows in %.2f s: %.0f rows/s\n", rows, seconds, rows / seconds);
    std::printf(
        "sqlite: a unit waits for its row: median %.2f ms, p99 %.2f ms, max %.2f ms (goal <= 5 "
        "ms)\n",
        waits[waits.size() / 2], waits[waits.size() * 99 / 100], waits.back());
  }
  if (url.empty()) return 0;

  const int before = ServerRows(url);
  const auto start = Clock::now();
  {
    Recorder recorder({{folder + "/forwarded.db", url}, false, "bench"}, "bench_history", warn);
    for (int i = 0; i < rows; ++i) {
      UnitRecord unit = Unit(i);
      if (!recorder.Record(unit)) return 1;
    }
  }  // waits for the forwarder
  const double seconds = Millis(Clock::now() - start) / 1000;
  const int arrived = ServerRows(url) - before;
  std::printf("forwarder: %d rows into PostgreSQL in %.2f s: %.0f rows/s (%d arrived)\n", rows,
              seconds, rows / seconds, arrived);
  return arrived == rows ? 0 : 1;
}
