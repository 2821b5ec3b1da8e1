// Byte buffers whose allocation may fail without ending the program: the readers report an
// allocation failure as a load error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/Seam.h"

namespace burnwell::image {

// Where the readers get their buffers, reached through the seam so that tests can make an
// allocation fail.
class ByteAllocator {
 public:
  virtual ~ByteAllocator() = default;
  // A buffer of size bytes, all set to fill; nothing when memory cannot be had.
  virtual std::optional<std::vector<std::uint8_t>> Allocate(std::size_t size,
                                                            std::uint8_t fill) = 0;
};

// Current<ByteAllocator>().Allocate(size, fill).
std::optional<std::vector<std::uint8_t>> TryAllocateBytes(std::size_t size, std::uint8_t fill);

}  // namespace burnwell::image

namespace burnwell::platform {
// The process's own allocator: the free store.
template <>
image::ByteAllocator& SystemInstance<image::ByteAllocator>();
}  // namespace burnwell::platform
