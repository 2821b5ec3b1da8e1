#include "image/ConfigBlock.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/Bytes.h"
#include "common/MakerIds.h"

namespace burnwell::image {
namespace {

ImageHeader Template(std::uint16_t product = PID_A) {
  ImageHeader h{};
  BuildTemplate(h, product);
  return h;
}

std::vector<std::size_t> ChainLengths(const ImageHeader& h) {
  std::vector<std::size_t> lengths;
  for (int n = 0;; ++n) {
    auto place = FindStringDescriptor(h, n);
    if (!place) return lengths;
    lengths.push_back(place->length);
  }
}

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// ---- Template ----------------------------------------------------------------------------------

TEST(ConfigBlockTemplate, LargeVariantKeepsPidAInBlockAndGivenProductInTrailer) {
  const ImageHeader h = Template(PID_B);
  EXPECT_EQ(LoadLe16(&h[0]), VID_MAKER);
  EXPECT_EQ(LoadLe16(&h[2]), VID_MAKER);
  EXPECT_EQ(LoadLe16(&h[4]), PID_A);
  EXPECT_EQ(h[10], 0x40);
  EXPECT_EQ(LoadLe32(&h[256]), PID_B);
}

TEST(ConfigBlockTemplate, OtherVariantUsesPidCAndClearOption) {
  for (std::uint16_t product : {PID_C, PID_D, PID_H}) {
    const ImageHeader h = Template(product);
    EXPECT_EQ(LoadLe16(&h[4]), PID_C);
    EXPECT_EQ(h[10], 0x00);
    EXPECT_EQ(LoadLe16(&h[256]), product);
    EXPECT_EQ(LoadLe16(&h[258]), 0);
  }
}

TEST(ConfigBlockTemplate, FixedBytesAndZeroedReserves) {
  const ImageHeader h = Template();
  EXPECT_EQ(h[6], 0x00);
  EXPECT_EQ(h[7], 0x01);
  EXPECT_EQ(h[8], 0xC0);
  EXPECT_EQ(h[9], 50);
  EXPECT_EQ(h[11], 0x00);
  EXPECT_EQ(h[12], 0x00);
  EXPECT_EQ(h[13], 0x00);
  EXPECT_EQ(h[14], 0xFF);
  EXPECT_EQ(h[249], 0x06);
  for (std::size_t i = 142; i < 249; ++i) EXPECT_EQ(h[i], 0) << "offset " << i;
  for (std::size_t i = 250; i < 268; ++i)
    if (i < 256 || i >= 260) {
      EXPECT_EQ(h[i], 0) << "offset " << i;
    }
}

TEST(ConfigBlockTemplate, ChainWalksAsFourDescriptorsAndStops) {
  const ImageHeader h = Template();
  EXPECT_EQ(ChainLengths(h), (std::vector<std::size_t>{4, 50, 32, 40}));
  EXPECT_EQ(FindStringDescriptor(h, 3)->offset, 102u);
  EXPECT_FALSE(FindStringDescriptor(h, 4));
  EXPECT_FALSE(FindStringDescriptor(h, -1));
  EXPECT_EQ(GetStringText(h, 1), "Tessalin Technology Inc.");
  EXPECT_EQ(GetStringText(h, 2), "USB-SATA Bridge");
  EXPECT_EQ(GetStringText(h, 3), "TESSALINMP000000001");
  EXPECT_EQ(h[16], 4);
  EXPECT_EQ(h[18], 0x09);
  EXPECT_EQ(h[19], 0x04);
}

// ---- Numeric fields ----------------------------------------------------------------------------

TEST(ConfigBlockFields, EveryNumericFieldTakesExactlyItsWidth) {
  for (int id = 1; id <= 21; ++id) {
    const auto place = NumericFieldPlace(static_cast<FieldId>(id));
    if (!place) continue;
    ImageHeader h = Template();
    const ImageHeader before = h;
    std::vector<std::uint8_t> wrongSmall(place->width - 1, 0xAB),
        wrongLarge(place->width + 1, 0xAB);
    EXPECT_FALSE(SetField(h, static_cast<FieldId>(id), wrongSmall)) << "id " << id;
    EXPECT_FALSE(SetField(h, static_cast<FieldId>(id), wrongLarge)) << "id " << id;
    EXPECT_EQ(h, before) << "id " << id;
    std::vector<std::uint8_t> right(place->width, 0xA5);
    EXPECT_TRUE(SetField(h, static_cast<FieldId>(id), right)) << "id " << id;
    std::vector<std::uint8_t> back(place->width - 1);
    EXPECT_FALSE(GetField(h, static_cast<FieldId>(id), back)) << "id " << id;
    back.assign(4, 0);
    EXPECT_TRUE(GetField(h, static_cast<FieldId>(id), back)) << "id " << id;
    EXPECT_EQ(std::vector<std::uint8_t>(back.begin(), back.begin() + place->width), right)
        << "id " << id;
  }
}

TEST(ConfigBlockFields, IdsWithoutAFieldAlwaysFail) {
  ImageHeader h = Template();
  const ImageHeader before = h;
  std::array<std::uint8_t, 4> buffer{};
  for (int id : {0, 12, 13, 22, -1, 1000}) {
    for (std::size_t size : {1u, 2u, 4u}) {
      EXPECT_FALSE(SetField(h, static_cast<FieldId>(id), std::span(buffer.data(), size))) << id;
      EXPECT_FALSE(GetField(h, static_cast<FieldId>(id), std::span(buffer.data(), size))) << id;
    }
  }
  EXPECT_EQ(h, before);
}

TEST(ConfigBlockFields, ChecksumIsStoredBigEndian) {
  ImageHeader h = Template();
  ASSERT_TRUE(SetFieldValue(h, FieldId::Checksum, 0x1234));
  EXPECT_EQ(h[12], 0x12);
  EXPECT_EQ(h[13], 0x34);
  EXPECT_EQ(GetFieldValue(h, FieldId::Checksum), 0x1234u);
}

TEST(ConfigBlockFields, ValidityWordCoversMarkerChecksumAndByte14) {
  ImageHeader h = Template();
  ASSERT_TRUE(SetFieldValue(h, FieldId::ValidityWord, 0x44332211));
  EXPECT_EQ(h[11], 0x11);
  EXPECT_EQ(h[12], 0x22);
  EXPECT_EQ(h[13], 0x33);
  EXPECT_EQ(h[14], 0x44);
  EXPECT_EQ(GetFieldValue(h, FieldId::Marker), 0x11u);
}

TEST(ConfigBlockFields, MultiByteFieldsAreLittleEndianAtTheirOffsets) {
  ImageHeader h = Template();
  ASSERT_TRUE(SetFieldValue(h, FieldId::VendorId, 0xBEEF));
  ASSERT_TRUE(SetFieldValue(h, FieldId::Option252, 0x0102));
  ASSERT_TRUE(SetFieldValue(h, FieldId::CodeLength, 0x00012345));
  ASSERT_TRUE(SetFieldValue(h, FieldId::Option243, 0x7F));
  EXPECT_EQ(h[2], 0xEF);
  EXPECT_EQ(h[3], 0xBE);
  EXPECT_EQ(h[252], 0x02);
  EXPECT_EQ(h[253], 0x01);
  EXPECT_EQ(LoadLe32(&h[264]), 0x00012345u);
  EXPECT_EQ(h[243], 0x7F);
}

TEST(ConfigBlockFields, WideReadWritesOnlyTheFieldWidth) {
  const ImageHeader h = Template();
  std::array<std::uint8_t, 4> out{0xEE, 0xEE, 0xEE, 0xEE};
  ASSERT_TRUE(GetField(h, FieldId::VendorId, out));
  EXPECT_EQ(LoadLe16(out.data()), VID_MAKER);  // host order on the little-endian targets we build
  EXPECT_EQ(out[2], 0xEE);
  EXPECT_EQ(out[3], 0xEE);
}

// ---- Strings -----------------------------------------------------------------------------------

TEST(ConfigBlockStrings, LongerSerialPushesZeroCharactersAndKeepsChainEndZero) {
  ImageHeader h = Template();
  ASSERT_TRUE(SetString(h, 3, "ABC", 64));
  EXPECT_EQ(h[102], 130);
  EXPECT_EQ(h[103], 0x03);
  EXPECT_EQ(h[104], 'A');
  EXPECT_EQ(h[106], 'B');
  EXPECT_EQ(h[108], 'C');
  for (std::size_t i = 110; i < 238; ++i) EXPECT_EQ(h[i], 0) << "offset " << i;
  EXPECT_EQ(GetStringText(h, 3), "ABC");
  EXPECT_EQ(h[249], 0x06);  // nothing past the chain area moved
}

TEST(ConfigBlockStrings, ShorterDescriptorPullsTheTailForward) {
  ImageHeader h = Template();
  ASSERT_TRUE(SetString(h, 1, "ABC", 3));
  EXPECT_EQ(ChainLengths(h), (std::vector<std::size_t>{4, 8, 32, 40}));
  EXPECT_EQ(FindStringDescriptor(h, 2)->offset, 70u - 42u);
  EXPECT_EQ(GetStringText(h, 2), "USB-SATA Bridge");
  EXPECT_EQ(GetStringText(h, 3), "TESSALINMP000000001");
  for (std::size_t i = 142 - 42; i < 238; ++i) EXPECT_EQ(h[i], 0) << "offset " << i;
}

TEST(ConfigBlockStrings, LongerDescriptorCutsTheTailAtChainEnd) {
  ImageHeader h = Template();
  // Descriptor 1 grows from 50 to 202 bytes, ending at 222: descriptor 2 keeps 16 of its bytes.
  ASSERT_TRUE(SetString(h, 1, "x", 100));
  EXPECT_EQ(h[222], 32);
  EXPECT_EQ(h[237], Template()[70 + 15]);
  EXPECT_EQ(h[238], 0);
  EXPECT_FALSE(FindStringDescriptor(h, 3));  // descriptor 2 now runs past the chain end
  std::vector<std::uint8_t> buffer(64);
  EXPECT_FALSE(GetString(h, 2, buffer));
}

TEST(ConfigBlockStrings, DescriptorThatWouldPassChainEndIsRefused) {
  ImageHeader h = Template();
  const ImageHeader before = h;
  EXPECT_FALSE(SetString(h, 3, "ABC", 68));  // 102 + 138 = 240
  EXPECT_FALSE(SetString(h, 3, "ABC", static_cast<std::size_t>(-1)));
  EXPECT_EQ(h, before);
  EXPECT_TRUE(SetString(h, 3, "ABC", 67));  // 102 + 136 = 238 exactly
}

TEST(ConfigBlockStrings, DescriptorEndingAtChainEndCanBeReplacedAgain) {
  ImageHeader h = Template();
  ASSERT_TRUE(SetString(h, 3, "FULL", 67));
  ASSERT_EQ(FindStringDescriptor(h, 3)->offset + FindStringDescriptor(h, 3)->length, 238u);
  ASSERT_TRUE(SetString(h, 3, "SN42", 64));
  EXPECT_EQ(GetStringText(h, 3), "SN42");
  for (std::size_t i = 232; i < 238; ++i) EXPECT_EQ(h[i], 0);
}

TEST(ConfigBlockStrings, TextStopsAtItsTerminatorAndAtCount) {
  ImageHeader h = Template();
  const std::uint8_t text[] = {'S', 'N', 0, 'X', 'Y'};
  ASSERT_TRUE(SetString(h, 3, std::span<const std::uint8_t>(text), 5));
  EXPECT_EQ(h[102], 12);
  EXPECT_EQ(GetStringText(h, 3), "SN");
  ASSERT_TRUE(SetString(h, 3, "ABCDEFG", 2));
  EXPECT_EQ(GetStringText(h, 3), "AB");
}

TEST(ConfigBlockStrings, SetFieldOnStringIdsUsesSizeAsCount) {
  ImageHeader h = Template();
  std::array<std::uint8_t, 64> serial{};
  serial[0] = '7';
  ASSERT_TRUE(SetField(h, FieldId::Serial, serial));
  EXPECT_EQ(h[102], 130);
  std::array<std::uint8_t, 64> back{};
  ASSERT_TRUE(GetField(h, FieldId::Serial, back));
  EXPECT_EQ(back[0], '7');
  EXPECT_TRUE(SetField(h, FieldId::Product, Bytes("Disk")));
  EXPECT_EQ(GetStringText(h, 2), "Disk");
}

TEST(ConfigBlockStrings, GetStringNeedsOneByteACharacter) {
  const ImageHeader h = Template();
  std::vector<std::uint8_t> small(10, 0xEE);
  EXPECT_FALSE(GetString(h, 3, small));
  EXPECT_EQ(small, std::vector<std::uint8_t>(10, 0xEE));
  std::vector<std::uint8_t> exact(19, 0xEE);
  ASSERT_TRUE(GetString(h, 3, exact));
  EXPECT_EQ(std::string(exact.begin(), exact.end()), "TESSALINMP000000001");
  std::vector<std::uint8_t> roomy(30, 0xEE);
  ASSERT_TRUE(GetString(h, 3, roomy));
  EXPECT_EQ(roomy[19], 0);  // terminated and zero-filled
  EXPECT_EQ(roomy[29], 0);
}

TEST(ConfigBlockStrings, ErasedOrBrokenChainsFailWithoutChange) {
  ImageHeader erased;
  erased.fill(0xFF);
  const ImageHeader before = erased;
  std::vector<std::uint8_t> buffer(64);
  for (int n = 0; n < 4; ++n) {
    EXPECT_FALSE(SetString(erased, n, "ABC", 3)) << n;
    EXPECT_FALSE(GetString(erased, n, buffer)) << n;
  }
  EXPECT_EQ(erased, before);

  ImageHeader broken = Template();
  broken[70] = 2;  // descriptor 2 claims no text: the walk stops there
  EXPECT_TRUE(GetString(broken, 1, buffer));
  EXPECT_FALSE(GetString(broken, 2, buffer));
  EXPECT_FALSE(SetString(broken, 3, "A", 1));

  ImageHeader runaway = Template();
  runaway[102] = 200;  // descriptor 3 runs past offset 238
  const ImageHeader runawayBefore = runaway;
  std::vector<std::uint8_t> wide(128);
  EXPECT_FALSE(GetString(runaway, 3, wide));
  EXPECT_FALSE(SetString(runaway, 3, "A", 1));
  EXPECT_EQ(runaway, runawayBefore);
}

TEST(ConfigBlockStrings, CharactersOutsideSingleByteRangeReadBackAsQuestionMark) {
  ImageHeader h = Template();
  StoreLe16(&h[104], 0x263A);
  EXPECT_EQ(GetStringText(h, 3)->front(), '?');
  ASSERT_TRUE(SetString(h, 2, "\xE9t\xE9", 3));  // Latin-1 round-trips
  EXPECT_EQ(GetStringText(h, 2), "\xE9t\xE9");
}

}  // namespace
}  // namespace burnwell::image
