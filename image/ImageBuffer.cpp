#include "image/ImageBuffer.h"

#include <algorithm>

#include "common/Bytes.h"

namespace burnwell::image {

std::uint16_t ComputeChecksum(std::span<const std::uint8_t> code) {
  std::uint16_t sum = 0;
  for (std::uint8_t b : code) sum = static_cast<std::uint16_t>(sum + b);
  return sum;
}

StampedCode FindStampedCode(std::span<const std::uint8_t> memory) {
  if (memory.size() < kConfigBlockSize + kLargeMainCodeSize) return {};
  const auto sumOver = [&](std::size_t size) {
    return ComputeChecksum(memory.subspan(kConfigBlockSize, size));
  };
  const bool marker = memory[offset::kMarker] == kValidMarker;
  const std::uint16_t stamped = LoadBe16(memory.data() + offset::kChecksum);
  for (const std::size_t size : {kLargeMainCodeSize, kSmallMainCodeSize}) {
    const std::uint16_t sum = sumOver(size);
    if (marker && sum == stamped) return {size, true, sum};
  }
  return {kLargeMainCodeSize, false, sumOver(kLargeMainCodeSize)};
}

void ImageBuffer::BuildTemplate(std::uint16_t productId) {
  image::BuildTemplate(header_, productId);
  code_.clear();
  code_.shrink_to_fit();
  codeLength_ = 0;
  productId_ = productId;
}

bool ImageBuffer::SetField(FieldId id, std::span<const std::uint8_t> source) {
  if (!image::SetField(header_, id, source)) return false;
  if (id == FieldId::CodeLength) codeLength_ = LoadLe32(&header_[offset::kCodeLength]);
  return true;
}

bool ImageBuffer::GetField(FieldId id, std::span<std::uint8_t> destination) const {
  return image::GetField(header_, id, destination);
}

bool ImageBuffer::SetFieldValue(FieldId id, std::uint32_t value) {
  if (!image::SetFieldValue(header_, id, value)) return false;
  if (id == FieldId::CodeLength) codeLength_ = value;
  return true;
}

void ImageBuffer::CopyBlockIn(std::span<const std::uint8_t> source) {
  const std::size_t count = std::min(source.size(), header_.size());
  std::copy_n(source.begin(), count, header_.begin());
}

void ImageBuffer::CopyBlockOut(std::span<std::uint8_t> destination) const {
  const std::size_t count = std::min(destination.size(), header_.size());
  std::copy_n(header_.begin(), count, destination.begin());
}

std::uint16_t ImageBuffer::GetChecksum() const {
  const auto value = GetFieldValue(header_, FieldId::Checksum);
  return value ? static_cast<std::uint16_t>(*value) : 0xFFFF;
}

bool ImageBuffer::GetSerial(std::span<std::uint8_t> buffer) const {
  return image::GetField(header_, FieldId::Serial, buffer);
}

bool ImageBuffer::SetSerial(std::span<const std::uint8_t> text) {
  return image::SetField(header_, FieldId::Serial, text);
}

void ImageBuffer::ClearCode() {
  code_.clear();
  code_.shrink_to_fit();
  SetFieldValue(FieldId::ValidityWord, 0xFFFFFFFF);
  SetFieldValue(FieldId::CodeLength, codeLength_);
}

ImageBuffer& LoadedImage() {
  static ImageBuffer image(PID_A);
  return image;
}

void ResetLoadedImage() { LoadedImage().BuildTemplate(PID_A); }

}  // namespace burnwell::image
