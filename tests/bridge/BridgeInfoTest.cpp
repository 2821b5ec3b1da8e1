#include "device/BridgeInfo.h"

#include <gtest/gtest.h>

#include "FakeWindowsMachine.h"
#include "common/MakerIds.h"

namespace burnwell::bridge {

using device::DeviceRecord;
namespace {

DeviceRecord Decoded(const std::array<std::uint8_t, 16>& block) {
  DeviceRecord record;
  DecodeBridgeInfo(block.data(), record);
  return record;
}

TEST(BridgeInfoDecode, CodeSizeFollowsTheHighByteOfTheLargeProducts) {
  EXPECT_EQ(Decoded(test::BridgeInfoBlock(VID_MAKER, PID_A, 0, 0, 1)).CodeSize, 0xB800u);
  EXPECT_EQ(Decoded(test::BridgeInfoBlock(VID_MAKER, PID_B, 0, 0, 1)).CodeSize, 0xB800u);
  // Same high byte, any low byte: still a large product.
  const auto sharingHighByte = static_cast<std::uint16_t>((PID_A & 0xFF00) | 0x77);
  EXPECT_EQ(Decoded(test::BridgeInfoBlock(VID_MAKER, sharingHighByte, 0, 0, 1)).CodeSize, 0xB800u);
  EXPECT_EQ(Decoded(test::BridgeInfoBlock(VID_MAKER, PID_C, 0, 0, 1)).CodeSize, 0x5C00u);
  EXPECT_EQ(Decoded(test::BridgeInfoBlock(VID_MAKER, PID_H, 0, 0, 1)).CodeSize, 0x5C00u);
}

TEST(BridgeInfoDecode, MemoryKindGivesModeFlagsAndPresence) {
  struct Case {
    std::uint8_t mode, flag;
    std::uint32_t modeFlags;
    std::uint16_t infoPresent;
    std::uint32_t byte11Set;
  };
  const Case cases[] = {
      {0, 0, 0, 0, 0},           // nothing reported
      {1, 0, 0x100, 1, 0},       // 256-byte EEPROM
      {2, 0, 0x10000, 1, 0},     // 64 KiB EEPROM
      {0, 1, 0x10000, 1, 1},     // serial flash
      {1, 0x80, 0x10000, 1, 1},  // the flash flag wins over a small EEPROM
      {3, 0, 0, 1, 0},           // unknown kind: present, no mode
  };
  for (const Case& c : cases) {
    const DeviceRecord record = Decoded(test::BridgeInfoBlock(VID_MAKER, PID_C, 0, c.mode, c.flag));
    SCOPED_TRACE(testing::Message() << "mode " << int(c.mode) << " flag " << int(c.flag));
    EXPECT_EQ(record.ModeFlags, c.modeFlags);
    EXPECT_EQ(record.InfoPresent, c.infoPresent);
    EXPECT_EQ(record.Byte11Set, c.byte11Set);
  }
}

TEST(BridgeInfoDecode, PairMatchComparesBothBytes) {
  auto block = test::BridgeInfoBlock(VID_MAKER, PID_C, 0, 0, 1);
  block[8] = 0x12, block[9] = 0x34, block[12] = 0x12, block[13] = 0x34;
  EXPECT_EQ(Decoded(block).PairMatch, 1u);
  block[13] = 0x35;
  EXPECT_EQ(Decoded(block).PairMatch, 0u);
  block[13] = 0x34, block[12] = 0x13;
  EXPECT_EQ(Decoded(block).PairMatch, 0u);
}

TEST(BridgeInfoDecode, NothingOfAnEarlierDecodeSurvives) {
  DeviceRecord record;
  DecodeBridgeInfo(test::BridgeInfoBlock(VID_MAKER, PID_A, 7, 0, 1).data(), record);
  const std::array<std::uint8_t, 16> empty{};
  DecodeBridgeInfo(empty.data(), record);
  EXPECT_EQ(record.ModeFlags, 0u);
  EXPECT_EQ(record.InfoPresent, 0u);
  EXPECT_EQ(record.Byte11Set, 0u);
  EXPECT_EQ(record.CodeSize, 0x5C00u);
  EXPECT_EQ(record.FirmwareVersion, 0u);
  EXPECT_EQ(record.PairMatch, 1u);  // zero equals zero
}

}  // namespace
}  // namespace burnwell::bridge
