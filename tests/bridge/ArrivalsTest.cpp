// Bridges arriving and leaving on the scripted Windows machine: each gets a record with its USB
// location from the hub scan (host controller, then the hub ports), the notification wakes the
// waiter, a known bridge is never sent a command again, and a released slot takes the next one.
#include "bridge/Arrivals.h"

#include <memory>
#include <string>

#include "DiscoveryTestFixture.h"
#include "common/MakerIds.h"
#include "sim/EmulatedBridge.h"
#include "sim/SimClock.h"

namespace burnwell::bridge {
namespace {

using platform::InterfaceClass;
using Port = test::FakeWindowsMachine::Port;

constexpr const char* kDiskGuid = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

class ArrivalsOnWindows : public test::DiscoveryTest {
 protected:
  ArrivalsOnWindows() {
    BridgeLayer().discoveryFlavor = DiscoveryFlavor::Windows;
    // Controller 1's root hub holds an external hub on its port 2, whose four ports are the
    // station's sockets.
    const platform::DevInstHandle controller =
        machine.AddNode("PCI\\VEN_8086\\3&1", machine.Root());
    rootHub = machine.AddNode("USB\\ROOT_HUB30\\4&1", controller, "{hub}\\0001");
    externalHub = machine.AddNode("USB\\VID_05E3&PID_0610\\5&1", rootHub, "{hub}\\0002");
    machine.AddController("{hc}\\0000", "ROOT", 0, std::nullopt);
    machine.AddHub("ROOT", {Empty(), Port{1, 2, 2, "{hub}\\0002", "EXTHUB", false, false, false}});
    machine.AddHub("EXTHUB", {Empty(), Empty(), Empty(), Empty()});
  }

  static Port Empty() { return Port{0, 0, 0, "", "", false, false, false}; }

  struct Plugged {
    platform::DevInstHandle usb = 0;
    std::string diskPath;
    std::shared_ptr<sim::EmulatedBridge> bridge;
  };

  // A bridge plugged into port `port` of the external hub.
  Plugged Plug(unsigned port, const std::string& serial) {
    Plugged plugged;
    const std::string driverKey = "{usb}\\000" + std::to_string(port);
    plugged.usb = machine.AddNode("USB\\VID_7E55&PID_5801\\" + serial, externalHub, driverKey);
    machine.AddNode("USBSTOR\\DISK&VEN_ZQ&PROD_BRIDGE&REV_0100\\" + serial + "&0", plugged.usb);
    plugged.diskPath =
        "\\\\?\\usbstor#disk&ven_zq&prod_bridge&rev_0100#" + serial + "&0#" + kDiskGuid;
    sim::BridgeConfig config;
    config.serial = serial;
    plugged.bridge = std::make_shared<sim::EmulatedBridge>(config, clock);
    machine.AttachEmulated(plugged.diskPath, plugged.bridge);
    machine.AddInterface(InterfaceClass::Disk, plugged.diskPath);
    ports[port - 1] =
        Port{1, 2, static_cast<std::uint16_t>(10 + port), driverKey, "", false, false, false};
    machine.AddHub("EXTHUB", ports);
    machine.Announce();
    return plugged;
  }

  void Unplug(unsigned port, const Plugged& plugged) {
    machine.RemoveInterface(InterfaceClass::Disk, plugged.diskPath);
    machine.RemoveNode(plugged.usb);
    ports[port - 1] = Empty();
    machine.AddHub("EXTHUB", ports);
    machine.Announce();
  }

  sim::VirtualClock clock;
  platform::DevInstHandle rootHub = 0, externalHub = 0;
  std::vector<Port> ports{Empty(), Empty(), Empty(), Empty()};
};

TEST_F(ArrivalsOnWindows, BridgesArriveAtTheirSocketsAndLeave) {
  const Plugged first = Plug(3, "FIRST");
  BridgeArrivals arrivals;
  ASSERT_TRUE(arrivals.Announced());

  const UnitChanges present = arrivals.Rescan();
  ASSERT_EQ(present.arrived.size(), 1u);
  EXPECT_EQ(present.arrived[0].location, "1-2.3");
  EXPECT_EQ(present.arrived[0].serial, "FIRST");
  EXPECT_TRUE(present.arrived[0].problem.empty());
  ASSERT_TRUE(present.arrived[0].index.has_value());
  const std::uint32_t firstIndex = *present.arrived[0].index;
  const device::DeviceRecord& record = Table().records[firstIndex];
  EXPECT_STREQ(record.UsbLocation.data(), "1-2.3");
  EXPECT_EQ(record.PortNumber, 3u);
  EXPECT_EQ(record.UsbAddress, 13u);
  EXPECT_EQ(record.ProductId, PID_C);
  const std::uint64_t firstCommands = first.bridge->CommandCount();

  // A second bridge on port 1: the announcement wakes the waiter, the rescan takes the new one
  // and sends nothing to the one it knows.
  const Plugged second = Plug(1, "SECOND");
  EXPECT_TRUE(arrivals.Wait(std::chrono::seconds(60)));
  const UnitChanges next = arrivals.Rescan();
  ASSERT_EQ(next.arrived.size(), 1u);
  EXPECT_EQ(next.arrived[0].location, "1-2.1");
  EXPECT_TRUE(next.left.empty());
  EXPECT_EQ(first.bridge->CommandCount(), firstCommands);
  EXPECT_TRUE(arrivals.Rescan().arrived.empty());
  EXPECT_EQ(first.bridge->CommandCount(), firstCommands);

  // The first is pulled out; once released, its slot takes the bridge plugged in after it, at
  // the same socket.
  Unplug(3, first);
  EXPECT_TRUE(arrivals.Wait(std::chrono::seconds(60)));
  const UnitChanges gone = arrivals.Rescan();
  EXPECT_TRUE(gone.arrived.empty());
  ASSERT_EQ(gone.left.size(), 1u);
  EXPECT_EQ(gone.left[0], present.arrived[0].unit);
  arrivals.Release(firstIndex);
  Plug(3, "THIRD");
  const UnitChanges third = arrivals.Rescan();
  ASSERT_EQ(third.arrived.size(), 1u);
  EXPECT_EQ(third.arrived[0].index, firstIndex);
  EXPECT_EQ(third.arrived[0].location, "1-2.3");
  EXPECT_STREQ(Table().records[firstIndex].SerialNumber.data(), "THIRD");
  EXPECT_EQ(Table().count, 2u);
  (void)second;
}

}  // namespace
}  // namespace burnwell::bridge
