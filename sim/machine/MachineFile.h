// The description of an emulated machine: which bridges sit on which USB ports, behind which
// hubs, next to which other storage. Read from a small line-based file (the format is in
// kMachineFileFormat) or built from one bridge's options.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/EmulatedBridge.h"
#include "sim/machine/SysfsTree.h"

namespace burnwell::sim::machine {

enum class CdRomUnit { None, AutoRun, Only };

struct MachineBridge {
  std::string location = "1-1";
  BridgeConfig config;
  StorageDriver driver = StorageDriver::UsbStorage;
  std::string speed = "480";
  CdRomUnit cdrom = CdRomUnit::None;
  // Memory contents read at start when the file exists, and written back at the end.
  std::optional<std::filesystem::path> image;
  // One line per SCSI command this bridge carries out; one per flash chip transaction.
  std::optional<std::filesystem::path> trace;
  std::optional<std::filesystem::path> spiTrace;
  PlugWindow window;  // when the bridge is plugged in
};

struct MachineDescription {
  unsigned rootPorts = 4;
  unsigned sataDisks = 0;
  std::vector<HubSpec> hubs;
  std::vector<MachineBridge> bridges;
  std::vector<StorageSpec> otherStorage;  // USB storage that is no bridge
  // One line per arrival and removal and per bridge's first commands, with the time.
  std::optional<std::filesystem::path> plugLog;
};

// The file format, for --help and README.
extern const char kMachineFileFormat[];

// Parses a machine file's text. Throws std::invalid_argument naming the line and the fault.
MachineDescription ParseMachineText(std::string_view text);

// Reads and parses a machine file; throws std::invalid_argument (also when it cannot be read).
MachineDescription ReadMachineFile(const std::filesystem::path& path);

// The sysfs side of a machine: bridges first (in file order), then the other storage. Each
// bridge's disk unit carries its inquiry strings; an AUTO-RUN CD-ROM unit follows it.
MachineSpec SysfsSpecOf(const MachineDescription& machine);

}  // namespace burnwell::sim::machine
