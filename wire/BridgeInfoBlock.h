// The bridge information block: the answer of the bridge's information command (at least 16
// bytes). The bridge (and the emulator) encode it, discovery decodes it into a device record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

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

// What the block says. Bytes it does not name are zero.
struct BridgeInfo {
  std::uint16_t vendorId = 0, productId = 0;
  std::uint32_t firmwareVersion = 0;
  std::uint16_t pairFirst = 0, pairSecond = 0;  // equal on a bridge whose pair matches
  std::uint8_t mode = 0, flag = 0;              // as at bridge_info::Mode and ::Flag
};

using BridgeInfoBytes = std::array<std::uint8_t, kBridgeInfoSize>;

BridgeInfoBytes EncodeBridgeInfo(const BridgeInfo& info);
BridgeInfo DecodeBridgeInfo(std::span<const std::uint8_t, kBridgeInfoSize> block);

}  // namespace burnwell::wire
