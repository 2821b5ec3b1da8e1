// Feeds arbitrary bytes as an Intel HEX file to the parser, and for some inputs to the whole HEX
// load (size checks, parse, sizing, checksum), through an in-memory file system.
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

  // One scratch buffer for all runs: its contents do not matter, only that nothing is written
  // outside it.
  static std::vector<std::uint8_t> scratch(image::kHexRomSize, 0xFF);
  std::uint32_t codeSize = 0;
  auto file = fs.OpenForRead("fuzz.hex");
  const image::HexResult parsed = image::ParseIntelHex(*file, scratch, codeSize);
  if (parsed.ok) {
    if (codeSize >= image::kHexRomSize) __builtin_trap();
  } else if (parsed.errorText.empty()) {
    __builtin_trap();  // every parse failure carries its message
  }

  // The full load allocates and sums whole images, so it runs on a share of the inputs only.
  if (size % 4 == 0) {
    image::ImageBuffer image;
    const bool ok = image::LoadHexImage(image, "fuzz.hex").ok;
    if (ok) {
      if (image.Code().size() != kSmallMainCodeSize && image.Code().size() != kLargeMainCodeSize)
        __builtin_trap();
      if (image.GetChecksum() != image::ComputeChecksum(image.Code())) __builtin_trap();
    } else if (image.HasCode()) {
      __builtin_trap();
    }
  }
  return 0;
}
