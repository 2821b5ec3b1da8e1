#include <string>

#include "DiscoveryTestFixture.h"
#include "common/MakerIds.h"
#include "bridge/Discovery.h"
#include "sim/EmulatedBridge.h"
#include "sim/SimClock.h"

namespace burnwell::bridge {

using device::DeviceClass;
using device::DeviceLayer;
using device::DeviceRecord;
using device::TransportKind;
namespace {

using platform::InterfaceClass;

constexpr const char* kDiskGuid = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char* kCdRomGuid = "{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

class DiscoverPassThroughTest : public test::DiscoveryTest {
 protected:
  DiscoverPassThroughTest() {
    rootHub = machine.AddNode("USB\\ROOT_HUB20\\4&2C1A&0", machine.Root());
  }

  struct UsbBridge {
    platform::DevInstHandle usb = 0, disk = 0, cdrom = 0;
    std::string diskPath, cdromPath;
  };

  // A bridge on USB: its USB device node and its disk unit (plus, when asked, its AUTO-RUN
  // CD-ROM unit), with interface paths as the setup services spell them (lower case).
  UsbBridge AddUsbBridge(const std::string& serial, bool autoRunCdRom = false,
                         std::uint16_t product = PID_C, const std::string& usbId = "") {
    UsbBridge bridge;
    const std::string parentId = usbId.empty() ? "USB\\VID_7E55&PID_5801\\" + serial : usbId;
    bridge.usb = machine.AddNode(parentId, rootHub);
    bridge.disk =
        machine.AddNode("USBSTOR\\DISK&VEN_ZQ&PROD_BRIDGE&REV_0100\\" + serial + "&0", bridge.usb);
    bridge.diskPath =
        "\\\\?\\usbstor#disk&ven_zq&prod_bridge&rev_0100#" + serial + "&0#" + kDiskGuid;
    machine.AddInterface(InterfaceClass::Disk, bridge.diskPath);
    machine.AddUnit(bridge.diskPath).bridgeInfo =
        test::BridgeInfoBlock(VID_MAKER, product, 0x20250101, 0, 1);
    if (autoRunCdRom) {
      bridge.cdrom = machine.AddNode(
          "USBSTOR\\CDROM&VEN_AUTO-RUN&PROD_DISC&REV_0100\\" + serial + "&1", bridge.usb);
      bridge.cdromPath =
          "\\\\?\\usbstor#cdrom&ven_auto-run&prod_disc&rev_0100#" + serial + "&1#" + kCdRomGuid;
      machine.AddInterface(InterfaceClass::CdRom, bridge.cdromPath);
      machine.AddUnit(bridge.cdromPath).bridgeInfo =
          test::BridgeInfoBlock(VID_MAKER, product, 0x20250101, 0, 1);
    }
    return bridge;
  }

  // The mounted-device entry of a unit, as the mount manager writes it.
  void Mount(char letter, const std::string& devicePath) {
    machine.AddDrive(letter, 2);
    machine.SetMountedDeviceText(letter, "\\??\\" + devicePath.substr(4));
  }

