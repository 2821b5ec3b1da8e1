// Reading generated sysfs trees: unit order, driver chains, USB ancestry, root hubs, speeds;
// and the generator's refusal of machines that cannot exist.
#include "bridge/Sysfs.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "sim/machine/SysfsTree.h"
#include "tests/support/TestSupport.h"

namespace burnwell::bridge::sysfs {

using device::TransportKind;
namespace {

using sim::machine::MachineSpec;
using sim::machine::StorageDriver;
using sim::machine::StorageSpec;
using sim::machine::UnitSpec;

StorageSpec Stick(std::string location, StorageDriver driver = StorageDriver::UsbStorage) {
  StorageSpec storage;
  storage.location = std::move(location);
  storage.vendorId = 0x7e55;
  storage.productId = 0x5801;
  storage.driver = driver;
  return storage;
}

TEST(SysfsUnits, UnitsComeInGenericNodeNumberOrderWithTheirAttributes) {
  test::TempDir root;
  MachineSpec layout;
  layout.rootPorts = 15;
  layout.sataDisks = 1;
  for (int port = 1; port <= 11; ++port)
    layout.storage.push_back(Stick("1-" + std::to_string(port)));
  layout.storage[3].units = {UnitSpec{0, "ZQ", "Disk"}, UnitSpec{5, "ZQ", "AUTO-RUN"}};
  sim::machine::WriteSystemRoot(root.Path(), layout);

  const std::vector<ScsiUnit> units = ListScsiUnits(SysDir(root.Path()));
  ASSERT_EQ(units.size(), 13u);
  for (std::size_t i = 0; i < units.size(); ++i) {
    EXPECT_EQ(units[i].genericName, "sg" + std::to_string(i));  // sg10 after sg9, not after sg1
  }
  EXPECT_EQ(units[0].transport, TransportKind::Ide);
  EXPECT_FALSE(units[0].usbDevice.has_value());
  EXPECT_EQ(units[0].blockName, "sda");

  const ScsiUnit& cdrom = units[5];
  EXPECT_EQ(cdrom.type, kScsiTypeCdRom);
  EXPECT_EQ(cdrom.vendor, "ZQ");  // padding removed
  EXPECT_EQ(cdrom.model, "AUTO-RUN");
  EXPECT_EQ(cdrom.blockName, "sr0");
  EXPECT_EQ(cdrom.transport, TransportKind::MassStorage);
  ASSERT_TRUE(cdrom.usbDevice.has_value());
  EXPECT_EQ(cdrom.usbDevice->filename(), "1-4");
  EXPECT_EQ(units[4].usbDevice, cdrom.usbDevice);  // both units of one USB device
  EXPECT_EQ(units[6].blockName, "sdf");
}

TEST(SysfsUnits, UasAndHubChainsLeadToTheStorageDeviceNotTheHub) {
  test::TempDir root;
  MachineSpec layout;
  layout.hubs = {{"2-1", 4, "480"}, {"2-1.3", 4, "480"}};
  layout.storage.push_back(Stick("2-1.3.2", StorageDriver::Uas));
  sim::machine::WriteSystemRoot(root.Path(), layout);

  const std::vector<ScsiUnit> units = ListScsiUnits(SysDir(root.Path()));
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0].transport, TransportKind::MassStorage);
  ASSERT_TRUE(units[0].usbDevice.has_value());
  EXPECT_EQ(units[0].usbDevice->filename(), "2-1.3.2");
  EXPECT_EQ(KernelPath(SysDir(root.Path()), *units[0].usbDevice),
            "/sys/devices/pci0000:00/0000:00:15.0/usb2/2-1/2-1.3/2-1.3.2");
  EXPECT_EQ(ReadNumber(*units[0].usbDevice, "idVendor", 16), 0x7e55u);
  EXPECT_TRUE(IsUsbHub(units[0].usbDevice->parent_path()));
  EXPECT_FALSE(IsUsbHub(*units[0].usbDevice));
}

TEST(SysfsUnits, AnEmptyOrMissingTreeHasNoUnits) {
  test::TempDir root;
  EXPECT_TRUE(ListScsiUnits(SysDir(root.Path())).empty());
  EXPECT_TRUE(RootHubs(SysDir(root.Path())).empty());
}

