#include "image/Allocation.h"

#include <atomic>
#include <new>
#include <stdexcept>

namespace burnwell::image {
namespace {
// Allocations left before the injected failure; 0 means no failure is armed.
std::atomic<int> allocationsBeforeFailure{0};
}  // namespace

std::optional<std::vector<std::uint8_t>> TryAllocateBytes(std::size_t size, std::uint8_t fill) {
  int armed = allocationsBeforeFailure.load();
  while (armed > 0 && !allocationsBeforeFailure.compare_exchange_weak(armed, armed - 1)) {
  }
  if (armed == 1) return std::nullopt;
  try {
    return std::vector<std::uint8_t>(size, fill);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  } catch (const std::length_error&) {
    return std::nullopt;
  }
}

ScopedAllocationFailure::ScopedAllocationFailure(int nth) { allocationsBeforeFailure = nth; }
ScopedAllocationFailure::~ScopedAllocationFailure() { allocationsBeforeFailure = 0; }

}  // namespace burnwell::image
