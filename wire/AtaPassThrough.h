// The ATA_PASS_THROUGH_EX block in its 32-bit Windows layout (40 bytes), followed by its data
// area. Like the ScsiRequest it is a wire layout: native structures are built from it only at
// the operating-system call.
#pragma once

#include <cstddef>
#include <cstdint>

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
static_assert(apt::CurrentTaskFile + apt::TaskFileSize == kAtaPassThroughSize);
static_assert(apt::StatusRegister == 38);

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

}  // namespace burnwell::wire
