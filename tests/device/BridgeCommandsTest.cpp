#include "device/relay/BridgeCommands.h"

#include <gtest/gtest.h>

#include <initializer_list>

#include "common/MakerIds.h"

namespace burnwell::device::relay {
namespace {

using wire::SCSI_IOCTL_DATA_IN;
using wire::SCSI_IOCTL_DATA_OUT;
using wire::ScsiPassThroughHeader;

constexpr std::uint8_t kHi = VID_MAKER >> 8;
constexpr std::uint8_t kLo = VID_MAKER & 0xFF;
constexpr std::uint8_t kIn = SCSI_IOCTL_DATA_IN;
constexpr std::uint8_t kOut = SCSI_IOCTL_DATA_OUT;

struct Case {
  const char* what;
  std::initializer_list<std::uint8_t> cdb;
  std::uint8_t cdbLength;
  std::uint8_t dataIn;
  std::uint32_t length;
  CommandRefusal expected;
};

ScsiPassThroughHeader HeaderOf(const Case& c) {
  ScsiPassThroughHeader header;
  std::copy(c.cdb.begin(), c.cdb.end(), header.Cdb.begin());
  header.CdbLength = c.cdbLength;
  header.DataIn = c.dataIn;
  header.DataTransferLength = c.length;
  return header;
}

using R = CommandRefusal;

// The identification blocks: 0xFF0000 plus each byte of VID_MAKER and PID_B, and 0x600000.
constexpr std::uint8_t kVidBlockLow = VID_MAKER & 0xFF;
constexpr std::uint8_t kPidBlockHigh = PID_B >> 8;

const Case kCases[] = {
    // The tool's own commands, as its command routines build them.
    {"bridge information, 16 bytes", {0xD0, 0, 0, 0, kHi, kLo}, 12, kIn, 16, R::None},
    {"bridge information, 512 bytes", {0xD0, 0, 0, 0, kHi, kLo}, 12, kIn, 512, R::None},
    {"EEPROM write of 8 bytes at 0x1234", {0xD1, 8, 0x12, 0x34, kHi, kLo}, 12, kOut, 8, R::None},
    {"EEPROM read of 32 bytes", {0xD2, 32, 0, 0x20, kHi, kLo}, 12, kIn, 32, R::None},
    {"flash select", {0xD3, 0, 0, 0, kHi, kLo}, 16, kOut, 0, R::None},
    {"flash deselect", {0xD4, 0, 0, 0, kHi, kLo}, 16, kOut, 0, R::None},
    {"flash write of 4 bytes", {0xD5, 0, 0, 4, kHi, kLo}, 12, kOut, 4, R::None},
    {"flash read of 32 bytes", {0xD6, 0, 0, 32, kHi, kLo}, 12, kIn, 32, R::None},
    {"IDENTIFY DEVICE through the bridge",
     {0xD8, 0x15, 0, 0, kHi, kLo, 0, 0, 2, 0, 0, 0, 0, 0, 0xA0, 0xEC},
     16,
     kIn,
     512,
     R::None},
    {"INQUIRY of 36 bytes", {0x12, 0, 0, 0, 36}, 12, kIn, 36, R::None},
    {"INQUIRY of the serial number page", {0x12, 1, 0x80, 0, 255}, 6, kIn, 255, R::None},
    {"READ(10) of the last identification block",
     {0x28, 0, 0, 0x60, 0, 0, 0, 0, 1},
     10,
     kIn,
     512,
     R::None},
    {"READ(10) of an identification block",
     {0x28, 0, 0, 0xFF, 0, kVidBlockLow, 0, 0, 1},
     10,
     kIn,
     512,
     R::None},
    {"READ(10) of another identification block",
     {0x28, 0, 0, 0xFF, 0, kPidBlockHigh, 0, 0, 1},
     10,
     kIn,
     512,
     R::None},
    {"TEST UNIT READY", {0x00}, 6, kOut, 0, R::None},
    {"REQUEST SENSE", {0x03, 0, 0, 0, 18}, 6, kIn, 18, R::None},
    // Commands that reach the disk behind the bridge, or anything else of the device.
    {"WRITE(10)", {0x2A, 0, 0, 0, 0, 0, 0, 0, 1}, 10, kOut, 512, R::UnknownOperation},
    {"WRITE(16)", {0x8A}, 16, kOut, 512, R::UnknownOperation},
    {"ATA PASS-THROUGH(16)", {0x85, 0x0D, 0x06}, 16, kOut, 512, R::UnknownOperation},
    {"ATA PASS-THROUGH(12)", {0xA1, 0x0D, 0x06}, 12, kOut, 512, R::UnknownOperation},
    {"FORMAT UNIT", {0x04}, 6, kOut, 0, R::UnknownOperation},
    {"vendor 0xD7", {0xD7, 0, 0, 0, kHi, kLo}, 12, kIn, 16, R::UnknownOperation},
    {"READ(10) of block 0", {0x28, 0, 0, 0, 0, 0, 0, 0, 1}, 10, kIn, 512, R::Fields},
    {"READ(10) of two identification blocks",
     {0x28, 0, 0, 0x60, 0, 0, 0, 0, 2},
     10,
     kIn,
     1024,
     R::Fields},
    {"READ(10) with FUA", {0x28, 0x08, 0, 0x60, 0, 0, 0, 0, 1}, 10, kIn, 512, R::Fields},
    {"READ(10) written to", {0x28, 0, 0, 0x60, 0, 0, 0, 0, 1}, 10, kOut, 512, R::Direction},
    {"bridge information without the signature", {0xD0}, 12, kIn, 16, R::Signature},
    {"bridge information of 15 bytes", {0xD0, 0, 0, 0, kHi, kLo}, 12, kIn, 15, R::Fields},
    {"bridge information sent out", {0xD0, 0, 0, 0, kHi, kLo}, 12, kOut, 16, R::Direction},
    {"bridge information with an undefined direction",
     {0xD0, 0, 0, 0, kHi, kLo},
     12,
     2,
     16,
     R::Direction},
    {"bridge information with a 16-byte CDB", {0xD0, 0, 0, 0, kHi, kLo}, 16, kIn, 16, R::CdbLength},
    {"flash write longer than its CDB says", {0xD5, 0, 0, 4, kHi, kLo}, 12, kOut, 32, R::Fields},
    {"flash write of 33 bytes", {0xD5, 0, 0, 33, kHi, kLo}, 12, kOut, 33, R::Fields},
    {"flash select with data", {0xD3, 0, 0, 0, kHi, kLo}, 16, kOut, 16, R::Fields},
    {"EEPROM write with a stray CDB byte",
     {0xD1, 8, 0, 0, kHi, kLo, 0, 0, 0, 0, 0, 1},
     12,
     kOut,
     8,
     R::Fields},
    {"WRITE DMA through the bridge",
     {0xD8, 0x05, 0, 0, kHi, kLo, 0, 0, 2, 0, 1, 0, 0, 0, 0xE0, 0xCA},
     16,
     kOut,
     512,
     R::Direction},
    {"READ DMA through the bridge",
     {0xD8, 0x15, 0, 0, kHi, kLo, 0, 0, 2, 0, 1, 0, 0, 0, 0xE0, 0xC8},
     16,
     kIn,
     512,
     R::Fields},
    {"INQUIRY longer than its CDB says", {0x12, 0, 0, 0, 36}, 12, kIn, 96, R::Fields},
    {"INQUIRY with a 16-byte CDB", {0x12, 0, 0, 0, 36}, 16, kIn, 36, R::CdbLength},
    {"INQUIRY with a CDB length beyond the CDB", {0x12, 0, 0, 0, 36}, 17, kIn, 36, R::CdbLength},
};

TEST(BridgeCommandsTest, PassesExactlyTheToolsOwnCommands) {
  for (const Case& c : kCases) {
    const CommandCheck check = CheckBridgeCommand(HeaderOf(c));
    EXPECT_EQ(check.refusal, c.expected) << c.what << ": " << RefusalText(check.refusal);
  }
}

TEST(BridgeCommandsTest, BytesBeyondTheCdbLengthNeverDecide) {
  // Bytes 6..11 of a 6-byte INQUIRY are not sent: whatever they hold, the device sees INQUIRY.
  Case inquiry{"", {0x12, 0, 0, 0, 36, 0, 0xFF, 0xFF}, 6, kIn, 36, R::None};
  EXPECT_TRUE(CheckBridgeCommand(HeaderOf(inquiry)).Allowed());
  inquiry.cdbLength = 12;
  EXPECT_EQ(CheckBridgeCommand(HeaderOf(inquiry)).refusal, R::Fields);
}

}  // namespace
}  // namespace burnwell::device::relay
