#include "tools/burnwell-tool/Commands.h"

#include <array>

#include "app/ConfigFile.h"

namespace burnwell::tool {

std::span<const Command> AllCommands() {
  static constexpr std::array commands{
      Command{"info",
              "show a firmware file's type, code length, image size, checksum, marker and product",
              DeclareInfo},
      Command{"list", "find the bridges and print one key=value line per bridge", DeclareList},
      Command{"flash", "detect, read, write, erase or protect a bridge's firmware memory",
              DeclareFlash},
      Command{"update", "update the selected bridges (or every one, at once) with a firmware file",
              DeclareUpdate},
      Command{"verify",
              "compare bridges' flash with what an update with a firmware file leaves there",
              DeclareVerify},
      Command{"backup", "save a bridge's configuration block and code region as an image file",
              DeclareBackup},
      Command{"history",
              "what the history holds of units: by serial, file, result, time or station; a "
              "summary",
              DeclareHistory},
  };
  return commands;
}

void AddTransferOption(CLI::App& command, protocol::TransferMode& transfers) {
  transfers = protocol::TransferMode::Fast;
  command
      .add_flag_callback(
          "--classic-transfers", [&transfers] { transfers = protocol::TransferMode::Classic; },
          "move a serial flash in 32-byte pieces, each its own chip transaction, rather than in "
          "page "
          "programs and 4 KiB reads (for a bridge that cannot hold chip select between commands)")
      ->group("Transfers");
}

std::filesystem::path ArgumentPath(const std::string& text) { return app::PathFromUtf8(text); }

int UsageError(std::ostream& err, std::string_view command, std::string_view problem) {
  err << kProgram << " " << command << ": " << problem << " (see '" << kProgram << " " << command
      << " --help')\n";
  return Code(ExitStatus::Usage);
}

}  // namespace burnwell::tool
