// The Windows device services over the real setup, configuration-manager, registry, volume and
// device I/O functions.
#include <windows.h>
// windows.h first: the headers below depend on its types.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstring>
#include <vector>

#include "platform/WinDeviceServices.h"
#include "platform/win32/InterfaceNotifications.h"

namespace burnwell::platform {
namespace {

const GUID kGuidDisk = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const GUID kGuidCdRom = {
    0x53f56308, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const GUID kGuidUsbHostController = {
    0x3abf6f2d, 0x71c4, 0x462a, {0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6, 0xaf, 0x27}};

const GUID& ClassGuid(InterfaceClass interfaceClass) {
  switch (interfaceClass) {
    case InterfaceClass::Disk: return kGuidDisk;
    case InterfaceClass::CdRom: return kGuidCdRom;
    case InterfaceClass::UsbHostController: break;
  }
  return kGuidUsbHostController;
}

HDEVINFO AsSet(DeviceInfoSet set) { return reinterpret_cast<HDEVINFO>(set); }

// The interface data of one member, read again for each call so the seam stays stateless.
bool InterfaceData(DeviceInfoSet set, InterfaceClass interfaceClass, std::uint32_t index,
                   SP_DEVICE_INTERFACE_DATA* data) {
  std::memset(data, 0, sizeof(*data));
  data->cbSize = sizeof(*data);
  return SetupDiEnumDeviceInterfaces(AsSet(set), nullptr, &ClassGuid(interfaceClass), index,
                                     data) != FALSE;
}

class Win32DeviceServices final : public WinDeviceServices {
 public:
  DeviceInfoSet GetClassDevices(InterfaceClass interfaceClass) override {
    HDEVINFO set = SetupDiGetClassDevsA(&ClassGuid(interfaceClass), nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return 0;
    return reinterpret_cast<DeviceInfoSet>(set);
  }

  bool EnumDeviceInterface(DeviceInfoSet set, InterfaceClass interfaceClass,
                           std::uint32_t index) override {
    SP_DEVICE_INTERFACE_DATA data;
    return InterfaceData(set, interfaceClass, index, &data);
  }

  std::uint32_t QueryInterfaceDetailSize(DeviceInfoSet set, InterfaceClass interfaceClass,
                                         std::uint32_t index, std::uint32_t* size) override {
    SP_DEVICE_INTERFACE_DATA data;
    if (!InterfaceData(set, interfaceClass, index, &data)) return GetLastError();
    DWORD required = 0;
    SetLastError(0);
    if (SetupDiGetDeviceInterfaceDetailA(AsSet(set), &data, nullptr, 0, &required, nullptr)) {
      *size = required;
      return 0;
    }
    *size = required;
    return GetLastError();
  }

  bool GetInterfaceDevicePath(DeviceInfoSet set, InterfaceClass interfaceClass, std::uint32_t index,
                              char* path, std::uint32_t pathSize) override {
    SP_DEVICE_INTERFACE_DATA data;
    if (!InterfaceData(set, interfaceClass, index, &data)) return false;
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(AsSet(set), &data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return false;
    std::vector<std::uint8_t> block(required, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(AsSet(set), &data, detail, required, nullptr, nullptr)) {
      return false;
    }
    const std::size_t length = strnlen(
        detail->DevicePath, required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath));
    if (length + 1 > pathSize) return false;
    std::memcpy(path, detail->DevicePath, length);
    path[length] = '\0';
    return true;
  }

  void DestroyDeviceInfoList(DeviceInfoSet set) override {
    if (set != 0) SetupDiDestroyDeviceInfoList(AsSet(set));
  }

  bool LocateDevNode(const char* instanceId, DevInstHandle* node) override {
    DEVINST found = 0;
    // The configuration manager takes a non-const pointer but does not write through it.
    if (CM_Locate_DevNodeA(&found, const_cast<char*>(instanceId), CM_LOCATE_DEVNODE_NORMAL) !=
        CR_SUCCESS) {
      return false;
    }
    *node = found;
    return true;
  }

  bool GetParent(DevInstHandle node, DevInstHandle* parent) override {
    DEVINST found = 0;
    if (CM_Get_Parent(&found, node, 0) != CR_SUCCESS) return false;
    *parent = found;
    return true;
  }

  bool GetChild(DevInstHandle node, DevInstHandle* child) override {
    DEVINST found = 0;
    if (CM_Get_Child(&found, node, 0) != CR_SUCCESS) return false;
    *child = found;
    return true;
  }

  bool GetSibling(DevInstHandle node, DevInstHandle* sibling) override {
    DEVINST found = 0;
    if (CM_Get_Sibling(&found, node, 0) != CR_SUCCESS) return false;
    *sibling = found;
    return true;
  }

  bool GetDeviceId(DevInstHandle node, char* buffer, std::uint32_t size) override {
    if (size == 0) return false;
    if (CM_Get_Device_IDA(node, buffer, size, 0) != CR_SUCCESS) return false;
    buffer[size - 1] = '\0';
    return true;
  }

  bool GetDevNodeProperty(DevInstHandle node, DevNodeProperty property, char* buffer,
                          std::uint32_t size) override {
    if (size == 0) return false;
    ULONG length = size;
    const ULONG which = property == DevNodeProperty::Driver ? CM_DRP_DRIVER : CM_DRP_DEVICEDESC;
    if (CM_Get_DevNode_Registry_PropertyA(node, which, nullptr, buffer, &length, 0) != CR_SUCCESS) {
      return false;
    }
    buffer[size - 1] = '\0';
    return true;
  }

  RegistryKey OpenMachineKey(const char* subKey) override {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    return reinterpret_cast<RegistryKey>(key);
  }

  bool QueryValue(RegistryKey key, const char* name, std::uint8_t* data,
                  std::uint32_t* size) override {
    DWORD length = *size;
    if (RegQueryValueExA(reinterpret_cast<HKEY>(key), name, nullptr, nullptr, data, &length) !=
        ERROR_SUCCESS) {
      return false;
    }
    *size = length;
    return true;
  }

  void CloseKey(RegistryKey key) override {
    if (key != 0) RegCloseKey(reinterpret_cast<HKEY>(key));
  }

  std::uint32_t GetLogicalDrives() override { return ::GetLogicalDrives(); }
  std::uint32_t GetDriveType(const char* root) override { return GetDriveTypeA(root); }

  Handle OpenUsbNode(const char* path) override {
    HANDLE handle =
        CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return kInvalidHandle;
    return reinterpret_cast<Handle>(handle);
  }

  bool UsbIoControl(Handle handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                    void* out, std::uint32_t outSize, std::uint32_t* returned) override {
    DWORD bytes = 0;
    // DeviceIoControl's input pointer is not const in its declaration; it is only read.
    const BOOL ok = DeviceIoControl(reinterpret_cast<HANDLE>(handle), code, const_cast<void*>(in),
                                    inSize, out, outSize, &bytes, nullptr);
    if (returned) *returned = bytes;
    return ok != FALSE;
  }

  void CloseUsbNode(Handle handle) override {
    if (handle != kInvalidHandle) CloseHandle(reinterpret_cast<HANDLE>(handle));
  }

  std::intptr_t WatchStorageInterfaces(std::function<void()> changed) override {
    return StartInterfaceNotifications({kGuidDisk, kGuidCdRom}, std::move(changed));
  }
  void EndWatch(std::intptr_t watch) override { EndInterfaceNotifications(watch); }
};

}  // namespace

template <>
WinDeviceServices& SystemInstance<WinDeviceServices>() {
  static Win32DeviceServices instance;
  return instance;
}

}  // namespace burnwell::platform
