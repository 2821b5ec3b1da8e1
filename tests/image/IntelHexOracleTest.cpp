// Intel HEX files written by independent tools (binutils objcopy, srecord's srec_cat) from random
// binaries must load to exactly the binary's bytes, and the checksum must match one computed here
// from the binary. Native builds only: the tools are not part of the Windows build.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "image/FirmwareReaders.h"
#include "platform/FileSystem.h"
#include "tests/support/TestSupport.h"

namespace burnwell::image {
namespace {

bool HaveTool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<std::uint8_t> RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

std::string Quote(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

class IntelHexOracle : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("objcopy") || !HaveTool("srec_cat"))
      GTEST_SKIP() << "objcopy or srec_cat not installed";
    ResetLoadedImage();
  }
  void TearDown() override { ResetLoadedImage(); }

  // Writes the binary, converts it with the given command ({in} and {out} are replaced), and
  // returns the HEX file's path.
  std::filesystem::path Convert(const std::vector<std::uint8_t>& binary, std::string command) {
    const auto in = dir / "code.bin";
    const auto out = dir / ("code" + std::to_string(files++) + ".hex");
    test::WriteFile(in, binary);
    command.replace(command.find("{in}"), 4, Quote(in));
    command.replace(command.find("{out}"), 5, Quote(out));
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return out;
  }

  // Loads the HEX file and checks code, sizing, zero region and checksum against the binary.
  void ExpectLoadsAs(const std::filesystem::path& hex, const std::vector<std::uint8_t>& binary) {
    ImageBuffer& image = LoadedImage();
    const HexResult loaded = LoadHexImage(image, hex);
    ASSERT_TRUE(loaded.ok) << loaded.errorText;
    const std::size_t imageSize =
        binary.size() < kSmallMainCodeSize ? kSmallMainCodeSize : kLargeMainCodeSize;
    std::vector<std::uint8_t> expected(imageSize, 0xFF);
    if (binary.size() <= kZeroRegionStart)
      std::fill(expected.begin() + kZeroRegionStart, expected.begin() + kSmallMainCodeSize, 0);
    std::copy(binary.begin(), binary.end(), expected.begin());
    std::uint16_t sum = 0;
    for (auto b : expected) sum = static_cast<std::uint16_t>(sum + b);

    ASSERT_EQ(image.Code().size(), imageSize);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image.Code().begin()));
    EXPECT_EQ(image.GetChecksum(), sum);
    EXPECT_EQ(image.CodeLength(), imageSize);
    EXPECT_EQ(image.Header()[offset::kMarker], 0x5A);
  }

  // Parses a HEX file that places the binary at a ROM offset, and compares the scratch buffer.
  void ExpectParsesAt(const std::filesystem::path& hex, const std::vector<std::uint8_t>& binary,
                      std::uint32_t at) {
    auto file = platform::Current<platform::FileSystem>().OpenForRead(hex);
    ASSERT_TRUE(file);
    std::vector<std::uint8_t> scratch(kHexRomSize, 0xFF);
    std::uint32_t codeSize = 0;
    const HexResult parsed = ParseIntelHex(*file, scratch, codeSize);
    ASSERT_TRUE(parsed.ok) << parsed.errorText;
    EXPECT_EQ(codeSize, at + binary.size());
    EXPECT_TRUE(std::equal(binary.begin(), binary.end(), scratch.begin() + at));
    EXPECT_EQ(scratch[at - 1], 0xFF);
  }

  static bool Contains(const std::filesystem::path& hex, const std::string& text) {
    const auto bytes = test::ReadFile(hex);
    return std::string(bytes.begin(), bytes.end()).find(text) != std::string::npos;
  }

  test::TempDir dir;
  int files = 0;
};

const std::string OBJCOPY = "objcopy -I binary -O ihex {in} {out}";

TEST_F(IntelHexOracle, ObjcopyFilesAtEverySizingBoundary) {
  std::uint32_t seed = 1;
  for (std::size_t size :
       {std::size_t{1}, std::size_t{0x4BFF}, std::size_t{0x4C00}, std::size_t{0x4C01},
        std::size_t{0x5BFF}, std::size_t{0x5C00}, std::size_t{0x9D37}, kLargeMainCodeSize}) {
    SCOPED_TRACE(size);
    const auto binary = RandomBytes(size, seed++);
    ExpectLoadsAs(Convert(binary, OBJCOPY), binary);
  }
}

TEST_F(IntelHexOracle, SrecCatInSeveralRecordSizes) {
  std::uint32_t seed = 100;
  for (int recordSize : {1, 7, 16, 32, 200, 255}) {
    SCOPED_TRACE(recordSize);
    const auto binary = RandomBytes(0x3000 + 97 * recordSize, seed++);
    const std::string command =
        "srec_cat {in} -Binary -o {out} -Intel -obs=" + std::to_string(recordSize) +
        " >/dev/null 2>&1";
    ExpectLoadsAs(Convert(binary, command), binary);
  }
}

TEST_F(IntelHexOracle, LinearAndSegmentAddressRecordsAcrossSixtyFourKiB) {
  const std::uint32_t at = 0x1F000;
  const auto binary = RandomBytes(0x3456, 7);
  const auto linear =
      Convert(binary, "srec_cat {in} -Binary -offset 0x1F000 -o {out} -Intel -obs=32");
  ASSERT_TRUE(Contains(linear, ":020000040002F8"));
  ExpectParsesAt(linear, binary, at);

  const auto segment = Convert(
      binary, "srec_cat {in} -Binary -offset 0x1F000 -o {out} -Intel -address-length=3 -obs=255");
  ASSERT_TRUE(Contains(segment, ":020000022000DC"));
  ExpectParsesAt(segment, binary, at);

  const auto objcopy =
      Convert(binary, "objcopy -I binary -O ihex --change-addresses 0x1F000 {in} {out}");
  ASSERT_TRUE(Contains(objcopy, ":02000002"));
  ASSERT_TRUE(Contains(objcopy, ":04000003"));  // a start-address record, ignored
  ExpectParsesAt(objcopy, binary, at);
}

TEST_F(IntelHexOracle, ToolOutputPastTheRomIsRefused) {
  const auto binary = RandomBytes(0x20, 3);
  const auto hex = Convert(binary, "srec_cat {in} -Binary -offset 0x3FFF0 -o {out} -Intel");
  auto file = platform::Current<platform::FileSystem>().OpenForRead(hex);
  ASSERT_TRUE(file);
  std::vector<std::uint8_t> scratch(kHexRomSize, 0xFF);
  std::uint32_t codeSize = 0;
  const HexResult parsed = ParseIntelHex(*file, scratch, codeSize);
  EXPECT_FALSE(parsed.ok);
  EXPECT_EQ(parsed.errorText, "Tha code size is larger than ROM size.");
}

}  // namespace
}  // namespace burnwell::image
