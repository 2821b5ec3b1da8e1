#include "image/FirmwareReaders.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "common/Bytes.h"
#include "common/MakerIds.h"
#include "image/Allocation.h"
#include "tests/image/MemoryFileSystem.h"
#include "tests/support/TestSupport.h"

namespace burnwell::image {
namespace {

// While alive, the n-th allocation from now (1 = the next one) fails; the others are made.
class ScopedAllocationFailure final : public ByteAllocator {
 public:
  explicit ScopedAllocationFailure(int nth) : left_(nth) {}
  std::optional<std::vector<std::uint8_t>> Allocate(std::size_t size, std::uint8_t fill) override {
    if (left_ > 0 && --left_ == 0) return std::nullopt;
    return platform::SystemInstance<ByteAllocator>().Allocate(size, fill);
  }

 private:
  int left_;
  platform::ScopedOverride<ByteAllocator> installed_{this};
};

// ---- A small Intel HEX writer for hand-made inputs ----------------------------------------------

std::string Record(std::uint8_t type, std::uint16_t address,
                   const std::vector<std::uint8_t>& data) {
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
  std::string line(1, ':');
  char digits[16];
  std::snprintf(digits, sizeof digits, "%02X%04X%02X", static_cast<unsigned>(data.size()), address,
                type);
  line += digits;
  for (auto b : data) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    line += digits;
    sum += b;
  }
  std::snprintf(digits, sizeof digits, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return line + digits + "\r\n";
}
std::string Data(std::uint16_t address, const std::vector<std::uint8_t>& bytes) {
  return Record(0, address, bytes);
}
std::string Linear(std::uint16_t upper) {
  return Record(4, 0, {std::uint8_t(upper >> 8), std::uint8_t(upper)});
}
const std::string END = ":00000001FF\r\n";

// Code of the given length, counting bytes, written as 16-byte records with linear address records.
std::string HexOfLength(std::uint32_t length, std::vector<std::uint8_t>* code = nullptr) {
  std::string text;
  std::uint32_t upper = 0;
  for (std::uint32_t at = 0; at < length; at += 16) {
    if ((at >> 16) != upper) text += Linear(static_cast<std::uint16_t>(upper = at >> 16));
    std::vector<std::uint8_t> chunk;
    for (std::uint32_t i = at; i < std::min(length, at + 16); ++i)
      chunk.push_back(static_cast<std::uint8_t>(i * 7));
    if (code) code->insert(code->end(), chunk.begin(), chunk.end());
    text += Data(static_cast<std::uint16_t>(at), chunk);
  }
  return text + END;
}

std::uint16_t Sum(const std::vector<std::uint8_t>& bytes) {
  return static_cast<std::uint16_t>(std::accumulate(bytes.begin(), bytes.end(), 0u));
}

class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetLoadedImage(); }
  void TearDown() override { ResetLoadedImage(); }

  bool LoadHex(const std::string& text, std::string& error, const char* name = "fw.hex") {
    fs.Add(name, text);
    HexResult result = LoadHexImage(image, name);
    error = std::move(result.errorText);
    return result.ok;
  }
  // The parser alone, on a fresh 0xFF scratch buffer.
  bool Parse(const std::string& text, std::string& error, std::uint32_t& codeSize) {
    fs.Add("p.hex", text);
    auto file = fs.OpenForRead("p.hex");
    scratch.assign(kHexRomSize, 0xFF);
    HexResult result = ParseIntelHex(*file, scratch, codeSize);
    error = std::move(result.errorText);
    return result.ok;
  }
  std::string ParseError(const std::string& text) {
    std::string error;
    std::uint32_t size = 0;
    EXPECT_FALSE(Parse(text, error, size)) << text;
    return error;
  }

  test::MemoryFileSystem fs;
  platform::ScopedOverride<platform::FileSystem> useFs{&fs};
  ImageBuffer& image = LoadedImage();
  std::vector<std::uint8_t> scratch;
};

// ---- File type and path rules ------------------------------------------------------------------

