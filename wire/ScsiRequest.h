// The ScsiRequest wire format: the 44-byte SCSI_PASS_THROUGH header in its 32-bit Windows
// layout, 4 filler bytes, a 32-byte sense area at 48 and the data area at 80 (512 bytes in the
// standard 592-byte request; 80 + length bytes for a long READ(10)). This byte layout is what
// the relay carries; native structures are built from it only at the operating-system call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace burnwell::wire {

inline constexpr std::size_t kPassThroughHeaderSize = 44;
inline constexpr std::size_t kSenseOffset = 48;
inline constexpr std::size_t kSenseSize = 32;
inline constexpr std::size_t kDataOffset = 80;
inline constexpr std::size_t kStandardDataSize = 512;
inline constexpr std::size_t kScsiRequestSize = kDataOffset + kStandardDataSize;  // 592

// Byte offsets of the header fields (32-bit SCSI_PASS_THROUGH).
namespace spt {
inline constexpr std::size_t Length = 0;              // u16
inline constexpr std::size_t ScsiStatus = 2;          // u8
inline constexpr std::size_t PathId = 3;              // u8
inline constexpr std::size_t TargetId = 4;            // u8
inline constexpr std::size_t Lun = 5;                 // u8
inline constexpr std::size_t CdbLength = 6;           // u8
inline constexpr std::size_t SenseInfoLength = 7;     // u8
inline constexpr std::size_t DataIn = 8;              // u8, then 3 bytes of alignment
inline constexpr std::size_t DataTransferLength = 12; // u32
inline constexpr std::size_t TimeOutValue = 16;       // u32, seconds
inline constexpr std::size_t DataBufferOffset = 20;   // u32 (ULONG_PTR in the 32-bit layout)
inline constexpr std::size_t SenseInfoOffset = 24;    // u32
inline constexpr std::size_t Cdb = 28;                // 16 bytes
}  // namespace spt
static_assert(spt::Cdb + 16 == kPassThroughHeaderSize);
static_assert(kSenseOffset + kSenseSize == kDataOffset);
static_assert(kScsiRequestSize == 592);

// Where a Windows header has defined these as macros already, that definition (same value)
// stands.
#ifndef SCSI_IOCTL_DATA_OUT
inline constexpr std::uint8_t SCSI_IOCTL_DATA_OUT = 0;
#endif
#ifndef SCSI_IOCTL_DATA_IN
inline constexpr std::uint8_t SCSI_IOCTL_DATA_IN = 1;
#endif

struct ScsiPassThroughHeader {
  std::uint16_t Length = kPassThroughHeaderSize;
  std::uint8_t ScsiStatus = 0;
  std::uint8_t PathId = 0;
  std::uint8_t TargetId = 0;
  std::uint8_t Lun = 0;
  std::uint8_t CdbLength = 0;
  std::uint8_t SenseInfoLength = 0;
  std::uint8_t DataIn = 0;
  std::uint32_t DataTransferLength = 0;
  std::uint32_t TimeOutValue = 0;
  std::uint32_t DataBufferOffset = 0;
  std::uint32_t SenseInfoOffset = 0;
  std::array<std::uint8_t, 16> Cdb{};
};

// bytes must hold at least kPassThroughHeaderSize bytes.
ScsiPassThroughHeader DecodePassThroughHeader(std::span<const std::uint8_t> bytes);
void EncodePassThroughHeader(const ScsiPassThroughHeader& header, std::span<std::uint8_t> bytes);

// One zero-filled request buffer: 80 header/sense bytes plus the data area.
class ScsiRequest {
 public:
  explicit ScsiRequest(std::size_t dataAreaSize = kStandardDataSize)
      : bytes_(kDataOffset + dataAreaSize, 0) {}

  std::span<std::uint8_t> Bytes() { return bytes_; }
  std::span<const std::uint8_t> Bytes() const { return bytes_; }
  std::size_t Size() const { return bytes_.size(); }

  ScsiPassThroughHeader Header() const { return DecodePassThroughHeader(bytes_); }
  void SetHeader(const ScsiPassThroughHeader& header) { EncodePassThroughHeader(header, bytes_); }

  std::span<std::uint8_t> Sense() { return std::span(bytes_).subspan(kSenseOffset, kSenseSize); }
  std::span<std::uint8_t> Data() { return std::span(bytes_).subspan(kDataOffset); }
  std::span<const std::uint8_t> Data() const { return std::span(bytes_).subspan(kDataOffset); }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace burnwell::wire
