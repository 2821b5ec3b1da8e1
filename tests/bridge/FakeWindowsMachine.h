// A scripted Windows machine for discovery tests: interface lists per class, a device tree with
// instance IDs, driver keys and descriptions, registry values, logical drives, USB host
// controllers and hubs with their ports, named locks, and simple bridges behind device paths
// that answer the identification commands through the device I/O seam.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/DeviceIo.h"
#include "platform/NamedLock.h"
#include "platform/WinDeviceServices.h"
#include "sim/EmulatedDeviceIo.h"

namespace burnwell::test {

// A unit that answers behind a device path (a bridge's disk or CD-ROM unit, a plain disk, a
// volume). What it answers is plain data that a test sets.
struct FakeUnit {
  // 0xD0 answer; nullopt: the command ends in CHECK CONDITION.
  std::optional<std::array<std::uint8_t, 16>> bridgeInfo;
  std::uint32_t diskSignature = 0;  // IOCTL_DISK_GET_DRIVE_LAYOUT_EX (0: the call fails)
  std::optional<std::uint16_t> identifyVendor;  // IDENTIFY data words at bytes 40..43
  std::uint16_t identifyProduct = 0;
  bool answersAtaPassThrough = true;  // IDE path
  bool answersSmart = true;           // SCSI path, first choice
  bool answersMiniport = true;
  bool answersLbaReads = true;
  std::array<std::uint8_t, 512> sector0{};
  bool sector0Readable = true;
};

// Bytes of a bridge information block.
std::array<std::uint8_t, 16> BridgeInfoBlock(std::uint16_t vendor, std::uint16_t product,
                                             std::uint32_t firmware, std::uint8_t mode,
                                             std::uint8_t flag);

// Named locks that only record the names asked for; opening fails until a name was created.
class FakeNamedLocks final : public platform::NamedLocks {
 public:
  void FailAll(bool fail) { fail_ = fail; }
  const std::vector<std::string>& NamesCreated() const { return created_; }
  platform::LockHandle Open(const char* name) override;
  platform::LockHandle Create(const char* name) override;
  platform::WaitResult Wait(platform::LockHandle, std::uint32_t) override {
    return platform::WaitResult::Signalled;
  }
  bool Release(platform::LockHandle) override { return true; }
  bool Close(platform::LockHandle) override { return true; }

 private:
  std::vector<std::string> created_;
  bool fail_ = false;
};

class FakeWindowsMachine final : public platform::WinDeviceServices, public platform::DeviceIo {
 public:
  FakeWindowsMachine();

  // --- Device tree ---
  platform::DevInstHandle Root() const { return 1; }
  platform::DevInstHandle AddNode(const std::string& instanceId, platform::DevInstHandle parent,
                                  const std::string& driverKey = "");
  // Lookups of instance IDs ignore case, as the configuration manager's do.
  // A device unplugged: its node (and the nodes below it) leave the tree.
  void RemoveNode(platform::DevInstHandle node);

  // --- Interfaces and the units behind their paths ---
  void AddInterface(platform::InterfaceClass interfaceClass, const std::string& devicePath);
  void RemoveInterface(platform::InterfaceClass interfaceClass, const std::string& devicePath);
  // Sends the device-interface notification to whoever watches (nothing when nobody does).
  void Announce();
  void FailClassList(platform::InterfaceClass interfaceClass) {
    failedClasses_.insert(interfaceClass);
  }
  void FailDetailFor(const std::string& devicePath) { failedDetails_.insert(devicePath); }
  FakeUnit& AddUnit(const std::string& devicePath);
  FakeUnit& UnitFor(const std::string& devicePath) { return *units_.at(Upper(devicePath)); }
  void RefuseOpen(const std::string& devicePath) { refusedOpens_.insert(devicePath); }
  // An emulated bridge behind a device path: every I/O on handles of that path goes to it.
  void AttachEmulated(const std::string& devicePath, std::shared_ptr<sim::EmulatedBridge> bridge,
                      sim::Presentation presentation = sim::Presentation::MassStorage) {
    emulated_.Attach(devicePath, std::move(bridge), presentation);
  }

