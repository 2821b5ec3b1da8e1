// Linux has no setup services, configuration manager or registry: the system instance of the
// Windows device services is a machine with nothing present. Linux finds bridges from sysfs.
#include "platform/WinDeviceServices.h"

namespace burnwell::platform {
namespace {

class NothingPresent final : public WinDeviceServices {
 public:
  // An empty but valid set, so that a walk finds no members rather than failing.
  DeviceInfoSet GetClassDevices(InterfaceClass) override { return 1; }
  bool EnumDeviceInterface(DeviceInfoSet, InterfaceClass, std::uint32_t) override { return false; }
  std::uint32_t QueryInterfaceDetailSize(DeviceInfoSet, InterfaceClass, std::uint32_t,
                                         std::uint32_t* size) override {
    if (size) *size = 0;
    return 259;  // ERROR_NO_MORE_ITEMS
  }
  bool GetInterfaceDevicePath(DeviceInfoSet, InterfaceClass, std::uint32_t, char*,
                              std::uint32_t) override {
    return false;
  }
  void DestroyDeviceInfoList(DeviceInfoSet) override {}
  bool LocateDevNode(const char*, DevInstHandle*) override { return false; }
  bool GetParent(DevInstHandle, DevInstHandle*) override { return false; }
  bool GetChild(DevInstHandle, DevInstHandle*) override { return false; }
  bool GetSibling(DevInstHandle, DevInstHandle*) override { return false; }
  bool GetDeviceId(DevInstHandle, char*, std::uint32_t) override { return false; }
  bool GetDevNodeProperty(DevInstHandle, DevNodeProperty, char*, std::uint32_t) override {
    return false;
  }
  RegistryKey OpenMachineKey(const char*) override { return 0; }
  bool QueryValue(RegistryKey, const char*, std::uint8_t*, std::uint32_t*) override {
    return false;
  }
  void CloseKey(RegistryKey) override {}
  std::uint32_t GetLogicalDrives() override { return 0; }
  std::uint32_t GetDriveType(const char*) override { return 1; }  // DRIVE_NO_ROOT_DIR
  Handle OpenUsbNode(const char*) override { return kInvalidHandle; }
  bool UsbIoControl(Handle, std::uint32_t, const void*, std::uint32_t, void*, std::uint32_t,
                    std::uint32_t*) override {
    return false;
  }
  void CloseUsbNode(Handle) override {}
};

}  // namespace

template <>
WinDeviceServices& SystemInstance<WinDeviceServices>() {
  static NothingPresent instance;
  return instance;
}

}  // namespace burnwell::platform
