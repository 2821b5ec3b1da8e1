// The ScsiRequest wire format: the 44-byte SCSI_PASS_THROUGH header in its 32-bit Windows
// layout, 4 filler bytes, a 32-byte sense area at 48 and the data area at 80 (512 bytes in the
// standard 592-byte request; 80 + length bytes for a long READ(10)). This byte layout is what
// the relay carries; native structures are built from it only at the operating-system call.
//
// This file is the one codec of the request: every layer that builds, checks, converts or
// answers a request reads and writes its bytes through the header codec, the area checks and
// the view below, never by offsets of its own.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "common/Bytes.h"

namespace burnwell::wire {

inline constexpr std::size_t kPassThroughHeaderSize = 44;
inline constexpr std::size_t kSenseOffset = 48;
inline constexpr std::size_t kSenseSize = 32;
inline constexpr std::size_t kDataOffset = 80;
inline constexpr std::size_t kStandardDataSize = 512;
inline constexpr std::size_t kScsiRequestSize = kDataOffset + kStandardDataSize;  // 592
inline constexpr std::size_t kMaxCdbLength = 16;

// Byte offsets of the header fields (32-bit SCSI_PASS_THROUGH).
namespace spt {
inline constexpr std::size_t Length = 0;               // u16
inline constexpr std::size_t ScsiStatus = 2;           // u8
inline constexpr std::size_t PathId = 3;               // u8
inline constexpr std::size_t TargetId = 4;             // u8
inline constexpr std::size_t Lun = 5;                  // u8
inline constexpr std::size_t CdbLength = 6;            // u8
inline constexpr std::size_t SenseInfoLength = 7;      // u8
inline constexpr std::size_t DataIn = 8;               // u8, then 3 bytes of alignment
inline constexpr std::size_t DataTransferLength = 12;  // u32
inline constexpr std::size_t TimeOutValue = 16;        // u32, seconds
inline constexpr std::size_t DataBufferOffset = 20;    // u32 (ULONG_PTR in the 32-bit layout)
inline constexpr std::size_t SenseInfoOffset = 24;     // u32
inline constexpr std::size_t Cdb = 28;                 // 16 bytes
}  // namespace spt
static_assert(spt::DataIn + 4 == spt::DataTransferLength);
static_assert(spt::Cdb + kMaxCdbLength == kPassThroughHeaderSize);
static_assert(kPassThroughHeaderSize + 4 == kSenseOffset);
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
  std::array<std::uint8_t, kMaxCdbLength> Cdb{};

  // A CDB of 1 to 16 bytes: anything else cannot be sent.
  bool CdbLengthValid() const { return CdbLength >= 1 && CdbLength <= kMaxCdbLength; }
  // DataIn names one of the two directions.
  bool DirectionValid() const {
    return DataIn == SCSI_IOCTL_DATA_OUT || DataIn == SCSI_IOCTL_DATA_IN;
  }
  bool ReadsData() const { return DataIn == SCSI_IOCTL_DATA_IN; }
  // The CDB bytes the command uses (never more than the 16 the header holds).
  std::span<const std::uint8_t> CdbBytes() const {
    return std::span(Cdb).first(std::min<std::size_t>(CdbLength, kMaxCdbLength));
  }
};

// bytes must hold at least kPassThroughHeaderSize bytes. Encoding writes the three alignment
// bytes after DataIn as zero.
ScsiPassThroughHeader DecodePassThroughHeader(std::span<const std::uint8_t> bytes);
void EncodePassThroughHeader(const ScsiPassThroughHeader& header, std::span<std::uint8_t> bytes);

// --- where the header may point -----------------------------------------------------------------
// All sums are 64-bit, so that no offset plus length wraps around into the request.

// An area of `length` bytes at `offset` lies inside `size` bytes (an empty area always does).
constexpr bool AreaInside(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return length == 0 || offset + length <= size;
}
// The data and sense areas the header names lie anywhere inside a request of `size` bytes.
inline bool DataAreaInside(const ScsiPassThroughHeader& h, std::uint64_t size) {
  return AreaInside(h.DataBufferOffset, h.DataTransferLength, size);
}
inline bool SenseAreaInside(const ScsiPassThroughHeader& h, std::uint64_t size) {
  return AreaInside(h.SenseInfoOffset, h.SenseInfoLength, size);
}
// The stricter rule of the layout itself: the data area behind the 80 bytes of header, filler
// and sense, inside `size`; the sense area between the header and the data area.
inline bool DataAreaInDataPart(const ScsiPassThroughHeader& h, std::uint64_t size) {
  return h.DataTransferLength == 0 ||
         (h.DataBufferOffset >= kDataOffset && DataAreaInside(h, size));
}
inline bool SenseAreaInSensePart(const ScsiPassThroughHeader& h) {
  return h.SenseInfoLength == 0 ||
         (h.SenseInfoOffset >= kPassThroughHeaderSize && SenseAreaInside(h, kDataOffset));
}

// --- building a request for one command ---------------------------------------------------------

enum class DataDirection : std::uint8_t {
  Out = SCSI_IOCTL_DATA_OUT,
  In = SCSI_IOCTL_DATA_IN,
};

