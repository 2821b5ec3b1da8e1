#include "sim/machine/MachineFile.h"

#include <charconv>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>

#include "common/CommandLine.h"
#include "sim/ChipCatalog.h"

namespace burnwell::sim::machine {

const char kMachineFileFormat[] =
    "Machine file: one item per line; '#' starts a comment; numbers are decimal or 0x-hex.\n"
    "  ports N                 ports of every root hub (default 4)\n"
    "  sata-disks N            SATA disks on libata (sda...), which are no bridges\n"
    "  hub LOC [ports=N] [speed=MBIT]\n"
    "  bridge LOC [vid=N] [pid=N] [firmware=N] [serial=TEXT] [chip=NAME | eeprom=256|64k]\n"
    "         [driver=usb-storage|uas] [speed=MBIT] [cdrom=none|autorun|only]\n"
    "         [vendor=TEXT] [product=TEXT] [image=FILE] [trace=FILE] [spi-trace=FILE]\n"
    "         [latency-us=N] [fault=PLAN] [arrive=SECONDS] [leave=SECONDS]\n"
    "         [arrive-after=SECONDS] [leave-idle=SECONDS]\n"
    "  stick LOC [vid=N] [pid=N] [serial=TEXT] [driver=usb-storage|uas] [speed=MBIT]\n"
    "         [arrive=SECONDS] [leave=SECONDS]\n"
    "  plug-log FILE\n"
    "LOC is a USB location as the kernel names it: BUS-PORT for a root hub port (1-2), then\n"
    ".PORT per hub below it (1-2.3); a hub must be described before anything behind it is\n"
    "used. speed is 1.5, 12, 480, 5000, 10000 or 20000. cdrom=autorun adds the bridge's AUTO-RUN\n"
    "CD-ROM unit next to its disk; cdrom=only shows the CD-ROM alone. image=FILE loads the\n"
    "memory from FILE when it exists and writes it back at the end; trace=FILE writes one\n"
    "line per SCSI command, spi-trace=FILE one per flash chip transaction. latency-us=N is the\n"
    "time each of the bridge's commands takes (as --latency-us), fault=PLAN the faults it shows\n"
    "(as --fault; items separated by commas, no blanks). A stick is USB storage of another maker\n"
    "(default vid 0x57C1).\n"
    "arrive=SECONDS plugs the device in that long after the command started (default: there\n"
    "from the start), leave=SECONDS pulls it out (default: never); SECONDS may have a\n"
    "fraction. Several devices may use one location one after the other, never at the same\n"
    "time. A bridge with arrive-after=SECONDS is plugged in that long after the device before it\n"
    "on its location left; leave-idle=SECONDS pulls a bridge out once it has been sent commands\n"
    "and then none for that long (an operator taking a finished unit out; longer than the\n"
    "longest wait for the chip within an update, a block erase of about a second). The sysfs\n"
    "tree and /dev nodes change as the kernel's would, and a device pulled out during a command\n"
    "fails it as an unplugged device does. plug-log FILE writes one line per\n"
    "arrival and removal and per bridge's first vendor command and first memory command, each\n"
    "with the milliseconds since the command started:\n"
    "  MS arrive|leave|first-command|first-memory-command|last-command LOC SERIAL\n"
    "Example:\n"
    "  hub 1-1 ports=4\n"
    "  bridge 1-1.1 pid=0x5801 serial=FIRST\n"
    "  bridge 1-1.3 pid=0x2501 eeprom=256 serial=SECOND cdrom=autorun driver=uas\n";

namespace {

[[noreturn]] void Fail(std::size_t line, const std::string& why) {
  throw std::invalid_argument("line " + std::to_string(line) + ": " + why);
}

std::uint32_t Number(std::size_t line, const std::string& key, const std::string& text,
                     std::uint64_t maximum) {
  const std::optional<std::uint64_t> value = cli::ParseNumber(text, maximum);
  if (!value) Fail(line, key + "=" + text + " is not a number up to " + std::to_string(maximum));
  return static_cast<std::uint32_t>(*value);
}

// Seconds with an optional fraction, from 0 to a million.
double Seconds(std::size_t line, const std::string& key, const std::string& text) {
  double value = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || !(value >= 0) ||
      value > 1e6) {
    Fail(line, key + "=" + text + " is not a number of seconds");
  }
  return value;
}

PlugWindow Window(std::size_t line, const std::map<std::string, std::string>& options) {
  PlugWindow window;
  auto seconds = [&](const char* key) -> std::optional<double> {
    const auto found = options.find(key);
    if (found == options.end()) return std::nullopt;
    return Seconds(line, key, found->second);
  };
  window.arrive = seconds("arrive").value_or(0);
  window.leave = seconds("leave");
  window.arriveAfter = seconds("arrive-after");
  window.leaveIdle = seconds("leave-idle");
  if (window.leave && *window.leave <= window.arrive) Fail(line, "leave must come after arrive");
  if (window.arriveAfter && (options.count("arrive") || window.leave))
    Fail(line, "arrive-after takes neither arrive nor leave (leave-idle ends its time)");
  if (window.leave && window.leaveIdle) Fail(line, "leave or leave-idle, not both");
  return window;
}

bool IsSpeed(const std::string& speed) {
  return speed == "1.5" || speed == "12" || speed == "480" || speed == "5000" || speed == "10000" ||
         speed == "20000";
}

StorageDriver Driver(std::size_t line, const std::string& text) {
  if (text == "usb-storage") return StorageDriver::UsbStorage;
  if (text == "uas") return StorageDriver::Uas;
  Fail(line, "driver must be usb-storage or uas, not " + text);
}

// key=value words after the location; every key may appear once and must be known.
std::map<std::string, std::string> Options(std::size_t line, std::istringstream& words,
                                           std::initializer_list<const char*> known) {
  std::map<std::string, std::string> options;
  std::string word;
  while (words >> word) {
    const std::size_t equals = word.find('=');
    if (equals == std::string::npos || equals == 0) Fail(line, "expected key=value, found " + word);
    const std::string key = word.substr(0, equals);
    bool isKnown = false;
    for (const char* name : known) isKnown = isKnown || key == name;
    if (!isKnown) Fail(line, "unknown key " + key);
    if (!options.emplace(key, word.substr(equals + 1)).second) Fail(line, key + " given twice");
  }
  return options;
}

std::string Location(std::size_t line, std::istringstream& words) {
  std::string location;
  if (!(words >> location) || !IsValidLocation(location)) {
    Fail(line, "expected a USB location such as 1-2 or 1-2.3, found '" + location + "'");
  }
  return location;
}

std::string Speed(std::size_t line, const std::map<std::string, std::string>& options) {
  const auto found = options.find("speed");
  if (found == options.end()) return "480";
  if (!IsSpeed(found->second)) Fail(line, "speed must be 1.5, 12, 480, 5000, 10000 or 20000");
  return found->second;
}

MachineBridge ParseBridge(std::size_t line, std::istringstream& words) {
  MachineBridge bridge;
  bridge.location = Location(line, words);
  const auto options =
      Options(line, words, {"vid",     "pid",    "firmware", "serial",       "chip",
                            "eeprom",  "driver", "speed",    "cdrom",        "vendor",
                            "product", "image",  "trace",    "spi-trace",    "latency-us",
                            "fault",   "arrive", "leave",    "arrive-after", "leave-idle"});
  BridgeConfig& config = bridge.config;
  for (const auto& [key, value] : options) {
    if (key == "vid")
      config.vendorId = static_cast<std::uint16_t>(Number(line, key, value, 0xFFFF));
    if (key == "pid")
      config.productId = static_cast<std::uint16_t>(Number(line, key, value, 0xFFFF));
    if (key == "firmware") config.firmwareVersion = Number(line, key, value, 0xFFFFFFFF);
    if (key == "serial") config.serial = value;
    if (key == "vendor") config.inquiryVendor = value;
    if (key == "product") config.inquiryProduct = value;
    if (key == "driver") bridge.driver = Driver(line, value);
    if (key == "image") bridge.image = value;
    if (key == "trace") bridge.trace = value;
    if (key == "spi-trace") bridge.spiTrace = value;
    if (key == "latency-us") config.latencyUs = Number(line, key, value, 10'000'000);
    if (key == "fault") {
      std::string why;
      const std::optional<FaultPlan> plan = ParseFaultPlan(value, &why);
      if (!plan) Fail(line, "fault=" + value + ": " + why);
      config.faults = *plan;
    }
    if (key == "chip") {
      if (value != kAbsentChipName && !FindChip(value)) Fail(line, "unknown chip " + value);
      config.chip = value;
    }
    if (key == "eeprom") {
      if (value == "256")
        config.eeprom = EepromKind::Small256;
      else if (value == "64k")
        config.eeprom = EepromKind::Large64k;
      else
        Fail(line, "eeprom must be 256 or 64k");
    }
    if (key == "cdrom") {
      if (value == "none")
        bridge.cdrom = CdRomUnit::None;
      else if (value == "autorun")
        bridge.cdrom = CdRomUnit::AutoRun;
      else if (value == "only")
        bridge.cdrom = CdRomUnit::Only;
      else
        Fail(line, "cdrom must be none, autorun or only");
    }
  }
  if (options.count("chip") && options.count("eeprom"))
    Fail(line, "a bridge has a chip or an EEPROM, not both");
  bridge.speed = Speed(line, options);
  bridge.window = Window(line, options);
  return bridge;
}

StorageSpec ParseStick(std::size_t line, std::istringstream& words) {
  StorageSpec stick;
  stick.location = Location(line, words);
  stick.vendorId = 0x57C1;
  stick.productId = 0x0001;
  stick.units = {UnitSpec{0, "Generic", "Flash Disk"}};
  const auto options =
      Options(line, words, {"vid", "pid", "serial", "driver", "speed", "arrive", "leave"});
  for (const auto& [key, value] : options) {
    if (key == "vid") stick.vendorId = static_cast<std::uint16_t>(Number(line, key, value, 0xFFFF));
    if (key == "pid")
      stick.productId = static_cast<std::uint16_t>(Number(line, key, value, 0xFFFF));
    if (key == "serial") stick.serial = value;
    if (key == "driver") stick.driver = Driver(line, value);
  }
  stick.speed = Speed(line, options);
  stick.window = Window(line, options);
  return stick;
}

}  // namespace