  // --- Volumes and registry ---
  // A logical drive; a fixed drive's "\\.\X:" opens to a unit with that disk signature.
  void AddDrive(char letter, std::uint32_t driveType, std::uint32_t diskSignature = 0);
  // "\DosDevices\X:" under SYSTEM\MountedDevices, as UTF-16 text or as raw bytes.
  void SetMountedDeviceText(char letter, const std::string& text);
  void SetMountedDeviceBytes(char letter, const std::vector<std::uint8_t>& bytes);
  void SetRegistryText(const std::string& key, const std::string& name, const std::string& text);
  void RemoveRegistryKey(const std::string& key) { registry_.erase(Upper(key)); }

  // --- USB ---
  struct Port {
    std::uint32_t status = 1;  // USB_CONNECTION_STATUS
    std::uint8_t speed = 2;
    std::uint16_t address = 0;
    std::string driverKey;            // of the device on the port
    std::string hubName;              // nonempty: a hub sits on this port
    bool extendedQueryFails = false;  // only the older query answers
    bool lowSpeed = false;            // what the older query reports
    bool queriesFail = false;         // neither query answers
  };
  // A hub reached as "\\.\" + name.
  void AddHub(const std::string& name, std::vector<Port> ports);
  // A host controller, reachable as "\\.\HCD<n>" (n >= 0) and/or through the interface class.
  void AddController(const std::string& driverKey, const std::string& rootHubName,
                     std::optional<int> numberedName, std::optional<std::string> interfacePath);

  FakeNamedLocks locks;

  // --- Accounting ---
  std::size_t OpenHandleCount() const { return openHandles_.size() + emulated_.OpenHandles(); }
  std::size_t OpenUsbHandleCount() const { return openUsbHandles_.size(); }
  std::size_t SetsOpen() const { return setsOpen_; }
  const std::vector<std::string>& OpenedHubs() const { return openedHubs_; }
  int ControllerDriverKeyQueries() const { return controllerKeyQueries_; }

  // WinDeviceServices
  platform::DeviceInfoSet GetClassDevices(platform::InterfaceClass interfaceClass) override;
  bool EnumDeviceInterface(platform::DeviceInfoSet set, platform::InterfaceClass interfaceClass,
                           std::uint32_t index) override;
  std::uint32_t QueryInterfaceDetailSize(platform::DeviceInfoSet set,
                                         platform::InterfaceClass interfaceClass,
                                         std::uint32_t index, std::uint32_t* size) override;
  bool GetInterfaceDevicePath(platform::DeviceInfoSet set, platform::InterfaceClass interfaceClass,
                              std::uint32_t index, char* path, std::uint32_t pathSize) override;
  void DestroyDeviceInfoList(platform::DeviceInfoSet set) override;
  bool LocateDevNode(const char* instanceId, platform::DevInstHandle* node) override;
  bool GetParent(platform::DevInstHandle node, platform::DevInstHandle* parent) override;
  bool GetChild(platform::DevInstHandle node, platform::DevInstHandle* child) override;
  bool GetSibling(platform::DevInstHandle node, platform::DevInstHandle* sibling) override;
  bool GetDeviceId(platform::DevInstHandle node, char* buffer, std::uint32_t size) override;
  bool GetDevNodeProperty(platform::DevInstHandle node, platform::DevNodeProperty property,
                          char* buffer, std::uint32_t size) override;
  platform::RegistryKey OpenMachineKey(const char* subKey) override;
  bool QueryValue(platform::RegistryKey key, const char* name, std::uint8_t* data,
                  std::uint32_t* size) override;
  void CloseKey(platform::RegistryKey key) override;
  std::uint32_t GetLogicalDrives() override;
  std::uint32_t GetDriveType(const char* root) override;
  platform::Handle OpenUsbNode(const char* path) override;
  bool UsbIoControl(platform::Handle handle, std::uint32_t code, const void* in,
                    std::uint32_t inSize, void* out, std::uint32_t outSize,
                    std::uint32_t* returned) override;
  void CloseUsbNode(platform::Handle handle) override;
  std::intptr_t WatchStorageInterfaces(std::function<void()> changed) override;
  void EndWatch(std::intptr_t watch) override;