TEST(FirmwareFileTypeRule, LastFourCharactersCaseSensitive) {
  EXPECT_EQ(FirmwareFileType("fw.hex"), FileType::Hex);
  EXPECT_EQ(FirmwareFileType("dir.bin/fw.hex"), FileType::Hex);
  EXPECT_EQ(FirmwareFileType("FW.HEX"), FileType::Other);
  EXPECT_EQ(FirmwareFileType("fw.bin"), FileType::Bin);
  EXPECT_EQ(FirmwareFileType("fw.Bin"), FileType::Other);
  EXPECT_EQ(FirmwareFileType("fw.hex.bak"), FileType::Other);
  EXPECT_EQ(FirmwareFileType("hex"), FileType::Other);
  EXPECT_EQ(FirmwareFileType(".hex"), FileType::Hex);
  EXPECT_EQ(FirmwareFileType(""), FileType::Other);
  EXPECT_STREQ(FileTypeName(FileType::Other), "other");
}

TEST(FirmwareFileTypeRule, ConfigurationOnlyLooksAtTheWholePath) {
  EXPECT_TRUE(IsConfigurationOnlyPath("cfg.sdt"));
  EXPECT_TRUE(IsConfigurationOnlyPath("old.sdt.files/fw.bin"));
  EXPECT_FALSE(IsConfigurationOnlyPath("cfg.SDT"));
  EXPECT_FALSE(IsConfigurationOnlyPath("cfgsdt"));
}

TEST(FirmwareFileTypeRule, ModelCodesAndAcceptedProducts) {
  const std::uint16_t expected[] = {PID_A, PID_F, PID_G, PID_H, PID_C, PID_A, PID_B, PID_A};
  for (int code = 0; code < 8; ++code)
    EXPECT_EQ(ProductForModelCode(std::uint8_t(code)), expected[code]);
  EXPECT_EQ(ProductForModelCode(255), PID_A);
  for (auto p : {PID_A, PID_B, PID_C, PID_D, PID_E}) EXPECT_TRUE(IsAcceptedProduct(p));
  for (auto p : {PID_F, PID_G, PID_H, std::uint16_t(0), VID_MAKER})
    EXPECT_FALSE(IsAcceptedProduct(p));
}

// ---- Intel HEX: sizing, zero region, checksum
// ----------------------------------------------------

TEST_F(ReaderTest, EndRecordAloneGivesSmallImageWithZeroRegion) {
  std::string error;
  ASSERT_TRUE(LoadHex(END, error)) << error;
  ASSERT_EQ(image.Code().size(), kSmallMainCodeSize);
  EXPECT_EQ(image.Code()[kZeroRegionStart - 1], 0xFF);
  EXPECT_EQ(image.Code()[kZeroRegionStart], 0x00);
  EXPECT_EQ(image.Code()[kSmallMainCodeSize - 1], 0x00);
  EXPECT_EQ(image.GetChecksum(), 0xB400);
  EXPECT_EQ(image.Header()[offset::kMarker], 0x5A);
  EXPECT_EQ(image.CodeLength(), kSmallMainCodeSize);
  EXPECT_EQ(LoadLe32(&image.Header()[offset::kCodeLength]), kSmallMainCodeSize);
  EXPECT_EQ(image.Header()[offset::kValidityTail], 0xFF);  // from the clear before the load
}

TEST_F(ReaderTest, SizingFollowsTheHighestDataEnd) {
  struct Case {
    std::uint32_t end;
    std::size_t imageSize;
    bool zeroRegion;
  };
  for (const Case c :
       {Case{0x4C00, kSmallMainCodeSize, true}, Case{0x4C01, kSmallMainCodeSize, false},
        Case{0x5BFF, kSmallMainCodeSize, false}, Case{0x5C00, kLargeMainCodeSize, false},
        Case{0xB800, kLargeMainCodeSize, false}}) {
    std::vector<std::uint8_t> code;
    std::string error;
    ASSERT_TRUE(LoadHex(HexOfLength(c.end, &code), error)) << std::hex << c.end << " " << error;
    ASSERT_EQ(image.Code().size(), c.imageSize) << std::hex << c.end;
    std::vector<std::uint8_t> expected(c.imageSize, 0xFF);
    if (c.zeroRegion)
      std::fill(expected.begin() + kZeroRegionStart, expected.begin() + kSmallMainCodeSize, 0);
    std::copy(code.begin(), code.end(), expected.begin());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image.Code().begin()))
        << std::hex << c.end;
    EXPECT_EQ(image.GetChecksum(), Sum(expected)) << std::hex << c.end;
    EXPECT_EQ(image.CodeLength(), c.imageSize);
  }
}

