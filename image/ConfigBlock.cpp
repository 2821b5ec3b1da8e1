#include "image/ConfigBlock.h"

#include <algorithm>
#include <cstring>

#include "common/Bytes.h"
#include "common/MakerIds.h"

namespace burnwell::image {
namespace {

constexpr std::size_t kChainEnd = offset::kStringChainEnd;

// Single-byte text and UTF-16 code units map one to one for 0x00-0xFF (Latin-1), which keeps
// the conversion the same on every platform; a character outside that range reads back as '?'.
std::uint16_t ToUtf16(std::uint8_t c) { return c; }
std::uint8_t FromUtf16(std::uint16_t c) { return c <= 0xFF ? static_cast<std::uint8_t>(c) : '?'; }

void PutDescriptor(ImageHeader& h, std::size_t at, std::string_view text) {
  h[at] = static_cast<std::uint8_t>(2 * text.size() + 2);
  h[at + 1] = kStringDescriptorType;
  for (std::size_t i = 0; i < text.size(); ++i)
    StoreLe16(&h[at + 2 + 2 * i], ToUtf16(static_cast<std::uint8_t>(text[i])));
}

std::uint32_t LoadHost(std::span<const std::uint8_t> bytes) {
  switch (bytes.size()) {
    case 1: return bytes[0];
    case 2: {
      std::uint16_t v;
      std::memcpy(&v, bytes.data(), 2);
      return v;
    }
    default: {
      std::uint32_t v;
      std::memcpy(&v, bytes.data(), 4);
      return v;
    }
  }
}

void StoreHost(std::span<std::uint8_t> bytes, std::size_t width, std::uint32_t value) {
  if (width == 1) {
    bytes[0] = static_cast<std::uint8_t>(value);
  } else if (width == 2) {
    auto v = static_cast<std::uint16_t>(value);
    std::memcpy(bytes.data(), &v, 2);
  } else {
    std::memcpy(bytes.data(), &value, 4);
  }
}

}  // namespace

std::optional<FieldPlace> NumericFieldPlace(FieldId id) {
  switch (id) {
    case FieldId::VendorId: return FieldPlace{offset::kVendorId, 2};
    case FieldId::ProductId: return FieldPlace{offset::kProductId, 2};
    case FieldId::ProductWord: return FieldPlace{offset::kProductWord, 4};
    case FieldId::ExtraWord: return FieldPlace{offset::kExtraWord, 4};
    case FieldId::Marker: return FieldPlace{offset::kMarker, 1};
    case FieldId::Checksum: return FieldPlace{offset::kChecksum, 2};
    case FieldId::ValidityWord: return FieldPlace{offset::kMarker, 4};
    case FieldId::Release: return FieldPlace{offset::kRelease, 2};
    case FieldId::Option10: return FieldPlace{offset::kOption10, 1};
    case FieldId::Option239: return FieldPlace{offset::kOption239, 1};
    case FieldId::Option244: return FieldPlace{offset::kOption244, 1};
    case FieldId::Flags: return FieldPlace{offset::kFlags, 1};
    case FieldId::Option250: return FieldPlace{offset::kOption250, 2};
    case FieldId::Option252: return FieldPlace{offset::kOption252, 2};
    case FieldId::CodeLength: return FieldPlace{offset::kCodeLength, 4};
    case FieldId::Option243: return FieldPlace{offset::kOption243, 1};
    default: return std::nullopt;
  }
}

std::optional<int> StringFieldDescriptor(FieldId id) {
  switch (id) {
    case FieldId::Manufacturer: return 1;
    case FieldId::Product: return 2;
    case FieldId::Serial: return 3;
    default: return std::nullopt;
  }
}

void BuildTemplate(ImageHeader& h, std::uint16_t productId) {
  h.fill(0);
  StoreLe16(&h[offset::kSignature], VID_MAKER);
  StoreLe16(&h[offset::kProductWord], productId);
  const bool largeVariant = productId == PID_A || productId == PID_B;
  StoreLe16(&h[offset::kVendorId], VID_MAKER);
  StoreLe16(&h[offset::kProductId], largeVariant ? PID_A : PID_C);
  StoreLe16(&h[offset::kRelease], 0x0100);
  h[offset::kAttributes] = 0xC0;
  h[offset::kMaxPower] = 50;
  h[offset::kOption10] = largeVariant ? 0x40 : 0x00;
  h[offset::kValidityTail] = 0xFF;
  const std::uint8_t languages[] = {0x04, kStringDescriptorType, 0x09, 0x04};
  std::copy(std::begin(languages), std::end(languages), &h[offset::kStringChain]);
  PutDescriptor(h, 20, "Tessalin Technology Inc.");
  PutDescriptor(h, 70, "USB-SATA Bridge");
  PutDescriptor(h, 102, "TESSALINMP000000001");
  h[offset::kFlags] = 0x06;
}

std::optional<DescriptorPlace> FindStringDescriptor(const ImageHeader& h, int n) {
  if (n < 0) return std::nullopt;
  std::size_t position = offset::kStringChain;
  std::size_t previous = 0;
  for (int i = 0; i <= n; ++i) {
    position += previous;
    if (position >= kChainEnd) return std::nullopt;
    const std::size_t length = h[position];
    if (length <= 2) return std::nullopt;
    previous = length;
  }
  return DescriptorPlace{position, previous};
}

bool SetString(ImageHeader& h, int n, std::span<const std::uint8_t> text, std::size_t count) {
  const auto place = FindStringDescriptor(h, n);
  // A descriptor that ends exactly at the end of the chain area has an empty tail and can be
  // replaced like any other; only one that runs past it is refused.
  if (!place || place->offset + place->length > kChainEnd) return false;
  const std::size_t p = place->offset;
  if (count > kChainEnd || p + 2 * count + 2 > kChainEnd) return false;

  std::array<std::uint8_t, 256> tail{};
  const std::size_t tailStart = p + place->length;
  std::copy(&h[tailStart], &h[kChainEnd], tail.begin());

  std::array<std::uint16_t, 260> wide{};
  for (std::size_t i = 0; i < count && i < text.size() && text[i] != 0; ++i)
    wide[i] = ToUtf16(text[i]);

  h[p] = static_cast<std::uint8_t>(2 * count + 2);
  h[p + 1] = kStringDescriptorType;
  for (std::size_t i = 0; i < count; ++i) StoreLe16(&h[p + 2 + 2 * i], wide[i]);
  const std::size_t q = p + 2 * count + 2;
  std::copy(tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(kChainEnd - q), &h[q]);
  return true;
}

bool SetString(ImageHeader& h, int n, std::string_view text, std::size_t count) {
  return SetString(h, n, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                   count);
}

bool GetString(const ImageHeader& h, int n, std::span<std::uint8_t> buffer) {
  const auto place = FindStringDescriptor(h, n);
  if (!place || place->offset + place->length > kChainEnd) return false;
  const std::size_t characters = (place->length - 2) / 2;
  if (2 * buffer.size() < place->length - 2) return false;
  std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
  for (std::size_t i = 0; i < characters; ++i)
    buffer[i] = FromUtf16(LoadLe16(&h[place->offset + 2 + 2 * i]));
  return true;
}

std::optional<std::string> GetStringText(const ImageHeader& h, int n) {
  std::array<std::uint8_t, kConfigBlockSize> buffer{};
  if (!GetString(h, n, buffer)) return std::nullopt;
  const auto end = std::find(buffer.begin(), buffer.end(), std::uint8_t{0});
  return std::string(buffer.begin(), end);
}

bool SetField(ImageHeader& h, FieldId id, std::span<const std::uint8_t> source) {
  if (auto n = StringFieldDescriptor(id)) return SetString(h, *n, source, source.size());
  const auto place = NumericFieldPlace(id);
  if (!place || source.size() != place->width) return false;
  const std::uint32_t value = LoadHost(source);
  std::uint8_t* at = &h[place->offset];
  if (id == FieldId::Checksum) {
    StoreBe16(at, static_cast<std::uint16_t>(value));
  } else if (place->width == 1) {
    *at = static_cast<std::uint8_t>(value);
  } else if (place->width == 2) {
    StoreLe16(at, static_cast<std::uint16_t>(value));
  } else {
    StoreLe32(at, value);
  }
  return true;
}

bool GetField(const ImageHeader& h, FieldId id, std::span<std::uint8_t> destination) {
  if (auto n = StringFieldDescriptor(id)) return GetString(h, *n, destination);
  const auto place = NumericFieldPlace(id);
  if (!place || destination.size() < place->width) return false;
  const std::uint8_t* at = &h[place->offset];
  std::uint32_t value;
  if (id == FieldId::Checksum) {
    value = LoadBe16(at);
  } else if (place->width == 1) {
    value = *at;
  } else if (place->width == 2) {
    value = LoadLe16(at);
  } else {
    value = LoadLe32(at);
  }
  StoreHost(destination, place->width, value);
  return true;
}

bool SetFieldValue(ImageHeader& h, FieldId id, std::uint32_t value) {
  const auto place = NumericFieldPlace(id);
  if (!place) return false;
  std::array<std::uint8_t, 4> bytes{};
  StoreHost(bytes, place->width, value);
  return SetField(h, id, std::span<const std::uint8_t>(bytes.data(), place->width));
}

std::optional<std::uint32_t> GetFieldValue(const ImageHeader& h, FieldId id) {
  const auto place = NumericFieldPlace(id);
  if (!place) return std::nullopt;
  std::array<std::uint8_t, 4> bytes{};
  if (!GetField(h, id, bytes)) return std::nullopt;
  return LoadHost(std::span<const std::uint8_t>(bytes.data(), place->width));
}

}  // namespace burnwell::image
