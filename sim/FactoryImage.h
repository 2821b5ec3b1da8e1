// The memory contents a bridge leaves the factory with: the 256-byte configuration block at
// offset 0 (the bridge's own IDs, its serial number as string descriptor 3, the validity
// marker 0x5A with the big-endian checksum of the main code at 11..13), then the main code.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace burnwell::sim {

inline constexpr std::uint32_t kConfigBlockSize = 256;

// The 16-bit wrap-around sum of the main code.
std::uint16_t MainCodeChecksum(const std::vector<std::uint8_t>& memory, std::uint32_t codeSize);

// A memory image of memorySize bytes (0xFF where nothing is stored). A memory too small for
// the main code keeps as much of it as fits; the checksum covers what is stored.
std::vector<std::uint8_t> BuildFactoryImage(std::uint16_t vendorId, std::uint16_t productId,
                                            std::uint32_t firmwareVersion, std::string_view serial,
                                            std::uint32_t memorySize);

}  // namespace burnwell::sim
