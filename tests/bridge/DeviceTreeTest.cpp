#include "bridge/DeviceTree.h"

#include <cstring>
#include <string>

#include "DiscoveryTestFixture.h"

namespace burnwell::bridge {

using device::DevNode;
using device::PathText;
namespace {

class DeviceTreeTest : public test::DiscoveryTest {
 protected:
  DeviceTreeTest() {
    hub = machine.AddNode("USB\\ROOT_HUB20\\4&2C1A&0", machine.Root());
    usb = machine.AddNode("USB\\VID_7E55&PID_5801\\000000001", hub);
    disk = machine.AddNode("USBSTOR\\DISK&VEN_ZQ&PROD_BRIDGE&REV_0100\\000000001&0", usb);
  }
  static PathText Buffer(const std::string& id) {
    PathText buffer{};
    std::memcpy(buffer.data(), id.c_str(), id.size());
    return buffer;
  }
  platform::DevInstHandle hub = 0, usb = 0, disk = 0;
};

TEST_F(DeviceTreeTest, SelfGivesTheIdAsTheTreeReportsIt) {
  PathText buffer = Buffer("usbstor\\disk&ven_zq&prod_bridge&rev_0100\\000000001&0");
  ASSERT_TRUE(GetDeviceTreeId(TreeRelation::Self, buffer));
  EXPECT_EQ(Text(buffer), "USBSTOR\\DISK&VEN_ZQ&PROD_BRIDGE&REV_0100\\000000001&0");
}

TEST_F(DeviceTreeTest, ParentThreeTimesWalksUpThreeLevels) {
  PathText buffer = Buffer("USBSTOR\\DISK&VEN_ZQ&PROD_BRIDGE&REV_0100\\000000001&0");
  ASSERT_TRUE(GetDeviceTreeId(TreeRelation::Parent, buffer));
  EXPECT_EQ(Text(buffer), "USB\\VID_7E55&PID_5801\\000000001");
  ASSERT_TRUE(GetDeviceTreeId(TreeRelation::Parent, buffer));
  EXPECT_EQ(Text(buffer), "USB\\ROOT_HUB20\\4&2C1A&0");
  ASSERT_TRUE(GetDeviceTreeId(TreeRelation::Parent, buffer));
  EXPECT_EQ(Text(buffer), "HTREE\\ROOT\\0");
  // The root has no parent: the ID of the last level reached stays.
  EXPECT_FALSE(GetDeviceTreeId(TreeRelation::Parent, buffer));
  EXPECT_EQ(Text(buffer), "HTREE\\ROOT\\0");
}

TEST_F(DeviceTreeTest, FailuresLeaveTheBufferExactlyAsItWas) {
  PathText buffer = Buffer("USBSTOR\\DISK&VEN_ZQ&PROD_BRIDGE&REV_0100\\000000001&0");
  buffer[200] = 'x';  // bytes after the NUL are kept too
  const PathText before = buffer;
  EXPECT_FALSE(GetDeviceTreeId(TreeRelation::FirstChild, buffer));  // no children
  EXPECT_EQ(buffer, before);

  PathText absent = Buffer("USBSTOR\\DISK&VEN_OTHER\\1&0");
  const PathText absentBefore = absent;
  EXPECT_FALSE(GetDeviceTreeId(TreeRelation::Self, absent));
  EXPECT_EQ(absent, absentBefore);
}

TEST_F(DeviceTreeTest, An259CharacterIdFitsAndStaysTerminated) {
  const std::string longId = "SCSI\\DISK\\" + std::string(259 - 10, 'A');
  ASSERT_EQ(longId.size(), 259u);
  machine.AddNode(longId, usb);
  PathText buffer = Buffer(longId);
  ASSERT_TRUE(GetDeviceTreeId(TreeRelation::Self, buffer));
  EXPECT_EQ(Text(buffer), longId);
  EXPECT_EQ(buffer[259], '\0');
}

TEST_F(DeviceTreeTest, NodeLookupStoresTheHandleOrLeavesItAlone) {
  DevNode node = 0;
  ASSERT_TRUE(GetDeviceNode("usb\\vid_7e55&pid_5801\\000000001", node));
  EXPECT_EQ(node, usb);
  node = 1234;
  EXPECT_FALSE(GetDeviceNode("USB\\VID_7E55&PID_5801\\NOT-PRESENT", node));
  EXPECT_EQ(node, 1234u);
}

}  // namespace
}  // namespace burnwell::bridge
