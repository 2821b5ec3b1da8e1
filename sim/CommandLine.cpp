#include "sim/CommandLine.h"

#include <charconv>
#include <cstdio>

#include "sim/ChipCatalog.h"

namespace burnwell::sim {
namespace {

std::optional<std::uint64_t> Number(std::string_view text, std::uint64_t max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  std::uint64_t value = 0;
  if (text.empty()) return std::nullopt;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
  return value;
}

}  // namespace

std::optional<SimCommandLine> ParseSimCommandLine(const std::vector<std::string>& args, std::string* error) {
  SimCommandLine line;
  bool commandSeen = false;
  bool chipGiven = false;
  auto fail = [&](std::string message) -> std::optional<SimCommandLine> {
    if (error) *error = std::move(message);
    return std::nullopt;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      line.command = SimCommandLine::Command::Help;
      return line;
    }
    if (arg.rfind("--", 0) == 0) {
      if (i + 1 >= args.size()) return fail("option " + arg + " needs a value");
      const std::string& value = args[++i];
      if (arg == "--chip") {
        if (value != kAbsentChipName && !FindChip(value)) return fail("unknown chip model '" + value + "' (see list-chips)");
        line.bridge.chip = value;
        chipGiven = true;
      } else if (arg == "--eeprom") {
        if (value == "256") line.bridge.eeprom = EepromKind::Small256;
        else if (value == "64k" || value == "64K") line.bridge.eeprom = EepromKind::Large64k;
        else return fail("--eeprom takes 256 or 64k, not '" + value + "'");
      } else if (arg == "--image") {
        line.imagePath = value;
      } else if (arg == "--trace-scsi") {
        line.scsiTracePath = value;
      } else if (arg == "--trace-spi") {
        line.spiTracePath = value;
      } else if (arg == "--socket") {
        line.socketPath = value;
      } else if (arg == "--fault") {
        std::string why;
        auto plan = ParseFaultPlan(value, &why);
        if (!plan) return fail("--fault: " + why);
        line.bridge.faults = *plan;
      } else if (arg == "--latency-us") {
        auto n = Number(value, 10'000'000);
        if (!n) return fail("--latency-us takes microseconds (0 to 10000000), not '" + value + "'");
        line.bridge.latencyUs = static_cast<std::uint32_t>(*n);
      } else if (arg == "--pid") {
        auto n = Number(value, 0xFFFF);
        if (!n) return fail("--pid takes a 16-bit product ID, not '" + value + "'");
        line.bridge.productId = static_cast<std::uint16_t>(*n);
      } else if (arg == "--vid") {
        auto n = Number(value, 0xFFFF);
        if (!n) return fail("--vid takes a 16-bit vendor ID, not '" + value + "'");
        line.bridge.vendorId = static_cast<std::uint16_t>(*n);
      } else if (arg == "--firmware") {
        auto n = Number(value, 0xFFFFFFFF);
        if (!n) return fail("--firmware takes a 32-bit version, not '" + value + "'");
        line.bridge.firmwareVersion = static_cast<std::uint32_t>(*n);
      } else if (arg == "--serial") {
        if (value.empty() || value.size() > 64) return fail("--serial takes 1 to 64 characters");
        for (char c : value) {
          if (c < 0x20 || c > 0x7E) return fail("--serial takes printable ASCII characters");
        }
        line.bridge.serial = value;
      } else {
        return fail("unknown option " + arg);
      }
      continue;
    }
    if (commandSeen) return fail("unexpected argument '" + arg + "'");
    commandSeen = true;
    if (arg == "list-chips") line.command = SimCommandLine::Command::ListChips;
    else if (arg == "serve") line.command = SimCommandLine::Command::Serve;
    else if (arg == "help") line.command = SimCommandLine::Command::Help;
    else return fail("unknown command '" + arg + "'");
  }
  if (!commandSeen) return fail("no command given");
  if (chipGiven && line.bridge.eeprom) return fail("--chip and --eeprom exclude each other");
  if (line.socketPath && line.command != SimCommandLine::Command::Serve) return fail("--socket is an option of serve");
  return line;
}

std::string SimUsage() {
  const BridgeConfig defaults;
  auto Hex = [](std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return std::string(text);
  };
  std::string text = std::string() +
      "Usage: burnwell-sim COMMAND [OPTIONS]\n"
      "An emulated ZQ5x8x bridge with its serial flash or EEPROM.\n"
      "\n"
      "Commands:\n"
      "  list-chips        one line per flash model: name, the supported-chip entry its\n"
      "                    identification answers lead to, its 0x9F answer in hex (- if none)\n"
      "  serve             serve the I/O relay until stopped (Ctrl-C or SIGTERM); every device\n"
      "                    path a client opens reaches the emulated bridge\n"
      "\n"
      "Options:\n"
      "  --socket PATH     relay socket to listen on (default: the relay's place below the\n"
      "                    system root, BURNWELL_SYSROOT when set)\n"
      "  --chip MODEL      the flash model (default " + defaults.chip + "; 'absent' for an empty socket)\n"
      "  --eeprom 256|64k  an I2C EEPROM of 256 bytes or 64 KiB instead of a flash\n"
      "  --image FILE      memory contents: loaded at start when FILE exists, saved at exit\n"
      "                    (without it the bridge holds its factory firmware)\n"
      "  --trace-scsi FILE one line per SCSI command: CDB | out/in DATA or none | GOOD/CHECK\n"
      "                    (FAIL when the transport lost the command)\n"
      "  --trace-spi FILE  one line per chip transaction: bytes written [> bytes read]\n"
      "  --fault PLAN      faults to show (below)\n"
      "  --latency-us N    time each command takes (default 300)\n"
      "  --vid ID, --pid ID, --firmware VERSION, --serial TEXT\n"
      "                    the bridge's identity (defaults " + Hex(defaults.vendorId, 4) + ", " +
      Hex(defaults.productId, 4) + ", " + Hex(defaults.firmwareVersion, 8) + ",\n"
      "                    " + defaults.serial + "); numbers are decimal or 0x-hexadecimal\n"
      "  --help            this text\n"
      "\n"
      "Faults:\n";
  text += FaultPlanHelp();
  return text;
}

}  // namespace burnwell::sim
