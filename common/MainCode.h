// The bridge's main code: how much of it there is for each product.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/MakerIds.h"

namespace burnwell {

// The main code takes exactly one of these sizes (it is allocated at that size whatever the
// file holds, and the bridge reads that much from its memory).
inline constexpr std::size_t kLargeMainCodeSize = 0xB800;
inline constexpr std::size_t kSmallMainCodeSize = 0x5C00;

// The large products share PID_A's high byte; only that byte is compared.
constexpr std::uint32_t MainCodeSizeFor(std::uint16_t productId) {
  return static_cast<std::uint32_t>((productId >> 8) == (PID_A >> 8) ? kLargeMainCodeSize
                                                                     : kSmallMainCodeSize);
}

}  // namespace burnwell
