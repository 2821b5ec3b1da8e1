#include "tools/burnwell-tool/Commands.h"

#include <array>

namespace burnwell::tool {

std::string Argument::Text() const {
  const auto utf8 = value.u8string();
  return std::string(utf8.begin(), utf8.end());
}

std::span<const Command> AllCommands() {
  static constexpr std::array commands{
      Command{"info", "show a firmware file's type, code length, image size, checksum, marker and product",
              RunInfo},
      Command{"list", "find the bridges and print one key=value line per bridge", RunList},
      Command{"flash", "detect, read, write, erase or protect a bridge's firmware memory", RunFlash},
      Command{"update", "update the first bridge with a firmware file, as the updater does", RunUpdate},
      Command{"backup", "save a bridge's configuration block and code region as an image file", RunBackup},
  };
  return commands;
}

bool WantsHelp(std::span<const Argument> args) {
  for (const auto& arg : args)
    if (arg.Is("--help") || arg.Is("-h")) return true;
  return false;
}

}  // namespace burnwell::tool
