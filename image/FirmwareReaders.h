// The firmware file readers: Intel HEX files (main code only) and header image files (a 268-byte
// image header followed by the main code, or a 257-byte configuration-only file). All file access
// goes through platform::Current<platform::FileSystem>().
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "image/ImageBuffer.h"
#include "platform/FileSystem.h"

namespace burnwell::image {

// Limits of Intel HEX input: the longest file, and the first main-code offset no record may reach.
inline constexpr std::uint32_t kMaxHexFileSize = 0x40000;
inline constexpr std::uint32_t kHexRomSize = 0x40000;
// A header file's code length may not exceed the large image.
inline constexpr std::uint32_t kMaxHeaderCodeLength = kLargeMainCodeSize;
inline constexpr std::size_t kHeaderFilePrefix = 264;    // block, product word, extra word
inline constexpr std::size_t kConfigOnlyFileSize = 257;  // block, model code

// The reader a firmware file goes to, chosen by the last four characters of its path, compared
// case-sensitively: ".hex" is Intel HEX, ".bin" and everything else are header images.
enum class FileType : int { Hex = 0, Bin = 1, Other = 2 };
FileType FirmwareFileType(const std::filesystem::path& path);
// "hex", "bin" or "other".
const char* FileTypeName(FileType type);

// The configuration-only variant of a header image: ".sdt" anywhere in the path (case-sensitive).
bool IsConfigurationOnlyPath(const std::filesystem::path& path);
// The product a configuration-only file's model code names.
std::uint16_t ProductForModelCode(std::uint8_t modelCode);
// PID_A to PID_E; the others are refused by the header reader.
bool IsAcceptedProduct(std::uint32_t productId);

// Statuses of LoadHeaderImage.
enum class LoadStatus : int {
  Ok = 0,
  TooShort = -33,
  CannotOpen = -42,
  BadContent = -111,
  ChecksumMismatch = -113,
  // Out of memory: the device layer's 0xE6010002, taken as a 32-bit signed status.
  OutOfMemory = static_cast<int>(0xE6010002u),
};
// The status where it leaves the program (a printed status).
constexpr int Code(LoadStatus status) { return static_cast<int>(status); }

// What the Intel HEX reader reports: success, or a failure with the reader's message, which is
// empty for the failures that have none. The reader has no status numbers.
struct HexResult {
  bool ok = false;
  std::string errorText;

  static HexResult Success() { return {true, {}}; }
  static HexResult Failure(std::string text = {}) { return {false, std::move(text)}; }
};

// Parses Intel HEX text from an open file into scratch (kMaxHexFileSize bytes, prefilled by the
// caller); codeSize receives the highest data end address.
HexResult ParseIntelHex(platform::ReadableFile& file, std::span<std::uint8_t> scratch,
                        std::uint32_t& codeSize);

// Opens and parses an Intel HEX file whose measured size is passed in size; returns the scratch
// buffer (kMaxHexFileSize bytes, 0xFF where no record wrote) with size set to the code size.
std::optional<std::vector<std::uint8_t>> ReadFirmwareFile(const std::filesystem::path& path,
                                                          std::uint64_t& size,
                                                          std::string& errorText);

// Loads an Intel HEX file into image. On failure the image is left cleared (no code, bytes 11-14
// 0xFF).
HexResult LoadHexImage(ImageBuffer& image, const std::filesystem::path& path);

// Loads a header image or configuration-only file into image. The main code, code length and
// product are only replaced when the whole file is good.
LoadStatus LoadHeaderImage(ImageBuffer& image, const std::filesystem::path& path);

// What a caller that loads "a firmware file" needs: the type rule, then the matching reader.
struct FirmwareLoadResult {
  FileType type;
  bool ok;
  std::string errorText;  // Intel HEX: the reader's text (may be empty)
  LoadStatus status;      // header images: the reader's status
};
FirmwareLoadResult LoadFirmwareByType(ImageBuffer& image, const std::filesystem::path& path);

// Why the file at `path` (shown as `shown`, the name as the operator gave it) did not load, for
// people: the file's name, then the system's reason (no such file, a folder, no permission) or
// the reader's own text; an image reader's status number stays at the end ("(status -111)").
std::string LoadFailureText(const std::filesystem::path& path, std::string_view shown,
                            const FirmwareLoadResult& result);

// The product a loaded file names, the one answer every command and record gives: an image or
// configuration-only file names the product its trailer or model code carries; an Intel HEX file
// holds main code only and names none (the image's product is then the start-up template's,
// not the file's).
std::optional<std::uint16_t> NamedProduct(const ImageBuffer& image, FileType type);
// That product for people: four hex digits, or "not named (Intel HEX)".
std::string NamedProductText(const ImageBuffer& image, FileType type);

}  // namespace burnwell::image
