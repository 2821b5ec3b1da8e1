// Finding bridges: the pass-through discovery over the Windows device services, the ASPI
// discovery, the USB hub port scan, and the pieces both discoveries share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bridge/ApiResult.h"
#include "device/BridgeInfo.h"
#include "device/DeviceRecord.h"
#include "device/Transport.h"
#include "platform/Handle.h"

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

// Asks the ASPI library for its adapters and appends a record for every target / LUN 0..1
// that answers the bridge information command. Returns the table count, NoAspi without the
// library or its entry points, TooManyDevices when a per-device lock fails.
CountOrError DiscoverAspi();

// One pass over every USB host controller, root hub and hub below it, writing HubNumber,
// PortNumber, PortCount, PortSpeed and UsbAddress into the records whose ParentDevInst is the
// device on a port. Never fails as a whole.
void ScanHubPortsWindows();

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
