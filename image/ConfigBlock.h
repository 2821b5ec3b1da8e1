// The 256-byte configuration block the bridge keeps at flash offset 0, and the 268-byte image
// header (the block plus three little-endian trailer words) that is both the in-memory header of
// an image and the header of image files. Both are plain byte arrays with named offsets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace burnwell::image {

inline constexpr std::size_t kConfigBlockSize = 256;
inline constexpr std::size_t kImageHeaderSize = 268;

using ConfigBlock = std::array<std::uint8_t, kConfigBlockSize>;
using ImageHeader = std::array<std::uint8_t, kImageHeaderSize>;

// Byte offsets inside the block and the header.
namespace offset {
inline constexpr std::size_t kSignature = 0;         // 2, must hold VID_MAKER
inline constexpr std::size_t kVendorId = 2;          // 2
inline constexpr std::size_t kProductId = 4;         // 2
inline constexpr std::size_t kRelease = 6;           // 2
inline constexpr std::size_t kAttributes = 8;        // 1, bit 7 always set, bit 6 self-powered
inline constexpr std::size_t kMaxPower = 9;          // 1, units of 2 mA
inline constexpr std::size_t kOption10 = 10;         // 1
inline constexpr std::size_t kMarker = 11;           // 1, 0x5A when the main code is valid
inline constexpr std::size_t kChecksum = 12;         // 2, big-endian
inline constexpr std::size_t kValidityTail = 14;     // 1, fourth byte of the validity word
inline constexpr std::size_t kStringChain = 16;      // string descriptors 0, 1, 2, 3, ...
inline constexpr std::size_t kStringChainEnd = 238;  // first byte after the chain area
inline constexpr std::size_t kOption239 = 239;
inline constexpr std::size_t kOption243 = 243;
inline constexpr std::size_t kOption244 = 244;
inline constexpr std::size_t kFlags = 249;        // the update sets bit 2
inline constexpr std::size_t kOption250 = 250;    // 2
inline constexpr std::size_t kOption252 = 252;    // 2
inline constexpr std::size_t kProductWord = 256;  // 4, low 16 bits = product ID
inline constexpr std::size_t kExtraWord = 260;    // 4, kept, not interpreted
inline constexpr std::size_t kCodeLength = 264;   // 4, main-code length in bytes
}  // namespace offset

static_assert(offset::kChecksum + 2 == offset::kValidityTail);
static_assert(offset::kStringChainEnd + 1 == offset::kOption239);
static_assert(offset::kOption252 + 4 == kConfigBlockSize);
static_assert(offset::kProductWord == kConfigBlockSize);
static_assert(offset::kCodeLength + 4 == kImageHeaderSize);

inline constexpr std::uint8_t kValidMarker = 0x5A;
inline constexpr std::uint8_t kAttributesSelfPowered = 0x40;  // bit 6 of kAttributes
inline constexpr std::uint8_t kFlagsUpdated = 0x04;           // bit 2 of kFlags
inline constexpr std::uint8_t kStringDescriptorType = 0x03;

// The main-code checksum a block's validity marker carries; nothing when the marker is not set.
inline std::optional<std::uint16_t> MarkedChecksum(std::span<const std::uint8_t> block) {
  if (block.size() < offset::kValidityTail || block[offset::kMarker] != kValidMarker)
    return std::nullopt;
  return static_cast<std::uint16_t>(block[offset::kChecksum] << 8 | block[offset::kChecksum + 1]);
}

// The field ids of SetField / GetField.
enum class FieldId : int {
  VendorId = 1,       // offset 2, 2 bytes
  ProductId = 2,      // offset 4, 2 bytes
  ProductWord = 3,    // offset 256, 4 bytes
  ExtraWord = 4,      // offset 260, 4 bytes
  Manufacturer = 5,   // string descriptor 1
  Product = 6,        // string descriptor 2
  Serial = 7,         // string descriptor 3
  Marker = 8,         // offset 11, 1 byte
  Checksum = 9,       // offsets 12-13, 2 bytes, stored big-endian
  ValidityWord = 10,  // offsets 11-14, 4 bytes
  Release = 11,       // offset 6, 2 bytes
  Option10 = 14,      // offset 10, 1 byte
  Option239 = 15,     // offset 239, 1 byte
  Option244 = 16,     // offset 244, 1 byte
  Flags = 17,         // offset 249, 1 byte
  Option250 = 18,     // offset 250, 2 bytes
  Option252 = 19,     // offset 252, 2 bytes
  CodeLength = 20,    // offset 264, 4 bytes
  Option243 = 21,     // offset 243, 1 byte
};

// Where a numeric field lives; nothing for string fields and ids without a field.
struct FieldPlace {
  std::size_t offset;
  std::size_t width;
};
std::optional<FieldPlace> NumericFieldPlace(FieldId id);

// The string descriptor a string field edits (1, 2 or 3); nothing for other ids.
std::optional<int> StringFieldDescriptor(FieldId id);

// Sets the whole header to the default contents for a product: the PID_A/PID_B variant (product ID
// bytes PID_A, option byte 10 = 0x40) for those two products, the other variant for the rest.
void BuildTemplate(ImageHeader& header, std::uint16_t productId);

// Writes a field. Numeric fields take a host-order value whose size must equal the field's width
// exactly; string fields take the text (up to its first zero byte) and use source.size() as the
// character count. Any failure leaves the header unchanged.
bool SetField(ImageHeader& header, FieldId id, std::span<const std::uint8_t> source);
// Reads a field. Numeric fields need at least the field's width and write exactly that many bytes
// as a host-order value; string fields convert into the whole destination.
bool GetField(const ImageHeader& header, FieldId id, std::span<std::uint8_t> destination);

// Typed conveniences over the byte forms above.
bool SetFieldValue(ImageHeader& header, FieldId id, std::uint32_t value);
std::optional<std::uint32_t> GetFieldValue(const ImageHeader& header, FieldId id);

// Walks the string-descriptor chain to descriptor n: its offset and bLength. Fails on a length
// byte of 2 or less and never reads at or beyond the end of the chain area.
struct DescriptorPlace {
  std::size_t offset;
  std::size_t length;
};
std::optional<DescriptorPlace> FindStringDescriptor(const ImageHeader& header, int n);

// Replaces descriptor n with the single-byte text (up to its first zero byte, at most count
// characters) as UTF-16, sized for exactly count characters; the descriptors behind it move
// with it, and the area up to the end of the chain is zero-filled or cut.
bool SetString(ImageHeader& header, int n, std::span<const std::uint8_t> text, std::size_t count);
bool SetString(ImageHeader& header, int n, std::string_view text, std::size_t count);
// Converts descriptor n back to single-byte text; the buffer needs one byte per character.
bool GetString(const ImageHeader& header, int n, std::span<std::uint8_t> buffer);
// Descriptor n as a string (characters up to the first zero); nothing when GetString fails.
std::optional<std::string> GetStringText(const ImageHeader& header, int n);

}  // namespace burnwell::image
