#include "FakeWindowsMachine.h"

#include <algorithm>
#include <cstring>

#include "common/Bytes.h"
#include "common/MakerIds.h"
#include "wire/AtaPassThrough.h"
#include "wire/BridgeInfoBlock.h"
#include "bridge/HubScanLayouts.h"
#include "wire/ScsiRequest.h"
#include "platform/WinNames.h"

namespace burnwell::test {
namespace {

using platform::DevInstHandle;
using platform::Handle;
using platform::InterfaceClass;

constexpr std::uint32_t kErrorInvalidFunction = 1;
constexpr std::uint8_t kStatusGood = 0;
constexpr std::uint8_t kStatusCheckCondition = 2;

std::vector<std::uint8_t> Utf16(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  for (char c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c));
    bytes.push_back(0);
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

// A variable-length name answer: [header bytes][ActualLength][UTF-16 name + NUL], cut to the
// caller's buffer as the system does.
bool NameAnswer(const std::string& name, std::uint32_t header, std::uint8_t* out,
                std::uint32_t outSize, std::uint32_t* returned) {
  const std::vector<std::uint8_t> wide = Utf16(name);
  const std::uint32_t actual = header + static_cast<std::uint32_t>(wide.size());
  if (outSize < header) return false;
  StoreLe32(out + header - 4, actual);
  const std::uint32_t room = outSize - header;
  const std::uint32_t copied =
      std::min<std::uint32_t>(room, static_cast<std::uint32_t>(wide.size()));
  std::memcpy(out + header, wide.data(), copied);
  if (returned) *returned = header + copied;
  return true;
}

void PutIdentity(std::uint8_t* data, std::uint16_t vendor, std::uint16_t product) {
  // Identification bytes 40..43 as the device returns them, each value high byte first.
  StoreBe16(data + 40, vendor);
  StoreBe16(data + 42, product);
}

}  // namespace

std::array<std::uint8_t, 16> BridgeInfoBlock(std::uint16_t vendor, std::uint16_t product,
                                             std::uint32_t firmware, std::uint8_t mode,
                                             std::uint8_t flag) {
  return wire::EncodeBridgeInfo({.vendorId = vendor,
                                 .productId = product,
                                 .firmwareVersion = firmware,
                                 .mode = mode,
                                 .flag = flag});
}

platform::LockHandle FakeNamedLocks::Open(const char* name) {
  if (fail_) return 0;
  const auto found = std::find(created_.begin(), created_.end(), name);
  return found == created_.end() ? 0
                                 : static_cast<platform::LockHandle>(found - created_.begin() + 1);
}

platform::LockHandle FakeNamedLocks::Create(const char* name) {
  if (fail_) return 0;
  created_.emplace_back(name);
  return static_cast<platform::LockHandle>(created_.size());
}

std::string FakeWindowsMachine::Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

FakeWindowsMachine::FakeWindowsMachine() {
  nodes_[Root()] = Node{"HTREE\\ROOT\\0", 0, {}, "", true};
}

DevInstHandle FakeWindowsMachine::AddNode(const std::string& instanceId, DevInstHandle parent,
                                          const std::string& driverKey) {
  // Never a handle of a node removed before: configuration-manager handles are not reused at once.
  const auto node = static_cast<DevInstHandle>(nodes_.rbegin()->first + 1);
  nodes_[node] = Node{instanceId, parent, {}, driverKey, true};
  nodes_[parent].children.push_back(node);
  return node;
}

void FakeWindowsMachine::AddInterface(InterfaceClass interfaceClass,
                                      const std::string& devicePath) {
  interfaces_[interfaceClass].push_back(devicePath);
}

void FakeWindowsMachine::RemoveInterface(InterfaceClass interfaceClass,
                                         const std::string& devicePath) {
  auto& list = interfaces_[interfaceClass];
  list.erase(std::remove(list.begin(), list.end(), devicePath), list.end());
}

void FakeWindowsMachine::RemoveNode(DevInstHandle node) {
  const auto found = nodes_.find(node);
  if (found == nodes_.end()) return;
  const std::vector<DevInstHandle> children = found->second.children;
  for (const DevInstHandle child : children) RemoveNode(child);
  auto& brothers = nodes_[found->second.parent].children;
  brothers.erase(std::remove(brothers.begin(), brothers.end(), node), brothers.end());
  nodes_.erase(node);
}

void FakeWindowsMachine::Announce() {
  if (watcher_) watcher_();
}

std::intptr_t FakeWindowsMachine::WatchStorageInterfaces(std::function<void()> changed) {
  watcher_ = std::move(changed);
  return 1;
}

void FakeWindowsMachine::EndWatch(std::intptr_t) { watcher_ = nullptr; }

FakeUnit& FakeWindowsMachine::AddUnit(const std::string& devicePath) {
  auto& unit = units_[Upper(devicePath)];
  unit = std::make_unique<FakeUnit>();
  return *unit;
}

void FakeWindowsMachine::AddDrive(char letter, std::uint32_t driveType,
                                  std::uint32_t diskSignature) {
  const char upper = static_cast<char>(letter & ~0x20);
  drives_ |= 1u << (upper - 'A');
  driveTypes_[upper] = driveType;
  if (diskSignature != 0) {
    AddUnit(std::string("\\\\.\\") + upper + ":").diskSignature = diskSignature;
  }
}

void FakeWindowsMachine::SetMountedDeviceText(char letter, const std::string& text) {
  SetMountedDeviceBytes(letter, Utf16(text));
}

void FakeWindowsMachine::SetMountedDeviceBytes(char letter,
                                               const std::vector<std::uint8_t>& bytes) {
  registry_["SYSTEM\\MOUNTEDDEVICES"][Upper(std::string("\\DosDevices\\") + letter + ":")] = bytes;
}

void FakeWindowsMachine::SetRegistryText(const std::string& key, const std::string& name,
                                         const std::string& text) {
  registry_[Upper(key)][Upper(name)] = Utf16(text);
}

void FakeWindowsMachine::AddHub(const std::string& name, std::vector<Port> ports) {
  hubs_[name] = std::move(ports);
}

void FakeWindowsMachine::AddController(const std::string& driverKey, const std::string& rootHubName,
                                       std::optional<int> numberedName,
                                       std::optional<std::string> interfacePath) {
  controllers_.push_back(Controller{driverKey, rootHubName});
  const std::size_t index = controllers_.size() - 1;
  if (numberedName) usbPaths_["\\\\.\\HCD" + std::to_string(*numberedName)] = index;
  if (interfacePath) {
    usbPaths_[*interfacePath] = index;
    interfaces_[InterfaceClass::UsbHostController].push_back(*interfacePath);
  }
}

// --- Setup services ---

platform::DeviceInfoSet FakeWindowsMachine::GetClassDevices(InterfaceClass interfaceClass) {
  if (failedClasses_.count(interfaceClass)) return 0;
  ++setsOpen_;
  return 1000 + static_cast<platform::DeviceInfoSet>(interfaceClass);
}

const std::vector<std::string>* FakeWindowsMachine::InterfaceList(
    platform::DeviceInfoSet set, InterfaceClass interfaceClass) const {
  if (set != 1000 + static_cast<platform::DeviceInfoSet>(interfaceClass)) return nullptr;
  const auto found = interfaces_.find(interfaceClass);
  static const std::vector<std::string> none;
  return found == interfaces_.end() ? &none : &found->second;
}

bool FakeWindowsMachine::EnumDeviceInterface(platform::DeviceInfoSet set,
                                             InterfaceClass interfaceClass, std::uint32_t index) {
  const auto* list = InterfaceList(set, interfaceClass);
  return list && index < list->size();
}

std::uint32_t FakeWindowsMachine::QueryInterfaceDetailSize(platform::DeviceInfoSet set,
                                                           InterfaceClass interfaceClass,
                                                           std::uint32_t index,
                                                           std::uint32_t* size) {
  const auto* list = InterfaceList(set, interfaceClass);
  if (!list || index >= list->size()) return 259;
  if (failedDetails_.count((*list)[index])) return kErrorInvalidFunction;
  *size = static_cast<std::uint32_t>(5 + (*list)[index].size() + 1);
  return platform::kErrorInsufficientBuffer;
}

bool FakeWindowsMachine::GetInterfaceDevicePath(platform::DeviceInfoSet set,
                                                InterfaceClass interfaceClass, std::uint32_t index,
                                                char* path, std::uint32_t pathSize) {
  const auto* list = InterfaceList(set, interfaceClass);
  if (!list || index >= list->size()) return false;
  const std::string& found = (*list)[index];
  if (found.size() + 1 > pathSize) return false;
  std::memcpy(path, found.c_str(), found.size() + 1);
  return true;
}

void FakeWindowsMachine::DestroyDeviceInfoList(platform::DeviceInfoSet) { --setsOpen_; }

// --- Configuration manager ---

bool FakeWindowsMachine::LocateDevNode(const char* instanceId, DevInstHandle* node) {
  if (instanceId == nullptr || *instanceId == '\0') {
    *node = Root();
    return true;
  }
  for (const auto& [handle, entry] : nodes_) {
    if (Upper(entry.instanceId) == Upper(instanceId)) {
      *node = handle;
      return true;
    }
  }
  return false;
}

bool FakeWindowsMachine::GetParent(DevInstHandle node, DevInstHandle* parent) {
  const auto found = nodes_.find(node);
  if (found == nodes_.end() || found->second.parent == 0) return false;
  *parent = found->second.parent;
  return true;
}

bool FakeWindowsMachine::GetChild(DevInstHandle node, DevInstHandle* child) {
  const auto found = nodes_.find(node);
  if (found == nodes_.end() || found->second.children.empty()) return false;
  *child = found->second.children.front();
  return true;
}

bool FakeWindowsMachine::GetSibling(DevInstHandle node, DevInstHandle* sibling) {
  const auto found = nodes_.find(node);
  if (found == nodes_.end() || found->second.parent == 0) return false;
  const auto& brothers = nodes_[found->second.parent].children;
  const auto at = std::find(brothers.begin(), brothers.end(), node);
  if (at == brothers.end() || at + 1 == brothers.end()) return false;
  *sibling = *(at + 1);
  return true;
}

bool FakeWindowsMachine::GetDeviceId(DevInstHandle node, char* buffer, std::uint32_t size) {
  const auto found = nodes_.find(node);
  if (found == nodes_.end()) return false;
  const std::string& id = found->second.instanceId;
  if (id.size() + 1 > size) return false;  // CR_BUFFER_SMALL
  std::memcpy(buffer, id.c_str(), id.size() + 1);
  return true;
}

bool FakeWindowsMachine::GetDevNodeProperty(DevInstHandle node, platform::DevNodeProperty property,
                                            char* buffer, std::uint32_t size) {
  const auto found = nodes_.find(node);
  if (found == nodes_.end()) return false;
  std::string value;
  if (property == platform::DevNodeProperty::Driver) {
    value = found->second.driverKey;
  } else if (found->second.hasDescription) {
    value = "USB Mass Storage Device";
  }
  if (value.empty() || value.size() + 1 > size) return false;
  std::memcpy(buffer, value.c_str(), value.size() + 1);
  return true;
}

// --- Registry ---

platform::RegistryKey FakeWindowsMachine::OpenMachineKey(const char* subKey) {
  const std::string key = Upper(subKey);
  if (!registry_.count(key)) return 0;
  const auto handle = static_cast<platform::RegistryKey>(5000 + openKeys_.size() * 2 + 1);
  openKeys_[handle] = key;
  return handle;
}

bool FakeWindowsMachine::QueryValue(platform::RegistryKey key, const char* name, std::uint8_t* data,
                                    std::uint32_t* size) {
  const auto open = openKeys_.find(key);
  if (open == openKeys_.end()) return false;
  const auto& values = registry_[open->second];
  const auto value = values.find(Upper(name));
  if (value == values.end() || value->second.size() > *size) return false;
  std::memcpy(data, value->second.data(), value->second.size());
  *size = static_cast<std::uint32_t>(value->second.size());
  return true;
}

void FakeWindowsMachine::CloseKey(platform::RegistryKey key) { openKeys_.erase(key); }

// --- Volumes ---

std::uint32_t FakeWindowsMachine::GetLogicalDrives() { return drives_; }

std::uint32_t FakeWindowsMachine::GetDriveType(const char* root) {
  const auto found = driveTypes_.find(static_cast<char>(root[0] & ~0x20));
  return found == driveTypes_.end() ? 1 : found->second;
}

// --- USB ---

Handle FakeWindowsMachine::OpenUsbNode(const char* path) {
  const std::string name(path);
  if (const auto controller = usbPaths_.find(name); controller != usbPaths_.end()) {
    const Handle handle = nextHandle_++;
    openUsbHandles_[handle] = UsbHandle{UsbKind::Controller, std::to_string(controller->second)};
    return handle;
  }
  if (name.rfind("\\\\.\\", 0) == 0 && hubs_.count(name.substr(4))) {
    const Handle handle = nextHandle_++;
    openUsbHandles_[handle] = UsbHandle{UsbKind::Hub, name.substr(4)};
    openedHubs_.push_back(name.substr(4));
    return handle;
  }
  return platform::kInvalidHandle;
}

bool FakeWindowsMachine::UsbIoControl(Handle handle, std::uint32_t code, const void* in,
                                      std::uint32_t inSize, void* out, std::uint32_t outSize,
                                      std::uint32_t* returned) {
  const auto open = openUsbHandles_.find(handle);
  if (open == openUsbHandles_.end()) return false;
  if (open->second.kind == UsbKind::Controller) {
    return ControllerControl(controllers_[std::stoul(open->second.name)], code,
                             static_cast<std::uint8_t*>(out), outSize, returned);
  }
  return HubControl(open->second.name, code, static_cast<const std::uint8_t*>(in), inSize,
                    static_cast<std::uint8_t*>(out), outSize, returned);
}

bool FakeWindowsMachine::ControllerControl(const Controller& controller, std::uint32_t code,
                                           std::uint8_t* out, std::uint32_t outSize,
                                           std::uint32_t* returned) {
  if (code == bridge::usb::IOCTL_GET_HCD_DRIVERKEY_NAME) {
    ++controllerKeyQueries_;
    return NameAnswer(controller.driverKey, bridge::usb::kControllerNameHeader, out, outSize,
                      returned);
  }
  if (code == bridge::usb::IOCTL_USB_GET_ROOT_HUB_NAME) {
    return NameAnswer(controller.rootHubName, bridge::usb::kControllerNameHeader, out, outSize,
                      returned);
  }
  return false;
}

bool FakeWindowsMachine::HubControl(const std::string& hub, std::uint32_t code,
                                    const std::uint8_t* in, std::uint32_t inSize, std::uint8_t* out,
                                    std::uint32_t outSize, std::uint32_t* returned) {
  namespace usb = bridge::usb;
  const std::vector<Port>& ports = hubs_[hub];
  if (code == usb::IOCTL_USB_GET_NODE_INFORMATION) {
    if (outSize < usb::kNodeInformationSize) return false;
    std::memset(out, 0, outSize);
    out[usb::kNodeNumberOfPortsOffset] = static_cast<std::uint8_t>(ports.size());
    if (returned) *returned = usb::kNodeInformationSize;
    return true;
  }
  if (inSize < 4) return false;
  const std::uint32_t index = LoadLe32(in);
  if (index == 0 || index > ports.size()) return false;
  const Port& port = ports[index - 1];
  const bool extended = code == usb::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX;
  if (extended || code == usb::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION) {
    if (port.queriesFail || (extended && port.extendedQueryFails)) return false;
    if (outSize < usb::kConnectionInfoSize) return false;
    std::memset(out, 0, outSize);
    StoreLe32(out + usb::conn::ConnectionIndex, index);
    out[usb::conn::SpeedOrLowSpeed] = extended ? port.speed : (port.lowSpeed ? 1 : 0);
    out[usb::conn::DeviceIsHub] = port.hubName.empty() ? 0 : 1;
    StoreLe16(out + usb::conn::DeviceAddress, port.address);
    StoreLe32(out + usb::conn::ConnectionStatus, port.status);
    if (returned) *returned = usb::kConnectionInfoSize;
    return true;
  }
  if (code == usb::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME) {
    if (port.status == usb::kNoDeviceConnected || port.driverKey.empty()) return false;
    return NameAnswer(port.driverKey, usb::kPortNameHeader, out, outSize, returned);
  }
  if (code == usb::IOCTL_USB_GET_NODE_CONNECTION_NAME) {
    if (port.hubName.empty()) return false;
    return NameAnswer(port.hubName, usb::kPortNameHeader, out, outSize, returned);
  }
  return false;
}

void FakeWindowsMachine::CloseUsbNode(Handle handle) { openUsbHandles_.erase(handle); }

// --- Device I/O ---

Handle FakeWindowsMachine::Open(const char* path, std::uint32_t attributes) {
  if (emulated_.BridgeAt(path)) {
    const Handle handle = emulated_.Open(path, attributes);
    if (handle != platform::kInvalidHandle) emulatedHandles_.insert(handle);
    return handle;
  }
  const std::string key = Upper(path);
  if (refusedOpens_.count(key) || refusedOpens_.count(path)) return platform::kInvalidHandle;
  const auto found = units_.find(key);
  if (found == units_.end()) return platform::kInvalidHandle;
  const Handle handle = nextHandle_++;
  openHandles_[handle] = found->second.get();
  return handle;
}

bool FakeWindowsMachine::IoControl(Handle handle, std::uint32_t code, const void* in,
                                   std::uint32_t inSize, void* out, std::uint32_t outSize,
                                   std::uint32_t* returned) {
  if (emulatedHandles_.count(handle)) {
    return emulated_.IoControl(handle, code, in, inSize, out, outSize, returned);
  }
  const auto open = openHandles_.find(handle);
  if (open == openHandles_.end()) return false;
  FakeUnit& unit = *open->second;
  auto* bytes = static_cast<std::uint8_t*>(out);
  if (in && out && in != out) std::memmove(out, in, std::min(inSize, outSize));
  if (returned) *returned = 0;
  switch (code) {
    case IOCTL_SCSI_PASS_THROUGH:
      if (!PassThrough(unit, bytes, outSize)) return false;
      if (returned) *returned = outSize;
      return true;
    case IOCTL_DISK_GET_DRIVE_LAYOUT_EX:
      if (outSize < 12) return false;
      StoreLe32(bytes + 8, unit.diskSignature);
      if (returned) *returned = 48;
      return true;
    case IOCTL_ATA_PASS_THROUGH: {
      if (!unit.answersAtaPassThrough || !unit.identifyVendor || outSize < 40 + 512) return false;
      PutIdentity(bytes + 40, *unit.identifyVendor, unit.identifyProduct);
      const std::span<std::uint8_t> block(bytes, outSize);
      auto answered = wire::DecodeAtaPassThroughHeader(block);
      answered.CurrentTaskFile[wire::reg::Status] = 0x50;
      wire::EncodeAtaPassThroughHeader(answered, block);
      return true;
    }
    case SMART_RCV_DRIVE_DATA:
      if (!unit.answersSmart || !unit.identifyVendor || outSize < 16 + 512) return false;
      PutIdentity(bytes + 16, *unit.identifyVendor, unit.identifyProduct);
      return true;
    case IOCTL_SCSI_MINIPORT:
      if (!unit.answersMiniport || !unit.identifyVendor || outSize < 44 + 512) return false;
      PutIdentity(bytes + 44, *unit.identifyVendor, unit.identifyProduct);
      return true;
    default: return false;
  }
}

bool FakeWindowsMachine::PassThrough(FakeUnit& unit, std::uint8_t* request, std::uint32_t size) {
  if (size < wire::kDataOffset) return false;
  const wire::ScsiRequestView view(std::span(request, size));
  const wire::ScsiPassThroughHeader header = view.Header();
  const std::uint8_t* cdb = header.Cdb.data();
  const std::uint32_t length = header.DataTransferLength;
  std::uint8_t* data = view.Data().data();
  const auto room = static_cast<std::uint32_t>(view.Data().size());
  std::uint8_t status = kStatusCheckCondition;
  if (cdb[0] == 0xD0 && LoadBe16(cdb + 4) == VID_MAKER && unit.bridgeInfo) {
    std::memcpy(data, unit.bridgeInfo->data(), std::min<std::uint32_t>({length, room, 16}));
    status = kStatusGood;
  } else if (cdb[0] == 0x28 && unit.answersLbaReads && unit.identifyVendor) {
    std::memset(data, 0, std::min(length, room));
    if (LoadBe32(cdb + 2) == 0x600000 && room >= 6) {
      StoreBe16(data + 2, *unit.identifyVendor);
      StoreBe16(data + 4, unit.identifyProduct);
    }
    status = kStatusGood;
  }
  view.SetScsiStatus(status);
  return true;
}

bool FakeWindowsMachine::Read(Handle handle, void* buffer, std::uint32_t size,
                              std::uint32_t* read) {
  if (emulatedHandles_.count(handle)) return emulated_.Read(handle, buffer, size, read);
  const auto open = openHandles_.find(handle);
  if (open == openHandles_.end() || !open->second->sector0Readable) return false;
  const std::uint32_t count = std::min<std::uint32_t>(size, 512);
  std::memcpy(buffer, open->second->sector0.data(), count);
  if (read) *read = count;
  return true;
}

bool FakeWindowsMachine::Seek(Handle handle, std::int64_t offset) {
  if (emulatedHandles_.count(handle)) return emulated_.Seek(handle, offset);
  return openHandles_.count(handle) && offset == 0;
}

bool FakeWindowsMachine::Close(Handle handle) {
  if (emulatedHandles_.erase(handle) == 1) return emulated_.Close(handle);
  return openHandles_.erase(handle) == 1;
}

}  // namespace burnwell::test
