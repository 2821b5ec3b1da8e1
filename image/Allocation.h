// Byte buffers whose allocation may fail without ending the program: the readers report an
// allocation failure as a load error. Tests make the n-th allocation fail to reach those paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace burnwell::image {

// A buffer of size bytes, all set to fill; nothing when memory cannot be had.
std::optional<std::vector<std::uint8_t>> TryAllocateBytes(std::size_t size, std::uint8_t fill);

// While alive, the n-th TryAllocateBytes call from now (1 = the next one) fails.
class ScopedAllocationFailure {
 public:
  explicit ScopedAllocationFailure(int nth);
  ~ScopedAllocationFailure();
  ScopedAllocationFailure(const ScopedAllocationFailure&) = delete;
  ScopedAllocationFailure& operator=(const ScopedAllocationFailure&) = delete;
};

}  // namespace burnwell::image