TEST_F(ReaderTest, CodeBeyondTheLargeImageFailsWithoutTextAndClearsTheImage) {
  std::string error;
  ASSERT_TRUE(LoadHex(END, error));
  ASSERT_FALSE(LoadHex(HexOfLength(0xB801), error));
  EXPECT_EQ(error, "");
  EXPECT_FALSE(image.HasCode());
  for (std::size_t i = 11; i <= 14; ++i) EXPECT_EQ(image.Header()[i], 0xFF);
  EXPECT_EQ(image.CodeLength(), kSmallMainCodeSize);  // the clear keeps the previous length
}

TEST_F(ReaderTest, ExtendedAddressesPlaceDataAndCountTowardsCodeSize) {
  std::string error;
  std::uint32_t size = 0;
  ASSERT_TRUE(Parse(Linear(1) + Data(0, {0xAB}) + END, error, size)) << error;
  EXPECT_EQ(scratch[0x10000], 0xAB);
  EXPECT_EQ(size, 0x10001u);
  ASSERT_TRUE(Parse(":020000021000EC\n" + Data(2, {0xCD}) + END, error, size)) << error;
  EXPECT_EQ(scratch[0x10002], 0xCD);
  ASSERT_TRUE(Parse(Record(2, 0, {0x00, 0x10}) + Data(0, {0x11}) + END, error, size));
  EXPECT_EQ(scratch[0x100], 0x11);
  EXPECT_FALSE(LoadHex(Linear(1) + Data(0, {0xAB}) + END, error));
  EXPECT_EQ(error, "");
}

TEST_F(ReaderTest, LaterRecordsOverwriteAndGapsStayErased) {
  std::string error;
  ASSERT_TRUE(LoadHex(Data(0, {1, 2, 3}) + Data(1, {9}) + Data(8, {7}) + END, error));
  EXPECT_EQ(image.Code()[0], 1);
  EXPECT_EQ(image.Code()[1], 9);
  EXPECT_EQ(image.Code()[2], 3);
  EXPECT_EQ(image.Code()[3], 0xFF);
  EXPECT_EQ(image.Code()[8], 7);
}

TEST_F(ReaderTest, EmptyDataRecordRaisesCodeSizeToItsStart) {
  std::string error;
  std::uint32_t size = 0;
  ASSERT_TRUE(Parse(Data(0, {1}) + Data(0x5C00, {}) + END, error, size)) << error;
  EXPECT_EQ(size, 0x5C00u);
  EXPECT_EQ(scratch[0x5C00], 0xFF);
}

// ---- Intel HEX: record syntax -------------------------------------------------------------------

TEST_F(ReaderTest, SeparatorsAndLeadingTextDoNotMatter) {
  const std::vector<std::uint8_t> bytes{0x10, 0x20, 0x30};
  std::string error;
  std::uint16_t expected = 0;
  for (const std::string& text : std::vector<std::string>{
           Data(0, bytes) + END, "; comment\n" + Data(0, bytes) + ":00000001FF",
           ":03000000102030"
           "9D:00000001ff",
           ":0300\r\n00001020\n309D\n:00000001FF\n"}) {
    ASSERT_TRUE(LoadHex(text, error)) << text << ": " << error;
    EXPECT_EQ(image.Code()[2], 0x30);
    if (expected == 0) expected = image.GetChecksum();
    EXPECT_EQ(image.GetChecksum(), expected);
  }
}

TEST_F(ReaderTest, NothingAfterTheEndRecordIsRead) {
  std::string error;
  ASSERT_TRUE(LoadHex(Data(0, {5}) + END + ":zz garbage" + Data(0, {6}), error)) << error;
  EXPECT_EQ(image.Code()[0], 5);
}

TEST_F(ReaderTest, LongRecordsAndDigitsAfterTheChecksum) {
  std::vector<std::uint8_t> bytes(255);
  std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
  std::string record = Data(0, bytes);
  record.insert(record.size() - 2, "ABCD");  // digits beyond the checksum are ignored
  std::string error;
  ASSERT_TRUE(LoadHex(record + END, error)) << error;
  EXPECT_EQ(image.Code()[254], 254);
  EXPECT_EQ(image.Code()[255], 0xFF);
}

