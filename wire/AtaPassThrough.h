// The ATA_PASS_THROUGH_EX block in its 32-bit Windows layout (40 bytes), followed by its data
// area. Like the ScsiRequest it is a wire layout: native structures are built from it only at
// the operating-system call. The header codec below is the one reader and writer of its bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace burnwell::wire {

inline constexpr std::size_t kAtaPassThroughSize = 40;

namespace apt {
inline constexpr std::size_t Length = 0;              // u16 = 40
inline constexpr std::size_t AtaFlags = 2;            // u16
inline constexpr std::size_t PathId = 4;              // u8
inline constexpr std::size_t TargetId = 5;            // u8
inline constexpr std::size_t Lun = 6;                 // u8
inline constexpr std::size_t ReservedAsUchar = 7;     // u8
inline constexpr std::size_t DataTransferLength = 8;  // u32
inline constexpr std::size_t TimeOutValue = 12;       // u32, seconds
inline constexpr std::size_t ReservedAsUlong = 16;    // u32
inline constexpr std::size_t DataBufferOffset = 20;   // u32 (ULONG_PTR in the 32-bit layout)
inline constexpr std::size_t PreviousTaskFile = 24;   // 8 bytes
inline constexpr std::size_t CurrentTaskFile = 32;    // 8 bytes: features/error, count, LBA
                                                      // low/mid/high, device, command/status
inline constexpr std::size_t TaskFileSize = 8;
inline constexpr std::size_t StatusRegister = CurrentTaskFile + 6;
}  // namespace apt
static_assert(apt::ReservedAsUchar + 1 == apt::DataTransferLength);
static_assert(apt::PreviousTaskFile + apt::TaskFileSize == apt::CurrentTaskFile);
static_assert(apt::CurrentTaskFile + apt::TaskFileSize == kAtaPassThroughSize);
static_assert(apt::StatusRegister == 38);

// The registers of one task file, by position. Two positions change meaning on the way back:
// the features register returns the error register, the command register the status.
using TaskFileRegisters = std::array<std::uint8_t, apt::TaskFileSize>;
namespace reg {
inline constexpr std::size_t Features = 0;
inline constexpr std::size_t Error = 0;
inline constexpr std::size_t SectorCount = 1;
inline constexpr std::size_t LbaLow = 2;
inline constexpr std::size_t LbaMid = 3;
inline constexpr std::size_t LbaHigh = 4;
inline constexpr std::size_t Device = 5;
inline constexpr std::size_t Command = 6;
inline constexpr std::size_t Status = 6;
}  // namespace reg
static_assert(apt::CurrentTaskFile + reg::Status == apt::StatusRegister);

// AtaFlags bits. Where a Windows header has defined one as a macro already, that definition
// (same value) stands.
#ifndef ATA_FLAGS_DRDY_REQUIRED
inline constexpr std::uint16_t ATA_FLAGS_DRDY_REQUIRED = 0x01;
#endif
#ifndef ATA_FLAGS_DATA_IN
inline constexpr std::uint16_t ATA_FLAGS_DATA_IN = 0x02;
#endif
#ifndef ATA_FLAGS_DATA_OUT
inline constexpr std::uint16_t ATA_FLAGS_DATA_OUT = 0x04;
#endif
#ifndef ATA_FLAGS_48BIT_COMMAND
inline constexpr std::uint16_t ATA_FLAGS_48BIT_COMMAND = 0x08;
#endif

// Bit 0 of the status register: the command ended with an error.
inline constexpr std::uint8_t kAtaStatusErr = 0x01;

struct AtaPassThroughHeader {
  std::uint16_t Length = kAtaPassThroughSize;
  std::uint16_t AtaFlags = 0;
  std::uint8_t PathId = 0;
  std::uint8_t TargetId = 0;
  std::uint8_t Lun = 0;
  std::uint8_t ReservedAsUchar = 0;
  std::uint32_t DataTransferLength = 0;
  std::uint32_t TimeOutValue = 0;
  std::uint32_t ReservedAsUlong = 0;
  std::uint32_t DataBufferOffset = 0;
  TaskFileRegisters PreviousTaskFile{};
  TaskFileRegisters CurrentTaskFile{};

  bool ReadsData() const { return (AtaFlags & ATA_FLAGS_DATA_IN) != 0; }
  bool WritesData() const { return (AtaFlags & ATA_FLAGS_DATA_OUT) != 0; }
  bool Extended() const { return (AtaFlags & ATA_FLAGS_48BIT_COMMAND) != 0; }
  // The returned status register has ERR set.
  bool ErrorReported() const { return (CurrentTaskFile[reg::Status] & kAtaStatusErr) != 0; }
  // The data area lies behind the 40-byte header, inside a block of `size` bytes (64-bit sums:
  // no offset plus length wraps around).
  bool DataAreaInside(std::uint64_t size) const {
    return DataTransferLength == 0 ||
           (DataBufferOffset >= kAtaPassThroughSize &&
            std::uint64_t{DataBufferOffset} + DataTransferLength <= size);
  }
};

// The data area the header names inside `block` (check DataAreaInside first); empty when the
// length is 0, wherever the offset points.
template <typename Byte>
std::span<Byte> AtaDataArea(const AtaPassThroughHeader& h, std::span<Byte> block) {
  if (h.DataTransferLength == 0) return {};
  return block.subspan(h.DataBufferOffset, h.DataTransferLength);
}

// bytes must hold at least kAtaPassThroughSize bytes. The layout has no filler: decoding and
// encoding again gives back the same 40 bytes.
AtaPassThroughHeader DecodeAtaPassThroughHeader(std::span<const std::uint8_t> bytes);
void EncodeAtaPassThroughHeader(const AtaPassThroughHeader& header, std::span<std::uint8_t> bytes);

}  // namespace burnwell::wire
