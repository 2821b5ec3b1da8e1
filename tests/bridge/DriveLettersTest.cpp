#include "DiscoveryTestFixture.h"
#include "bridge/Discovery.h"

namespace burnwell::bridge {

using device::DeviceRecord;
using device::LetterText;
namespace {

TEST(InstanceForm, InterfacePathsBecomeInstanceIds) {
  EXPECT_EQ(
      InstanceFormOf(
          "\\\\?\\usbstor#disk&ven_zq&prod_x&rev_1#0001&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"),
      "usbstor\\disk&ven_zq&prod_x&rev_1\\0001&0");
  // Inner separators between the first and the last become '/'.
  EXPECT_EQ(InstanceFormOf("\\\\?\\scsi#disk#a#b#{guid}"), "scsi\\disk/a\\b");
  // Mounted-device names without '#' keep their text after the four-character prefix.
  EXPECT_EQ(InstanceFormOf("\\??\\STORAGE\\RemovableMedia\\7&1&0&RM"),
            "STORAGE\\RemovableMedia\\7&1&0&RM");
  EXPECT_EQ(InstanceFormOf("\\??\\"), "");
  EXPECT_EQ(InstanceFormOf("ab"), "");
}

class DriveLettersTest : public test::DiscoveryTest {};

constexpr const char* kUnit = "usbstor\\disk&ven_zq&prod_bridge&rev_0100\\SN1&0";

TEST_F(DriveLettersTest, TheEntryNamingTheUnitGivesItsLetter) {
  machine.AddDrive('C', platform::kDriveFixed);
  machine.SetMountedDeviceBytes('C', {0x78, 0x56, 0x34, 0x12, 0, 0x7E, 0, 0, 0, 0, 0, 0});
  machine.AddDrive('F', 2);
  machine.SetMountedDeviceText('F',
                               "\\??\\USBSTOR#Disk&Ven_ZQ&Prod_Bridge&Rev_0100#SN1&0#{53f56307-"
                               "b6bf-11d0-94f2-00a0c91efb8b}");
  EXPECT_EQ(FindLetterByMountedDevice(kUnit), 'F');
}

TEST_F(DriveLettersTest, ARemovableVolumeIsMatchedByTheParentIdPrefix) {
  machine.AddDrive('G', 2);
  machine.SetMountedDeviceText(
      'G', "\\??\\STORAGE#RemovableMedia#8&2f1e&0&RM#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}");
  EXPECT_EQ(FindLetterByMountedDevice(kUnit), '0');  // no ParentIdPrefix known yet
  machine.SetRegistryText(std::string("SYSTEM\\CurrentControlSet\\Enum\\") + kUnit,
                          "ParentIdPrefix", "8&2F1E&0");
  EXPECT_EQ(FindLetterByMountedDevice(kUnit), 'G');
  machine.SetRegistryText(std::string("SYSTEM\\CurrentControlSet\\Enum\\") + kUnit,
                          "ParentIdPrefix", "9&AAAA&0");
  EXPECT_EQ(FindLetterByMountedDevice(kUnit), '0');
  machine.SetRegistryText(std::string("SYSTEM\\CurrentControlSet\\Enum\\") + kUnit,
                          "ParentIdPrefix", "");
  EXPECT_EQ(FindLetterByMountedDevice(kUnit), '0');  // an empty prefix is in every name
}

TEST_F(DriveLettersTest, SignatureLettersAreBoundedByTheLetterBuffer) {
  const platform::Handle unit = [&] {
    machine.AddUnit("\\\\.\\PhysicalDrive9").diskSignature = 0x55AA55AA;
    return machine.Open("\\\\.\\PhysicalDrive9", 0);
  }();
  for (char letter = 'A'; letter <= 'Z'; ++letter)
    machine.AddDrive(letter, platform::kDriveFixed, 0x55AA55AA);
  LetterText letters{};
  for (int i = 0; i < 20; ++i) letters[i] = 'Q';
  EXPECT_EQ(FindLettersBySignature(unit, letters), 'A');
  const std::string all = Text(letters);
  EXPECT_EQ(all.size(), 31u);
  EXPECT_EQ(all.substr(0, 20), std::string(20, 'Q'));
  EXPECT_EQ(all.substr(20), "ABCDEFGHIJK");
  EXPECT_EQ(machine.OpenHandleCount(), 1u);
}

TEST_F(DriveLettersTest, NoMatchingVolumeGivesNul) {
  machine.AddUnit("\\\\.\\PhysicalDrive9").diskSignature = 0x55AA55AA;
  const platform::Handle unit = machine.Open("\\\\.\\PhysicalDrive9", 0);
  machine.AddDrive('C', platform::kDriveFixed, 0x11111111);
  LetterText letters{};
  EXPECT_EQ(FindLettersBySignature(unit, letters), '\0');
  EXPECT_EQ(Text(letters), "");
  EXPECT_EQ(GetDiskSignature(unit), 0x55AA55AAu);
  EXPECT_EQ(GetDiskSignature(platform::kInvalidHandle), 0u);
}

TEST_F(DriveLettersTest, SectorZeroFailuresGiveMinusThree) {
  test::FakeUnit& disk = machine.AddUnit("\\\\.\\PhysicalDrive3");
  DeviceRecord record;
  record.Handle = machine.Open("\\\\.\\PhysicalDrive3", 0);
  machine.AddDrive('C', platform::kDriveFixed);
  EXPECT_FALSE(FindLettersBySector0(record));  // no MountedDevices key
  machine.SetMountedDeviceBytes('C', {0, 0, 0, 0});
  EXPECT_TRUE(FindLettersBySector0(record));
  EXPECT_EQ(Text(record.DriveLetters), "C");  // a blank signature matches a blank entry
  disk.sector0Readable = false;
  EXPECT_FALSE(FindLettersBySector0(record));
}

}  // namespace
}  // namespace burnwell::bridge