MachineDescription ParseMachineText(std::string_view text) {
  MachineDescription machine;
  std::istringstream lines{std::string(text)};
  std::string raw;
  for (std::size_t line = 1; std::getline(lines, raw); ++line) {
    if (const std::size_t hash = raw.find('#'); hash != std::string::npos) raw.resize(hash);
    std::istringstream words(raw);
    std::string item;
    if (!(words >> item)) continue;
    if (item == "ports" || item == "sata-disks") {
      std::string value, extra;
      if (!(words >> value) || (words >> extra)) Fail(line, item + " takes one number");
      const std::uint32_t number = Number(line, item, value, item == "ports" ? 15 : 26);
      if (item == "ports") {
        if (number == 0) Fail(line, "a root hub has at least one port");
        machine.rootPorts = number;
      } else {
        machine.sataDisks = number;
      }
    } else if (item == "hub") {
      HubSpec hub;
      hub.location = Location(line, words);
      const auto options = Options(line, words, {"ports", "speed"});
      if (const auto ports = options.find("ports"); ports != options.end()) {
        hub.ports = Number(line, "ports", ports->second, 15);
        if (hub.ports == 0) Fail(line, "a hub has at least one port");
      }
      hub.speed = Speed(line, options);
      machine.hubs.push_back(hub);
    } else if (item == "bridge") {
      machine.bridges.push_back(ParseBridge(line, words));
    } else if (item == "stick") {
      machine.otherStorage.push_back(ParseStick(line, words));
    } else if (item == "plug-log") {
      std::string file, extra;
      if (!(words >> file) || (words >> extra)) Fail(line, "plug-log takes one file name");
      machine.plugLog = file;
    } else {
      Fail(line, "unknown item " + item + " (ports, sata-disks, hub, bridge, stick or plug-log)");
    }
  }
  // Hub placement, free ports and duplicate locations: refused before anything is built.
  CheckMachineSpec(SysfsSpecOf(machine));
  return machine;
}

