#include "sim/CommandLine.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "common/Hex.h"
#include "common/CommandLine.h"
#include "sim/ChipCatalog.h"

namespace burnwell::sim {
namespace {

constexpr std::string_view kProgram = "burnwell-sim";

constexpr const char* kUsage =
    "burnwell-sim list-chips\n"
    "burnwell-sim serve [--socket PATH] [BRIDGE OPTIONS]\n"
    "burnwell-sim usbip [--port N] [BRIDGE OPTIONS | --machine FILE]\n"
    "burnwell-sim [BRIDGE OPTIONS] -- COMMAND [ARGS...]\n"
    "burnwell-sim --machine FILE -- COMMAND [ARGS...]";

constexpr const char* kExitStatus =
    "Exit status:\n"
    "   0  success\n"
    "   1  the emulator could not start, serve or save its image\n"
    "   2  usage error: a bad command line\n"
    "  With -- COMMAND: the exit status of COMMAND.\n";

// What one parse collects: the command line, and the options that describe the bridge (declared
// on the program for machine mode and on serve), to tell whether any was given.
struct Collected {
  SimCommandLine line;
  std::vector<const CLI::Option*> bridgeOptions;
  std::vector<const CLI::Option*> chipOptions;

  bool Given(const std::vector<const CLI::Option*>& options) const {
    return std::any_of(options.begin(), options.end(),
                       [](const CLI::Option* option) { return option->count() > 0; });
  }

  // Files the option under the bridge options and keeps it to tell whether any was given.
  CLI::Option* Bridge(CLI::Option* option) {
    option->group("Bridge options");
    bridgeOptions.push_back(option);
    return option;
  }
};

// What the bridge holds and what is written of its work.
void AddMemoryOptions(CLI::App& app, Collected& collected) {
  const BridgeConfig defaults;
  BridgeConfig& bridge = collected.line.bridge;
  auto remember = [&collected](CLI::Option* option) { return collected.Bridge(option); };
  collected.chipOptions.push_back(
      remember(app.add_option_function<std::string>(
                      "--chip",
                      [&bridge](const std::string& value) {
                        if (value != kAbsentChipName && !FindChip(value)) {
                          throw CLI::ValidationError("unknown chip model '" + value +
                                                     "'; burnwell-sim list-chips lists them");
                        }
                        bridge.chip = value;
                      },
                      "the flash model (default " + defaults.chip + "; '" +
                          std::string(kAbsentChipName) + "' for an empty socket)")
                   ->type_name("MODEL")));
  remember(app.add_option_function<std::string>(
                  "--eeprom",
                  [&bridge](const std::string& value) {
                    if (value == "256")
                      bridge.eeprom = EepromKind::Small256;
                    else if (value == "64k" || value == "64K")
                      bridge.eeprom = EepromKind::Large64k;
                    else
                      throw CLI::ValidationError("--eeprom takes 256 or 64k, not '" + value + "'");
                  },
                  "an I2C EEPROM of 256 bytes or 64 KiB instead of a flash")
               ->type_name("256|64k"));
  struct FileOption {
    const char* name;
    std::optional<std::string>* path;
    const char* description;
  };
  const FileOption files[] = {
      {"--image", &collected.line.imagePath,
       "memory contents: loaded at start when FILE exists, saved at exit (without it the bridge "
       "holds its factory firmware)"},
      {"--trace-scsi", &collected.line.scsiTracePath,
       "one line per SCSI command: CDB | out/in DATA or none | GOOD/CHECK (FAIL when the "
       "transport lost the command)"},
      {"--trace-spi", &collected.line.spiTracePath,
       "one line per chip transaction: bytes written [> bytes read]"}};
  for (const FileOption& file : files)
    remember(app.add_option(file.name, *file.path, file.description)->type_name("FILE"));
  remember(app.add_option_function<std::string>(
                  "--fault",
                  [&bridge](const std::string& value) {
                    std::string why;
                    const auto plan = ParseFaultPlan(value, &why);
                    if (!plan) throw CLI::ValidationError("--fault: " + why);
                    bridge.faults = *plan;
                  },
                  "faults to show (burnwell-sim --help lists the plans)")
               ->type_name("PLAN"));
}

// How the bridge behaves and what it says of itself.
void AddBehaviourOptions(CLI::App& app, Collected& collected) {
  const BridgeConfig defaults;
  BridgeConfig& bridge = collected.line.bridge;
  auto remember = [&collected](CLI::Option* option) { return collected.Bridge(option); };
  remember(cli::AddNumber(app, "--latency-us", bridge.latencyUs,
                          "time each command takes, in microseconds (default " +
                              std::to_string(defaults.latencyUs) + ")",
                          "microseconds (0 to 10000000)", 10'000'000));
  remember(
      cli::AddNumber(
          app, "--selection-ends-after", bridge.selectionEndsAfterTransfers,
          "the bridge ends chip select by itself after N SPI transfers, as a bridge that cannot "
          "hold it between commands (default 0: held until the deselect command)",
          "a number of SPI transfers", 0xFFFFFFFF)
          ->type_name("N"));
  auto byDefault = [](std::uint32_t value, int digits) {
    return " (default 0x" + Hex(value, digits, HexDigits::Upper) + ")";
  };
  remember(cli::AddNumber(app, "--vid", bridge.vendorId,
                          "the bridge's vendor ID" + byDefault(defaults.vendorId, 4),
                          "a 16-bit vendor ID")
               ->type_name("ID"));
  remember(cli::AddNumber(app, "--pid", bridge.productId,
                          "the bridge's product ID" + byDefault(defaults.productId, 4),
                          "a 16-bit product ID")
               ->type_name("ID"));
  remember(cli::AddNumber(app, "--firmware", bridge.firmwareVersion,
                          "the bridge's firmware version" + byDefault(defaults.firmwareVersion, 8),
                          "a 32-bit version")
               ->type_name("VERSION"));
  remember(app.add_option_function<std::string>(
                  "--serial",
                  [&bridge](const std::string& value) {
                    if (value.empty() || value.size() > 64)
                      throw CLI::ValidationError("--serial takes 1 to 64 characters");
                    for (const char c : value) {
                      if (c < 0x20 || c > 0x7E)
                        throw CLI::ValidationError("--serial takes printable ASCII characters");
                    }
                    bridge.serial = value;
                  },
                  "the bridge's USB serial number (default " + defaults.serial + ")")
               ->type_name("TEXT"));
}

void AddBridgeOptions(CLI::App& app, Collected& collected) {
  AddMemoryOptions(app, collected);
  AddBehaviourOptions(app, collected);
}

struct Parser {
  CLI::App app{
      "An emulated ZQ5x8x bridge with its serial flash or EEPROM: it serves the I/O relay,\n"
      "or builds a whole machine and runs a program on it. Numbers are decimal or\n"
      "0x-hexadecimal.",
      std::string(kProgram)};
  Collected collected;
  CLI::App* serve = nullptr;
  CLI::App* listChips = nullptr;
  CLI::App* usbip = nullptr;
  CLI::App* help = nullptr;

