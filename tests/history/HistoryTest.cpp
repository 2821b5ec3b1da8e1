// The history as a station keeps it: every result kind comes back as it was recorded and answers
// the questions asked of it; a file it must not write is left as it is; against a real
// PostgreSQL server (Linux only), rows wait while the server is away and arrive once each when
// it is back, and a row the server refuses is kept and reported.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "history/LocalStore.h"
#include "history/Queries.h"
#include "history/Recorder.h"
#if BURNWELL_HISTORY_SERVER
#include "history/ServerStore.h"
#endif
#include "tests/support/TestSupport.h"

namespace burnwell::history {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

UnitRecord Unit(const std::string& serial, UnitResult result, const std::string& time,
                const std::string& checksum = "65da", const std::string& command = "update") {
  UnitRecord record;
  record.time = time;
  record.command = command;
  record.bridge = {serial, "1-2.1", "7e55", "5801", "01020304", "spi", 0xB800};
  record.file = {"ZQ5x8x.hex", "hex", checksum, "", 0x4000};
  record.flashBefore = "1234";
  record.result = result;
  record.passes = Passed(result) ? 1 : 6;
  if (!Passed(result)) {
    record.error = "Verify failed";
    record.errorCode = 110;
  }
  record.phaseSeconds[static_cast<std::size_t>(app::UpdatePhase::Erase)] = 1.5;
  record.seconds = 4.25;
  return record;
}

struct Warnings {
  std::vector<std::string> lines;
  Recorder::Warn Sink() {
    return [this](const std::string& line) { lines.push_back(line); };
  }
};

std::vector<std::string> Serials(const std::vector<StoredUnit>& units) {
  std::vector<std::string> serials;
  for (const StoredUnit& unit : units) serials.push_back(unit.record.bridge.serial);
  return serials;
}

// A path as the command line gives it: UTF-8 on either platform.
std::string Utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

TEST(HistoryFile, KeepsEveryResultKindAndAnswersBySerialFileResultAndTime) {
  test::TempDir dir;
  // In a folder still to be made, named outside ASCII (a user's folder on Windows may be).
  const std::filesystem::path path = dir.Path() / u8"J\u00fcrgen" / "history.db";
  const std::string file = Utf8(path);
  Warnings warnings;
  {
    Recorder recorder({{file}, false, "bench-1"}, "burnwell-tool", warnings.Sink());
    const std::array kinds{UnitResult::Updated, UnitResult::UpToDate,     UnitResult::Refused,
                           UnitResult::Failed,  UnitResult::Disconnected, UnitResult::Stopped,
                           UnitResult::Match,   UnitResult::Differs};
    int minute = 10;
    for (const UnitResult kind : kinds) {
      const bool verify = kind == UnitResult::Match || kind == UnitResult::Differs;
      UnitRecord unit = Unit(std::string("S-") + ResultName(kind), kind,
                             "2026-05-01T08:" + std::to_string(minute++) + ":00.000Z", "65da",
                             verify ? "verify" : "update");
      ASSERT_TRUE(recorder.Record(unit));
    }
    // One unit's story: failed, then updated the next day with another file.
    UnitRecord first = Unit("STORY", UnitResult::Failed, "2026-05-01T09:00:00.000Z");
    UnitRecord second = Unit("STORY", UnitResult::Updated, "2026-05-02T09:00:00.000Z", "abcd");
    ASSERT_TRUE(recorder.Record(first));
    ASSERT_TRUE(recorder.Record(second));
  }
  EXPECT_TRUE(warnings.lines.empty());
  EXPECT_TRUE(std::filesystem::exists(path)) << "the history is not where it was asked to be";

  std::string error;
  const auto all = FindUnits({file}, {}, error);
  ASSERT_TRUE(all) << error;
  ASSERT_EQ(all->size(), 10u);
  EXPECT_EQ(all->front().record.bridge.serial, "STORY");  // newest first
  for (const StoredUnit& unit : *all) {
    const UnitRecord expected =
        Unit(unit.record.bridge.serial, unit.record.result, unit.record.time,
             unit.record.file.checksum, unit.record.command);
    EXPECT_EQ(ToJson(unit.record).dump(), [&] {
      UnitRecord stamped = expected;
      stamped.station = "bench-1";
      stamped.program = "burnwell-tool";
      stamped.version = unit.record.version;
      return ToJson(stamped).dump();
    }()) << "a row does not give back the record it was made of";
  }

  HistoryFilter bySerial;
  bySerial.serial = "STORY";
  const auto story = FindUnits({file}, bySerial, error);
  ASSERT_TRUE(story) << error;
  ASSERT_EQ(story->size(), 2u);
  EXPECT_EQ(story->at(0).record.result, UnitResult::Updated);
  EXPECT_EQ(story->at(1).record.result, UnitResult::Failed);

  HistoryFilter byFile;
  byFile.checksum = "abcd";
  EXPECT_THAT(Serials(*FindUnits({file}, byFile, error)), ElementsAre("STORY"));

  HistoryFilter byResultAndTime;
  byResultAndTime.result = "failed";
  byResultAndTime.since = ParseTime("2026-05-01T08:30", false);
  byResultAndTime.until = ParseTime("2026-05-01", true);
  EXPECT_THAT(Serials(*FindUnits({file}, byResultAndTime, error)), ElementsAre("STORY"));

  // First-pass yield on 1 May: six bridges tried by update, three passed at once
  // (updated, up to date); the verifies are counted but are no tries.
  const std::vector<SummaryLine> summary = Summarise(*all);
  ASSERT_EQ(summary.size(), 2u);
  EXPECT_EQ(summary[0].day, "2026-05-01");
  EXPECT_EQ(summary[0].rows, 9);
  EXPECT_EQ(summary[0].units, 7);
  EXPECT_EQ(summary[0].firstPass, 2);
  EXPECT_EQ(summary[0].results.at("match"), 1);
  EXPECT_EQ(summary[1].units, 1);
  EXPECT_EQ(summary[1].firstPass, 1);
}

std::string Contents(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(HistoryFile, RefusesWhatItMustNotWriteAndLeavesItUnchanged) {
  test::TempDir dir;
  const std::filesystem::path newer = dir / "newer.db";
  {
    Recorder made({{newer.string()}, false, ""}, "burnwell-tool", [](const std::string&) {});
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(newer.string().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "PRAGMA wal_checkpoint(TRUNCATE); PRAGMA journal_mode=DELETE; "
                         "PRAGMA user_version=2",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  const std::filesystem::path other = dir / "other.db";
  ASSERT_EQ(sqlite3_open(other.string().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE orders (id INTEGER)", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  const std::filesystem::path garbage = dir / "garbage.db";
  test::WriteFile(garbage, std::string(4096, 'x'));

  const std::vector<std::pair<std::filesystem::path, std::string>> cases{
      {newer, "written by a newer Burnwell (history layout 2"},
      {other, "another program's database"},
      {garbage, "not a database"}};
  for (const auto& [path, why] : cases) {
    const std::string before = Contents(path);
    Warnings warnings;
    {
      Recorder recorder({{path.string()}, false, ""}, "burnwell-tool", warnings.Sink());
      UnitRecord unit = Unit("S1", UnitResult::Updated, "");
      EXPECT_FALSE(recorder.Record(unit));
    }
    ASSERT_EQ(warnings.lines.size(), 2u) << path;
    EXPECT_THAT(warnings.lines[0], HasSubstr(why));
    EXPECT_THAT(warnings.lines[1], HasSubstr("the record of bridge S1 (updated) is missing"));
    EXPECT_EQ(Contents(path), before) << path << " was changed";
    EXPECT_FALSE(std::filesystem::exists(path.string() + "-wal")) << path;
  }
}

#if BURNWELL_HISTORY_SERVER
// A PostgreSQL server of the test's own (scripts/postgres-scratch.sh), stopped at the end.
class ScratchServer {
 public:
  ScratchServer() {
    url_ = Run("start").value_or("");
    started_ = !url_.empty();
  }
  ~ScratchServer() {
    if (started_) Run("stop");
    std::filesystem::remove_all(dir_.Path() / "pg");
  }
  const std::string& Url() const { return url_; }
  bool Stop() {
    started_ = !Run("stop");
    return !started_;
  }
  bool Restart() { return started_ = Run("restart").has_value(); }

  // Waits (polling, a minute at most) until the server holds `count` rows.
  bool Holds(std::size_t count) {
    for (int i = 0; i < 600; ++i) {
      if (Rows().size() >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  // Rows the server holds, oldest row number first: "id:serial".
  std::vector<std::string> Rows() {
    std::string error;
    const auto server = ServerStore::Connect(url_, error);
    EXPECT_TRUE(server) << error;
    if (!server) return {};
    const auto units = server->Find({}, error);
    EXPECT_TRUE(units) << error;
    std::vector<std::string> rows;
    for (auto it = units->rbegin(); it != units->rend(); ++it)
      rows.push_back(std::to_string(it->id) + ":" + it->record.bridge.serial);
    return rows;
  }
  bool Sql(const std::string& statement) {
    return Run("", "psql -qtA -d '" + url_ + "' -c \"" + statement + "\"").has_value();
  }

 private:
  // The command's output; nothing when it failed.
  std::optional<std::string> Run(const std::string& action, const std::string& command = "") {
    const std::string line = command.empty() ? std::string(BURNWELL_SOURCE_DIR) +
                                                   "/scripts/postgres-scratch.sh " + action + " " +
                                                   (dir_.Path() / "pg").string()
                                             : command;
    std::string out;
    if (FILE* pipe = ::popen(line.c_str(), "r")) {
      char buffer[512];
      while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
      if (::pclose(pipe) != 0) return std::nullopt;
    } else {
      return std::nullopt;
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  test::TempDir dir_;
  std::string url_;
  bool started_ = false;
};

TEST(HistoryServer, RowsWaitWhileTheServerIsAwayAndArriveOnceEachInOrder) {
  ScratchServer server;
  ASSERT_FALSE(server.Url().empty()) << "the scratch PostgreSQL server did not start";
  test::TempDir dir;
  const std::string file = (dir / "station.db").string();
  const HistoryOptions options{{file, server.Url()}, false, "bench-1"};
  auto record = [](Recorder& recorder, int from, int to) {
    for (int i = from; i < to; ++i) {
      UnitRecord unit = Unit("U" + std::to_string(i), UnitResult::Updated, "");
      ASSERT_TRUE(recorder.Record(unit));
    }
  };
  std::vector<std::string> expected;
  for (int i = 1; i <= 30; ++i) expected.push_back(std::to_string(i) + ":U" + std::to_string(i));

  Warnings warnings;
  // Programs that record nothing more, until nothing waits: each sends what waits there.
  auto sendWaiting = [&] {
    std::string error;
    for (int i = 0; i < 30; ++i) {
      const auto waiting = PendingUnits({file}, error);
      if (waiting && std::none_of(waiting->begin(), waiting->end(),
                                  [](const WaitingUnit& unit) { return unit.rejected.empty(); }))
        return;
      Recorder next(options, "burnwell-tool", warnings.Sink());
    }
  };

  {
    Recorder recorder(options, "burnwell-tool", warnings.Sink());
    record(recorder, 1, 11);
    ASSERT_TRUE(server.Holds(10));
    ASSERT_TRUE(server.Stop());
    record(recorder, 11, 21);  // committed locally at once, the server away
  }
  EXPECT_THAT(warnings.lines.back(), HasSubstr("10 row(s) wait in"));
  std::string error;
  const auto waiting = PendingUnits({file}, error);
  ASSERT_TRUE(waiting) << error;
  EXPECT_EQ(waiting->size(), 10u);

  // The next program recording there sends what waited, then its own rows, in order.
  ASSERT_TRUE(server.Restart());
  {
    Recorder recorder(options, "burnwell-tool", [](const std::string&) {});
    record(recorder, 21, 31);
  }
  sendWaiting();
  EXPECT_EQ(server.Rows(), expected);

  // A row the server refuses for its own values is kept, marked and reported; the rows after it
  // still go.
  ASSERT_TRUE(
      server.Sql("ALTER TABLE burnwell_units ADD CONSTRAINT no_u31 CHECK (serial <> 'U31')"));
  warnings.lines.clear();
  {
    Recorder recorder(options, "burnwell-tool", warnings.Sink());
    record(recorder, 31, 33);
  }
  sendWaiting();
  expected.push_back("32:U32");
  EXPECT_EQ(server.Rows(), expected);
  EXPECT_THAT(warnings.lines, Contains(HasSubstr("refused row 31 (serial U31")));
  const auto refused = PendingUnits({file}, error);
  ASSERT_TRUE(refused) << error;
  ASSERT_EQ(refused->size(), 1u);
  EXPECT_THAT(refused->front().rejected, HasSubstr("no_u31"));
}

#endif

}  // namespace
}  // namespace burnwell::history
