// burnwell-tool info FILE: loads a firmware file the way the updater does and prints what a
// technician checks before flashing it.
#include <cstdio>
#include <string>

#include "image/FirmwareReaders.h"
#include "platform/FileSystem.h"
#include "tools/burnwell-tool/Commands.h"

namespace burnwell::tool {
namespace {

constexpr const char* INFO_HELP =
    "Usage: burnwell-tool info FILE\n\n"
    "Loads FILE with the updater's firmware readers and prints:\n"
    "  type: hex|bin|other    by the last four characters of FILE (case-sensitive):\n"
    "                         \".hex\" is Intel HEX, \".bin\" and anything else an image file\n"
    "                         with a 268-byte header (\".sdt\" in the path: configuration only)\n"
    "  code length: N         main-code bytes the update programs after the 256-byte block\n"
    "  image size: N          bytes of the main-code buffer (0 when there is no main code)\n"
    "  checksum: XXXX         16-bit sum of the whole main-code buffer, as the updater shows it\n"
    "  marker: XX             header byte 11 (5A when the main code is valid)\n"
    "  product: XXXX          the product ID the image is meant for\n\n"
    "Exit status: 0 loaded, 1 load failed (\"error: ...\" on standard error), 2 usage error.\n";

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

}  // namespace

int RunInfo(std::span<const Argument> args, std::ostream& out, std::ostream& err) {
  if (WantsHelp(args)) {
    out << INFO_HELP;
    return 0;
  }
  if (args.size() != 1) {
    err << INFO_HELP;
    return 2;
  }
  const std::filesystem::path& path = args[0].value;
  image::ImageBuffer& image = image::LoadedImage();
  const auto result = image::LoadFirmwareByType(image, path);
  if (!result.ok) {
    if (!result.errorText.empty()) {
      err << "error: " << result.errorText << "\n";
    } else if (result.type != image::FileType::Hex) {
      err << "error: " << Code(result.status) << "\n";
    } else if (!platform::Current<platform::FileSystem>().OpenForRead(path)) {
      // The Intel HEX reader gives no text for these two failures; say which one it was.
      err << "error: cannot open " << args[0].Text() << "\n";
    } else {
      err << "error: main code larger than " << image::LARGE_IMAGE_SIZE << " bytes\n";
    }
    return 1;
  }
  out << "type: " << image::FileTypeName(result.type) << "\n"
      << "code length: " << image.CodeLength() << "\n"
      << "image size: " << image.Code().size() << "\n"
      << "checksum: " << Hex(image.GetChecksum(), 4) << "\n"
      << "marker: " << Hex(image.Header()[image::offset::MARKER], 2) << "\n"
      << "product: " << Hex(image.ProductId(), 4) << "\n";
  return 0;
}

}  // namespace burnwell::tool