  explicit Parser(std::string_view moreHelp) {
    cli::FollowConvention(app, kProgram);
    cli::SetUsage(app, kUsage);
    const std::string faults = "Faults:\n" + std::string(FaultPlanHelp());
    app.footer(faults + "\n" + kExitStatus + std::string(moreHelp));
    AddBridgeOptions(app, collected);
    app.add_option("--machine", collected.line.machinePath,
                   "the machine file describing bridges and hubs (before -- COMMAND, instead of "
                   "the bridge options)")
        ->type_name("FILE");

    listChips = cli::AddCommand(
        app, kProgram, "list-chips",
        "one line per flash model: name, the supported-chip entry its identification "
        "answers lead to, its 0x9F answer in hex (- if none)");
    listChips->footer("");
    serve = cli::AddCommand(
        app, kProgram, "serve",
        "serve the I/O relay until stopped (Ctrl-C or SIGTERM); every device path a client "
        "opens reaches the emulated bridge");
    cli::SetUsage(*serve, "burnwell-sim serve [--socket PATH] [BRIDGE OPTIONS]");
    serve->footer(faults);
    serve
        ->add_option("--socket", collected.line.socketPath,
                     "relay socket to listen on (default: the relay's place below the system root, "
                     "BURNWELL_SYSROOT when set)")
        ->type_name("PATH");
    AddBridgeOptions(*serve, collected);
    usbip = cli::AddCommand(
        app, kProgram, "usbip",
        "export the bridge, or every bridge of a machine file, as USB/IP devices on 127.0.0.1 "
        "until stopped (Linux)");
    cli::SetUsage(*usbip,
                  "burnwell-sim usbip [--port N] [BRIDGE OPTIONS]\nburnwell-sim usbip [--port N] "
                  "--machine FILE");
    usbip->footer(faults);
    usbip
        ->add_option_function<std::string>(
            "--port",
            [this](const std::string& text) {
              const std::optional<std::uint64_t> port = cli::ParseNumber(text, 65535);
              if (!port || *port == 0)
                throw CLI::ValidationError("--port takes a TCP port (1 to 65535), not '" + text +
                                           "'");
              collected.line.usbipPort = static_cast<std::uint16_t>(*port);
            },
            "the TCP port to serve on (default 3240)")
        ->type_name("N");
    usbip
        ->add_option("--machine", collected.line.machinePath,
                     "export every bridge the machine file describes")
        ->type_name("FILE");
    AddBridgeOptions(*usbip, collected);
    help = cli::AddCommand(app, kProgram, "help", "print this help");
    help->footer("");
    app.require_subcommand(0, 1);
  }

