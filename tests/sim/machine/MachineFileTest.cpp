// Reading machine files: what each item builds, and the faults a user makes in one.
#include "sim/machine/MachineFile.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace burnwell::sim::machine {
namespace {

std::string ErrorOf(const char* text) {
  try {
    ParseMachineText(text);
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "(accepted)";
}

TEST(MachineFile, ItemsBuildTheMachine) {
  const MachineDescription machine = ParseMachineText(
      "# two bridges behind a hub\n"
      "ports 6\n"
      "sata-disks 1\n"
      "hub 2-3 ports=7 speed=5000   # USB 3 hub\n"
      "bridge 2-3.1 pid=0x5801 firmware=0x0A0B0C0D serial=FIRST chip=absent latency-us=20 "
      "fault=stuck-busy,fail:3\n"
      "bridge 2-3.7 vid=32341 pid=0x2501 eeprom=64k driver=uas speed=12 cdrom=autorun "
      "image=/tmp/x.bin\n"
      "stick 2-1 serial=USB1\n");
  EXPECT_EQ(machine.rootPorts, 6u);
  EXPECT_EQ(machine.sataDisks, 1u);
  ASSERT_EQ(machine.hubs.size(), 1u);
  EXPECT_EQ(machine.hubs[0].ports, 7u);
  EXPECT_EQ(machine.hubs[0].speed, "5000");
  ASSERT_EQ(machine.bridges.size(), 2u);
  const MachineBridge& first = machine.bridges[0];
  EXPECT_EQ(first.config.productId, 0x5801);
  EXPECT_EQ(first.config.vendorId, VID_MAKER);
  EXPECT_EQ(first.config.firmwareVersion, 0x0A0B0C0Du);
  EXPECT_EQ(first.config.serial, "FIRST");
  EXPECT_EQ(first.cdrom, CdRomUnit::None);
  EXPECT_EQ(first.config.latencyUs, 20u);
  EXPECT_TRUE(first.config.faults.stuckBusy);
  EXPECT_EQ(first.config.faults.failCommands.size(), 1u);
  const MachineBridge& second = machine.bridges[1];
  EXPECT_EQ(second.config.vendorId, 32341);
  ASSERT_TRUE(second.config.eeprom.has_value());
  EXPECT_EQ(*second.config.eeprom, EepromKind::Large64k);
  EXPECT_EQ(second.driver, StorageDriver::Uas);
  EXPECT_EQ(second.speed, "12");
  EXPECT_EQ(second.cdrom, CdRomUnit::AutoRun);
  EXPECT_TRUE(second.config.faults.Empty());
  EXPECT_EQ(second.image, std::filesystem::path("/tmp/x.bin"));
  ASSERT_EQ(machine.otherStorage.size(), 1u);
  EXPECT_NE(machine.otherStorage[0].vendorId, VID_MAKER);

  // Bridges come first in the tree, each with its units; the AUTO-RUN CD-ROM follows its disk.
  const MachineSpec layout = SysfsSpecOf(machine);
  ASSERT_EQ(layout.storage.size(), 3u);
  EXPECT_EQ(layout.storage[1].units.size(), 2u);
  EXPECT_EQ(layout.storage[1].units[1].scsiType, 5);
  EXPECT_NE(layout.storage[1].units[1].model.find("AUTO-RUN"), std::string::npos);
  EXPECT_EQ(layout.storage[2].serial, "USB1");
}

TEST(MachineFile, CdRomOnlyBridgeHasNoDisk) {
  const MachineSpec layout = SysfsSpecOf(ParseMachineText("bridge 1-1 cdrom=only\n"));
  ASSERT_EQ(layout.storage.size(), 1u);
  ASSERT_EQ(layout.storage[0].units.size(), 1u);
  EXPECT_EQ(layout.storage[0].units[0].scsiType, 5);
}

TEST(MachineFile, EmptyFileIsAMachineWithoutStorage) {
  const MachineDescription machine = ParseMachineText("\n# nothing\n");
  EXPECT_TRUE(machine.bridges.empty());
  EXPECT_EQ(machine.rootPorts, 4u);
}

TEST(MachineFile, FaultsNameTheLine) {
  EXPECT_EQ(ErrorOf("bridge 1-1\nbridge 1-x\n").rfind("line 2:", 0), 0u);
  EXPECT_NE(ErrorOf("bridge 1-1 pid=0x10000").find("pid"), std::string::npos);
  EXPECT_NE(ErrorOf("bridge 1-1 pid=12ab").find("pid"), std::string::npos);
  EXPECT_NE(ErrorOf("bridge 1-1 colour=red").find("unknown key colour"), std::string::npos);
  EXPECT_NE(ErrorOf("bridge 1-1 pid=1 pid=2").find("twice"), std::string::npos);
  EXPECT_NE(ErrorOf("bridge 1-1 chip=NOSUCHCHIP").find("unknown chip"), std::string::npos);
  EXPECT_NE(ErrorOf("bridge 1-1 chip=absent eeprom=256").find("not both"), std::string::npos);
  EXPECT_NE(ErrorOf("bridge 1-1 eeprom=128").find("eeprom"), std::string::npos);
  EXPECT_NE(ErrorOf("bridge 1-1 speed=100").find("speed"), std::string::npos);
  EXPECT_NE(ErrorOf("bridge 1-1 driver=sbp2").find("driver"), std::string::npos);
  EXPECT_NE(ErrorOf("bridge 1-1 serial").find("key=value"), std::string::npos);
  EXPECT_NE(ErrorOf("printer 1-1").find("unknown item"), std::string::npos);
  EXPECT_NE(ErrorOf("ports 0").find("at least one"), std::string::npos);
  EXPECT_NE(ErrorOf("ports 4 5").find("one number"), std::string::npos);
  EXPECT_NE(ErrorOf("hub 1-1 ports=0").find("at least one"), std::string::npos);
  EXPECT_NE(ErrorOf("bridge 1-1 latency-us=fast").find("latency-us"), std::string::npos);
  EXPECT_NE(ErrorOf("bridge 1-1 fault=melt").find("fault=melt"), std::string::npos);
}

TEST(MachineFile, PlacementFaultsAreFoundBeforeAnythingIsBuilt) {
  EXPECT_NE(ErrorOf("bridge 1-2.1").find("no hub at 1-2"), std::string::npos);
  EXPECT_NE(ErrorOf("bridge 1-1\nstick 1-1").find("used twice"), std::string::npos);
  EXPECT_NE(ErrorOf("ports 2\nbridge 1-3").find("beyond"), std::string::npos);
  EXPECT_NE(ErrorOf("hub 1-1 ports=2\nbridge 1-1.3").find("beyond"), std::string::npos);
}

}  // namespace
}  // namespace burnwell::sim::machine