TEST_F(ReaderTest, RecordsThatReachTheRomSizeAreRefused) {
  EXPECT_EQ(ParseError(Linear(3) + Data(0xFFFF, {1}) + END),
            "Tha code size is larger than ROM size.");
  EXPECT_EQ(ParseError(Linear(3) + Data(0xFFF0, std::vector<std::uint8_t>(16, 1)) + END),
            "Tha code size is larger than ROM size.");
  // A huge base must not wrap around to a small address.
  EXPECT_EQ(ParseError(Linear(0xFFFF) + Data(0xFFFF, {1, 2}) + END),
            "Tha code size is larger than ROM size.");
  std::string error;
  std::uint32_t size = 0;
  ASSERT_TRUE(Parse(Linear(3) + Data(0xFFFE, {1}) + END, error, size));
  EXPECT_EQ(size, 0x3FFFFu);
}

TEST_F(ReaderTest, EveryFormatMessageIsReachable) {
  EXPECT_EQ(ParseError("no records here\n"), "Invalid file format(1).");
  EXPECT_EQ(ParseError(":000000\n" + END), "Invalid file format(1).");
  EXPECT_EQ(ParseError(":"), "Invalid file format(1).");
  EXPECT_EQ(ParseError(":00000101FE\n"), "Invalid file format(2).");
  EXPECT_EQ(ParseError(":00000001FE\n"), "Invalid file format(2).");
  EXPECT_EQ(ParseError(":01000001AA54\n"), "Invalid file format(2).");
  EXPECT_EQ(ParseError(":00000001FF00\n"), "Invalid file format(3).");
  EXPECT_EQ(ParseError(":0200000400\n" + END), "Invalid file format[Type:0x04].");
  EXPECT_EQ(ParseError(":0400000200000000FA\n" + END), "Invalid file format[Type:0x04].");
  EXPECT_EQ(ParseError(":02000104000EFB\n" + END), "Invalid file format[Type:0x04].");
  EXPECT_EQ(ParseError(":00000006FA\n" + END), "Invalid file format[unknown type].");
  EXPECT_EQ(ParseError(":0100 0000AA55\n" + END), "Invalid file format[unknown data byte].");
  EXPECT_EQ(ParseError(Data(0, {1}) + ":0G"), "Invalid file format[unknown data byte].");
  EXPECT_EQ(ParseError(":0100000001FF\n" + END), "Check sum error");
  EXPECT_EQ(ParseError(":02000004000AF1\n" + END), "Check sum error");
  EXPECT_EQ(ParseError(":020000021000ED\n" + END), "Check sum error");
}

TEST_F(ReaderTest, StartAddressRecordsAreIgnored) {
  std::string error;
  std::uint32_t size = 0;
  ASSERT_TRUE(Parse(":0400000300001234B1\n:04000005DEADBEEFC4\n:00000003ZZ" + END, error, size) ==
              false);
  EXPECT_EQ(error, "Invalid file format[unknown data byte].");
  ASSERT_TRUE(Parse(":04000003000012349F\n:04000005DEADBEEF00\n" + END, error, size)) << error;
  EXPECT_EQ(size, 0u);
}

TEST_F(ReaderTest, InputWithoutEndRecordEndsTheLoad) {
  // A cut-off file fails instead of loading partial code.
  EXPECT_EQ(ParseError(Data(0, {1, 2, 3})), "Invalid file format(2).");
  EXPECT_EQ(ParseError(Data(0, {1, 2, 3}) + Linear(0)), "Invalid file format(2).");
  EXPECT_EQ(ParseError(Data(0, {1, 2, 3}) + ":0300"), "Invalid file format(1).");
}

TEST_F(ReaderTest, DataRecordMissingDigitsIsRefusedEvenWhenItsSumHappensToFit) {
  // LL = 0x10 but only one data byte: 0x10 + 0xF0 sums to zero with the missing checksum.
  EXPECT_EQ(ParseError(":10000000F0\n" + END), "Invalid file format(1).");
  EXPECT_EQ(ParseError(Data(0, {1, 2}).substr(0, 13) + "\n" + END), "Invalid file format(1).");
}

// ---- Intel HEX: file access failures ------------------------------------------------------------

