#include "tools/burnwell-tool/Commands.h"

#include <array>
#include <mutex>
#include <cstdio>
#include <string>

#include "app/ConfigFile.h"

namespace burnwell::tool {
namespace {

// Reads a 16-bit ID option ("0x7e55" or decimal) into target.
CLI::Option* AddId(CLI::App& command, const std::string& name,
                   std::function<void(std::uint16_t)> take, const std::string& description) {
  return command
      .add_option_function<std::vector<std::string>>(
          name,
          [name, take](const std::vector<std::string>& texts) {
            for (const std::string& text : texts) {
              const std::optional<std::uint64_t> value = cli::ParseNumber(text, 0xFFFF);
              if (!value)
                throw CLI::ValidationError(name + " takes a 16-bit ID such as 0x5801, not '" +
                                           text + "'");
              take(static_cast<std::uint16_t>(*value));
            }
          },
          description)
      ->type_name("ID");
}

}  // namespace

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
      Command{"station",
              "run a production station: update every bridge plugged in, show each socket, "
              "count and record the units",
              DeclareStation},
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

void AddFitOptions(CLI::App& command, FitRules& rules) {
  AddId(
      command, "--vendor", [&rules](std::uint16_t id) { rules.vendors.push_back(id); },
      "also update bridges reporting this vendor ID (may be repeated)")
      ->group("Fit checks");
  AddId(
      command, "--product", [&rules](std::uint16_t id) { rules.product = id; },
      "the product an Intel HEX file is meant for, checked against each bridge's product ID")
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw)
      ->group("Fit checks");
  command
      .add_flag("--force", rules.force, "write even when the file does not fit, after a warning")
      ->group("Fit checks");
}

std::filesystem::path ArgumentPath(const std::string& text) { return app::PathFromUtf8(text); }

std::unique_ptr<history::Recorder> StartHistory(std::string_view command,
                                                const history::HistoryOptions& options,
                                                std::ostream& err) {
  // Workers and the forwarder warn from their threads.
  auto oneLine = std::make_shared<std::mutex>();
  auto warn = [command = std::string(command), &err, oneLine](const std::string& line) {
    std::lock_guard lock(*oneLine);
    err << kProgram << " " << command << ": warning: " << line << std::endl;
  };
  return std::make_unique<history::Recorder>(options, std::string(kProgram), warn);
}

int UsageError(std::ostream& err, std::string_view command, std::string_view problem) {
  err << kProgram << " " << command << ": " << problem << " (see '" << kProgram << " " << command
      << " --help')\n";
  return Code(ExitStatus::Usage);
}

}  // namespace burnwell::tool