  // DeviceIo
  platform::Handle Open(const char* path, std::uint32_t attributes) override;
  bool IoControl(platform::Handle handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                 void* out, std::uint32_t outSize, std::uint32_t* returned) override;
  bool Read(platform::Handle handle, void* buffer, std::uint32_t size,
            std::uint32_t* read) override;
  bool Seek(platform::Handle handle, std::int64_t offset) override;
  bool Close(platform::Handle handle) override;
  platform::Handle OpenRelay() override { return platform::kInvalidHandle; }
  bool WriteMessage(platform::Handle, const void*, std::uint32_t, std::uint32_t*) override {
    return false;
  }
  bool ReadMessage(platform::Handle, void*, std::uint32_t, std::uint32_t*) override {
    return false;
  }

  static std::string Upper(std::string text);

 private:
  struct Node {
    std::string instanceId;
    platform::DevInstHandle parent = 0;
    std::vector<platform::DevInstHandle> children;
    std::string driverKey;
    bool hasDescription = true;
  };
  struct Controller {
    std::string driverKey;
    std::string rootHubName;
  };
  enum class UsbKind { Controller, Hub };
  struct UsbHandle {
    UsbKind kind;
    std::string name;  // controller driver key or hub name
  };

  bool PassThrough(FakeUnit& unit, std::uint8_t* request, std::uint32_t size);
  bool HubControl(const std::string& hub, std::uint32_t code, const std::uint8_t* in,
                  std::uint32_t inSize, std::uint8_t* out, std::uint32_t outSize,
                  std::uint32_t* returned);
  bool ControllerControl(const Controller& controller, std::uint32_t code, std::uint8_t* out,
                         std::uint32_t outSize, std::uint32_t* returned);
  const std::vector<std::string>* InterfaceList(platform::DeviceInfoSet set,
                                                platform::InterfaceClass interfaceClass) const;

  std::map<platform::DevInstHandle, Node> nodes_;
  std::map<platform::InterfaceClass, std::vector<std::string>> interfaces_;
  std::set<platform::InterfaceClass> failedClasses_;
  std::set<std::string> failedDetails_;
  std::map<std::string, std::unique_ptr<FakeUnit>> units_;  // by upper-case path
  std::set<std::string> refusedOpens_;
  std::map<platform::Handle, FakeUnit*> openHandles_;
  sim::EmulatedDeviceIo emulated_;
  std::set<platform::Handle> emulatedHandles_;
  std::map<std::string, std::map<std::string, std::vector<std::uint8_t>>>
      registry_;  // upper-case key
  std::map<platform::RegistryKey, std::string> openKeys_;
  std::uint32_t drives_ = 0;
  std::map<char, std::uint32_t> driveTypes_;
  std::map<std::string, std::vector<Port>> hubs_;
  std::vector<Controller> controllers_;
  std::map<std::string, std::size_t> usbPaths_;  // controller open names -> index
  std::map<platform::Handle, UsbHandle> openUsbHandles_;
  std::vector<std::string> openedHubs_;
  std::vector<std::string> hostControllerInterfaces_;
  platform::Handle nextHandle_ = 0x100000;  // clear of the emulated handles
  std::size_t setsOpen_ = 0;
  int controllerKeyQueries_ = 0;
  std::function<void()> watcher_;
};

}  // namespace burnwell::test