TEST_F(ReaderTest, FileAccessFailuresGiveTheirTexts) {
  std::string error;
  EXPECT_FALSE(LoadHex("", error));
  EXPECT_EQ(error, "An empty file");

  fs.faults().failSizeOnOpenNumber = fs.Opens() + 2;  // the parser's own size query
  EXPECT_FALSE(LoadHex(END, error));
  EXPECT_EQ(error, "An error file");
  fs.faults().failSizeOnOpenNumber = 0;

  fs.faults().failOpenNumber = fs.Opens() + 2;  // the second open, inside ReadFirmwareFile
  EXPECT_FALSE(LoadHex(END, error));
  EXPECT_EQ(error, "File open failed");
  fs.faults().failOpenNumber = 0;

  fs.faults().failReads = true;
  EXPECT_FALSE(LoadHex(END, error));
  EXPECT_EQ(error, "Read file failed.");
  fs.faults().failReads = false;
}

TEST_F(ReaderTest, FilesOverTheLimitAreNotRead) {
  std::string error;
  std::string big = END + std::string(kMaxHexFileSize - END.size(), '\n');
  ASSERT_TRUE(LoadHex(big, error)) << error;
  EXPECT_FALSE(LoadHex(big + "\n", error));
  EXPECT_EQ(error, "File open failed");
  fs.faults().reportedSize = 0x40001;  // grows between the two opens
  EXPECT_FALSE(LoadHex(END, error));
  EXPECT_EQ(error, "File open failed");
}

TEST_F(ReaderTest, SizeThatCannotBeMeasuredAtFirstCountsAsTooLarge) {
  std::string error;
  fs.faults().failSizeOnOpenNumber = fs.Opens() + 1;
  EXPECT_FALSE(LoadHex(END, error));
  EXPECT_EQ(error, "File open failed");
}

TEST_F(ReaderTest, AllocationFailuresAreReportedNotFatal) {
  std::string error;
  for (int nth : {1, 2, 3}) {  // scratch buffer, file bytes, main-code buffer
    ScopedAllocationFailure failure(nth);
    EXPECT_FALSE(LoadHex(END, error)) << nth;
    EXPECT_EQ(error, "access error") << nth;
    EXPECT_FALSE(image.HasCode());
  }
}

TEST_F(ReaderTest, MissingFileOrShortPathFailsWithoutText) {
  const HexResult missing = LoadHexImage(image, "none.hex");
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.errorText, "");
  fs.Add("a.h", END);
  const HexResult shortPath = LoadHexImage(image, "a.h");
  EXPECT_FALSE(shortPath.ok);
  EXPECT_EQ(shortPath.errorText, "");
}

TEST_F(ReaderTest, RealFilesThroughThePlatformFileSystem) {
  platform::ScopedOverride<platform::FileSystem> real{nullptr};
  test::TempDir dir;
  test::WriteFile(dir / "fw.hex", Data(0, {0x42}) + END);
  const HexResult loaded = LoadHexImage(image, dir / "fw.hex");
  ASSERT_TRUE(loaded.ok) << loaded.errorText;
  EXPECT_EQ(image.Code()[0], 0x42);
  EXPECT_FALSE(LoadHexImage(image, dir / "missing.hex").ok);
  EXPECT_FALSE(LoadHexImage(image, dir.Path()).ok);  // a folder is not a file
}

// ---- Header images ------------------------------------------------------------------------------

struct HeaderFile {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint8_t> code;
};

// A header file with length bytes of counting code, its checksum over the given image size.
HeaderFile MakeHeaderFile(std::uint32_t length, std::size_t imageSize,
                          std::uint16_t product = PID_C) {
  ImageBuffer header(product);
  HeaderFile f;
  for (std::uint32_t i = 0; i < length; ++i)
    f.code.push_back(static_cast<std::uint8_t>(i * 13 + 1));
  std::vector<std::uint8_t> image(imageSize, 0xFF);
  std::copy(f.code.begin(), f.code.end(), image.begin());
  header.Header()[11] = 0x5A;
  StoreBe16(&header.Header()[12], Sum(image));
  StoreLe32(&header.Header()[264], length);
  f.bytes.assign(header.Header().begin(), header.Header().end());
  f.bytes.insert(f.bytes.end(), f.code.begin(), f.code.end());
  return f;
}

