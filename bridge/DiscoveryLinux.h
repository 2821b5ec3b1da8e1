// Finding bridges on Linux from sysfs below the system root: the same records the Windows
// algorithms build, from the platform's own enumeration.
#pragma once

#include <string>
#include <vector>

#include "bridge/ApiResult.h"
#include "device/DeviceRecord.h"

namespace burnwell::bridge {

// Appends one record per bridge: every SCSI device of type disk, then every one of type CD-ROM.
// Returns the table count, or TooManyDevices when a per-device lock can be neither opened nor
// created.
CountOrError DiscoverPassThroughLinux();

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
