// burnwell-tool info FILE: loads a firmware file the way the updater does and prints what a
// technician checks before flashing it.
#include <cstdio>
#include <memory>
#include <string>

#include "common/Hex.h"
#include "image/FirmwareReaders.h"
#include "platform/FileSystem.h"
#include "tools/burnwell-tool/Commands.h"
#include "tools/burnwell-tool/Records.h"

namespace burnwell::tool {
namespace {

constexpr const char* kInfoOutput =
    "Loads FILE with the updater's firmware readers and prints what a technician checks\n"
    "before flashing it:\n"
    "  type: hex|bin|other    by the last four characters of FILE (case-sensitive):\n"
    "                         \".hex\" is Intel HEX, \".bin\" and anything else an image file\n"
    "                         with a 268-byte header (\".sdt\" in the path: configuration only)\n"
    "  code length: N         main-code bytes the update programs after the 256-byte block\n"
    "  image size: N          bytes of the main-code buffer (0 when there is no main code)\n"
    "  checksum: XXXX         16-bit sum of the whole main-code buffer, as the updater shows it\n"
    "  marker: XX             header byte 11 (5A when the main code is valid)\n"
    "  product: XXXX          the product ID an image file is meant for; an Intel HEX file\n"
    "                         names none: \"not named (Intel HEX)\"\n"
    "When FILE cannot be loaded, prints \"error: ...\" on standard error instead.\n\n";

int RunInfo(const std::string& file, bool json, JsonOutput& jsonOut, std::ostream& out,
            std::ostream& err) {
  const std::filesystem::path path = ArgumentPath(file);
  image::ImageBuffer& image = image::LoadedImage();
  const auto result = image::LoadFirmwareByType(image, path);
  if (!result.ok) {
    err << "error: " << image::LoadFailureText(path, file, result) << "\n";
    return Code(ExitStatus::LoadFailedOrDeclined);
  }
  if (json) {
    Json document{{"command", "info"}, {"file", FileJson(file, image, result.type)}};
    document["file"]["marker"] = Hex(image.Header()[image::offset::kMarker], 2, HexDigits::Upper);
    document["file"]["image_size"] = image.Code().size();
    jsonOut.Print(document);
    return Code(ExitStatus::Success);
  }
  out << "type: " << image::FileTypeName(result.type) << "\n"
      << "code length: " << image.CodeLength() << "\n"
      << "image size: " << image.Code().size() << "\n"
      << "checksum: " << ChecksumText(image.GetChecksum()) << "\n"
      << "marker: " << Hex(image.Header()[image::offset::kMarker], 2, HexDigits::Upper) << "\n"
      << "product: " << image::NamedProductText(image, result.type) << "\n";
  return Code(ExitStatus::Success);
}

}  // namespace

CommandAction DeclareInfo(CLI::App& command) {
  auto file = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  command.add_option("FILE", *file, "the firmware file: Intel HEX (.hex) or an image file")
      ->required();
  command.add_flag("--json", *json,
                   "print one JSON document with the same facts instead of the lines");
  cli::SetUsage(command, "burnwell-tool info FILE [--json]");
  command.footer(std::string(kInfoOutput) + ExitStatusHelp({ExitStatus::Success, ExitStatus::Usage,
                                                            ExitStatus::LoadFailedOrDeclined}));
  return [file, json](std::ostream& out, std::ostream& err) {
    JsonOutput jsonOut(stdout);
    const int status = RunInfo(*file, *json, jsonOut, out, err);
    if (*json) jsonOut.PrintUnlessPrinted("info", status);
    return status;
  };
}

}  // namespace burnwell::tool
