// Linux discovery and the hub port scan on generated machines: which units become records,
// how second units merge, letters, device-tree fields, locks, hub positions, and saying why a
// bridge could not be looked at.
#include "bridge/DiscoveryLinux.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bridge/BridgeState.h"
#include "device/DeviceRecord.h"
#include "sim/machine/SysfsTree.h"
#include "tests/bridge/LinuxMachineFakes.h"
#include "tests/support/TestSupport.h"

namespace burnwell::bridge {

using device::DeviceClass;
using device::DeviceLayer;
using device::DeviceRecord;
using device::TransportKind;
namespace {

using sim::machine::MachineSpec;
using sim::machine::StorageDriver;
using sim::machine::StorageSpec;
using sim::machine::UnitSpec;
using test::FakeBridgeIo;

constexpr UnitSpec kDisk{0, "ZQ5x8x", "Bridge Disk"};
constexpr UnitSpec kAutoRunCdRom{5, "ZQ5x8x", "AUTO-RUN CD"};

StorageSpec Bridge(std::string location, std::uint16_t product, std::string serial,
                   std::vector<UnitSpec> units = {kDisk}) {
  StorageSpec storage;
  storage.location = std::move(location);
  storage.vendorId = 0x7e55;
  storage.productId = product;
  storage.serial = std::move(serial);
  storage.units = std::move(units);
  return storage;
}

class LinuxDiscovery : public ::testing::Test {
 protected:
  LinuxDiscovery()
      : system_(root_.Path()), systemGuard_(&system_), locksGuard_(&locks_), ioGuard_(&io_) {
    ResetBridgeLayerState();
    DeviceLayer().ntFlag = true;
  }
  ~LinuxDiscovery() override { ResetBridgeLayerState(); }

  // Writes the machine and makes every unit of a storage device with product ID != 0 a bridge.
  void Build(const MachineSpec& layout) {
    units_ = sim::machine::WriteSystemRoot(root_.Path(), layout);
    for (const auto& unit : units_) {
      if (unit.storageIndex >= layout.storage.size()) continue;
      const StorageSpec& storage = layout.storage[unit.storageIndex];
      if (storage.vendorId == 0x7e55) {
        io_.Answer(unit.genericNode,
                   FakeBridgeIo::BridgeBlock(0x7e55, storage.productId, 0x01020304));
      } else {
        io_.Silent(unit.genericNode);
      }
    }
  }

  const DeviceRecord& Record(std::uint32_t index) {
    EXPECT_LT(index, DeviceLayer().table.count);
    return DeviceLayer().table.records[index];
  }