  std::string ProgramHelp() const {
    return app.get_formatter()->make_help(&app, app.get_name(), CLI::AppFormatMode::Normal);
  }
};

std::optional<SimCommandLine> Fail(std::string* error, const std::string& problem) {
  if (error)
    *error =
        std::string(kProgram) + ": " + problem + " (see '" + std::string(kProgram) + " --help')";
  return std::nullopt;
}

}  // namespace

std::optional<SimCommandLine> ParseSimCommandLine(const std::vector<std::string>& args,
                                                  std::string* error, std::string_view moreHelp) {
  // What follows the first -- is the command to run on the machine, never options of ours.
  const auto dashes = std::find(args.begin(), args.end(), "--");
  const bool machineMode = dashes != args.end();
  Parser parser(moreHelp);
  std::ostringstream out, err;
  if (const std::optional<int> status = cli::Parse(parser.app, {args.begin(), dashes}, out, err)) {
    if (*status != 0) {
      if (error) {
        *error = err.str();
        while (!error->empty() && error->back() == '\n') error->pop_back();
      }
      return std::nullopt;
    }
    SimCommandLine line;
    line.command = SimCommandLine::Command::Help;
    line.text = out.str();
    return line;
  }

  Collected& collected = parser.collected;
  SimCommandLine& line = collected.line;
  if (collected.Given(collected.chipOptions) && line.bridge.eeprom) {
    return Fail(error, "--chip and --eeprom exclude each other");
  }
  const CLI::App* command = nullptr;
  for (const CLI::App* sub : {parser.listChips, parser.serve, parser.usbip, parser.help}) {
    if (sub->parsed()) command = sub;
  }
  if (machineMode) {
    if (command)
      return Fail(error, "before -- only bridge options are allowed, not " + command->get_name());
    line.machineCommand.assign(dashes + 1, args.end());
    if (line.machineCommand.empty()) return Fail(error, "no command after --");
    if (line.machinePath && collected.Given(collected.bridgeOptions)) {
      return Fail(error, "--machine FILE takes no other options; describe the bridges in FILE");
    }
    line.command = SimCommandLine::Command::Machine;
    return std::move(line);
  }
  if (!command)
    return Fail(error,
                line.machinePath ? "--machine needs -- COMMAND after it" : "no command given");
  if (command == parser.usbip) {
    if (line.machinePath && collected.Given(collected.bridgeOptions)) {
      return Fail(error, "--machine FILE takes no bridge options; describe the bridges in FILE");
    }
    line.command = SimCommandLine::Command::Usbip;
    return std::move(line);
  }
  if (line.machinePath) return Fail(error, "--machine needs -- COMMAND after it");
  if (command == parser.help) {
    line.command = SimCommandLine::Command::Help;
    line.text = parser.ProgramHelp();
    return std::move(line);
  }
  if (command == parser.listChips) {
    if (collected.Given(collected.bridgeOptions))
      return Fail(error, "list-chips takes no bridge options");
    line.command = SimCommandLine::Command::ListChips;
    return std::move(line);
  }
  line.command = SimCommandLine::Command::Serve;
  return std::move(line);
}

std::string SimUsage(std::string_view moreHelp) { return Parser(moreHelp).ProgramHelp(); }

}  // namespace burnwell::sim
