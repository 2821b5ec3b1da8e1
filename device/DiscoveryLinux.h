// Finding bridges on Linux from sysfs below the system root: the same records the Windows
// algorithms build, from the platform's own enumeration.
#pragma once

namespace burnwell::device {

// Appends one record per bridge: every SCSI device of type disk, then every one of type CD-ROM.
// Returns the table count, or a negative device-API code.
int DiscoverPassThroughLinux();

// Writes the hub position of each record from the USB tree (root hubs by bus number, every hub's
// ports 1..maxchild).
void ScanHubPortsLinux();

}  // namespace burnwell::device
