// One firmware image in memory: the image header, the main code that goes to flash offset 256
// onward, the main-code length and the product the image is meant for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/MainCode.h"
#include "common/MakerIds.h"
#include "image/ConfigBlock.h"

namespace burnwell::image {

// A small Intel HEX image whose code ends at or below this offset gets zeros from here to its end.
inline constexpr std::size_t kZeroRegionStart = 0x4C00;

// The 16-bit wrap-around sum of every byte, starting from 0, without complement.
std::uint16_t ComputeChecksum(std::span<const std::uint8_t> code);

// The code a bridge's memory holds, as its block's marker and checksum describe it.
struct StampedCode {
  std::size_t size = kLargeMainCodeSize;  // kSmallMainCodeSize or kLargeMainCodeSize
  bool markedValid = false;               // marker 0x5A, and the checksum is the sum over `size`
  std::uint16_t checksum = 0;             // the sum over `size` bytes of code
};

// Which code region the checksum stamped beside the marker covers. `memory` is the memory from
// offset 0: the configuration block, then kLargeMainCodeSize bytes of code (a shorter one is not
// marked valid). The image size whose sum matches wins (the large one when both do: it holds
// the small one). With no valid marker, or a checksum that matches neither, the firmware is not
// marked valid and the whole large region is taken, so that nothing the bridge holds is left out.
StampedCode FindStampedCode(std::span<const std::uint8_t> memory);

class ImageBuffer {
 public:
  // The template for PID_A: no code, code length 0.
  ImageBuffer() : ImageBuffer(PID_A) {}
  explicit ImageBuffer(std::uint16_t productId) { BuildTemplate(productId); }

  // Sets the header to the product's template and drops the main code.
  void BuildTemplate(std::uint16_t productId);

  ImageHeader& Header() { return header_; }
  const ImageHeader& Header() const { return header_; }

  // The main code over its whole allocated size; empty when there is none.
  std::span<const std::uint8_t> Code() const { return code_; }
  bool HasCode() const { return !code_.empty(); }
  // Takes a filled buffer as the main code (an empty vector means none).
  void TakeCode(std::vector<std::uint8_t> code) { code_ = std::move(code); }

  std::uint32_t CodeLength() const { return codeLength_; }
  void SetCodeLength(std::uint32_t length) { codeLength_ = length; }
  std::uint32_t ProductId() const { return productId_; }
  void SetProductId(std::uint32_t productId) { productId_ = productId; }

  // Field access on the header; field 20 also sets the code length.
  bool SetField(FieldId id, std::span<const std::uint8_t> source);
  bool GetField(FieldId id, std::span<std::uint8_t> destination) const;
  bool SetFieldValue(FieldId id, std::uint32_t value);

  // Copies min(count, 268) bytes into / out of the start of the header.
  void CopyBlockIn(std::span<const std::uint8_t> source);
  void CopyBlockOut(std::span<std::uint8_t> destination) const;

  // Field 9, the checksum of the main code; 0xFFFF when it cannot be read.
  std::uint16_t GetChecksum() const;
  // String descriptor 3.
  bool GetSerial(std::span<std::uint8_t> buffer) const;
  bool SetSerial(std::span<const std::uint8_t> text);

  // Drops the main code and marks the image invalid (bytes 11-14 all 0xFF); the header keeps the
  // current code length, which itself is not changed.
  void ClearCode();

 private:
  ImageHeader header_{};
  std::vector<std::uint8_t> code_;
  std::uint32_t codeLength_ = 0;
  std::uint32_t productId_ = PID_A;
};

// The one process-wide loaded image: written on the dialog's thread by the file readers before
// the update starts, read afterwards by the update worker. It has no lock of its own.
ImageBuffer& LoadedImage();
// Puts the loaded image back to its start-up state (the PID_A template); for tests.
void ResetLoadedImage();

}  // namespace burnwell::image
