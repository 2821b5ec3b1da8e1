// Running commands on an emulated machine: what the command sees, its exit status, and what
// is left behind (nothing but image files and traces).
#include "sim/machine/MachineRunner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "tests/support/TestSupport.h"

namespace burnwell::sim::machine {
namespace {

std::vector<std::string> Shell(const std::string& script) { return {"/bin/sh", "-c", script}; }

MachineDescription OneBridge() {
  MachineDescription machine;
  machine.bridges.emplace_back();
  machine.bridges[0].cdrom = CdRomUnit::AutoRun;
  return machine;
}

TEST(MachineRunner, CommandSeesTheSystemRootAndTheRelay) {
  test::TempDir work;
  const std::filesystem::path seen = work / "root.txt";
  std::ostringstream err;
  const int status =
      RunOnMachine(OneBridge(),
                   Shell("test -e \"$BURNWELL_SYSROOT/sys/class/scsi_generic/sg1/device/type\" && "
                         "test -e \"$BURNWELL_SYSROOT/dev/sg0\" && "
                         "test -S \"$BURNWELL_SYSROOT/run/burnwell/DeviceIoControlPipe\" && "
                         "echo \"$BURNWELL_SYSROOT\" > '" +
                         seen.string() + "'"),
                   err);
  EXPECT_EQ(status, 0) << err.str();
  const auto bytes = test::ReadFile(seen);
  std::string root(bytes.begin(), bytes.end());
  while (!root.empty() && root.back() == '\n') root.pop_back();
  ASSERT_FALSE(root.empty());
  EXPECT_FALSE(std::filesystem::exists(root));          // removed at the end
  EXPECT_EQ(std::getenv("BURNWELL_SYSROOT"), nullptr);  // not left set in this process
}

TEST(MachineRunner, EndsWithTheCommandsStatus) {
  std::ostringstream err;
  EXPECT_EQ(RunOnMachine(OneBridge(), Shell("exit 7"), err), 7);
  EXPECT_EQ(RunOnMachine(OneBridge(), Shell("kill -TERM $$"), err), 128 + 15);
  EXPECT_EQ(RunOnMachine(OneBridge(), {"/nonexistent/burnwell-command"}, err), 127);
  EXPECT_EQ(RunOnMachine(OneBridge(), {}, err), 1);
}

TEST(MachineRunner, ImageIsLoadedAndWrittenBack) {
  test::TempDir work;
  MachineDescription machine = OneBridge();
  machine.bridges[0].image = work / "memory.bin";
  machine.bridges[0].config.eeprom = EepromKind::Small256;
  std::vector<std::uint8_t> contents(256);
  for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<std::uint8_t>(i * 7);
  test::WriteFile(work / "memory.bin", contents);

  std::ostringstream err;
  ASSERT_EQ(RunOnMachine(machine, Shell("true"), err), 0) << err.str();
  EXPECT_EQ(test::ReadFile(work / "memory.bin"), contents);

  // Without the file the bridge starts from its factory image, which is then saved.
  std::filesystem::remove(work / "memory.bin");
  ASSERT_EQ(RunOnMachine(machine, Shell("true"), err), 0) << err.str();
  EXPECT_EQ(test::ReadFile(work / "memory.bin").size(), 256u);
}

TEST(MachineRunner, MachineThatCannotBeBuiltRunsNothing) {
  test::TempDir work;
  MachineDescription machine = OneBridge();
  machine.bridges[0].config.eeprom = EepromKind::Small256;
  machine.bridges[0].image = work / "big.bin";
  test::WriteFile(work / "big.bin",
                  std::vector<std::uint8_t>(4096, 0xAB));  // larger than the EEPROM
  const std::filesystem::path marker = work / "ran";
  std::ostringstream err;
  EXPECT_EQ(RunOnMachine(machine, Shell("touch '" + marker.string() + "'"), err), 1);
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_NE(err.str().find("cannot build the machine"), std::string::npos);
  EXPECT_EQ(test::ReadFile(work / "big.bin").size(), 4096u);  // the user's file is untouched
}

}  // namespace
}  // namespace burnwell::sim::machine
