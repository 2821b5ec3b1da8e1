#include "sim/Eeprom.h"

#include <gtest/gtest.h>

#include <vector>

namespace burnwell::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Read(const Eeprom& e, std::uint16_t address, std::size_t n) {
  Bytes out(n);
  e.Read(address, out);
  return out;
}

TEST(Eeprom, SizesAndPages) {
  EXPECT_EQ(Eeprom(EepromKind::Small256).Size(), 256u);
  EXPECT_EQ(Eeprom(EepromKind::Small256).PageSize(), 8u);
  EXPECT_EQ(Eeprom(EepromKind::Large64k).Size(), 65536u);
  EXPECT_EQ(Eeprom(EepromKind::Large64k).PageSize(), 128u);
}

TEST(Eeprom, WriteWrapsInsideItsPage) {
  Eeprom small(EepromKind::Small256);
  const Bytes data = {1, 2, 3, 4, 5};
  small.Write(0x0D, data);
  EXPECT_EQ(Read(small, 0x08, 8), (Bytes{4, 5, 0xFF, 0xFF, 0xFF, 1, 2, 3}));
  EXPECT_EQ(Read(small, 0x10, 1), Bytes{0xFF}) << "the next page is untouched";

  Eeprom large(EepromKind::Large64k);
  Bytes block(32, 0xA0);
  large.Write(0x1270, block);  // 16 bytes to the page end at 0x1280, 16 wrap to 0x1200
  EXPECT_EQ(Read(large, 0x1200, 16), Bytes(16, 0xA0));
  EXPECT_EQ(Read(large, 0x1270, 16), Bytes(16, 0xA0));
  EXPECT_EQ(Read(large, 0x1280, 1), Bytes{0xFF});
}

TEST(Eeprom, AddressesUseTheBitsThePartHas) {
  Eeprom small(EepromKind::Small256);
  const Bytes one = {0x42};
  small.Write(0x1234, one);
  EXPECT_EQ(Read(small, 0x0034, 1), Bytes{0x42});
  Eeprom large(EepromKind::Large64k);
  large.Write(0xFFFF, one);
  EXPECT_EQ(Read(large, 0xFFFF, 1), Bytes{0x42});
  EXPECT_EQ(Read(large, 0x00FF, 1), Bytes{0xFF});
}

TEST(Eeprom, ReadsRunOnAcrossPagesAndWrapAtTheEnd) {
  Eeprom small(EepromKind::Small256);
  const Bytes a = {0x11}, b = {0x22};
  small.Write(0xFF, a);
  small.Write(0x00, b);
  EXPECT_EQ(Read(small, 0xFF, 2), (Bytes{0x11, 0x22}));
}

}  // namespace
}  // namespace burnwell::sim
