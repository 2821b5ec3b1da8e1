// The bridge information block: the answer of the bridge's information command (at least 16
// bytes). Discovery decodes it into a device record; nothing else reads it.
#pragma once

#include <cstddef>

namespace burnwell::wire {

inline constexpr std::size_t kBridgeInfoSize = 16;

// Byte offsets in the block (multi-byte values high byte first).
namespace bridge_info {
inline constexpr std::size_t VendorId = 0;         // u16
inline constexpr std::size_t ProductId = 2;        // u16
inline constexpr std::size_t FirmwareVersion = 4;  // u32
inline constexpr std::size_t PairFirst = 8;        // u16, compared with PairSecond
inline constexpr std::size_t Mode = 10;            // EEPROM kind: 0 none, 1 256 bytes, 2 64 KiB
inline constexpr std::size_t Flag = 11;            // nonzero: a serial flash is attached
inline constexpr std::size_t PairSecond = 12;      // u16
}  // namespace bridge_info
static_assert(bridge_info::PairSecond + 2 <= kBridgeInfoSize);

}  // namespace burnwell::wire
