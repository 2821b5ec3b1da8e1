// The USB hub port scan: every host controller (by its numbered name, then by the interface
// class), its root hub and every hub below it, port by port. A port whose device is the USB
// parent of a discovered bridge gives that record its position and connection facts.
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "common/Bytes.h"
#include "bridge/Discovery.h"
#include "bridge/DiscoveryText.h"
#include "bridge/HubScanLayouts.h"
#include "platform/WinDeviceServices.h"

namespace burnwell::bridge {

using device::DeviceLayer;
using device::DeviceRecord;
using device::kPathChars;
namespace {

using platform::Handle;
using platform::WinDeviceServices;

// Hubs nest at most five deep below a root hub; a deeper chain can only be a loop.
constexpr int kMaxHubDepth = 7;
constexpr std::uint32_t kNumberedControllers = 10;
constexpr std::uint32_t kPropertyBufferSize = 200;

struct ScanPass {
  std::uint32_t portCounter = 0;
  std::vector<std::string> controllers;  // driver key names already enumerated in this pass
  std::vector<UsbPortFacts> ports;       // connected ports holding a device found
};

WinDeviceServices& Services() { return platform::Current<WinDeviceServices>(); }

// Variable-length name query. Port queries carry the port number in front of the name;
// controller queries do not. Empty when the name cannot be had.
std::string QueryName(Handle handle, std::uint32_t code, std::uint32_t port, bool portQuery,
                      bool checkFixedSize) {
  const std::uint32_t header = portQuery ? usb::kPortNameHeader : usb::kControllerNameHeader;
  const std::uint32_t fixedSize = header + 2;
  std::array<std::uint8_t, usb::kPortNameHeader + 2> fixed{};
  if (portQuery) StoreLe32(fixed.data(), port);
  std::uint32_t returned = 0;
  if (!Services().UsbIoControl(handle, code, fixed.data(), fixedSize, fixed.data(), fixedSize,
                               &returned)) {
    return {};
  }
  const std::uint32_t actual = LoadLe32(fixed.data() + header - 4);
  if (checkFixedSize && actual <= fixedSize) return {};
  // A length that leaves no room for the header is refused even where the fixed-size test is
  // not made: the second query would otherwise read a name outside its buffer.
  if (actual < fixedSize || actual > usb::kMaxNameBytes) return {};
  std::vector<std::uint8_t> full(actual, 0);
  if (portQuery) StoreLe32(full.data(), port);
  if (!Services().UsbIoControl(handle, code, full.data(), actual, full.data(), actual, &returned)) {
    return {};
  }
  return text::NarrowUtf16(full.data() + header, actual - header);
}

// Depth-first search of the device tree for the node whose driver key is driverKey.
platform::DevInstHandle FindDevNodeByDriverKey(const std::string& driverKey) {
  auto& services = Services();
  platform::DevInstHandle root = 0;
  if (!services.LocateDevNode(nullptr, &root)) return 0;
  platform::DevInstHandle node = root;
  for (;;) {
    std::array<char, kPropertyBufferSize> buffer{};
    // Only a key read from this node is compared, never what an earlier node left behind.
    if (services.GetDevNodeProperty(node, platform::DevNodeProperty::Driver, buffer.data(),
                                    kPropertyBufferSize) &&
        text::EqualsNoCase(text::View(buffer), driverKey)) {
      buffer.fill('\0');
      if (!services.GetDevNodeProperty(node, platform::DevNodeProperty::DeviceDesc, buffer.data(),
                                       kPropertyBufferSize)) {
        return 0;
      }
      return node;
    }
    platform::DevInstHandle next = 0;
    if (services.GetChild(node, &next) || services.GetSibling(node, &next)) {
      node = next;
      continue;
    }
    // Climb until an ancestor has a next sibling; the root ends the search.
    for (;;) {
      platform::DevInstHandle parent = 0;
      if (node == root || !services.GetParent(node, &parent)) return 0;
      node = parent;
      if (node == root) return 0;
      if (services.GetSibling(node, &next)) {
        node = next;
        break;
      }
    }
  }
}

// Connection facts of one port, from the extended query or its older fallback.
struct Connection {
  std::uint8_t speed = 0;
  bool isHub = false;
  std::uint16_t address = 0;
  std::uint32_t status = 0;
};

bool QueryConnection(Handle hub, std::uint32_t port, Connection& connection) {
  std::array<std::uint8_t, usb::kConnectionInfoSize> info{};
  std::uint32_t returned = 0;
  StoreLe32(info.data() + usb::conn::ConnectionIndex, port);
  bool lowSpeedForm = false;
  if (!Services().UsbIoControl(hub, usb::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, info.data(),
                               usb::kConnectionInfoSize, info.data(), usb::kConnectionInfoSize,
                               &returned)) {
    info.fill(0);
    StoreLe32(info.data() + usb::conn::ConnectionIndex, port);
    if (!Services().UsbIoControl(hub, usb::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, info.data(),
                                 usb::kConnectionInfoSize, info.data(), usb::kConnectionInfoSize,
                                 &returned)) {
      return false;
    }
    lowSpeedForm = true;
  }
  const std::uint8_t speedByte = info[usb::conn::SpeedOrLowSpeed];
  connection.speed = lowSpeedForm ? (speedByte != 0 ? usb::kSpeedLow : usb::kSpeedFull) : speedByte;
  connection.isHub = info[usb::conn::DeviceIsHub] != 0;
  connection.address = LoadLe16(info.data() + usb::conn::DeviceAddress);
  connection.status = LoadLe32(info.data() + usb::conn::ConnectionStatus);
  return true;
}

void EnumerateHub(ScanPass& pass, const std::string& hubName, int depth, const std::string& place);

// `place` is the hub's location followed by its separator: "1-" for a root hub, "1-3." below.
void EnumeratePorts(ScanPass& pass, Handle hub, std::uint32_t portCount, int depth,
                    const std::string& place) {
  for (std::uint32_t port = 1; port <= portCount; ++port) {
    Connection connection;
    if (!QueryConnection(hub, port, connection)) continue;
    platform::DevInstHandle portNode = 0;
    if (connection.status != usb::kNoDeviceConnected) {
      const std::string driverKey =
          QueryName(hub, usb::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, port, true, true);
      if (!driverKey.empty()) portNode = FindDevNodeByDriverKey(driverKey);
    }
    if (connection.isHub) {
      const std::string name =
          QueryName(hub, usb::IOCTL_USB_GET_NODE_CONNECTION_NAME, port, true, true);
      if (!name.empty()) EnumerateHub(pass, name, depth + 1, place + std::to_string(port) + ".");
      continue;
    }
    ++pass.portCounter;
    // A port whose device node was not found matches nothing, not the records without a parent.
    if (connection.status != usb::kDeviceConnected || portNode == 0) continue;
    pass.ports.push_back(UsbPortFacts{portNode, pass.portCounter, port, portCount, connection.speed,
                                      connection.address, place + std::to_string(port)});
  }
}

void EnumerateHub(ScanPass& pass, const std::string& hubName, int depth, const std::string& place) {
  if (depth > kMaxHubDepth) return;
  const std::string path = "\\\\.\\" + hubName;
  const Handle hub = Services().OpenUsbNode(path.c_str());
  if (hub == platform::kInvalidHandle) return;
  std::array<std::uint8_t, usb::kNodeInformationSize> node{};
  std::uint32_t returned = 0;
  if (Services().UsbIoControl(hub, usb::IOCTL_USB_GET_NODE_INFORMATION, node.data(),
                              usb::kNodeInformationSize, node.data(), usb::kNodeInformationSize,
                              &returned)) {
    EnumeratePorts(pass, hub, node[usb::kNodeNumberOfPortsOffset], depth, place);
  }
  Services().CloseUsbNode(hub);
}

void EnumerateController(ScanPass& pass, Handle controller) {
  const std::string driverKey =
      QueryName(controller, usb::IOCTL_GET_HCD_DRIVERKEY_NAME, 0, false, true);
  if (driverKey.empty()) return;
  for (const std::string& seen : pass.controllers) {
    if (seen == driverKey) return;  // reached before through another name
  }
  pass.controllers.push_back(driverKey);
  const std::string rootHub =
      QueryName(controller, usb::IOCTL_USB_GET_ROOT_HUB_NAME, 0, false, false);
  if (rootHub.empty()) return;
  EnumerateHub(pass, rootHub, 0, std::to_string(pass.controllers.size()) + "-");
}

}  // namespace

void ScanHubPortsWindows() {
  for (const UsbPortFacts& facts : ScanUsbPortsWindows()) {
    for (DeviceRecord& record : DeviceLayer().table)
      if (record.ParentDevInst == facts.node) WritePortFacts(record, facts);
  }
}

void WritePortFacts(DeviceRecord& record, const UsbPortFacts& facts) {
  record.HubNumber = facts.hubNumber;
  record.PortNumber = facts.port;
  record.PortCount = facts.portCount;
  record.PortSpeed = facts.speed;
  record.UsbAddress = facts.address;
  text::Assign(record.UsbLocation, facts.location);
}

std::vector<UsbPortFacts> ScanUsbPortsWindows() {
  auto& services = Services();
  ScanPass pass;
  for (std::uint32_t n = 0; n < kNumberedControllers; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "\\\\.\\HCD%u", static_cast<unsigned>(n));
    const Handle controller = services.OpenUsbNode(name);
    if (controller == platform::kInvalidHandle) continue;
    EnumerateController(pass, controller);
    services.CloseUsbNode(controller);
  }
  const auto hostControllers = platform::InterfaceClass::UsbHostController;
  const platform::DeviceInfoSet set = services.GetClassDevices(hostControllers);
  if (set == 0) return pass.ports;
  for (std::uint32_t index = 0; services.EnumDeviceInterface(set, hostControllers, index);
       ++index) {
    std::array<char, kPathChars> path{};
    if (!services.GetInterfaceDevicePath(set, hostControllers, index, path.data(), kPathChars)) {
      continue;
    }
    const Handle controller = services.OpenUsbNode(path.data());
    if (controller == platform::kInvalidHandle) continue;
    EnumerateController(pass, controller);
    services.CloseUsbNode(controller);
  }
  services.DestroyDeviceInfoList(set);
  return pass.ports;
}

}  // namespace burnwell::bridge
