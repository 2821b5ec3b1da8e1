#include "DiscoveryTestFixture.h"
#include "bridge/Discovery.h"

namespace burnwell::bridge {

using device::DeviceRecord;
namespace {

using Port = test::FakeWindowsMachine::Port;

Port Empty() { return Port{0, 0, 0, "", "", false, false, false}; }
Port Device(const std::string& driverKey, std::uint16_t address, std::uint8_t speed = 2) {
  return Port{1, speed, address, driverKey, "", false, false, false};
}
Port Hub(const std::string& name, const std::string& driverKey) {
  return Port{1, 2, 9, driverKey, name, false, false, false};
}

class HubScanTest : public test::DiscoveryTest {
 protected:
  // A record whose USB parent is a device node with the given driver key.
  DeviceRecord& AddRecordBehind(const std::string& driverKey) {
    const platform::DevInstHandle usb =
        machine.AddNode("USB\\VID_7E55&PID_5801\\" + driverKey, machine.Root(), driverKey);
    DeviceRecord& record = Table().Append();
    record.ParentDevInst = usb;
    return record;
  }
  static const DeviceRecord& At(std::uint32_t i) { return device::DeviceLayer().table.records[i]; }
};

TEST_F(HubScanTest, AControllerReachedTwiceIsEnumeratedOnce) {
  AddRecordBehind("{usb}\\0001");
  machine.AddController("{hc}\\0000", "ROOT_HUB_0", 0,
                        "\\\\?\\pci#ven_8086#3&1#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}");
  machine.AddHub("ROOT_HUB_0", {Empty(), Device("{usb}\\0001", 5)});

  ScanHubPortsWindows();
  EXPECT_EQ(machine.OpenedHubs(), std::vector<std::string>{"ROOT_HUB_0"});
  EXPECT_EQ(At(0).HubNumber, 2u);
  EXPECT_EQ(At(0).PortNumber, 2u);
  EXPECT_EQ(At(0).PortCount, 2u);
  EXPECT_EQ(At(0).PortSpeed, 2u);
  EXPECT_EQ(At(0).UsbAddress, 5u);
  EXPECT_EQ(machine.OpenUsbHandleCount(), 0u);
  EXPECT_EQ(machine.SetsOpen(), 0u);
}

TEST_F(HubScanTest, ABridgeBehindAnExternalHubGetsThatHubsPosition) {
  AddRecordBehind("{usb}\\0007");
  machine.AddNode("USB\\VID_05E3&PID_0608\\5&1", machine.Root(), "{usb}\\0006");
  machine.AddController("{hc}\\0000", "ROOT", 0, std::nullopt);
  machine.AddHub("ROOT", {Empty(), Hub("EXTHUB", "{usb}\\0006"), Empty()});
  machine.AddHub("EXTHUB", {Empty(), Device("{usb}\\0007", 12), Empty(), Empty()});

  ScanHubPortsWindows();
  // Root port 1, then the external hub's ports 1 and 2; the hub's own port does not count.
  EXPECT_EQ(At(0).HubNumber, 3u);
  EXPECT_EQ(At(0).PortNumber, 2u);
  EXPECT_EQ(At(0).PortCount, 4u);
  EXPECT_EQ(At(0).UsbAddress, 12u);
  // The location: the controller's place, the root hub's port, the external hub's port.
  EXPECT_STREQ(At(0).UsbLocation.data(), "1-2.2");
}

TEST_F(HubScanTest, TwoBridgesOnOneHubEachGetTheirOwnPort) {
  AddRecordBehind("{usb}\\0001");
  AddRecordBehind("{usb}\\0002");
  machine.AddController("{hc}\\0000", "ROOT", std::nullopt,
                        "\\\\?\\pci#ven_1033#3&2#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}");
  machine.AddHub("ROOT", {Device("{usb}\\0002", 3), Empty(), Empty(), Device("{usb}\\0001", 4)});

  ScanHubPortsWindows();
  EXPECT_EQ(At(0).PortNumber, 4u);
  EXPECT_EQ(At(0).HubNumber, 4u);
  EXPECT_EQ(At(1).PortNumber, 1u);
  EXPECT_EQ(At(1).HubNumber, 1u);
  EXPECT_EQ(At(1).UsbAddress, 3u);
}

TEST_F(HubScanTest, AFailedEnumerationCountsButWritesNothing) {
  DeviceRecord& failed = AddRecordBehind("{usb}\\0001");
  failed.PortNumber = 77;  // values it had stay
  AddRecordBehind("{usb}\\0002");
  machine.AddController("{hc}\\0000", "ROOT", 0, std::nullopt);
  Port broken = Device("{usb}\\0001", 0);
  broken.status = 2;  // DeviceFailedEnumeration
  machine.AddHub("ROOT", {broken, Device("{usb}\\0002", 6)});

  ScanHubPortsWindows();
  EXPECT_EQ(At(0).PortNumber, 77u);
  EXPECT_EQ(At(0).HubNumber, 0u);
  EXPECT_EQ(At(1).HubNumber, 2u);
}

TEST_F(HubScanTest, PortsThatCannotBeQueriedDoNotCount) {
  AddRecordBehind("{usb}\\0002");
  machine.AddController("{hc}\\0000", "ROOT", 0, std::nullopt);
  Port silent = Empty();
  silent.queriesFail = true;
  machine.AddHub("ROOT", {silent, Device("{usb}\\0002", 6)});
  ScanHubPortsWindows();
  EXPECT_EQ(At(0).HubNumber, 1u);
  EXPECT_EQ(At(0).PortNumber, 2u);
}

TEST_F(HubScanTest, TheOlderQueryGivesFullOrLowSpeed) {
  AddRecordBehind("{usb}\\0001");
  AddRecordBehind("{usb}\\0002");
  machine.AddController("{hc}\\0000", "ROOT", 0, std::nullopt);
  Port full = Device("{usb}\\0001", 3, 2);
  full.extendedQueryFails = true;
  Port low = Device("{usb}\\0002", 4, 2);
  low.extendedQueryFails = true;
  low.lowSpeed = true;
  machine.AddHub("ROOT", {full, low});

  ScanHubPortsWindows();
  EXPECT_EQ(At(0).PortSpeed, 1u);
  EXPECT_EQ(At(1).PortSpeed, 0u);
  EXPECT_EQ(At(0).UsbAddress, 3u);
  EXPECT_EQ(At(1).PortNumber, 2u);
}

TEST_F(HubScanTest, ADeviceWithoutANodeMatchesNoRecordWithoutParent) {
  DeviceRecord& orphan = Table().Append();  // ParentDevInst 0, as after a failed placement
  (void)orphan;
  machine.AddController("{hc}\\0000", "ROOT", 0, std::nullopt);
  machine.AddHub("ROOT", {Device("{usb}\\unknown", 3)});
  ScanHubPortsWindows();
  EXPECT_EQ(At(0).HubNumber, 0u);
  EXPECT_EQ(At(0).PortNumber, 0u);
}

TEST_F(HubScanTest, TheNodeSearchFindsDeepNodesAndComparesKeysIgnoringCase) {
  // A deep branch first, so the search must climb back up to reach the later sibling.
  const auto a = machine.AddNode("PCI\\A", machine.Root(), "{a}\\0");
  const auto b = machine.AddNode("PCI\\B", a, "");
  machine.AddNode("PCI\\C", b, "{c}\\0");
  const auto target = machine.AddNode("USB\\VID_7E55&PID_5801\\Z", machine.Root(), "{USB}\\00AB");
  DeviceRecord& record = Table().Append();
  record.ParentDevInst = target;
  machine.AddController("{hc}\\0000", "ROOT", 0, std::nullopt);
  machine.AddHub("ROOT", {Device("{usb}\\00ab", 3)});
  ScanHubPortsWindows();
  EXPECT_EQ(At(0).PortNumber, 1u);
}

TEST_F(HubScanTest, AHubNamingItselfEndsTheScan) {
  AddRecordBehind("{usb}\\0001");
  machine.AddController("{hc}\\0000", "LOOP", 0, std::nullopt);
  machine.AddHub("LOOP", {Hub("LOOP", "{usb}\\0009"), Device("{usb}\\0001", 3)});
  ScanHubPortsWindows();
  EXPECT_EQ(At(0).PortNumber, 2u);
  EXPECT_EQ(machine.OpenUsbHandleCount(), 0u);
}

}  // namespace
}  // namespace burnwell::bridge
