// The firmware file readers: Intel HEX files (main code only) and header image files (a 268-byte
// image header followed by the main code, or a 257-byte configuration-only file). All file access
// goes through platform::Current<platform::FileSystem>().
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "image/ImageBuffer.h"
#include "platform/FileSystem.h"

namespace burnwell::image {

// Limits of Intel HEX input: the longest file, and the first main-code offset no record may reach.
inline constexpr std::uint32_t MAX_HEX_FILE_SIZE = 0x40000;
inline constexpr std::uint32_t HEX_ROM_SIZE = 0x40000;
// A header file's code length may not exceed the large image.
inline constexpr std::uint32_t MAX_HEADER_CODE_LENGTH = LARGE_IMAGE_SIZE;
inline constexpr std::size_t HEADER_FILE_PREFIX = 264;   // block, product word, extra word
inline constexpr std::size_t CONFIG_ONLY_FILE_SIZE = 257; // block, model code

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
inline constexpr int LOAD_OK = 0;
inline constexpr int LOAD_CANNOT_OPEN = -42;
inline constexpr int LOAD_TOO_SHORT = -33;
inline constexpr int LOAD_BAD_CONTENT = -111;
inline constexpr int LOAD_CHECKSUM_MISMATCH = -113;
// Out of memory: the device layer's 0xE6010002, taken as a 32-bit signed status.
inline constexpr int LOAD_OUT_OF_MEMORY = static_cast<int>(0xE6010002u);

// Parses Intel HEX text from an open file into scratch (MAX_HEX_FILE_SIZE bytes, prefilled by the
// caller); codeSize receives the highest data end address. On failure errorText holds the message.
bool ParseIntelHex(platform::ReadableFile& file, std::span<std::uint8_t> scratch, std::uint32_t& codeSize,
                   std::string& errorText);

// Opens and parses an Intel HEX file whose measured size is passed in size; returns the scratch
// buffer (MAX_HEX_FILE_SIZE bytes, 0xFF where no record wrote) with size set to the code size.
std::optional<std::vector<std::uint8_t>> ReadFirmwareFile(const std::filesystem::path& path, std::uint64_t& size,
                                                          std::string& errorText);

// Loads an Intel HEX file into image. On failure the image is left cleared (no code, bytes 11-14
// 0xFF) and errorText holds the reader's message, or stays empty for the failures without one.
bool LoadHexImage(ImageBuffer& image, const std::filesystem::path& path, std::string& errorText);

// Loads a header image or configuration-only file into image; returns LOAD_OK or a status above.
// The main code, code length and product are only replaced when the whole file is good.
int LoadHeaderImage(ImageBuffer& image, const std::filesystem::path& path);

// What a caller that loads "a firmware file" needs: the type rule, then the matching reader.
struct FirmwareLoadResult {
  FileType type;
  bool ok;
  std::string errorText;  // Intel HEX: the reader's text (may be empty)
  int status;             // header images: the reader's status
};
FirmwareLoadResult LoadFirmwareByType(ImageBuffer& image, const std::filesystem::path& path);

}  // namespace burnwell::image