  platform::DevInstHandle rootHub = 0;
};

TEST_F(DiscoverPassThroughTest, NoInterfacesGiveAnEmptyTable) {
  EXPECT_EQ(DiscoverPassThroughWindows(), CountOrError::Found(0));
  EXPECT_EQ(Table().count, 0u);
  EXPECT_EQ(machine.SetsOpen(), 0u);
}

TEST_F(DiscoverPassThroughTest, ABridgeGetsItsInformationTreePlaceAndLetter) {
  const UsbBridge bridge = AddUsbBridge("0123456789AB");
  Mount('E', bridge.diskPath);

  ASSERT_EQ(DiscoverPassThroughWindows(), CountOrError::Found(1));
  const DeviceRecord& r = Table().records[0];
  EXPECT_EQ(r.TransportKind, TransportKind::MassStorage);
  EXPECT_EQ(r.DeviceClass, DeviceClass::Disk);
  EXPECT_EQ(r.VendorId, VID_MAKER);
  EXPECT_EQ(r.ProductId, PID_C);
  EXPECT_EQ(r.FirmwareVersion, 0x20250101u);
  EXPECT_EQ(r.ModeFlags, 0x10000u);
  EXPECT_EQ(Text(r.DevicePath), bridge.diskPath);
  EXPECT_EQ(Text(r.InstancePath), "usbstor\\disk&ven_zq&prod_bridge&rev_0100\\0123456789AB&0");
  EXPECT_EQ(Text(r.InstanceId), "USBSTOR\\DISK&VEN_ZQ&PROD_BRIDGE&REV_0100\\0123456789AB&0");
  EXPECT_EQ(Text(r.ParentId), "USB\\VID_7E55&PID_5801\\0123456789AB");
  EXPECT_EQ(Text(r.GrandparentId), "USB\\ROOT_HUB20\\4&2C1A&0");
  EXPECT_EQ(Text(r.GreatGrandparentId), "HTREE\\ROOT\\0");
  EXPECT_EQ(r.DevInst, bridge.disk);
  EXPECT_EQ(r.ParentDevInst, bridge.usb);
  EXPECT_EQ(r.GrandparentDevInst, rootHub);
  EXPECT_EQ(r.GreatGrandparentDevInst, machine.Root());
  // No child: the copied ID stays, the handle is 0.
  EXPECT_EQ(Text(r.ChildId), Text(r.InstanceId));
  EXPECT_EQ(r.ChildDevInst, 0u);
  EXPECT_EQ(r.ParentVendorId, 0x7E55);
  EXPECT_EQ(r.ParentProductId, 0x5801);
  EXPECT_EQ(Text(r.SerialNumber), "0123456789AB");
  EXPECT_EQ(r.IdLetter, 'E');
  EXPECT_EQ(Text(r.DriveLetters), "E");
  EXPECT_NE(r.Handle, platform::kInvalidHandle);
  EXPECT_NE(r.Mutex, 0);
  EXPECT_EQ(machine.locks.NamesCreated(), std::vector<std::string>{"DeviceIndex_00"});
  EXPECT_EQ(machine.SetsOpen(), 0u);
}

TEST_F(DiscoverPassThroughTest, AnAutoRunCdRomIsMergedIntoItsDisk) {
  const UsbBridge bridge = AddUsbBridge("SN1", true);
  Mount('E', bridge.diskPath);
  Mount('F', bridge.cdromPath);

  ASSERT_EQ(DiscoverPassThroughWindows(), CountOrError::Found(1));
  const DeviceRecord& r = Table().records[0];
  EXPECT_EQ(r.HasSecondUnit, 1u);
  EXPECT_EQ(Text(r.FirstUnitLetters), "E");
  EXPECT_EQ(Text(r.DriveLetters), "EF");
  EXPECT_EQ(r.IdLetter, 'E');
  EXPECT_EQ(Text(r.SecondDevicePath), bridge.cdromPath);
  EXPECT_EQ(Text(r.SecondInstanceId), "USBSTOR\\CDROM&VEN_AUTO-RUN&PROD_DISC&REV_0100\\SN1&1");
  EXPECT_EQ(Text(r.SecondInstancePath), "usbstor\\cdrom&ven_auto-run&prod_disc&rev_0100\\SN1&1");
  EXPECT_EQ(Text(r.DevicePath), bridge.diskPath);  // the record stays the disk's
  EXPECT_EQ(r.DeviceClass, DeviceClass::Disk);
  // The CD-ROM's handle was closed; the disk's is kept by the record.
  EXPECT_EQ(machine.OpenHandleCount(), 1u);
  EXPECT_EQ(machine.locks.NamesCreated().size(), 1u);
}

TEST_F(DiscoverPassThroughTest, AnEmulatedBridgeAndItsAutoRunUnitBecomeOneRecord) {
  sim::VirtualClock clock;
  sim::BridgeConfig config = sim::BridgeConfig::WithEeprom(sim::EepromKind::Small256);
  config.productId = PID_B;
  config.firmwareVersion = 0x0A0B0C0D;
  auto emulated = std::make_shared<sim::EmulatedBridge>(config, clock);
  const UsbBridge bridge = AddUsbBridge("ZQ5X8X00000001", true);
  machine.AttachEmulated(bridge.diskPath, emulated);
  machine.AttachEmulated(bridge.cdromPath, emulated);
  // The disk has no mounted-device entry: the fixed volume with the bridge's disk signature
  // gives its letter; the CD-ROM unit has its entry.
  machine.AddDrive('D', platform::kDriveFixed, emulated->DiskSignature());
  machine.AddDrive('C', platform::kDriveFixed, emulated->DiskSignature() ^ 1);
  Mount('F', bridge.cdromPath);

  ASSERT_EQ(DiscoverPassThroughWindows(), CountOrError::Found(1));
  const DeviceRecord& r = Table().records[0];
  EXPECT_EQ(r.ProductId, PID_B);
  EXPECT_EQ(r.FirmwareVersion, 0x0A0B0C0Du);
  EXPECT_EQ(r.CodeSize, 0xB800u);
  EXPECT_EQ(r.ModeFlags, 0x100u);
  EXPECT_EQ(r.InfoPresent, 1);
  EXPECT_EQ(r.PairMatch, 1u);
  EXPECT_EQ(r.IdLetter, 'D');
  EXPECT_EQ(Text(r.DriveLetters), "DF");
  EXPECT_EQ(r.HasSecondUnit, 1u);
  EXPECT_EQ(machine.OpenHandleCount(), 1u);
}

TEST_F(DiscoverPassThroughTest, AnAutoRunDiskUnitIsSkippedEntirely) {
  const platform::DevInstHandle usb = machine.AddNode("USB\\VID_7E55&PID_5801\\SN9", rootHub);
  machine.AddNode("USBSTOR\\DISK&VEN_AUTO-RUN&PROD_DISC&REV_0100\\SN9&0", usb);
  const std::string path =
      std::string("\\\\?\\usbstor#disk&ven_auto-run&prod_disc&rev_0100#SN9&0#") + kDiskGuid;
  machine.AddInterface(InterfaceClass::Disk, path);
  machine.AddUnit(path).bridgeInfo = test::BridgeInfoBlock(VID_MAKER, PID_C, 1, 0, 1);

  EXPECT_EQ(DiscoverPassThroughWindows(), CountOrError::Found(0));
  EXPECT_EQ(Table().count, 0u);
  EXPECT_EQ(machine.OpenHandleCount(), 0u);
}

TEST_F(DiscoverPassThroughTest, UnitsThatAreNotBridgesAreSkippedAndClosed) {
  // A USB stick that does not answer the bridge information command.
  const UsbBridge stick = AddUsbBridge("STICK");
  machine.AddUnit(stick.diskPath);  // answers nothing
  // A bridge whose open is refused.
  const UsbBridge refused = AddUsbBridge("REFUSED");
  machine.RefuseOpen(refused.diskPath);
  // A volume interface outside the accepted prefixes.
  machine.AddInterface(InterfaceClass::Disk,
                       std::string("\\\\?\\storage#volume#1&30a96598&0#") + kDiskGuid);
  // An interface whose detail cannot be read.
  const UsbBridge noDetail = AddUsbBridge("NODETAIL");
  machine.FailDetailFor(noDetail.diskPath);
  // An interface whose device is no longer present in the tree.
  machine.AddInterface(InterfaceClass::Disk,
                       std::string("\\\\?\\usbstor#disk&ven_gone#1&0#") + kDiskGuid);
  // And one real bridge after them all.
  AddUsbBridge("REAL");

  ASSERT_EQ(DiscoverPassThroughWindows(), CountOrError::Found(1));
  EXPECT_EQ(Text(Table().records[0].SerialNumber), "REAL");
  EXPECT_EQ(machine.OpenHandleCount(), 1u);
}

TEST_F(DiscoverPassThroughTest, LettersComeFromSignaturesWhenTheMountedEntryIsMissing) {
  const UsbBridge bridge = AddUsbBridge("SN1");
  machine.UnitFor(bridge.diskPath).diskSignature = 0x1234ABCD;
  machine.AddDrive('C', platform::kDriveFixed, 0x0BADF00D);
  machine.AddDrive('G', platform::kDriveFixed, 0x1234ABCD);
  machine.AddDrive('H', 2 /* removable */, 0x1234ABCD);
  machine.AddDrive('K', platform::kDriveFixed, 0x1234ABCD);

  ASSERT_EQ(DiscoverPassThroughWindows(), CountOrError::Found(1));
  const DeviceRecord& r = Table().records[0];
  EXPECT_EQ(Text(r.DriveLetters), "GK");
  EXPECT_EQ(r.IdLetter, 'G');
  // Every volume opened for its signature was closed again.
  EXPECT_EQ(machine.OpenHandleCount(), 1u);
}

TEST_F(DiscoverPassThroughTest, ASignatureOfZeroGivesIdLetterZero) {
  AddUsbBridge("SN1");  // signature 0
  machine.AddDrive('C', platform::kDriveFixed, 0);
  ASSERT_EQ(DiscoverPassThroughWindows(), CountOrError::Found(1));
  EXPECT_EQ(Table().records[0].IdLetter, '0');
  EXPECT_EQ(Text(Table().records[0].DriveLetters), "");
}

TEST_F(DiscoverPassThroughTest, AnUnparsableParentIdGivesMakerDefaults) {
  for (const std::string& parent : std::vector<std::string>{
           "USB\\VID_7E55&PID_5801", "USB\\ROOT_HUB\\5&1", "USB\\VID_7E55&PID_\\X"}) {
    Reset();
    SCOPED_TRACE(parent);
    const std::string serial = "P" + std::to_string(parent.size());
    AddUsbBridge(serial, false, PID_C, parent);
    ASSERT_GE(DiscoverPassThroughWindows().Count(), 1u);
    const DeviceRecord& r = Table().records[Table().count - 1];
    EXPECT_EQ(r.ParentVendorId, VID_MAKER);
    EXPECT_EQ(r.ParentProductId, 0);
    EXPECT_EQ(Text(r.SerialNumber), "");
  }
}

TEST_F(DiscoverPassThroughTest, SeparateBridgesWithPrefixSharingSerialsStaySeparate) {
  // "...\1" is contained in "...\12": only an exact parent match is the same USB device.
  AddUsbBridge("12");
  AddUsbBridge("1");
  ASSERT_EQ(DiscoverPassThroughWindows(), CountOrError::Found(2));
  EXPECT_EQ(Table().records[0].HasSecondUnit, 0u);
  EXPECT_EQ(Table().records[1].HasSecondUnit, 0u);
  EXPECT_EQ(machine.locks.NamesCreated(),
            (std::vector<std::string>{"DeviceIndex_00", "DeviceIndex_01"}));
}

TEST_F(DiscoverPassThroughTest, TwoInterfacesOfOneInstanceCountAsDuplicates) {
  const platform::DevInstHandle node = machine.AddNode("SBP2\\ZQ&BRIDGE&LUN0\\0001", rootHub);
  (void)node;
  const std::string first = std::string("\\\\?\\sbp2#zq&bridge&lun0#0001#") + kDiskGuid;
  const std::string second = std::string("\\\\?\\SBP2#ZQ&BRIDGE&LUN0#0001#") + kCdRomGuid;
  machine.AddInterface(InterfaceClass::Disk, first);
  machine.AddInterface(InterfaceClass::CdRom, second);
  machine.AddUnit(first).bridgeInfo = test::BridgeInfoBlock(VID_MAKER, PID_A, 1, 2, 0);
  machine.AddUnit(second).bridgeInfo = test::BridgeInfoBlock(VID_MAKER, PID_A, 1, 2, 0);

  ASSERT_EQ(DiscoverPassThroughWindows(), CountOrError::Found(2));
  EXPECT_EQ(Table().records[0].DuplicateCount, 0u);
  EXPECT_EQ(Table().records[1].DuplicateCount, 1u);
  EXPECT_EQ(Table().records[1].CodeSize, 0xB800u);
  // SBP-2 units never merge and carry no USB parent fields.
  EXPECT_EQ(Table().records[1].HasSecondUnit, 0u);
  EXPECT_EQ(Table().records[1].ParentVendorId, 0);
}

TEST_F(DiscoverPassThroughTest, AMissingCdRomListEndsWithMinusThreeKeepingDisks) {
  AddUsbBridge("SN1");
  machine.FailClassList(InterfaceClass::CdRom);
  EXPECT_EQ(DiscoverPassThroughWindows(), ApiError::NoInterfaceList);
  EXPECT_EQ(Table().count, 1u);
  EXPECT_EQ(machine.SetsOpen(), 0u);
}

TEST_F(DiscoverPassThroughTest, ALockThatCannotBeHadEndsWithMinusTwoKeepingTheRecord) {
  AddUsbBridge("SN1");
  AddUsbBridge("SN2");
  machine.locks.FailAll(true);
  EXPECT_EQ(DiscoverPassThroughWindows(), ApiError::TooManyDevices);
  ASSERT_EQ(Table().count, 1u);
  EXPECT_EQ(Table().records[0].Mutex, 0);
  EXPECT_EQ(machine.SetsOpen(), 0u);
}

TEST_F(DiscoverPassThroughTest, MutexNamesHaveTwoDigitsAtLeast) {
  EXPECT_EQ(DeviceMutexName(0), "DeviceIndex_00");
  EXPECT_EQ(DeviceMutexName(5), "DeviceIndex_05");
  EXPECT_EQ(DeviceMutexName(99), "DeviceIndex_99");
  EXPECT_EQ(DeviceMutexName(100), "DeviceIndex_100");
}

class IdeScsiDiscoveryTest : public DiscoverPassThroughTest {
 protected:
  // An IDE or SCSI disk whose identification carries vendor; sector 0 holds signature.
  test::FakeUnit& AddDisk(const std::string& instanceId, const std::string& path,
                          std::uint16_t vendor, std::uint32_t signature) {
    machine.AddNode(instanceId, rootHub);
    machine.AddInterface(InterfaceClass::Disk, path);
    test::FakeUnit& unit = machine.AddUnit(path);
    unit.identifyVendor = vendor;
    unit.identifyProduct = PID_C;
    unit.sector0[440] = static_cast<std::uint8_t>(signature);
    unit.sector0[441] = static_cast<std::uint8_t>(signature >> 8);
    unit.sector0[442] = static_cast<std::uint8_t>(signature >> 16);
    unit.sector0[443] = static_cast<std::uint8_t>(signature >> 24);
    return unit;
  }
  void MountBySignature(char letter, std::uint32_t signature) {
    machine.AddDrive(letter, platform::kDriveFixed);
    std::vector<std::uint8_t> entry = {static_cast<std::uint8_t>(signature),
                                       static_cast<std::uint8_t>(signature >> 8),
                                       static_cast<std::uint8_t>(signature >> 16),
                                       static_cast<std::uint8_t>(signature >> 24),
                                       0,
                                       0x7E,
                                       0,
                                       0,
                                       0,
                                       0,
                                       0,
                                       0};
    machine.SetMountedDeviceBytes(letter, entry);
  }
};

TEST_F(IdeScsiDiscoveryTest, AnIdeDiskOfTheMakerIsTakenWithSectorZeroLetters) {
  AddDisk("IDE\\DISKZQ_BRIDGE\\5&1", std::string("\\\\?\\ide#diskzq_bridge#5&1#") + kDiskGuid,
          VID_MAKER, 0xA1B2C3D4);
  AddDisk("IDE\\DISKOTHER\\5&2", std::string("\\\\?\\ide#diskother#5&2#") + kDiskGuid, 0x1234,
          0xA1B2C3D4);
  MountBySignature('D', 0xA1B2C3D4);
  MountBySignature('E', 0x11111111);
  MountBySignature('F', 0xA1B2C3D4);

  ASSERT_EQ(DiscoverPassThroughWindows(), CountOrError::Found(1));
  const DeviceRecord& r = Table().records[0];
  EXPECT_EQ(r.TransportKind, TransportKind::Ide);
  EXPECT_EQ(r.DeviceClass, DeviceClass::Disk);
  EXPECT_EQ(Text(r.DriveLetters), "DF");
  EXPECT_EQ(r.IdLetter, 'D');
  // Identification only decides acceptance: the information fields stay 0.
  EXPECT_EQ(r.VendorId, 0);
  EXPECT_EQ(r.ProductId, 0);
  // The other vendor's disk was closed.
  EXPECT_EQ(machine.OpenHandleCount(), 1u);
}

TEST_F(IdeScsiDiscoveryTest, EmulatedIdeAndScsiDisksAreIdentifiedAsTheMakers) {
  sim::VirtualClock clock;
  auto emulated = std::make_shared<sim::EmulatedBridge>(sim::BridgeConfig{}, clock);
  const std::string ide = std::string("\\\\?\\ide#diskzq_bridge#5&1#") + kDiskGuid;
  const std::string scsi = std::string("\\\\?\\scsi#disk&ven_zq#4&9#") + kDiskGuid;
  machine.AddNode("IDE\\DISKZQ_BRIDGE\\5&1", rootHub);
  machine.AddNode("SCSI\\DISK&VEN_ZQ\\4&9", rootHub);
  machine.AddInterface(InterfaceClass::Disk, ide);
  machine.AddInterface(InterfaceClass::Disk, scsi);
  machine.AttachEmulated(ide, emulated, sim::Presentation::IdeDisk);
  machine.AttachEmulated(scsi, emulated, sim::Presentation::ScsiDisk);
  MountBySignature('E', emulated->DiskSignature());

  ASSERT_EQ(DiscoverPassThroughWindows(), CountOrError::Found(2));
  EXPECT_EQ(Table().records[0].TransportKind, TransportKind::Ide);
  EXPECT_EQ(Table().records[1].TransportKind, TransportKind::Scsi);
  EXPECT_EQ(Table().records[0].IdLetter, 'E');
  EXPECT_EQ(Text(Table().records[1].DriveLetters), "E");
}

TEST_F(IdeScsiDiscoveryTest, AScsiDiskFallsBackToBlockReadIdentification) {
  test::FakeUnit& unit =
      AddDisk("SCSI\\DISK&VEN_ZQ\\4&9", std::string("\\\\?\\scsi#disk&ven_zq#4&9#") + kDiskGuid,
              VID_MAKER, 0);
  unit.answersSmart = false;
  unit.answersMiniport = false;
  ASSERT_EQ(DiscoverPassThroughWindows(), CountOrError::Found(1));
  EXPECT_EQ(Table().records[0].TransportKind, TransportKind::Scsi);
  EXPECT_EQ(Table().records[0].IdLetter, '\0');

  Reset();
  unit.answersLbaReads = false;
  EXPECT_EQ(DiscoverPassThroughWindows(), CountOrError::Found(0));
  EXPECT_EQ(Table().count, 0u);
}

TEST_F(IdeScsiDiscoveryTest, IdeAndScsiCdRomsAreSkipped) {
  machine.AddNode("IDE\\CDROMZQ\\5&1", rootHub);
  machine.AddNode("SCSI\\CDROM&VEN_ZQ\\4&1", rootHub);
  for (const std::string& path : {std::string("\\\\?\\ide#cdromzq#5&1#") + kCdRomGuid,
                                  std::string("\\\\?\\scsi#cdrom&ven_zq#4&1#") + kCdRomGuid}) {
    machine.AddInterface(InterfaceClass::CdRom, path);
    machine.AddUnit(path).bridgeInfo = test::BridgeInfoBlock(VID_MAKER, PID_C, 1, 0, 1);
  }
  EXPECT_EQ(DiscoverPassThroughWindows(), CountOrError::Found(0));
  EXPECT_EQ(machine.OpenHandleCount(), 0u);
}

TEST_F(IdeScsiDiscoveryTest, AnIdeDeviceThatCannotBeOpenedEndsDiscoveryWithZero) {
  AddUsbBridge("SN1");
  const std::string ide = std::string("\\\\?\\ide#diskzq#5&1#") + kDiskGuid;
  AddDisk("IDE\\DISKZQ\\5&1", ide, VID_MAKER, 0);
  machine.RefuseOpen(ide);
  AddUsbBridge("SN2");  // never reached

  EXPECT_EQ(DiscoverPassThroughWindows(), CountOrError::Found(0));
  EXPECT_EQ(Table().count, 1u);
  EXPECT_EQ(machine.SetsOpen(), 0u);
}

// The system's own device services: a machine without bridges (Wine lists no disk
// interfaces and no host controllers; Linux has nothing present) gives an empty table, and the
// hub scan walks whatever controllers exist without touching the empty table.
TEST(SystemDeviceServices, AMachineWithoutBridgesGivesAnEmptyTable) {
  ResetBridgeLayerState();
  DeviceLayer().ntFlag = true;
  test::FakeWindowsMachine io;  // device opens answer nothing, so no real device is touched
  platform::ScopedOverride<platform::DeviceIo> ioOverride(&io);
  platform::ScopedOverride<platform::NamedLocks> locksOverride(&io.locks);
  EXPECT_EQ(DiscoverPassThroughWindows(), CountOrError::Found(0));
  EXPECT_EQ(DeviceLayer().table.count, 0u);
  ScanHubPortsWindows();
  EXPECT_EQ(FindLetterByMountedDevice("USBSTOR\\DISK&VEN_NONE\\0&0"), '0');
  ResetBridgeLayerState();
}

}  // namespace
}  // namespace burnwell::bridge
