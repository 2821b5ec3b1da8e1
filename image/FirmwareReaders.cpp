#include "image/FirmwareReaders.h"

#include <algorithm>
#include <system_error>
#include <cctype>
#include <fstream>
#include <cerrno>
#include <array>
#include <string_view>

#include "common/Bytes.h"
#include "common/Hex.h"
#include "common/MakerIds.h"
#include "image/Allocation.h"

namespace burnwell::image {
namespace {

using NativeString = std::filesystem::path::string_type;
using NativeChar = NativeString::value_type;

// The native spelling of an ASCII literal (wide on Windows).
NativeString Native(std::string_view ascii) { return NativeString(ascii.begin(), ascii.end()); }

bool EndsWith(const NativeString& text, const NativeString& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Reads until count bytes arrived, the file ends or an error occurs; the number of bytes read.
std::uint32_t ReadUpTo(platform::ReadableFile& file, std::uint8_t* out, std::uint32_t count) {
  std::uint32_t total = 0;
  while (total < count) {
    std::uint32_t got = 0;
    if (!file.Read(out + total, count - total, &got) || got == 0) break;
    total += std::min(got, count - total);
  }
  return total;
}

int HexValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// One Intel HEX record as its digits arrive, placed by their position d in the record.
struct HexRecord {
  int digits = 0;
  std::uint8_t length = 0;
  std::uint16_t address = 0;
  std::uint8_t type = 0;
  std::uint8_t checksum = 0;
  std::array<std::uint8_t, 255> data{};

  // False when the digit cannot belong to the record.
  bool AddDigit(std::uint8_t v) {
    const int d = ++digits;
    const auto high = [&](std::uint8_t& byte) {
      byte = static_cast<std::uint8_t>((byte & 0x0F) | (v << 4));
    };
    const auto low = [&](std::uint8_t& byte) {
      byte = static_cast<std::uint8_t>((byte & 0xF0) | v);
    };
    if (d == 1) return high(length), true;
    if (d == 2) return low(length), true;
    if (d == 3) return address = static_cast<std::uint16_t>(v << 12), true;
    if (d <= 6) return address = static_cast<std::uint16_t>(address | (v << (4 * (6 - d)))), true;
    if (d == 7) return high(type), true;
    if (d == 8) return low(type), true;
    if (length == 0) {
      if (d == 9) return high(checksum), true;
      if (d == 10) return low(checksum), true;
      return false;
    }
    const int checksumDigit = 2 * length + 9;
    if (d == checksumDigit) return high(checksum), true;
    if (d == checksumDigit + 1) return low(checksum), true;
    if (d > checksumDigit + 1) return true;  // beyond the record's bytes: ignored
    std::uint8_t& byte = data[static_cast<std::size_t>((d - 9) / 2)];
    if (d % 2 == 1) {
      high(byte);
    } else {
      low(byte);
    }
    return true;
  }

  std::uint8_t Sum(bool withAddress) const {
    unsigned sum = length + type + checksum;
    if (withAddress) sum += (address >> 8) + (address & 0xFF);
    for (std::size_t i = 0; i < length; ++i) sum += data[i];
    return static_cast<std::uint8_t>(sum);
  }
};

enum class RecordOutcome { Next, EndOfFile, Failed };

struct HexParser {
  std::span<std::uint8_t> scratch;
  std::string& errorText;
  std::uint64_t base = 0;
  std::uint64_t highestEnd = 0;

  RecordOutcome Fail(const char* text) {
    errorText = text;
    return RecordOutcome::Failed;
  }

  RecordOutcome Finish(const HexRecord& r) {
    if (r.digits < 10) return Fail("Invalid file format(1).");
    if (r.type > 5) return Fail("Invalid file format[unknown type].");
    switch (r.type) {
      case 0: {
        // A data record must carry every digit its length announces; a cut record would
        // otherwise be stored with zero bytes in place of the missing data.
        if (r.digits < 2 * r.length + 10) return Fail("Invalid file format(1).");
        if (r.Sum(true) != 0) return Fail("Check sum error");
        // 64-bit so that a large base address cannot wrap around into the buffer.
        const std::uint64_t start = base + r.address;
        const std::uint64_t end = start + r.length;
        if (end >= kHexRomSize) return Fail("Tha code size is larger than ROM size.");
        std::copy_n(r.data.begin(), r.length, scratch.begin() + static_cast<std::ptrdiff_t>(start));
        highestEnd = std::max(highestEnd, end);
        return RecordOutcome::Next;
      }
      case 1:
        if (r.digits != 10 || r.length != 0 || r.address != 0 || r.checksum != 0xFF)
          return Fail("Invalid file format(2).");
        return RecordOutcome::EndOfFile;
      case 2:
      case 4: {
        if (r.digits != 14 || r.length != 2 || r.address != 0)
          return Fail("Invalid file format[Type:0x04].");
        if (r.Sum(false) != 0) return Fail("Check sum error");
        const std::uint64_t value = static_cast<std::uint64_t>(r.data[0]) * 256 + r.data[1];
        base = r.type == 2 ? value * 16 : value * 65536;
        return RecordOutcome::Next;
      }
      default:  // start addresses: accepted and ignored
        return RecordOutcome::Next;
    }
  }
};

}  // namespace

FileType FirmwareFileType(const std::filesystem::path& path) {
  const NativeString& text = path.native();
  if (EndsWith(text, Native(".hex"))) return FileType::Hex;
  if (EndsWith(text, Native(".bin"))) return FileType::Bin;
  return FileType::Other;
}

const char* FileTypeName(FileType type) {
  switch (type) {
    case FileType::Hex: return "hex";
    case FileType::Bin: return "bin";
    default: return "other";
  }
}

bool IsConfigurationOnlyPath(const std::filesystem::path& path) {
  return path.native().find(Native(".sdt")) != NativeString::npos;
}

std::uint16_t ProductForModelCode(std::uint8_t modelCode) {
  switch (modelCode) {
    case 1: return PID_F;
    case 2: return PID_G;
    case 3: return PID_H;
    case 4: return PID_C;
    case 6: return PID_B;
    default: return PID_A;
  }
}

bool IsAcceptedProduct(std::uint32_t productId) {
  return productId == PID_A || productId == PID_B || productId == PID_C || productId == PID_D ||
         productId == PID_E;
}

HexResult ParseIntelHex(platform::ReadableFile& file, std::span<std::uint8_t> scratch,
                        std::uint32_t& codeSize) {
  const auto fileSize = file.Size();
  if (!fileSize) return HexResult::Failure("An error file");
  if (*fileSize == 0) return HexResult::Failure("An empty file");
  // A file that grew past the limit since it was measured is refused as it would have been then.
  if (*fileSize > kMaxHexFileSize || scratch.size() < kHexRomSize)
    return HexResult::Failure("File open failed");
  auto text = TryAllocateBytes(static_cast<std::size_t>(*fileSize), 0);
  if (!text) return HexResult::Failure("access error");
  const auto size = static_cast<std::uint32_t>(*fileSize);
  if (!file.Seek(0) || ReadUpTo(file, text->data(), size) != size)
    return HexResult::Failure("Read file failed.");
  codeSize = 0;

  std::string errorText;
  HexParser parser{scratch, errorText};
  HexRecord record;
  bool inRecord = false;
  bool anyRecord = false;
  for (std::size_t i = 0; i < text->size(); ++i) {
    const std::uint8_t c = (*text)[i];
    if (c == ':') {
      if (inRecord) {
        const auto outcome = parser.Finish(record);
        if (outcome == RecordOutcome::Failed) return HexResult::Failure(std::move(errorText));
        if (outcome == RecordOutcome::EndOfFile) {
          codeSize = static_cast<std::uint32_t>(parser.highestEnd);
          return HexResult::Success();
        }
      }
      record = HexRecord{};
      inRecord = anyRecord = true;
      continue;
    }
    if (!inRecord || c == '\r' || c == '\n') continue;
    const int v = HexValue(c);
    if (v < 0) return HexResult::Failure("Invalid file format[unknown data byte].");
    if (!record.AddDigit(static_cast<std::uint8_t>(v)))
      return HexResult::Failure("Invalid file format(3).");
  }
  if (!anyRecord) return HexResult::Failure("Invalid file format(1).");
  const auto outcome = parser.Finish(record);
  if (outcome == RecordOutcome::Failed) return HexResult::Failure(std::move(errorText));
  if (outcome == RecordOutcome::EndOfFile) {
    codeSize = static_cast<std::uint32_t>(parser.highestEnd);
    return HexResult::Success();
  }
  // The input ended after a good record but without the end-of-file record: the file is cut
  // short, so the load ends here as a malformed end of file rather than taking partial code.
  return HexResult::Failure("Invalid file format(2).");
}

std::optional<std::vector<std::uint8_t>> ReadFirmwareFile(const std::filesystem::path& path,
                                                          std::uint64_t& size,
                                                          std::string& errorText) {
  auto file = platform::Current<platform::FileSystem>().OpenForRead(path);
  if (!file || size > kMaxHexFileSize) {
    errorText = "File open failed";
    return std::nullopt;
  }
  auto scratch = TryAllocateBytes(kHexRomSize, 0xFF);
  if (!scratch) {
    // No text is given for this case; the parser's out-of-memory text says what happened.
    errorText = "access error";
    return std::nullopt;
  }
  std::uint32_t codeSize = 0;
  HexResult parsed = ParseIntelHex(*file, *scratch, codeSize);
  if (!parsed.ok) {
    errorText = std::move(parsed.errorText);
    return std::nullopt;
  }
  size = codeSize;
  return scratch;
}

HexResult LoadHexImage(ImageBuffer& image, const std::filesystem::path& path) {
  image.ClearCode();
  if (path.native().size() < 4) return HexResult::Failure();
  std::uint64_t size = 0;
  {
    auto file = platform::Current<platform::FileSystem>().OpenForRead(path);
    if (!file) return HexResult::Failure();
    // A size that cannot be measured counts as too large, which the next step refuses.
    size = file->Size().value_or(~std::uint64_t{0});
  }
  std::string errorText;
  auto scratch = ReadFirmwareFile(path, size, errorText);
  if (!scratch) return HexResult::Failure(std::move(errorText));

  const std::uint64_t codeSize = size;
  std::size_t imageSize;
  if (codeSize < kSmallMainCodeSize) {
    imageSize = kSmallMainCodeSize;
  } else if (codeSize <= kLargeMainCodeSize) {
    imageSize = kLargeMainCodeSize;
  } else {
    return HexResult::Failure();
  }
  auto code = TryAllocateBytes(imageSize, 0xFF);
  scratch->resize(static_cast<std::size_t>(codeSize));
  if (!code) return HexResult::Failure("access error");
  if (codeSize <= kZeroRegionStart)
    std::fill(code->begin() + kZeroRegionStart, code->begin() + kSmallMainCodeSize,
              std::uint8_t{0});
  std::copy(scratch->begin(), scratch->end(), code->begin());
  scratch.reset();

  const std::uint16_t checksum = ComputeChecksum(*code);
  image.TakeCode(std::move(*code));
  image.SetFieldValue(FieldId::Marker, kValidMarker);
  image.SetFieldValue(FieldId::Checksum, checksum);
  image.SetFieldValue(FieldId::CodeLength, static_cast<std::uint32_t>(imageSize));
  return HexResult::Success();
}

LoadStatus LoadHeaderImage(ImageBuffer& image, const std::filesystem::path& path) {
  ImageHeader& header = image.Header();
  header.fill(0);
  const bool configurationOnly = IsConfigurationOnlyPath(path);

  auto file = platform::Current<platform::FileSystem>().OpenForRead(path);
  if (!file) return LoadStatus::CannotOpen;
  const std::uint32_t prefix = configurationOnly ? kConfigOnlyFileSize : kHeaderFilePrefix;
  if (ReadUpTo(*file, header.data(), prefix) != prefix) return LoadStatus::TooShort;
  if (LoadLe16(&header[offset::kSignature]) != VID_MAKER) return LoadStatus::BadContent;

  std::uint32_t product = configurationOnly ? ProductForModelCode(header[offset::kProductWord])
                                            : LoadLe16(&header[offset::kProductWord]);
  if (product == 0) product = PID_A;
  if (!IsAcceptedProduct(product)) return LoadStatus::BadContent;

  std::vector<std::uint8_t> code;
  std::uint32_t length = 0;
  if (!configurationOnly) {
    std::array<std::uint8_t, 4> lengthBytes{};
    if (ReadUpTo(*file, lengthBytes.data(), 4) == 4) length = LoadLe32(lengthBytes.data());
    if (length > kMaxHeaderCodeLength) return LoadStatus::BadContent;
    if (length > 0) {
      const std::size_t imageSize = (length <= kZeroRegionStart || length == kSmallMainCodeSize)
                                        ? kSmallMainCodeSize
                                        : kLargeMainCodeSize;
      auto buffer = TryAllocateBytes(imageSize, 0xFF);
      if (!buffer) return LoadStatus::OutOfMemory;
      if (ReadUpTo(*file, buffer->data(), length) != length) return LoadStatus::BadContent;
      if (ComputeChecksum(*buffer) != LoadBe16(&header[offset::kChecksum]))
        return LoadStatus::ChecksumMismatch;
      StoreLe32(&header[offset::kCodeLength], length);
      code = std::move(*buffer);
    }
  }

  image.TakeCode(std::move(code));
  image.SetCodeLength(image.HasCode() ? length : 0);
  image.SetProductId(product);
  if (!image.HasCode()) std::fill_n(&header[offset::kMarker], 3, std::uint8_t{0});
  return LoadStatus::Ok;
}

FirmwareLoadResult LoadFirmwareByType(ImageBuffer& image, const std::filesystem::path& path) {
  FirmwareLoadResult result{FirmwareFileType(path), false, {}, LoadStatus::Ok};
  if (result.type == FileType::Hex) {
    HexResult loaded = LoadHexImage(image, path);
    result.ok = loaded.ok;
    result.errorText = std::move(loaded.errorText);
  } else {
    result.status = LoadHeaderImage(image, path);
    result.ok = result.status == LoadStatus::Ok;
  }
  return result;
}

namespace {

// The system's reason a file cannot be read, or nothing when it opens.
std::optional<std::string> CannotReadReason(const std::filesystem::path& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (error) return error.message();
  if (std::filesystem::is_directory(status)) return "it is a folder";
  if (!std::filesystem::is_regular_file(status)) return "it is not a regular file";
  errno = 0;
  if (std::ifstream(path, std::ios::binary)) return std::nullopt;
  return errno != 0 ? std::error_code(errno, std::generic_category()).message()
                    : std::string("it cannot be opened");
}

std::string HeaderReason(LoadStatus status) {
  switch (status) {
    case LoadStatus::TooShort: return "too short for an image file";
    case LoadStatus::CannotOpen: return "it cannot be opened";
    case LoadStatus::BadContent:
      return "not an image file this program takes (bad signature, product or length, or its "
             "code cut short)";
    case LoadStatus::ChecksumMismatch: return "its code does not match the checksum it carries";
    case LoadStatus::OutOfMemory: return "not enough memory to load it";
    case LoadStatus::Ok: break;
  }
  return "it could not be loaded";
}

}  // namespace

std::string LoadFailureText(const std::filesystem::path& path, std::string_view shown,
                            const FirmwareLoadResult& result) {
  const std::string name(shown);
  if (const std::optional<std::string> reason = CannotReadReason(path)) {
    const std::string text = "cannot read " + name + ": " + *reason;
    return result.type == FileType::Hex
               ? text
               : text + " (status " + std::to_string(Code(result.status)) + ")";
  }
  if (result.type == FileType::Hex) {
    if (!result.errorText.empty()) return name + ": " + result.errorText;
    return name + ": main code larger than " + std::to_string(kLargeMainCodeSize) + " bytes";
  }
  std::string text = name + ": " + HeaderReason(result.status);
  // A name ending in ".HEX" is read as an image file: the reader is chosen by the lower-case end.
  std::string ending = path.extension().string();
  std::transform(ending.begin(), ending.end(), ending.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ending == ".hex")
    text +=
        "; it was read as an image file, since only a name ending in \".hex\" (lower case) "
        "is read as Intel HEX";
  return text + " (status " + std::to_string(Code(result.status)) + ")";
}

std::optional<std::uint16_t> NamedProduct(const ImageBuffer& image, FileType type) {
  if (type == FileType::Hex) return std::nullopt;
  return static_cast<std::uint16_t>(image.ProductId() & 0xFFFFu);
}

std::string NamedProductText(const ImageBuffer& image, FileType type) {
  const std::optional<std::uint16_t> product = NamedProduct(image, type);
  return product ? Hex(*product, 4) : std::string("not named (Intel HEX)");
}

}  // namespace burnwell::image
