#include "sim/CommandLine.h"

#include <gtest/gtest.h>

namespace burnwell::sim {
namespace {

std::optional<SimCommandLine> Parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string ignored;
  return ParseSimCommandLine(args, error ? error : &ignored);
}

TEST(SimCommandLine, ServeWithEveryOption) {
  auto line =
      Parse({"serve",        "--socket",     "/tmp/s",   "--chip",      "sst25vf010a", "--image",
             "flash.bin",    "--trace-scsi", "scsi.txt", "--trace-spi", "spi.txt",     "--fault",
             "fail:3:check", "--latency-us", "0",        "--pid",       "0x5802",      "--firmware",
             "0x01000200",   "--serial",     "ABC123"});
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
  for (const char* word : {"list-chips", "serve", "--socket", "--chip", "--eeprom", "--image",
                           "--trace-scsi", "--trace-spi", "--fault", "--latency-us", "--pid",
                           "--firmware", "--serial", "fail-opcode"}) {
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
      {"--chip", "M25P05"},                             // bridge options without a command
      {"list-chips", "--chip", "M25P05"},               // list-chips emulates no bridge
      {"--machine", "lab.machine"},                     // a machine without -- COMMAND
      {"--pid", "0x5801", "--"},                        // -- without a command
      {"serve", "--", "true"},                          // a command and a machine at once
      {"--machine", "m", "--pid", "3", "--", "true"},   // the machine file describes the bridges
      {"usbip", "--machine", "m", "--chip", "M25P05"},  // likewise for usbip
      {"usbip", "--port", "70000"},                     // not a TCP port
      {"usbip", "--port", "0"},
      {"usbip", "--socket", "/tmp/x"},  // usbip listens on --port
  };
  for (const auto& args : bad) {
    std::string error;
    EXPECT_FALSE(Parse(args, &error)) << (args.empty() ? "" : args.back());
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;  // one line, naming the help to read
    EXPECT_NE(error.find(" --help')"), std::string::npos) << error;
  }
}

TEST(SimCommandLine, MachineModeAndOptionsOnEitherSideOfTheCommand) {
  struct Case {
    std::vector<std::string> args;
    SimCommandLine::Command command;
    std::vector<std::string> machineCommand;
  };
  const Case cases[] = {
      // What follows -- is the command's, --help included.
      {{"--eeprom", "256", "--", "burnwell-tool", "list", "--help"},
       SimCommandLine::Command::Machine,
       {"burnwell-tool", "list", "--help"}},
      {{"--machine", "lab.machine", "--", "true"}, SimCommandLine::Command::Machine, {"true"}},
      {{"--chip", "M25P05", "serve", "--latency-us", "0x10"}, SimCommandLine::Command::Serve, {}},
      {{"serve", "--version"}, SimCommandLine::Command::Help, {}},
      {{"--chip", "M25P05", "usbip", "--port", "4000", "--image", "mem.bin"},
       SimCommandLine::Command::Usbip,
       {}},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto line = Parse(c.args, &error);
    ASSERT_TRUE(line) << c.args.front() << ": " << error;
    EXPECT_EQ(line->command, c.command) << c.args.front();
    EXPECT_EQ(line->machineCommand, c.machineCommand);
  }
  const auto serve = Parse({"--chip", "M25P05", "serve", "--latency-us", "0x10"});
  EXPECT_EQ(serve->bridge.chip, "M25P05");
  EXPECT_EQ(serve->bridge.latencyUs, 16u);
  EXPECT_EQ(Parse({"--machine", "lab.machine", "--", "true"})->machinePath, "lab.machine");
  const auto usbip = Parse({"--chip", "M25P05", "usbip", "--port", "4000", "--image", "mem.bin"});
  EXPECT_EQ(usbip->usbipPort, 4000);
  EXPECT_EQ(usbip->bridge.chip, "M25P05");
  EXPECT_EQ(usbip->imagePath, "mem.bin");
  EXPECT_EQ(Parse({"usbip", "--machine", "lab.machine"})->machinePath, "lab.machine");
  EXPECT_EQ(Parse({"--version"})->text.rfind("burnwell-sim ", 0), 0u);
}

}  // namespace
}  // namespace burnwell::sim
