// Reading the kernel's device model from sysfs (below a system root): the SCSI units with their
// generic nodes, the driver chain that carries them, and the USB tree above them. Pure reading:
// nothing here opens a device node or sends a command.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "device/DeviceRecord.h"

namespace burnwell::bridge::sysfs {

// SCSI peripheral device types (the unit's `type` attribute).
inline constexpr int kScsiTypeDisk = 0;
inline constexpr int kScsiTypeCdRom = 5;

// One SCSI unit that has a generic node.
struct ScsiUnit {
  std::string genericName;          // "sg2"
  std::filesystem::path deviceDir;  // the unit's own directory, symlinks resolved
  std::string address;              // "6:0:0:0"
  int type = -1;                    // kScsiTypeDisk, kScsiTypeCdRom, other, or -1
  std::string vendor;               // inquiry vendor, trailing blanks removed
  std::string model;                // inquiry model, trailing blanks removed
  std::string blockName;            // "sdb", "sr0", or empty when no block device
  device::TransportKind transport = device::TransportKind::Scsi;
  std::optional<std::filesystem::path> usbDevice;  // the USB device above a USB unit
};

// The sysfs root below a system root ("<root>/sys").
std::filesystem::path SysDir(const std::filesystem::path& systemRoot);

// Every unit listed in class/scsi_generic, in generic node order (sg2 before sg10). Units
// whose links cannot be resolved are left out.
std::vector<ScsiUnit> ListScsiUnits(const std::filesystem::path& sysDir);

// The text of a sysfs attribute without its trailing newline and blanks; nothing when the
// attribute cannot be read.
std::optional<std::string> ReadAttribute(const std::filesystem::path& dir, const char* name);

// An attribute as an unsigned number in the given base; nothing when missing or not a number.
std::optional<std::uint64_t> ReadNumber(const std::filesystem::path& dir, const char* name,
                                        int base = 10);

// The name of the driver bound to a device directory (the last part of its `driver` link).
std::string DriverName(const std::filesystem::path& dir);

// True for a USB device directory (not an interface: it carries idVendor and devnum).
bool IsUsbDevice(const std::filesystem::path& dir);

// True for a USB device that is a hub (device class 09 or any downstream ports).
bool IsUsbHub(const std::filesystem::path& dir);

// The transport of a unit from the drivers of its ancestors: usb-storage, uas and FireWire
// SBP-2 give MassStorage, libata gives Ide, anything else Scsi. Also yields the USB device
// above the unit, if any.
device::TransportKind TransportOf(const std::filesystem::path& sysDir,
                                  const std::filesystem::path& deviceDir,
                                  std::optional<std::filesystem::path>* usbDevice);

// The root hubs (bus/usb/devices/usbN), in bus number order, symlinks resolved.
std::vector<std::filesystem::path> RootHubs(const std::filesystem::path& sysDir);

// The device directory on a hub's port (1-based), or nothing when the port is empty.
std::optional<std::filesystem::path> DeviceOnPort(const std::filesystem::path& hubDir,
                                                  unsigned port);

// The port speed code from the `speed` attribute in Mbit/s: 1.5 gives 0, 12 gives 1, 480
// gives 2, anything faster 3; nothing when absent or unknown.
std::optional<std::uint32_t> SpeedCode(const std::string& speed);

// The path as the kernel names it ("/sys/devices/..."): the system root taken off.
std::string KernelPath(const std::filesystem::path& sysDir, const std::filesystem::path& path);

}  // namespace burnwell::bridge::sysfs
