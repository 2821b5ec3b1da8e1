#include "bridge/Arrivals.h"

#include <algorithm>
#include <shared_mutex>

#include "bridge/BridgeState.h"
#include "bridge/DeviceApi.h"
#include "bridge/DeviceTree.h"
#include "bridge/Discovery.h"
#include "bridge/DiscoveryLinux.h"
#include "bridge/DiscoveryText.h"
#include "bridge/Sysfs.h"
#include "device/DeviceRecord.h"
#include "device/Transport.h"
#include "platform/DeviceIo.h"
#include "platform/System.h"
#include "platform/Uevents.h"
#include "platform/WinDeviceServices.h"

namespace burnwell::bridge {

using device::DeviceLayer;
using device::DeviceRecord;
using device::DeviceTable;
namespace fs = std::filesystem;

// One unit the system shows now: its key (what tells it from every unit before it on the same
// port: the node, the unit's path and the USB address on Linux, the interface path on Windows),
// where it is, and what probing it needs.
struct BridgeArrivals::Present {
  std::string key;
  std::string location;  // known without opening the unit; empty when not known
  std::string serial;
  sysfs::ScsiUnit unit;    // Linux
  std::string devicePath;  // Windows
};

// What looking at a new unit gave.
struct BridgeArrivals::Probed {
  enum class Kind { NoBridge, NewRecord, SecondUnit } kind = Kind::NoBridge;
  std::uint32_t index = 0;  // the new record, or the first unit's record
  std::string problem;
};

namespace {

fs::path SysDir() { return sysfs::SysDir(platform::Current<platform::System>().SystemRoot()); }

// The USB location and serial of the USB device above a Linux unit, read from sysfs.
void DescribeUsb(const sysfs::ScsiUnit& unit, std::string& location, std::string& serial) {
  if (!unit.usbDevice) return;
  location = unit.usbDevice->filename().string();
  serial = sysfs::ReadAttribute(*unit.usbDevice, "serial").value_or("");
}

// The port facts of the USB device that is the parent of an interface's unit, found through the
// configuration manager alone (no command to the unit).
const UsbPortFacts* PortOfInterface(const std::string& devicePath,
                                    const std::vector<UsbPortFacts>& ports) {
  const std::string instance = InstanceFormOf(devicePath);
  if (instance.size() >= device::kPathChars) return nullptr;
  device::PathText id{};
  text::Assign(id, instance);
  device::DevNode parent = 0;
  if (!GetDeviceTreeId(TreeRelation::Self, id) || !GetDeviceTreeId(TreeRelation::Parent, id) ||
      !GetDeviceNode(id.data(), parent))
    return nullptr;
  for (const UsbPortFacts& facts : ports)
    if (facts.node == parent) return &facts;
  return nullptr;
}

}  // namespace

BridgeArrivals::BridgeArrivals(std::function<bool(const std::string&)> serves)
    : serves_(std::move(serves)) {
  {
    std::unique_lock changing(DeviceLayer().tableGuard);
    ReleaseDevices();
    DeviceLayer().ntFlag = IsWindowsNt();
  }
  windowsFlavor_ = BridgeLayer().discoveryFlavor.load() == DiscoveryFlavor::Windows;
  auto announce = [this] {
    {
      std::lock_guard lock(mutex_);
      pending_ = true;
    }
    announced_.notify_all();
  };
  if (windowsFlavor_) {
    watch_ = platform::Current<platform::WinDeviceServices>().WatchStorageInterfaces(announce);
  } else if (platform::Current<platform::System>().SystemRoot() == "/") {
    // Below another system root (an emulated machine) the kernel announces nothing of it.
    watch_ = platform::Current<platform::Uevents>().Watch(announce);
  }
}

BridgeArrivals::~BridgeArrivals() {
  if (watch_ == 0) return;
  if (windowsFlavor_) {
    platform::Current<platform::WinDeviceServices>().EndWatch(watch_);
  } else {
    platform::Current<platform::Uevents>().EndWatch(watch_);
  }
}

bool BridgeArrivals::Wait(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  const bool announced = announced_.wait_for(lock, limit, [this] { return pending_; });
  pending_ = false;
  return announced;
}

void BridgeArrivals::Wake() {
  {
    std::lock_guard lock(mutex_);
    pending_ = true;
  }
  announced_.notify_all();
}

std::vector<BridgeArrivals::Present> BridgeArrivals::ListPresent() {
  std::vector<Present> present;
  if (!DeviceLayer().ntFlag) return present;  // arrivals need pass-through
  if (windowsFlavor_) {
    auto& services = platform::Current<platform::WinDeviceServices>();
    for (const auto interfaceClass :
         {platform::InterfaceClass::Disk, platform::InterfaceClass::CdRom}) {
      const platform::DeviceInfoSet set = services.GetClassDevices(interfaceClass);
      if (set == 0) continue;
      for (std::uint32_t i = 0; services.EnumDeviceInterface(set, interfaceClass, i); ++i) {
        if (const std::optional<std::string> path = InterfaceDevicePath(set, interfaceClass, i)) {
          Present unit;
          unit.key = *path;
          unit.devicePath = *path;
          present.push_back(std::move(unit));
        }
      }
      services.DestroyDeviceInfoList(set);
    }
    return present;
  }
  const fs::path sysDir = SysDir();
  const std::vector<sysfs::ScsiUnit> units = sysfs::ListScsiUnits(sysDir);
  // Disks before CD-ROMs, as discovery takes them: a bridge's CD-ROM unit joins its disk.
  for (const int type : {sysfs::kScsiTypeDisk, sysfs::kScsiTypeCdRom}) {
    for (const sysfs::ScsiUnit& scsi : units) {
      if (scsi.type != type) continue;
      Present unit;
      unit.unit = scsi;
      const std::string address =
          scsi.usbDevice ? std::to_string(sysfs::ReadNumber(*scsi.usbDevice, "devnum").value_or(0))
                         : std::string();
      // The generic node and the unit's path come back for the next device on the same port; the
      // USB address does not.
      unit.key = scsi.genericName + " " + sysfs::KernelPath(sysDir, scsi.deviceDir) + " " + address;
      DescribeUsb(scsi, unit.location, unit.serial);
      present.push_back(std::move(unit));
    }
  }
  return present;
}

std::optional<std::uint32_t> BridgeArrivals::TakeFreeSlot() {
  if (freeSlots_.empty()) return std::nullopt;
  const auto lowest = std::min_element(freeSlots_.begin(), freeSlots_.end());
  const std::uint32_t slot = *lowest;
  freeSlots_.erase(lowest);
  return slot;
}

BridgeArrivals::Probed BridgeArrivals::Join(
    DeviceRecord* first, const std::function<void(DeviceRecord&)>& merge,
    const std::function<bool(std::optional<std::uint32_t>)>& store) {
  DeviceTable& table = DeviceLayer().table;
  Probed probed;
  if (first) {
    merge(*first);
    probed.kind = Probed::Kind::SecondUnit;
    probed.index = static_cast<std::uint32_t>(first - table.records.get());
    return probed;
  }
  const std::optional<std::uint32_t> slot = TakeFreeSlot();
  const bool stored = store(slot);
  const std::uint32_t index = slot.value_or(table.count - 1);
  if (stored) {
    probed.kind = Probed::Kind::NewRecord;
    probed.index = index;
    return probed;
  }
  // Without its lock the record cannot be used: its slot is given back for the next look.
  ReleaseSlot(index);
  probed.problem = "cannot create the device lock " + DeviceMutexName(index);
  return probed;
}

BridgeArrivals::Probed BridgeArrivals::Probe(const Present& unit) {
  const auto present = [this](std::uint32_t index) { return presentIndexes_.count(index) != 0; };
  if (windowsFlavor_) {
    ProbedInterface candidate = ProbeInterface(unit.devicePath);
    if (!candidate.bridge) return Probed{};
    std::unique_lock changing(DeviceLayer().tableGuard);
    DeviceRecord* first = candidate.usb
                              ? FirstUnitOfWindows(text::View(candidate.record.ParentId), present)
                              : nullptr;
    return Join(
        first, [&](DeviceRecord& record) { MergeSecondUnitWindows(record, candidate); },
        [&](std::optional<std::uint32_t> slot) { return StoreBridgeWindows(candidate, slot); });
  }
  ProbedUnit candidate = ProbeUnit(SysDir(), unit.unit);
  if (!candidate.bridge) {
    Probed none;
    none.problem = candidate.problem;
    return none;
  }
  std::unique_lock changing(DeviceLayer().tableGuard);
  return Join(
      FirstUnitOfLinux(candidate, present),
      [&](DeviceRecord& record) { MergeSecondUnitLinux(record, candidate); },
      [&](std::optional<std::uint32_t> slot) { return StoreBridgeLinux(candidate, slot); });
}

UnitChanges BridgeArrivals::Rescan() {
  UnitChanges changes;
  const std::vector<Present> present = ListPresent();
  std::set<std::string> keys;
  for (const Present& unit : present) keys.insert(unit.key);

  // A unit whose node has gone has left, with every other unit of its bridge.
  std::set<std::uint64_t> left;
  for (const auto& [key, known] : known_)
    if (keys.count(key) == 0 && known.unit != 0) left.insert(known.unit);
  for (auto it = known_.begin(); it != known_.end();) {
    const bool gone = keys.count(it->first) == 0 || left.count(it->second.unit) != 0;
    if (gone && it->second.index) presentIndexes_.erase(*it->second.index);
    it = gone ? known_.erase(it) : std::next(it);
  }
  changes.left.assign(left.begin(), left.end());

  std::vector<UsbPortFacts> ports;
  bool portsScanned = false;
  const auto now = std::chrono::steady_clock::now();
  for (const Present& unit : present) {
    auto [entry, added] = known_.try_emplace(unit.key);
    Known& known = entry->second;
    if (added) known.firstSeen = now;
    if (known.settled) continue;

    std::string location = unit.location;
    const UsbPortFacts* port = nullptr;
    if (windowsFlavor_) {
      if (!portsScanned) ports = ScanUsbPortsWindows();
      portsScanned = true;
      port = PortOfInterface(unit.devicePath, ports);
      if (port) location = port->location;
    }
    if (serves_ && !serves_(location)) {
      known.settled = true;  // another station's socket: never opened
      continue;
    }

    const Probed probed = Probe(unit);
    if (probed.kind == Probed::Kind::SecondUnit) {
      known.settled = true;
      known.index = probed.index;
      for (const auto& [otherKey, other] : known_)
        if (other.index == probed.index && other.unit != 0) known.unit = other.unit;
      continue;
    }
    if (probed.kind == Probed::Kind::NewRecord) {
      known.settled = true;
      known.index = probed.index;
      known.unit = nextUnit_++;
      presentIndexes_.insert(probed.index);
      UnitArrival arrival;
      arrival.unit = known.unit;
      arrival.index = probed.index;
      {
        std::unique_lock changing(DeviceLayer().tableGuard);
        DeviceRecord& record = DeviceLayer().table.records[probed.index];
        if (port) WritePortFacts(record, *port);
        arrival.location = text::View(record.UsbLocation);
        arrival.serial = text::View(record.SerialNumber);
      }
      changes.arrived.push_back(std::move(arrival));
      continue;
    }
    if (now - known.firstSeen < std::chrono::milliseconds(kSettleMs)) continue;  // again later
    known.settled = true;
    if (probed.problem.empty()) continue;  // no bridge: storage of another kind
    known.unit = nextUnit_++;
    changes.arrived.push_back(
        UnitArrival{known.unit, std::nullopt, location, unit.serial, probed.problem});
  }
  return changes;
}

void BridgeArrivals::Release(std::uint32_t index) {
  std::unique_lock changing(DeviceLayer().tableGuard);
  ReleaseSlot(index);
}

void BridgeArrivals::ReleaseSlot(std::uint32_t index) {
  DeviceTable& table = DeviceLayer().table;
  if (index >= table.count) return;
  DeviceRecord& record = table.records[index];
  if (record.Handle != platform::kInvalidHandle) {
    if (record.TransportKind == device::TransportKind::MassStorage) {
      device::RelayCloseDevice(record.Handle);
    } else {
      platform::Current<platform::DeviceIo>().Close(record.Handle);
    }
  }
  const platform::LockHandle lock = record.Mutex;
  record = DeviceRecord{};
  record.Mutex = lock;
  record.Handle = platform::kInvalidHandle;
  presentIndexes_.erase(index);
  freeSlots_.push_back(index);
}

}  // namespace burnwell::bridge