  test::TempDir root_;
  test::FakeSystemRoot system_;
  test::FakeLocks locks_;
  FakeBridgeIo io_;
  platform::ScopedOverride<platform::System> systemGuard_;
  platform::ScopedOverride<platform::NamedLocks> locksGuard_;
  platform::ScopedOverride<platform::DeviceIo> ioGuard_;
  std::vector<sim::machine::GeneratedUnit> units_;
};

TEST_F(LinuxDiscovery, NoStorageGivesAnEmptyTable) {
  Build(MachineSpec{});
  EXPECT_EQ(DiscoverPassThroughLinux(), CountOrError::Found(0));
  EXPECT_EQ(DeviceLayer().table.count, 0u);
  EXPECT_TRUE(LinuxDiscoveryProblems().empty());
}

TEST_F(LinuxDiscovery, MissingGenericDriverIsNamed) {
  // A bare system root: no sysfs at all, as when the sg driver is not loaded.
  EXPECT_EQ(DiscoverPassThroughLinux(), CountOrError::Found(0));
  ASSERT_EQ(LinuxDiscoveryProblems().size(), 1u);
  EXPECT_NE(LinuxDiscoveryProblems()[0].find("modprobe sg"), std::string::npos);
}

TEST_F(LinuxDiscovery, BridgesBecomeRecordsAndOtherStorageIsSkipped) {
  MachineSpec layout;
  layout.sataDisks = 1;  // sda, opened by nobody: it is no bridge
  StorageSpec stick = Bridge("1-1", 0x1234, "STICK");
  stick.vendorId = 0x57C1;
  layout.storage = {stick, Bridge("1-2", 0x5801, "SER-A"), Bridge("1-3", 0x2501, "", {kDisk})};
  layout.storage[2].driver = StorageDriver::Uas;
  Build(layout);

  ASSERT_EQ(DiscoverPassThroughLinux(), CountOrError::Found(2));
  const DeviceRecord& first = Record(0);
  EXPECT_EQ(first.TransportKind, TransportKind::MassStorage);
  EXPECT_EQ(first.DeviceClass, DeviceClass::Disk);
  EXPECT_STREQ(first.DevicePath.data(), "/dev/sg2");
  EXPECT_EQ(first.VendorId, 0x7e55);
  EXPECT_EQ(first.ProductId, 0x5801);
  EXPECT_EQ(first.FirmwareVersion, 0x01020304u);
  EXPECT_EQ(first.CodeSize, 0xB800u);
  EXPECT_EQ(first.ParentVendorId, 0x7e55);
  EXPECT_EQ(first.ParentProductId, 0x5801);
  EXPECT_STREQ(first.SerialNumber.data(), "SER-A");
  EXPECT_STREQ(first.DriveLetters.data(), "C");  // sda is the SATA disk, the stick sdb
  EXPECT_EQ(first.IdLetter, 'C');
  EXPECT_NE(first.Handle, platform::kInvalidHandle);

  const DeviceRecord& uas = Record(1);
  EXPECT_STREQ(uas.DevicePath.data(), "/dev/sg3");
  EXPECT_EQ(uas.ProductId, 0x2501);
  EXPECT_EQ(uas.CodeSize, 0x5C00u);
  EXPECT_STREQ(uas.SerialNumber.data(), "");  // no serial attribute
  EXPECT_EQ(uas.ParentProductId, 0x2501);

  EXPECT_TRUE(locks_.Has("DeviceIndex_00"));
  EXPECT_TRUE(locks_.Has("DeviceIndex_01"));
  EXPECT_EQ(io_.OpenCount() - io_.CloseCount(), 2);  // the stick's handle was closed again
}

TEST_F(LinuxDiscovery, DeviceTreeFieldsFollowTheUsbAncestry) {
  MachineSpec layout;
  layout.hubs = {{"1-4", 4, "480"}};
  layout.storage = {Bridge("1-4.2", 0x5802, "S")};
  Build(layout);

  ASSERT_EQ(DiscoverPassThroughLinux(), CountOrError::Found(1));
  const DeviceRecord& record = Record(0);
  const std::string usb = "/sys/devices/pci0000:00/0000:00:14.0/usb1";
  EXPECT_EQ(std::string(record.InstanceId.data()), units_[0].devicePath);
  EXPECT_EQ(std::string(record.ParentId.data()), usb + "/1-4/1-4.2");
  EXPECT_EQ(std::string(record.GrandparentId.data()), usb + "/1-4");
  EXPECT_EQ(std::string(record.GreatGrandparentId.data()), usb);
  EXPECT_EQ(std::string(record.ChildId.data()), units_[0].devicePath + "/block/sda");
  // Handles are opaque but distinct, and the same path always gives the same handle.
  EXPECT_NE(record.DevInst, 0u);
  EXPECT_NE(record.ParentDevInst, record.DevInst);
  EXPECT_NE(record.GrandparentDevInst, record.ParentDevInst);
  EXPECT_EQ(record.ParentDevInst, LinuxNodeHandle(usb + "/1-4/1-4.2"));
}

TEST_F(LinuxDiscovery, AutoRunCdRomMergesIntoItsDiskAndDisksComeFirst) {
  MachineSpec layout;
  // The CD-ROM-only bridge has the lowest generic node; disks are still looked at first.
  layout.storage = {Bridge("1-1", 0x5801, "CD-ONLY", {kAutoRunCdRom}),
                    Bridge("1-2", 0x5801, "PAIR", {kDisk, kAutoRunCdRom})};
  Build(layout);

  ASSERT_EQ(DiscoverPassThroughLinux(), CountOrError::Found(2));
  const DeviceRecord& pair = Record(0);
  EXPECT_STREQ(pair.SerialNumber.data(), "PAIR");
  EXPECT_EQ(pair.HasSecondUnit, 1u);
  EXPECT_STREQ(pair.DevicePath.data(), "/dev/sg1");
  EXPECT_STREQ(pair.SecondDevicePath.data(), "/dev/sg2");
  EXPECT_EQ(std::string(pair.SecondInstanceId.data()), units_[2].devicePath);
  EXPECT_STREQ(pair.DriveLetters.data(), "A");  // the CD-ROM unit adds no letter
  EXPECT_STREQ(pair.FirstUnitLetters.data(), "A");
  EXPECT_EQ(pair.IdLetter, 'A');

  const DeviceRecord& cdOnly = Record(1);
  EXPECT_EQ(cdOnly.DeviceClass, DeviceClass::CdRom);
  EXPECT_EQ(cdOnly.HasSecondUnit, 0u);
  EXPECT_STREQ(cdOnly.DriveLetters.data(), "");
  EXPECT_EQ(cdOnly.IdLetter, '0');
  EXPECT_EQ(io_.OpenCount() - io_.CloseCount(), 2);  // the merged unit's handle is closed
}

TEST_F(LinuxDiscovery, SecondDiskUnitAddsItsLetterToTheFirst) {
  MachineSpec layout;
  layout.storage = {Bridge("1-1", 0x5801, "TWO", {kDisk, kDisk})};
  Build(layout);
  ASSERT_EQ(DiscoverPassThroughLinux(), CountOrError::Found(1));
  EXPECT_STREQ(Record(0).DriveLetters.data(), "AB");
  EXPECT_STREQ(Record(0).FirstUnitLetters.data(), "A");
  EXPECT_EQ(Record(0).IdLetter, 'A');
}

TEST_F(LinuxDiscovery, AutoRunDiskIsSkipped) {
  MachineSpec layout;
  layout.storage = {Bridge("1-1", 0x5801, "X", {UnitSpec{0, "ZQ5x8x", "AUTO-RUN Disk"}})};
  Build(layout);
  EXPECT_EQ(DiscoverPassThroughLinux(), CountOrError::Found(0));
  EXPECT_EQ(io_.OpenCount(), io_.CloseCount());
}

TEST_F(LinuxDiscovery, BridgesOnNeighbouringPortsAreNotMerged) {
  // Port 10's path starts with port 1's: only the same USB device may merge.
  MachineSpec layout;
  layout.rootPorts = 15;
  layout.storage = {Bridge("1-10", 0x5801, "TEN", {kAutoRunCdRom}),
                    Bridge("1-1", 0x5801, "ONE", {kAutoRunCdRom})};
  Build(layout);
  ASSERT_EQ(DiscoverPassThroughLinux(), CountOrError::Found(2));
  EXPECT_EQ(Record(0).HasSecondUnit, 0u);
  EXPECT_EQ(Record(1).HasSecondUnit, 0u);
  EXPECT_STREQ(Record(1).SerialNumber.data(), "ONE");
}

TEST_F(LinuxDiscovery, LockFailureEndsDiscoveryWithTheRecordKept) {
  MachineSpec layout;
  layout.storage = {Bridge("1-1", 0x5801, "A"), Bridge("1-2", 0x5801, "B")};
  Build(layout);
  locks_.FailCreate();
  EXPECT_EQ(DiscoverPassThroughLinux(), ApiError::TooManyDevices);
  ASSERT_EQ(DeviceLayer().table.count, 1u);
  EXPECT_EQ(Record(0).Mutex, 0);
}

TEST_F(LinuxDiscovery, UnopenableBridgeIsReportedWithTheReason) {
  MachineSpec layout;
  StorageSpec stick = Bridge("1-4", 0x0001, "");
  stick.vendorId = 0x57C1;
  layout.storage = {Bridge("1-1", 0x5801, "A"), Bridge("1-2", 0x5802, "B"),
                    Bridge("1-3", 0x5803, "C"), stick};
  Build(layout);
  io_ = FakeBridgeIo();
  io_.Refuse("/dev/sg0", EACCES);
  io_.Refuse("/dev/sg2", EIO);
  io_.Refuse("/dev/sg3", EACCES);
  std::filesystem::remove(root_.Path() / "dev/sg1");  // the open leaves no error: the node is asked

  EXPECT_EQ(DiscoverPassThroughLinux(), CountOrError::Found(0));
  const std::vector<std::string> problems = LinuxDiscoveryProblems();
  ASSERT_EQ(problems.size(), 4u);
  EXPECT_EQ(problems[0], "permission denied on /dev/sg0 (USB 7e55:5801)");
  EXPECT_EQ(problems[1], "no device node /dev/sg1 (USB 7e55:5802)");
  EXPECT_EQ(problems[2], "cannot open /dev/sg2 (USB 7e55:5803)");
  EXPECT_EQ(problems[3], "permission denied on /dev/sg3 (USB 57c1:0001)");

  // A later discovery starts from a clean list.
  io_ = FakeBridgeIo();
  io_.Answer("/dev/sg0", FakeBridgeIo::BridgeBlock(0x7e55, 0x5801, 1));
  EXPECT_EQ(DiscoverPassThroughLinux(), CountOrError::Found(1));
  for (const std::string& problem : LinuxDiscoveryProblems()) {
    EXPECT_EQ(problem.find("/dev/sg0"), std::string::npos) << problem;
  }
}

TEST_F(LinuxDiscovery, PermissionOnTheNodeItselfIsReportedWhenTheOpenSaysNothing) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may open any node";
  MachineSpec layout;
  layout.storage = {Bridge("1-1", 0x5801, "A")};
  Build(layout);
  io_ = FakeBridgeIo();
  std::filesystem::permissions(root_.Path() / "dev/sg0", std::filesystem::perms::none);
  EXPECT_EQ(DiscoverPassThroughLinux(), CountOrError::Found(0));
  ASSERT_EQ(LinuxDiscoveryProblems().size(), 1u);
  EXPECT_EQ(LinuxDiscoveryProblems()[0], "permission denied on /dev/sg0 (USB 7e55:5801)");
}

class LinuxHubScan : public LinuxDiscovery {};

TEST_F(LinuxHubScan, PortsCountInWalkOrderEmptyPortsIncludedHubsNot) {
  MachineSpec layout;
  layout.hubs = {{"1-2", 4, "480"}};
  layout.storage = {Bridge("1-2.1", 0x5801, "A"), Bridge("1-2.3", 0x5801, "B"),
                    Bridge("1-4", 0x5801, "C")};
  layout.storage[0].speed = "5000";
  layout.storage[1].speed = "12";
  layout.storage[2].speed = "1.5";
  Build(layout);
  ASSERT_EQ(DiscoverPassThroughLinux(), CountOrError::Found(3));
  ScanHubPortsLinux();

  // Root port 1 (empty) is 1; the hub on root port 2 does not count; its ports are 2..5;
  // root port 3 is 6 and root port 4 is 7.
  const DeviceRecord& a = Record(0);
  EXPECT_EQ(a.HubNumber, 2u);
  EXPECT_EQ(a.PortNumber, 1u);
  EXPECT_EQ(a.PortCount, 4u);
  EXPECT_EQ(a.PortSpeed, 3u);
  EXPECT_EQ(a.UsbAddress, 3u);  // root hub 1, hub 2
  const DeviceRecord& b = Record(1);
  EXPECT_EQ(b.HubNumber, 4u);
  EXPECT_EQ(b.PortNumber, 3u);
  EXPECT_EQ(b.PortSpeed, 1u);
  EXPECT_EQ(b.UsbAddress, 4u);
  const DeviceRecord& c = Record(2);
  EXPECT_EQ(c.HubNumber, 7u);
  EXPECT_EQ(c.PortNumber, 4u);
  EXPECT_EQ(c.PortCount, 4u);
  EXPECT_EQ(c.PortSpeed, 0u);
}

TEST_F(LinuxHubScan, BusesAreWalkedByNumberAndChainsFollowed) {
  MachineSpec layout;
  layout.rootPorts = 2;
  layout.hubs = {{"10-1", 2, "480"}, {"10-1.2", 3, "480"}};
  layout.storage = {Bridge("10-1.2.3", 0x5801, "DEEP"), Bridge("2-2", 0x5801, "NEAR")};
  Build(layout);
  ASSERT_EQ(DiscoverPassThroughLinux(), CountOrError::Found(2));
  ScanHubPortsLinux();

  const DeviceRecord& deep = Record(0);
  const DeviceRecord& near = Record(1);
  EXPECT_EQ(near.HubNumber, 2u);  // bus 2: ports 1, 2
  // bus 10: root port 1 holds hub 10-1 (port 1: 3; port 2: hub 10-1.2 with ports 4, 5, 6);
  // root port 2: 7.
  EXPECT_EQ(deep.HubNumber, 6u);
  EXPECT_EQ(deep.PortNumber, 3u);
  EXPECT_EQ(deep.PortCount, 3u);
}

TEST_F(LinuxHubScan, RecordsNotOnAnyPortKeepTheirValues) {
  MachineSpec layout;
  layout.storage = {Bridge("1-1", 0x5801, "A")};
  Build(layout);
  ASSERT_EQ(DiscoverPassThroughLinux(), CountOrError::Found(1));
  DeviceLayer().table.records[0].ParentDevInst = 0;
  DeviceLayer().table.records[0].HubNumber = 77;
  ScanHubPortsLinux();
  EXPECT_EQ(Record(0).HubNumber, 77u);
}

}  // namespace
}  // namespace burnwell::bridge
