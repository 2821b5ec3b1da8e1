#include "sim/CommandLine.h"

#include <gtest/gtest.h>

namespace burnwell::sim {
namespace {

std::optional<SimCommandLine> Parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string ignored;
  return ParseSimCommandLine(args, error ? error : &ignored);
}

TEST(SimCommandLine, ServeWithEveryOption) {
  auto line = Parse({"serve", "--socket", "/tmp/s", "--chip", "sst25vf010a", "--image", "flash.bin", "--trace-scsi",
                     "scsi.txt", "--trace-spi", "spi.txt", "--fault", "fail:3:check", "--latency-us", "0", "--pid",
                     "0x5802", "--firmware", "0x01000200", "--serial", "ABC123"});
  ASSERT_TRUE(line);
  EXPECT_EQ(line->command, SimCommandLine::Command::Serve);
  EXPECT_EQ(line->socketPath, "/tmp/s");
  EXPECT_EQ(line->bridge.chip, "sst25vf010a");
  EXPECT_EQ(line->imagePath, "flash.bin");
  EXPECT_EQ(line->scsiTracePath, "scsi.txt");
  EXPECT_EQ(line->spiTracePath, "spi.txt");
  ASSERT_EQ(line->bridge.faults.failCommands.size(), 1u);
  EXPECT_EQ(line->bridge.latencyUs, 0u);
  EXPECT_EQ(line->bridge.productId, 0x5802);
  EXPECT_EQ(line->bridge.firmwareVersion, 0x01000200u);
  EXPECT_EQ(line->bridge.serial, "ABC123");
}

TEST(SimCommandLine, EepromAndHelp) {
  auto line = Parse({"serve", "--eeprom", "64k"});
  ASSERT_TRUE(line);
  EXPECT_EQ(line->bridge.eeprom, EepromKind::Large64k);
  EXPECT_EQ(Parse({"list-chips", "--help"})->command, SimCommandLine::Command::Help);
  EXPECT_EQ(Parse({"list-chips"})->command, SimCommandLine::Command::ListChips);
  const std::string usage = SimUsage();
  for (const char* word : {"list-chips", "serve", "--socket", "--chip", "--eeprom", "--image", "--trace-scsi",
                           "--trace-spi", "--fault", "--latency-us", "--pid", "--firmware", "--serial", "fail-opcode"}) {
    EXPECT_NE(usage.find(word), std::string::npos) << word;
  }
}

TEST(SimCommandLine, UsageFaultsAreExplained) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"serve", "extra"},
      {"serve", "--chip"},
      {"serve", "--chip", "W99X99"},
      {"serve", "--eeprom", "128"},
      {"serve", "--chip", "M25P16", "--eeprom", "256"},
      {"serve", "--pid", "0x10000"},
      {"serve", "--firmware", "-1"},
      {"serve", "--latency-us", "ten"},
      {"serve", "--serial", ""},
      {"serve", "--fault", "explode"},
      {"list-chips", "--socket", "/tmp/x"},
      {"serve", "--colour", "red"},
  };
  for (const auto& args : bad) {
    std::string error;
    EXPECT_FALSE(Parse(args, &error)) << (args.empty() ? "" : args.back());
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace burnwell::sim