TEST(SysfsUnits, ABrokenGenericLinkIsLeftOutNotFatal) {
  test::TempDir root;
  MachineSpec layout;
  layout.storage = {Stick("1-1"), Stick("1-2")};
  sim::machine::WriteSystemRoot(root.Path(), layout);
  std::filesystem::remove_all(root.Path() / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-1");

  const std::vector<ScsiUnit> units = ListScsiUnits(SysDir(root.Path()));
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0].genericName, "sg1");
}

TEST(SysfsUsbTree, RootHubsInBusNumberOrderAndPortsByName) {
  test::TempDir root;
  MachineSpec layout;
  layout.hubs = {{"10-2", 7, "480"}};
  layout.storage = {Stick("10-2.7"), Stick("2-1")};
  sim::machine::WriteSystemRoot(root.Path(), layout);

  const std::vector<std::filesystem::path> hubs = RootHubs(SysDir(root.Path()));
  ASSERT_EQ(hubs.size(), 2u);
  EXPECT_EQ(hubs[0].filename(), "usb2");  // bus 2 before bus 10
  EXPECT_EQ(hubs[1].filename(), "usb10");
  EXPECT_EQ(ReadNumber(hubs[1], "maxchild"), 4u);
  EXPECT_FALSE(DeviceOnPort(hubs[1], 1).has_value());
  const std::optional<std::filesystem::path> hub = DeviceOnPort(hubs[1], 2);
  ASSERT_TRUE(hub.has_value());
  EXPECT_TRUE(IsUsbHub(*hub));
  EXPECT_EQ(ReadNumber(*hub, "maxchild"), 7u);
  ASSERT_TRUE(DeviceOnPort(*hub, 7).has_value());
  EXPECT_EQ(DeviceOnPort(*hub, 7)->filename(), "10-2.7");
}

TEST(SysfsUsbTree, SpeedCodes) {
  EXPECT_EQ(SpeedCode("1.5"), 0u);
  EXPECT_EQ(SpeedCode("12"), 1u);
  EXPECT_EQ(SpeedCode("480"), 2u);
  EXPECT_EQ(SpeedCode("5000"), 3u);
  EXPECT_EQ(SpeedCode("20000"), 3u);
  EXPECT_FALSE(SpeedCode("").has_value());
  EXPECT_FALSE(SpeedCode("fast").has_value());
  EXPECT_FALSE(SpeedCode("100").has_value());
}

TEST(SysfsAttributes, NumbersAreStrict) {
  test::TempDir dir;
  test::WriteFile(dir / "good", std::string_view("7e55\n"));
  test::WriteFile(dir / "junk", std::string_view("7e55x\n"));
  test::WriteFile(dir / "empty", std::string_view("\n"));
  EXPECT_EQ(ReadNumber(dir.Path(), "good", 16), 0x7e55u);
  EXPECT_FALSE(ReadNumber(dir.Path(), "junk", 16).has_value());
  EXPECT_FALSE(ReadNumber(dir.Path(), "empty").has_value());
  EXPECT_FALSE(ReadNumber(dir.Path(), "missing").has_value());
}

TEST(SysfsGenerator, RefusesMachinesThatCannotExist) {
  const auto refuses = [](MachineSpec layout) {
    test::TempDir root;
    EXPECT_THROW(sim::machine::WriteSystemRoot(root.Path(), layout), std::invalid_argument);
  };
  MachineSpec badLocation;
  badLocation.storage = {Stick("1-0")};
  refuses(badLocation);
  MachineSpec noHub;
  noHub.storage = {Stick("1-2.1")};
  refuses(noHub);
  MachineSpec beyond;
  beyond.rootPorts = 2;
  beyond.storage = {Stick("1-3")};
  refuses(beyond);
  MachineSpec twice;
  twice.hubs = {{"1-1", 4, "480"}};
  twice.storage = {Stick("1-1")};
  refuses(twice);
  MachineSpec noUnits;
  noUnits.storage = {Stick("1-1")};
  noUnits.storage[0].units.clear();
  refuses(noUnits);
}

}  // namespace
}  // namespace burnwell::bridge::sysfs