MachineDescription ReadMachineFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::invalid_argument("cannot read machine file " + path.string());
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  try {
    return ParseMachineText(text);
  } catch (const std::invalid_argument& error) {
    throw std::invalid_argument(path.string() + ": " + error.what());
  }
}

MachineSpec SysfsSpecOf(const MachineDescription& machine) {
  MachineSpec layout;
  layout.rootPorts = machine.rootPorts;
  layout.sataDisks = machine.sataDisks;
  layout.hubs = machine.hubs;
  for (const MachineBridge& bridge : machine.bridges) {
    StorageSpec storage;
    storage.location = bridge.location;
    storage.vendorId = bridge.config.vendorId;
    storage.productId = bridge.config.productId;
    storage.serial = bridge.config.serial;
    storage.speed = bridge.speed;
    storage.driver = bridge.driver;
    storage.window = bridge.window;
    storage.units.clear();
    const UnitSpec disk{0, bridge.config.inquiryVendor, bridge.config.inquiryProduct};
    const UnitSpec cdrom{5, bridge.config.inquiryVendor, "AUTO-RUN CD-ROM"};
    if (bridge.cdrom != CdRomUnit::Only) storage.units.push_back(disk);
    if (bridge.cdrom != CdRomUnit::None) storage.units.push_back(cdrom);
    layout.storage.push_back(std::move(storage));
  }
  layout.storage.insert(layout.storage.end(), machine.otherStorage.begin(),
                        machine.otherStorage.end());
  return layout;
}

}  // namespace burnwell::sim::machine