TEST_F(ReaderTest, HeaderImageSizingAndChecksum) {
  struct Case {
    std::uint32_t length;
    std::size_t imageSize;
  };
  for (const Case c : {Case{1, kSmallMainCodeSize}, Case{0x4C00, kSmallMainCodeSize},
                       Case{0x4C01, kLargeMainCodeSize}, Case{0x5000, kLargeMainCodeSize},
                       Case{0x5C00, kSmallMainCodeSize}, Case{0x5C01, kLargeMainCodeSize},
                       Case{0xB800, kLargeMainCodeSize}}) {
    const HeaderFile f = MakeHeaderFile(c.length, c.imageSize);
    fs.Add("fw.bin", f.bytes);
    ASSERT_EQ(LoadHeaderImage(image, "fw.bin"), LoadStatus::Ok) << std::hex << c.length;
    ASSERT_EQ(image.Code().size(), c.imageSize) << std::hex << c.length;
    EXPECT_TRUE(std::equal(f.code.begin(), f.code.end(), image.Code().begin()));
    if (c.length < c.imageSize) {
      EXPECT_EQ(image.Code()[c.length], 0xFF);
    }
    EXPECT_EQ(image.CodeLength(), c.length);
    EXPECT_EQ(LoadLe32(&image.Header()[offset::kCodeLength]), c.length);
    EXPECT_EQ(image.ProductId(), PID_C);
    EXPECT_EQ(image.Header()[offset::kMarker], 0x5A);
    EXPECT_EQ(image.Header()[offset::kValidityTail], 0xFF);  // bytes 11-14 as the file holds them
  }
}

TEST_F(ReaderTest, HeaderWithoutCodeLoadsConfigurationAndProduct) {
  std::vector<std::uint8_t> bytes = MakeHeaderFile(0, kSmallMainCodeSize, PID_D).bytes;
  bytes.resize(264);
  for (std::size_t size : {264u, 266u, 268u}) {
    std::vector<std::uint8_t> file = bytes;
    file.resize(size, 0);
    fs.Add("fw.img", file);
    ASSERT_EQ(LoadHeaderImage(image, "fw.img"), LoadStatus::Ok) << size;
    EXPECT_FALSE(image.HasCode());
    EXPECT_EQ(image.CodeLength(), 0u);
    EXPECT_EQ(image.ProductId(), PID_D);
    EXPECT_EQ(image.Header()[11], 0);
    EXPECT_EQ(image.Header()[12], 0);
    EXPECT_EQ(image.Header()[13], 0);
    EXPECT_EQ(image.GetChecksum(), 0);
  }
}

TEST_F(ReaderTest, ProductZeroMeansPidA) {
  HeaderFile f = MakeHeaderFile(16, kSmallMainCodeSize);
  StoreLe16(&f.bytes[256], 0);
  StoreLe16(&f.bytes[258], 0xFFFF);  // only the low 16 bits name the product
  fs.Add("fw.bin", f.bytes);
  ASSERT_EQ(LoadHeaderImage(image, "fw.bin"), LoadStatus::Ok);
  EXPECT_EQ(image.ProductId(), PID_A);
}

TEST_F(ReaderTest, HeaderFailuresKeepThePreviousCode) {
  const HeaderFile good = MakeHeaderFile(0x100, kSmallMainCodeSize);
  fs.Add("good.bin", good.bytes);
  ASSERT_EQ(LoadHeaderImage(image, "good.bin"), LoadStatus::Ok);
  const std::vector<std::uint8_t> previous(image.Code().begin(), image.Code().end());

  auto expectStatus = [&](std::vector<std::uint8_t> bytes, LoadStatus status, const char* what) {
    fs.Add("bad.bin", std::move(bytes));
    EXPECT_EQ(LoadHeaderImage(image, "bad.bin"), status) << what;
    EXPECT_TRUE(
        std::equal(previous.begin(), previous.end(), image.Code().begin(), image.Code().end()))
        << what;
    EXPECT_EQ(image.CodeLength(), 0x100u) << what;
    EXPECT_EQ(image.ProductId(), PID_C) << what;
  };
  std::vector<std::uint8_t> bytes = good.bytes;
  expectStatus({}, LoadStatus::TooShort, "empty");
  expectStatus(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 263), LoadStatus::TooShort,
               "263 bytes");
  bytes[0] ^= 1;
  expectStatus(bytes, LoadStatus::BadContent, "signature");
  bytes = good.bytes;
  StoreLe16(&bytes[256], PID_F);
  expectStatus(bytes, LoadStatus::BadContent, "product F");
  bytes = good.bytes;
  StoreLe32(&bytes[264], kLargeMainCodeSize + 1);
  expectStatus(bytes, LoadStatus::BadContent, "length too large");
  StoreLe32(&bytes[264], 0xFFFFFFFF);
  expectStatus(bytes, LoadStatus::BadContent, "huge length");
  bytes = good.bytes;
  bytes.pop_back();
  expectStatus(bytes, LoadStatus::BadContent, "code shorter than stated");
  bytes = good.bytes;
  bytes[300] ^= 0xFF;
  expectStatus(bytes, LoadStatus::ChecksumMismatch, "checksum");
  {
    ScopedAllocationFailure failure(1);
    expectStatus(good.bytes, LoadStatus::OutOfMemory, "out of memory");
  }
  EXPECT_EQ(LoadHeaderImage(image, "missing.bin"), LoadStatus::CannotOpen);
  EXPECT_EQ(image.Code().size(), previous.size());
  EXPECT_EQ(Code(LoadStatus::OutOfMemory), static_cast<int>(0xE6010002u));
}

