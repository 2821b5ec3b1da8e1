// Finding bridges on Linux from sysfs below the system root: the same records the Windows
// algorithms build, from the platform's own enumeration.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bridge/ApiResult.h"
#include "bridge/Sysfs.h"
#include "device/DeviceRecord.h"

namespace burnwell::bridge {

// Appends one record per bridge: every SCSI device of type disk, then every one of type CD-ROM.
// Returns the table count, or TooManyDevices when a per-device lock can be neither opened nor
// created.
CountOrError DiscoverPassThroughLinux();

// One unit at a time, for discovery and for bridges that arrive later.

// What looking at one unit gave: a bridge (its record with the handle open, placed in the
// tree), or no bridge, with the reason when the unit could not be opened.
struct ProbedUnit {
  bool bridge = false;
  std::string problem;  // "permission denied on /dev/sg2 (USB 7e55:5801)"; empty: none
  std::string devicePath;
  device::DeviceRecord record;
  std::string instance;       // the unit's own sysfs path as the kernel names it
  std::string usbDevicePath;  // the USB device above the unit; empty when not on USB
  char letter = 0;
};

// Opens the unit and asks it for its bridge information (IDE and SCSI disks: identification).
ProbedUnit ProbeUnit(const std::filesystem::path& sysDir, const sysfs::ScsiUnit& unit);

// The record of the first unit of the same USB device, the latest among the records the
// candidate test accepts (all when it is empty); null when none.
device::DeviceRecord* FirstUnitOfLinux(const ProbedUnit& probed,
                                       const std::function<bool(std::uint32_t)>& candidate);

// Merges a bridge's second unit into the record of its first; the unit's handle is closed.
void MergeSecondUnitLinux(device::DeviceRecord& first, ProbedUnit& probed);

// Stores a probed bridge in a new record, or in the given free slot of the table (which keeps
// its lock); the table owns the handle then. False when the record's lock can be neither
// opened nor created.
bool StoreBridgeLinux(ProbedUnit& probed, std::optional<std::uint32_t> slot);

// Writes the hub position of each record from the USB tree (root hubs by bus number, every hub's
// ports 1..maxchild).
void ScanHubPortsLinux();

// Why the last Linux discovery could not look at a unit that may have been a bridge, one line
// each ("permission denied on /dev/sg2 (USB 7e55:5801)"). Emptied when a discovery starts, so
// a caller that finds no bridge can say what to check instead of "no device".
std::vector<std::string> LinuxDiscoveryProblems();

// How those lines begin for a unit the relay refused to open: a bridge another client of the
// relay has open, or a relay serving all the connections it may.
inline constexpr char kRelayBusyProblem[] = "busy: another client of the I/O relay has";
inline constexpr char kRelayFullProblem[] = "the I/O relay is full:";

// The opaque node handle Linux discovery gives a sysfs device directory (its path as the
// kernel names it, "/sys/devices/..."): the same path always gets the same nonzero handle
// within one process (until the device state is reset); 0 for an empty path.
device::DevNode LinuxNodeHandle(const std::string& kernelPath);

}  // namespace burnwell::bridge