// One command as the tool sends it. The whole 16-byte CDB travels; cdbLength says how much of
// it the device takes.
struct ScsiCommand {
  std::array<std::uint8_t, kMaxCdbLength> cdb{};
  std::uint8_t cdbLength = 0;
  DataDirection direction = DataDirection::Out;
  std::uint32_t transferLength = 0;
  std::uint32_t timeoutSeconds = 0;
  std::uint8_t targetId = 0;
  std::uint8_t lun = 0;
};

// The header of a request for `command` in the standard layout: the 44-byte header, the 32-byte
// sense area at 48, the data area at 80, path 0.
ScsiPassThroughHeader HeaderFor(const ScsiCommand& command);

// --- reading and answering a request in place ---------------------------------------------------

// A request in its wire layout, held by someone else (a caller's buffer, a relay message, the
// emulator's input). Byte is std::uint8_t for a request that is answered in place, const
// std::uint8_t for one that is only read. The bytes hold at least the header
// (kPassThroughHeaderSize); Sense() and Data() need the whole 80-byte block.
template <typename Byte>
class BasicScsiRequestView {
  static constexpr bool kWritable = !std::is_const_v<Byte>;

 public:
  explicit BasicScsiRequestView(std::span<Byte> bytes) : bytes_(bytes) {}

  // True when `size` bytes hold the header, the least a view needs.
  static constexpr bool HoldsHeader(std::uint64_t size) { return size >= kPassThroughHeaderSize; }

  std::span<Byte> Bytes() const { return bytes_; }
  ScsiPassThroughHeader Header() const { return DecodePassThroughHeader(bytes_); }
  std::uint8_t ScsiStatus() const { return bytes_[spt::ScsiStatus]; }

  // The areas the header names (check them with DataAreaInside / SenseAreaInside first); an
  // area of length 0 is empty wherever its offset points.
  std::span<Byte> DataArea(const ScsiPassThroughHeader& h) const {
    if (h.DataTransferLength == 0) return {};
    return bytes_.subspan(h.DataBufferOffset, h.DataTransferLength);
  }
  std::span<Byte> SenseArea(const ScsiPassThroughHeader& h) const {
    if (h.SenseInfoLength == 0) return {};
    return bytes_.subspan(h.SenseInfoOffset, h.SenseInfoLength);
  }
  // The layout's own places: the 32 sense bytes at 48 and everything from 80 on.
  std::span<Byte> Sense() const { return bytes_.subspan(kSenseOffset, kSenseSize); }
  std::span<Byte> Data() const { return bytes_.subspan(kDataOffset); }
  // The 80 bytes of header, filler and sense.
  std::span<Byte> Block() const { return bytes_.first(kDataOffset); }

  void SetHeader(const ScsiPassThroughHeader& h) const requires kWritable {
    EncodePassThroughHeader(h, bytes_);
  }
  // The fields a completed command reports back. Each writes its own field and nothing else.
  void SetScsiStatus(std::uint8_t status) const requires kWritable {
    bytes_[spt::ScsiStatus] = status;
  }
  void SetSenseInfoLength(std::uint8_t length) const requires kWritable {
    bytes_[spt::SenseInfoLength] = length;
  }
  void SetDataTransferLength(std::uint32_t length) const requires kWritable {
    StoreLe32(bytes_.data() + spt::DataTransferLength, length);
  }
  // The data-buffer field alone: a pass-through-direct block keeps its caller's own value.
  void SetDataBufferOffset(std::uint32_t offset) const requires kWritable {
    StoreLe32(bytes_.data() + spt::DataBufferOffset, offset);
  }

 private:
  std::span<Byte> bytes_;
};

using ScsiRequestView = BasicScsiRequestView<std::uint8_t>;
using ScsiRequestReader = BasicScsiRequestView<const std::uint8_t>;

// One zero-filled request buffer: 80 header/sense bytes plus the data area.
class ScsiRequest {
 public:
  explicit ScsiRequest(std::size_t dataAreaSize = kStandardDataSize)
      : bytes_(kDataOffset + dataAreaSize, 0) {}

  // A request carrying `command` (HeaderFor) with a data area of dataAreaSize bytes.
  static ScsiRequest For(const ScsiCommand& command, std::size_t dataAreaSize = kStandardDataSize) {
    ScsiRequest request(dataAreaSize);
    request.SetHeader(HeaderFor(command));
    return request;
  }

  std::span<std::uint8_t> Bytes() { return bytes_; }
  std::span<const std::uint8_t> Bytes() const { return bytes_; }
  std::size_t Size() const { return bytes_.size(); }
  ScsiRequestView View() { return ScsiRequestView(bytes_); }
  ScsiRequestReader View() const { return ScsiRequestReader(bytes_); }

  ScsiPassThroughHeader Header() const { return DecodePassThroughHeader(bytes_); }
  void SetHeader(const ScsiPassThroughHeader& header) { EncodePassThroughHeader(header, bytes_); }

  std::span<std::uint8_t> Sense() { return View().Sense(); }
  std::span<std::uint8_t> Data() { return View().Data(); }
  std::span<const std::uint8_t> Data() const { return View().Data(); }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace burnwell::wire
