#include "sim/Trace.h"

#include <gtest/gtest.h>

#include <vector>

namespace burnwell::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ScsiTraceLine, ShowsAtMost32DataBytesThenTheCount) {
  const Bytes cdb = {0x28, 0, 0, 0x12, 0x34, 0x56, 0, 0, 2, 0};
  Bytes data(1024);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  const std::string line = ScsiTraceLine(cdb, TraceDirection::In, data, TraceStatus::Good);
  EXPECT_EQ(line,
            "28 00 00 12 34 56 00 00 02 00 | in 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 "
            "11 12 13 14 15 "
            "16 17 18 19 1A 1B 1C 1D 1E 1F ... 1024 | GOOD");
  const Bytes exactly(32, 0xAB);
  EXPECT_EQ(
      ScsiTraceLine(Bytes{0xD5}, TraceDirection::Out, exactly, TraceStatus::Check).find("..."),
      std::string::npos);
}

TEST(ScsiTraceLine, NoDataAndLostCommands) {
  EXPECT_EQ(ScsiTraceLine(Bytes{0xD4, 0x00}, TraceDirection::None, {}, TraceStatus::Good),
            "D4 00 | none | GOOD");
  EXPECT_EQ(ScsiTraceLine(Bytes{0xD0}, TraceDirection::In, {}, TraceStatus::Fail),
            "D0 | in | FAIL");
}

TEST(SpiTraceLine, WrittenThenReadBytes) {
  EXPECT_EQ(SpiTraceLine(Bytes{0x9F}, Bytes{0xC2, 0x20, 0x11}), "9F > C2 20 11");
  EXPECT_EQ(SpiTraceLine(Bytes{0x06}, {}), "06");
  EXPECT_EQ(SpiTraceLine({}, Bytes{0xFF}), "> FF");
  EXPECT_EQ(SpiTraceLine({}, {}), "");
}

}  // namespace
}  // namespace burnwell::sim
