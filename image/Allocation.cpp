#include "image/Allocation.h"

#include <new>
#include <stdexcept>

namespace burnwell::image {
namespace {

class FreeStore final : public ByteAllocator {
 public:
  std::optional<std::vector<std::uint8_t>> Allocate(std::size_t size, std::uint8_t fill) override {
    try {
      return std::vector<std::uint8_t>(size, fill);
    } catch (const std::bad_alloc&) {
      return std::nullopt;
    } catch (const std::length_error&) {
      return std::nullopt;
    }
  }
};

}  // namespace

std::optional<std::vector<std::uint8_t>> TryAllocateBytes(std::size_t size, std::uint8_t fill) {
  return platform::Current<ByteAllocator>().Allocate(size, fill);
}

}  // namespace burnwell::image

namespace burnwell::platform {
template <>
image::ByteAllocator& SystemInstance<image::ByteAllocator>() {
  static image::FreeStore freeStore;
  return freeStore;
}
}  // namespace burnwell::platform
