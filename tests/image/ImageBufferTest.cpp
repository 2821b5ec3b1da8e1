#include "image/ImageBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/Bytes.h"

namespace burnwell::image {
namespace {

TEST(ImageChecksum, KnownFillValues) {
  EXPECT_EQ(ComputeChecksum(std::vector<std::uint8_t>(kSmallMainCodeSize, 0xFF)), 0xA400);
  EXPECT_EQ(ComputeChecksum(std::vector<std::uint8_t>(kLargeMainCodeSize, 0xFF)), 0x4800);
  std::vector<std::uint8_t> emptyHex(kSmallMainCodeSize, 0xFF);
  std::fill(emptyHex.begin() + kZeroRegionStart, emptyHex.end(), 0);
  EXPECT_EQ(ComputeChecksum(emptyHex), 0xB400);
  EXPECT_EQ(ComputeChecksum({}), 0);
}

TEST(ImageChecksum, WrapsAtSixteenBitsWithoutComplement) {
  // 257 bytes of 0xFF sum to exactly 0xFFFF; the next bytes wrap around through zero.
  std::vector<std::uint8_t> bytes(257, 0xFF);
  EXPECT_EQ(ComputeChecksum(bytes), 0xFFFF);
  bytes.push_back(0x01);
  EXPECT_EQ(ComputeChecksum(bytes), 0x0000);
  bytes.push_back(0x05);
  EXPECT_EQ(ComputeChecksum(bytes), 0x0005);
}

TEST(ImageBufferConstruction, StartsAsTemplateWithoutCode) {
  const ImageBuffer image(PID_C);
  EXPECT_FALSE(image.HasCode());
  EXPECT_EQ(image.CodeLength(), 0u);
  EXPECT_EQ(image.ProductId(), PID_C);
  EXPECT_EQ(image.GetChecksum(), 0x0000);
  EXPECT_EQ(image.Header()[offset::kMarker], 0x00);
  EXPECT_EQ(LoadLe16(&image.Header()[offset::kProductId]), PID_C);
}

TEST(ImageBufferConstruction, BuildTemplateDropsCode) {
  ImageBuffer image;
  image.TakeCode(std::vector<std::uint8_t>(kSmallMainCodeSize, 1));
  image.SetCodeLength(100);
  image.BuildTemplate(PID_B);
  EXPECT_FALSE(image.HasCode());
  EXPECT_EQ(image.CodeLength(), 0u);
  EXPECT_EQ(image.ProductId(), PID_B);
}

TEST(ImageBufferBlockCopy, InCopiesAtMostTheHeader) {
  ImageBuffer image;
  std::vector<std::uint8_t> source(300, 0x77);
  image.CopyBlockIn(source);
  for (std::uint8_t b : image.Header()) EXPECT_EQ(b, 0x77);
}

TEST(ImageBufferBlockCopy, BlockSizedCopyKeepsTrailerWords) {
  ImageBuffer image(PID_D);
  image.SetFieldValue(FieldId::CodeLength, 0x1234);
  std::vector<std::uint8_t> block(kConfigBlockSize, 0x11);
  image.CopyBlockIn(block);
  EXPECT_EQ(image.Header()[255], 0x11);
  EXPECT_EQ(LoadLe16(&image.Header()[offset::kProductWord]), PID_D);
  EXPECT_EQ(LoadLe32(&image.Header()[offset::kCodeLength]), 0x1234u);
}

TEST(ImageBufferBlockCopy, OutCopiesAtMostTheHeader) {
  const ImageBuffer image;
  std::vector<std::uint8_t> block(kConfigBlockSize, 0xEE);
  image.CopyBlockOut(block);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), image.Header().begin()));
  std::vector<std::uint8_t> big(300, 0xEE);
  image.CopyBlockOut(big);
  EXPECT_EQ(big[267], image.Header()[267]);
  EXPECT_EQ(big[268], 0xEE);
}

TEST(ImageBufferFields, CodeLengthFieldAlsoSetsCodeLength) {
  ImageBuffer image;
  const std::uint32_t length = 0x5000;
  std::array<std::uint8_t, 4> bytes{};
  std::memcpy(bytes.data(), &length, 4);
  ASSERT_TRUE(image.SetField(FieldId::CodeLength, bytes));
  EXPECT_EQ(image.CodeLength(), 0x5000u);
  EXPECT_FALSE(image.SetField(FieldId::CodeLength, std::span(bytes.data(), 2)));
  EXPECT_EQ(image.CodeLength(), 0x5000u);
}

TEST(ImageBufferFields, ChecksumAndSerialGoThroughTheirFields) {
  ImageBuffer image;
  image.SetFieldValue(FieldId::Checksum, 0xBEEF);
  EXPECT_EQ(image.GetChecksum(), 0xBEEF);
  std::array<std::uint8_t, 64> serial{'S', '1'};
  ASSERT_TRUE(image.SetSerial(serial));
  std::array<std::uint8_t, 64> back{};
  ASSERT_TRUE(image.GetSerial(back));
  EXPECT_EQ(back[0], 'S');
  EXPECT_EQ(back[1], '1');
  EXPECT_EQ(back[2], 0);
}

TEST(ImageBufferClearCode, TemplateBecomesInvalidWithZeroLengthField) {
  ImageBuffer image;
  image.ClearCode();
  EXPECT_FALSE(image.HasCode());
  for (std::size_t i = 11; i <= 14; ++i) EXPECT_EQ(image.Header()[i], 0xFF);
  EXPECT_EQ(LoadLe32(&image.Header()[offset::kCodeLength]), 0u);
  EXPECT_EQ(image.GetChecksum(), 0xFFFF);
}

TEST(ImageBufferClearCode, KeepsCodeLengthAndWritesItToTheHeader) {
  ImageBuffer image;
  image.TakeCode(std::vector<std::uint8_t>(kSmallMainCodeSize, 0));
  image.SetCodeLength(0x4000);
  image.ClearCode();
  EXPECT_FALSE(image.HasCode());
  EXPECT_EQ(image.CodeLength(), 0x4000u);
  EXPECT_EQ(LoadLe32(&image.Header()[offset::kCodeLength]), 0x4000u);
}

TEST(LoadedImageState, ResetRestoresStartUpTemplate) {
  LoadedImage().TakeCode(std::vector<std::uint8_t>(10, 0));
  LoadedImage().SetProductId(PID_E);
  LoadedImage().Header()[11] = 0x5A;
  ResetLoadedImage();
  EXPECT_FALSE(LoadedImage().HasCode());
  EXPECT_EQ(LoadedImage().ProductId(), PID_A);
  EXPECT_EQ(LoadedImage().Header(), ImageBuffer(PID_A).Header());
  EXPECT_EQ(&LoadedImage(), &LoadedImage());
}

}  // namespace
}  // namespace burnwell::image
