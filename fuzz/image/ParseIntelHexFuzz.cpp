// Feeds arbitrary bytes as an Intel HEX file to the whole HEX load (size checks, parse, sizing,
// checksum) through an in-memory file system.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/FirmwareReaders.h"
#include "tests/image/MemoryFileSystem.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace burnwell;
  test::MemoryFileSystem fs;
  fs.Add("fuzz.hex", std::vector<std::uint8_t>(data, data + size));
  platform::ScopedOverride<platform::FileSystem> use(&fs);

  image::ImageBuffer image;
  std::string error;
  const bool ok = image::LoadHexImage(image, "fuzz.hex", error);
  // A load either succeeds with a full-size image and the valid marker or fails cleared.
  if (ok) {
    if (image.Code().size() != image::SMALL_IMAGE_SIZE && image.Code().size() != image::LARGE_IMAGE_SIZE)
      __builtin_trap();
    if (image.GetChecksum() != image::ComputeChecksum(image.Code())) __builtin_trap();
  } else if (image.HasCode()) {
    __builtin_trap();
  }
  return 0;
}
