// The Windows device services that discovery and the hub port scan need: the setup services'
// interface-class enumeration, the configuration manager's device tree, a few registry reads,
// the logical drives, and the USB host-controller and hub handles with their I/O controls.
// The Win32 implementation calls the real functions; on other systems the system instance
// reports nothing present, and tests install a scripted machine.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/Handle.h"
#include "platform/Seam.h"

namespace burnwell::platform {

// The interface classes walked, by their GUIDs:
//   Disk               {53f56307-b6bf-11d0-94f2-00a0c91efb8b}
//   CdRom              {53f56308-b6bf-11d0-94f2-00a0c91efb8b}
//   UsbHostController  {3ABF6F2D-71C4-462A-8A92-1E6861E6AF27}
enum class InterfaceClass { Disk, CdRom, UsbHostController };

// A device-information set (HDEVINFO); 0 means none.
using DeviceInfoSet = std::intptr_t;
// A configuration-manager device node (DEVINST); 0 means none.
using DevInstHandle = std::uint32_t;
// An open registry key (HKEY); 0 means none.
using RegistryKey = std::intptr_t;

// Registry properties of a device node read by the hub scan.
enum class DevNodeProperty { Driver, DeviceDesc };  // CM_DRP_DRIVER, CM_DRP_DEVICEDESC

inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;  // ERROR_INSUFFICIENT_BUFFER
inline constexpr std::uint32_t kDriveFixed = 3;                 // DRIVE_FIXED

class WinDeviceServices {
 public:
  virtual ~WinDeviceServices() = default;

  // --- Setup services ---
  // SetupDiGetClassDevsA(class, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE); 0 on failure.
  virtual DeviceInfoSet GetClassDevices(InterfaceClass interfaceClass) = 0;
  // SetupDiEnumDeviceInterfaces for member index; false when there is no such member.
  virtual bool EnumDeviceInterface(DeviceInfoSet set, InterfaceClass interfaceClass,
                                   std::uint32_t index) = 0;
  // SetupDiGetDeviceInterfaceDetailA without a buffer: stores the size the detail needs and
  // returns the error the call ended with (kErrorInsufficientBuffer on the normal path).
  virtual std::uint32_t QueryInterfaceDetailSize(DeviceInfoSet set, InterfaceClass interfaceClass,
                                                 std::uint32_t index, std::uint32_t* size) = 0;
  // SetupDiGetDeviceInterfaceDetailA with a buffer: copies the device path, NUL-terminated,
  // into path (pathSize bytes); false on failure or when the path does not fit.
  virtual bool GetInterfaceDevicePath(DeviceInfoSet set, InterfaceClass interfaceClass,
                                      std::uint32_t index, char* path, std::uint32_t pathSize) = 0;
  // SetupDiDestroyDeviceInfoList.
  virtual void DestroyDeviceInfoList(DeviceInfoSet set) = 0;

  // --- Configuration manager (all true on CR_SUCCESS) ---
  // CM_Locate_DevNodeA with flags 0 (present devices only); a null ID locates the root.
  virtual bool LocateDevNode(const char* instanceId, DevInstHandle* node) = 0;
  virtual bool GetParent(DevInstHandle node, DevInstHandle* parent) = 0;
  virtual bool GetChild(DevInstHandle node, DevInstHandle* child) = 0;
  virtual bool GetSibling(DevInstHandle node, DevInstHandle* sibling) = 0;
  // CM_Get_Device_IDA into buffer (size bytes, NUL-terminated on success).
  virtual bool GetDeviceId(DevInstHandle node, char* buffer, std::uint32_t size) = 0;
  // CM_Get_DevNode_Registry_PropertyA into buffer (size bytes, NUL-terminated on success).
  virtual bool GetDevNodeProperty(DevInstHandle node, DevNodeProperty property, char* buffer,
                                  std::uint32_t size) = 0;

  // --- Registry, under HKEY_LOCAL_MACHINE ---
  // RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, KEY_READ); 0 on failure.
  virtual RegistryKey OpenMachineKey(const char* subKey) = 0;
  // RegQueryValueExA: *size is the buffer size on entry and the value's size on success.
  virtual bool QueryValue(RegistryKey key, const char* name, std::uint8_t* data,
                          std::uint32_t* size) = 0;
  virtual void CloseKey(RegistryKey key) = 0;

  // --- Volumes ---
  // GetLogicalDrives: bit 0 is A:, bit 25 is Z:.
  virtual std::uint32_t GetLogicalDrives() = 0;
  // GetDriveTypeA of a root such as "C:\".
  virtual std::uint32_t GetDriveType(const char* root) = 0;

  // --- USB host controllers and hubs ---
  // CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING); kInvalidHandle on failure.
  virtual Handle OpenUsbNode(const char* path) = 0;
  // Buffered DeviceIoControl on a controller or hub handle.
  virtual bool UsbIoControl(Handle handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                            void* out, std::uint32_t outSize, std::uint32_t* returned) = 0;
  virtual void CloseUsbNode(Handle handle) = 0;

  // --- Arrival and removal ---
  // Registers for the device-interface notifications of the disk and CD-ROM classes
  // (RegisterDeviceNotification, DBT_DEVICEARRIVAL and DBT_DEVICEREMOVECOMPLETE): `changed` is
  // called on a thread of the implementation's own after each. 0 when notifications cannot be
  // had (the caller then looks by itself).
  virtual std::intptr_t WatchStorageInterfaces(std::function<void()> /*changed*/) { return 0; }
  // Ends a registration: no call of `changed` starts after it returns.
  virtual void EndWatch(std::intptr_t /*watch*/) {}
};

template <>
WinDeviceServices& SystemInstance<WinDeviceServices>();

}  // namespace burnwell::platform
