// Finding bridges: the pass-through discovery over the Windows device services, the ASPI
// discovery, the USB hub port scan, and the pieces both discoveries share.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/ApiResult.h"
#include "device/BridgeInfo.h"
#include "device/DeviceRecord.h"
#include "device/Transport.h"
#include "platform/Handle.h"
#include "platform/WinDeviceServices.h"

namespace burnwell::bridge {

// The device layer's names every discovery path works with.
using device::DeviceClass;
using device::DeviceLayer;
using device::DeviceRecord;
using device::DeviceTable;
using device::DevNode;
using device::kPathChars;
using device::RelayCloseDevice;
using device::RelayOpenDevice;
using device::TransportKind;

// Walks the present disk interfaces, then the CD-ROM interfaces, and appends one record per
// bridge (a bridge's second unit is merged into its first). Returns the table count, 0 when an
// IDE or SCSI device cannot be opened, NoInterfaceList when an interface list cannot be had,
// TooManyDevices when a per-device lock can be neither opened nor created. Records already
// appended stay.
CountOrError DiscoverPassThroughWindows();

// One interface at a time, for discovery and for bridges that arrive later.

// What looking at one interface gave: a bridge (its record with the handle open, placed in the
// tree), nothing, or the end of discovery (an IDE or SCSI device that cannot be opened).
struct ProbedInterface {
  bool bridge = false;
  bool stopDiscovery = false;
  bool usb = false;  // behind "USBSTOR\": a second unit of its USB device merges into the first
  device::DeviceRecord record{};
  std::string instancePath;        // A
  device::PathText canonicalId{};  // B
  bool handleOpen = false;
};

// The device path of interface `index` of a set; nothing when its detail cannot be read.
std::optional<std::string> InterfaceDevicePath(platform::DeviceInfoSet set,
                                               platform::InterfaceClass interfaceClass,
                                               std::uint32_t index);
// Opens and identifies the unit behind a device path and places it in the device tree.
ProbedInterface ProbeInterface(const std::string& devicePath);
// Closes a probed unit's handle when it is still open.
void CloseProbed(ProbedInterface& probed);
// The record of the same USB device (by parent ID), the highest index among those the
// candidate test accepts (all when it is empty); null when none.
device::DeviceRecord* FirstUnitOfWindows(std::string_view parentId,
                                         const std::function<bool(std::uint32_t)>& candidate);
// Merges a second unit into its first unit's record (letters too); its handle is closed.
void MergeSecondUnitWindows(device::DeviceRecord& first, ProbedInterface& probed);
// Stores a probed bridge (letters, identity) in a new record or the given free slot, which
// keeps its lock; the table owns the handle then. False when the lock cannot be had.
bool StoreBridgeWindows(ProbedInterface& probed, std::optional<std::uint32_t> slot);

// Asks the ASPI library for its adapters and appends a record for every target / LUN 0..1
// that answers the bridge information command. Returns the table count, NoAspi without the
// library or its entry points, TooManyDevices when a per-device lock fails.
CountOrError DiscoverAspi();

// One pass over every USB host controller, root hub and hub below it, writing HubNumber,
// PortNumber, PortCount, PortSpeed, UsbAddress and UsbLocation into the records whose
// ParentDevInst is the device on a port. Never fails as a whole.
void ScanHubPortsWindows();

// What the pass finds on one port that holds a device (not a hub).
struct UsbPortFacts {
  device::DevNode node = 0;  // the device's node
  std::uint32_t hubNumber = 0;
  std::uint32_t port = 0;
  std::uint32_t portCount = 0;
  std::uint32_t speed = 0;
  std::uint32_t address = 0;
  // The controller's place among the controllers of the pass (from 1), then the port on each
  // hub from the root hub down: "2-1.4". The same for a socket from pass to pass as long as the
  // machine's controllers stay.
  std::string location;
};
// The pass without writing records: every connected port's facts.
std::vector<UsbPortFacts> ScanUsbPortsWindows();
// Writes a port's facts into the record of the bridge on it.
void WritePortFacts(device::DeviceRecord& record, const UsbPortFacts& facts);

// "DeviceIndex_%02d" for a table index: two digits at least, more when the index needs them.
std::string DeviceMutexName(std::uint32_t index);

// Opens the named per-device lock of a table index, creating it (not owned) when it does not
// exist yet; 0 when both fail.
platform::LockHandle OpenDeviceMutex(std::uint32_t index);

// The instance form of an interface path or mounted-device name: drops the first four
// characters (the namespace prefix), cuts at the last '#', turns the other '#' into '\', then
// every '\' between the first and the last into '/'. "\\?\usbstor#disk&x#7&1#{guid}" gives
// "usbstor\disk&x\7&1".
std::string InstanceFormOf(std::string_view path);

// Drive letters of a mass-storage unit.
// The letter whose mounted-device entry names the unit, else '0'.
char FindLetterByMountedDevice(const char* instancePath);
// The letters of fixed volumes whose disk signature equals the unit's, upper case, appended to
// output (bounded by its size); returns the first letter written, NUL when none matched, or
// '0' when the unit's own signature is 0.
char FindLettersBySignature(platform::Handle handle, device::LetterText& output);
// For an IDE or SCSI disk: the letters whose mounted-device entry starts with the signature at
// byte 440 of the unit's sector 0, appended to record.DriveLetters. False when sector 0 cannot
// be read or the mounted-device key cannot be opened.
bool FindLettersBySector0(device::DeviceRecord& record);
// The MBR disk signature from the unit's drive layout, 0 when it cannot be read.
std::uint32_t GetDiskSignature(platform::Handle handle);

}  // namespace burnwell::bridge
