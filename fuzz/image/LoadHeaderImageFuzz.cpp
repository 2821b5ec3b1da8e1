// Feeds arbitrary bytes to the header image reader, both as an image file and as a
// configuration-only file, through an in-memory file system.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/FirmwareReaders.h"
#include "tests/image/MemoryFileSystem.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace burnwell;
  test::MemoryFileSystem fs;
  const std::vector<std::uint8_t> bytes(data, data + size);
  fs.Add("fuzz.bin", bytes);
  fs.Add("fuzz.sdt", bytes);
  platform::ScopedOverride<platform::FileSystem> use(&fs);

  for (const char* name : {"fuzz.bin", "fuzz.sdt"}) {
    image::ImageBuffer image;
    const image::LoadStatus status = image::LoadHeaderImage(image, name);
    if (status == image::LoadStatus::Ok) {
      if (image.HasCode() && image.GetChecksum() != image::ComputeChecksum(image.Code()))
        __builtin_trap();
      if (image.CodeLength() > image.Code().size()) __builtin_trap();
      if (!image::IsAcceptedProduct(image.ProductId())) __builtin_trap();
    } else if (image.HasCode()) {
      __builtin_trap();
    }
  }
  return 0;
}