TEST_F(ReaderTest, FailedHeaderLoadLeavesWhatWasReadInTheHeader) {
  HeaderFile f = MakeHeaderFile(0x10, kSmallMainCodeSize);
  f.bytes[270] ^= 0xFF;
  fs.Add("bad.bin", f.bytes);
  ASSERT_EQ(LoadHeaderImage(image, "bad.bin"), LoadStatus::ChecksumMismatch);
  EXPECT_EQ(LoadLe16(&image.Header()[0]), VID_MAKER);
  EXPECT_EQ(LoadLe32(&image.Header()[264]), 0u);  // the length field is only set on success
}

TEST_F(ReaderTest, ConfigurationOnlyFiles) {
  const ImageBuffer templateImage(PID_A);
  std::vector<std::uint8_t> block(templateImage.Header().begin(),
                                  templateImage.Header().begin() + 256);
  block[11] = 0x5A;
  block[12] = 0x12;
  block.push_back(9);     // model code
  block.push_back(0xEE);  // ignored: only 257 bytes are read
  fs.Add("cfg.sdt", block);
  ASSERT_EQ(LoadHeaderImage(image, "cfg.sdt"), LoadStatus::Ok);
  EXPECT_EQ(image.ProductId(), PID_A);
  EXPECT_FALSE(image.HasCode());
  EXPECT_EQ(image.GetChecksum(), 0x0000);
  EXPECT_EQ(image.Header()[11], 0);
  EXPECT_EQ(image.Header()[256], 9);
  EXPECT_EQ(image.Header()[257], 0);

  for (auto [model, status, product] :
       {std::tuple{2, LoadStatus::BadContent, 0}, std::tuple{1, LoadStatus::BadContent, 0},
        std::tuple{4, LoadStatus::Ok, int(PID_C)}, std::tuple{6, LoadStatus::Ok, int(PID_B)}}) {
    block[256] = std::uint8_t(model);
    fs.Add("dir.sdt/fw.bin", block);
    EXPECT_EQ(LoadHeaderImage(image, "dir.sdt/fw.bin"), status) << model;
    if (status == LoadStatus::Ok) {
      EXPECT_EQ(image.ProductId(), std::uint32_t(product)) << model;
    }
  }
  block.resize(256);
  fs.Add("short.sdt", block);
  EXPECT_EQ(LoadHeaderImage(image, "short.sdt"), LoadStatus::TooShort);
}

TEST_F(ReaderTest, LoadFirmwareByTypePicksTheReader) {
  fs.Add("fw.hex", END);
  fs.Add("FW.HEX", END);
  auto hex = LoadFirmwareByType(image, "fw.hex");
  EXPECT_TRUE(hex.ok);
  EXPECT_EQ(hex.type, FileType::Hex);
  auto upper = LoadFirmwareByType(image, "FW.HEX");
  EXPECT_FALSE(upper.ok);
  EXPECT_EQ(upper.type, FileType::Other);
  EXPECT_EQ(upper.status, LoadStatus::TooShort);
}

}  // namespace
}  // namespace burnwell::image
