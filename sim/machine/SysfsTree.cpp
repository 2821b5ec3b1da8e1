#include "sim/machine/SysfsTree.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <regex>
#include <set>
#include <stdexcept>

#include "common/Hex.h"

namespace burnwell::sim::machine {
namespace fs = std::filesystem;
namespace {

constexpr std::uint16_t kLinuxFoundation = 0x1d6b;  // the kernel's own root hubs

// Inquiry strings as the kernel shows them: blank-padded to their field width.
std::string Padded(std::string text, std::size_t width) {
  text.resize(std::max(width, text.size()), ' ');
  return text.substr(0, width);
}

void WriteText(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text << '\n';
  if (!out)
    throw fs::filesystem_error("cannot write", file, std::make_error_code(std::errc::io_error));
}

// A relative symlink, as the kernel makes them, so the tree stays valid wherever the system
// root is moved.
void Link(const fs::path& link, const fs::path& target) {
  fs::create_directories(link.parent_path());
  fs::create_symlink(target.lexically_relative(link.parent_path()), link);
}

std::string DiskName(unsigned index) {
  std::string suffix;
  ++index;
  while (index > 0) {
    --index;
    suffix.insert(suffix.begin(), static_cast<char>('a' + index % 26));
    index /= 26;
  }
  return "sd" + suffix;
}

unsigned BusOf(const std::string& location) { return static_cast<unsigned>(std::stoul(location)); }

// The location of the hub a device hangs on, empty for a root hub port.
std::string ParentLocation(const std::string& location) {
  const std::size_t dot = location.rfind('.');
  return dot == std::string::npos ? std::string() : location.substr(0, dot);
}

unsigned PortOf(const std::string& location) {
  const std::size_t cut = location.find_last_of(".-");
  return static_cast<unsigned>(std::stoul(location.substr(cut + 1)));
}

// The lowest number not taken, as the kernel's ID allocators hand them out.
unsigned TakeLowest(std::set<unsigned>& taken) {
  unsigned number = 0;
  while (taken.count(number) != 0) ++number;
  taken.insert(number);
  return number;
}

}  // namespace

class SystemRootWriter::Tree {
 public:
  Tree(const fs::path& root, MachineSpec layout)
      : root_(root), sys_(root / "sys"), layout_(std::move(layout)) {}

  void WriteFixed() {
    CheckMachineSpec(layout_);
    for (const char* dir :
         {"bus/usb/drivers/usb", "bus/usb/drivers/usb-storage", "bus/usb/drivers/uas",
          "bus/usb/drivers/hub", "bus/scsi/drivers/sd", "bus/scsi/drivers/sr",
          "bus/pci/drivers/ahci", "bus/pci/drivers/xhci_hcd", "class/scsi_generic",
          "class/scsi_device", "class/scsi_host", "class/block", "block", "bus/usb/devices",
          "bus/scsi/devices", "devices/pci0000:00"}) {
      fs::create_directories(sys_ / dir);
    }
    fs::create_directories(root_ / "dev");
    fs::create_directories(root_ / "run");

    Plugged sata;
    WriteSataDisks(sata);
    ListGenericNodes(sata);
    fixedUnits_ = sata.units;
    for (unsigned bus : Buses()) WriteRootHub(bus);
    std::vector<const HubSpec*> hubs;
    for (const HubSpec& hub : layout_.hubs) hubs.push_back(&hub);
    std::stable_sort(hubs.begin(), hubs.end(), [](const HubSpec* a, const HubSpec* b) {
      return std::count(a->location.begin(), a->location.end(), '.') <
             std::count(b->location.begin(), b->location.end(), '.');
    });
    for (const HubSpec* hub : hubs) WriteHub(*hub);
  }

  const std::vector<GeneratedUnit>& FixedUnits() const { return fixedUnits_; }

  std::vector<GeneratedUnit> Plug(
      std::size_t index, const std::function<void(const std::vector<GeneratedUnit>&)>& listed) {
    if (index >= layout_.storage.size() || plugged_.count(index) != 0) return {};
    Plugged& device = plugged_[index];
    WriteStorage(index, device);
    if (listed) listed(device.units);
    ListGenericNodes(device);
    return device.units;
  }

  void Unplug(std::size_t index) {
    const auto found = plugged_.find(index);
    if (found == plugged_.end()) return;
    Plugged& device = found->second;
    std::error_code ignored;
    // The generic nodes leave the class listing first, then the nodes, the links and the device.
    for (const fs::path& link : device.listings) fs::remove(link, ignored);
    for (const fs::path& node : device.nodes) fs::remove(node, ignored);
    for (const fs::path& link : device.links) fs::remove(link, ignored);
    fs::remove_all(device.dir, ignored);
    for (unsigned host : device.hosts) hosts_.erase(host);
    for (unsigned sg : device.generics) generics_.erase(sg);
    for (unsigned disk : device.disks) disks_.erase(disk);
    for (unsigned cdrom : device.cdroms) cdroms_.erase(cdrom);
    plugged_.erase(found);
  }

 private:
  // What one plugged device wrote, to be taken away again.
  struct Plugged {
    fs::path dir;
    std::vector<fs::path> links;     // in bus/, class/ and block/
    std::vector<fs::path> nodes;     // below /dev
    std::vector<fs::path> listings;  // class/scsi_generic entries, written last
    std::vector<std::pair<fs::path, fs::path>> pendingListings;  // link, target
    std::vector<unsigned> hosts, generics, disks, cdroms;
    std::vector<GeneratedUnit> units;
  };

  std::set<unsigned> Buses() const {
    std::set<unsigned> buses;
    for (const HubSpec& hub : layout_.hubs) buses.insert(BusOf(hub.location));
    for (const StorageSpec& storage : layout_.storage) buses.insert(BusOf(storage.location));
    return buses;
  }

  void LinkOwned(Plugged* owner, const fs::path& link, const fs::path& target) {
    Link(link, target);
    if (owner) owner->links.push_back(link);
  }

  void ListGenericNodes(Plugged& device) {
    for (const auto& [link, target] : device.pendingListings) {
      Link(link, target);
      device.listings.push_back(link);
    }
    device.pendingListings.clear();
  }

  void WriteUsbAttributes(const fs::path& dir, unsigned bus, std::uint16_t vendor,
                          std::uint16_t product, const std::string& speed, unsigned maxchild,
                          bool hub, const std::string& serial, Plugged* owner) {
    fs::create_directories(dir);
    WriteText(dir / "idVendor", Hex(vendor, 4));
    WriteText(dir / "idProduct", Hex(product, 4));
    WriteText(dir / "busnum", std::to_string(bus));
    WriteText(dir / "devnum", std::to_string(nextDevnum_[bus]++));
    WriteText(dir / "speed", speed);
    WriteText(dir / "maxchild", std::to_string(maxchild));
    WriteText(dir / "bDeviceClass", hub ? "09" : "00");
    WriteText(dir / "bNumInterfaces", " 1");
    if (!serial.empty()) WriteText(dir / "serial", serial);
    Link(dir / "driver", sys_ / "bus/usb/drivers/usb");
    Link(dir / "subsystem", sys_ / "bus/usb");
    LinkOwned(owner, sys_ / "bus/usb/devices" / dir.filename(), dir);
  }

  fs::path WriteInterface(const fs::path& device, const std::string& location, const char* driver,
                          const char* interfaceClass, const char* protocol, Plugged* owner) {
    const fs::path iface = device / (location + ":1.0");
    fs::create_directories(iface);
    WriteText(iface / "bInterfaceClass", interfaceClass);
    WriteText(iface / "bInterfaceProtocol", protocol);
    Link(iface / "driver", sys_ / "bus/usb/drivers" / driver);
    LinkOwned(owner, sys_ / "bus/usb/devices" / iface.filename(), iface);
    return iface;
  }

  void WriteRootHub(unsigned bus) {
    char controllerName[32];
    std::snprintf(controllerName, sizeof controllerName, "0000:00:%02x.0", 0x13 + bus);
    const fs::path controller = sys_ / "devices/pci0000:00" / controllerName;
    fs::create_directories(controller);
    Link(controller / "driver", sys_ / "bus/pci/drivers/xhci_hcd");
    nextDevnum_[bus] = 1;
    const fs::path hub = controller / ("usb" + std::to_string(bus));
    WriteUsbAttributes(hub, bus, kLinuxFoundation, 0x0002, "480", layout_.rootPorts, true,
                       controllerName, nullptr);
    WriteInterface(hub, std::to_string(bus) + "-0", "hub", "09", "00", nullptr);
    dirs_[RootKey(bus)] = hub;
  }

  static std::string RootKey(unsigned bus) { return "usb" + std::to_string(bus); }

  fs::path ParentDir(const std::string& location) const {
    const std::string parent = ParentLocation(location);
    return dirs_.at(parent.empty() ? RootKey(BusOf(location)) : parent);
  }

  void WriteHub(const HubSpec& hub) {
    const fs::path dir = ParentDir(hub.location) / hub.location;
    WriteUsbAttributes(dir, BusOf(hub.location), 0x05e3, 0x0610, hub.speed, hub.ports, true, "",
                       nullptr);
    WriteInterface(dir, hub.location, "hub", "09", "00", nullptr);
    dirs_[hub.location] = dir;
  }

  void WriteStorage(std::size_t index, Plugged& device) {
    const StorageSpec& storage = layout_.storage[index];
    const fs::path dir = ParentDir(storage.location) / storage.location;
    device.dir = dir;
    WriteUsbAttributes(dir, BusOf(storage.location), storage.vendorId, storage.productId,
                       storage.speed, 0, false, storage.serial, &device);
    const bool uas = storage.driver == StorageDriver::Uas;
    const fs::path iface = WriteInterface(dir, storage.location, uas ? "uas" : "usb-storage", "08",
                                          uas ? "62" : "50", &device);
    const unsigned host = TakeLowest(hosts_);
    device.hosts.push_back(host);
    const fs::path hostDir = WriteHost(iface, host, uas ? "uas" : "usb-storage", device);
    for (std::size_t lun = 0; lun < storage.units.size(); ++lun) {
      const UnitSpec& unit = storage.units[lun];
      WriteUnit(hostDir, host, static_cast<unsigned>(lun), unit.scsiType, unit.vendor, unit.model,
                index, lun, device);
    }
  }

  fs::path WriteHost(const fs::path& parent, unsigned host, const char* procName, Plugged& device) {
    const std::string name = "host" + std::to_string(host);
    const fs::path hostDir = parent / name;
    fs::create_directories(hostDir / "scsi_host" / name);
    WriteText(hostDir / "scsi_host" / name / "proc_name", procName);
    LinkOwned(&device, sys_ / "class/scsi_host" / name, hostDir / "scsi_host" / name);
    return hostDir;
  }

  void WriteUnit(const fs::path& hostDir, unsigned host, unsigned lun, int scsiType,
                 const std::string& vendor, const std::string& model, std::size_t storageIndex,
                 std::size_t unitIndex, Plugged& device) {
    const std::string target = "target" + std::to_string(host) + ":0:0";
    const std::string address = std::to_string(host) + ":0:0:" + std::to_string(lun);
    const fs::path unitDir = hostDir / target / address;
    fs::create_directories(unitDir);
    WriteText(unitDir / "type", std::to_string(scsiType));
    WriteText(unitDir / "vendor", Padded(vendor, 8));
    WriteText(unitDir / "model", Padded(model, 16));
    WriteText(unitDir / "rev", "1.00");
    const bool cdrom = scsiType == 5;
    Link(unitDir / "driver", sys_ / "bus/scsi/drivers" / (cdrom ? "sr" : "sd"));
    Link(unitDir / "subsystem", sys_ / "bus/scsi");
    LinkOwned(&device, sys_ / "bus/scsi/devices" / address, unitDir);

    const unsigned sg = TakeLowest(generics_);
    device.generics.push_back(sg);
    const std::string sgName = "sg" + std::to_string(sg);
    const fs::path sgDir = unitDir / "scsi_generic" / sgName;
    fs::create_directories(sgDir);
    WriteText(sgDir / "dev", "21:" + std::to_string(sg));
    Link(sgDir / "device", unitDir);

    fs::create_directories(unitDir / "scsi_device" / address);
    LinkOwned(&device, sys_ / "class/scsi_device" / address, unitDir / "scsi_device" / address);

    std::string blockName;
    if (scsiType == 0 || cdrom) {
      if (cdrom) {
        const unsigned number = TakeLowest(cdroms_);
        device.cdroms.push_back(number);
        blockName = "sr" + std::to_string(number);
      } else {
        const unsigned number = TakeLowest(disks_);
        device.disks.push_back(number);
        blockName = DiskName(number);
      }
      const fs::path blockDir = unitDir / "block" / blockName;
      fs::create_directories(blockDir);
      Link(blockDir / "device", unitDir);
      LinkOwned(&device, sys_ / "block" / blockName, blockDir);
      LinkOwned(&device, sys_ / "class/block" / blockName, blockDir);
      WriteText(root_ / "dev" / blockName, "");
      device.nodes.push_back(root_ / "dev" / blockName);
    }
    WriteText(root_ / "dev" / sgName, "");
    device.nodes.push_back(root_ / "dev" / sgName);
    device.pendingListings.emplace_back(sys_ / "class/scsi_generic" / sgName, sgDir);

    GeneratedUnit generated;
    generated.storageIndex = storageIndex;
    generated.unitIndex = unitIndex;
    generated.genericNode = "/dev/" + sgName;
    generated.blockNode = blockName.empty() ? std::string() : "/dev/" + blockName;
    generated.devicePath = "/sys/" + unitDir.lexically_relative(sys_).generic_string();
    device.units.push_back(std::move(generated));
  }

  void WriteSataDisks(Plugged& sata) {
    if (layout_.sataDisks == 0) return;
    const fs::path controller = sys_ / "devices/pci0000:00/0000:00:17.0";
    fs::create_directories(controller);
    Link(controller / "driver", sys_ / "bus/pci/drivers/ahci");
    for (unsigned i = 0; i < layout_.sataDisks; ++i) {
      const fs::path port = controller / ("ata" + std::to_string(i + 1));
      const unsigned host = TakeLowest(hosts_);
      const fs::path hostDir = WriteHost(port, host, "ahci", sata);
      WriteUnit(hostDir, host, 0, 0, "ATA", "SATA SSD", std::numeric_limits<std::size_t>::max(), 0,
                sata);
    }
  }

  fs::path root_;
  fs::path sys_;
  MachineSpec layout_;
  std::map<std::string, fs::path> dirs_;
  std::map<unsigned, unsigned> nextDevnum_;
  std::set<unsigned> hosts_, generics_, disks_, cdroms_;
  std::map<std::size_t, Plugged> plugged_;
  std::vector<GeneratedUnit> fixedUnits_;
};

SystemRootWriter::SystemRootWriter(std::filesystem::path systemRoot, MachineSpec layout)
    : tree_(std::make_unique<Tree>(systemRoot, std::move(layout))) {
  tree_->WriteFixed();
}

SystemRootWriter::~SystemRootWriter() = default;

const std::vector<GeneratedUnit>& SystemRootWriter::FixedUnits() const {
  return tree_->FixedUnits();
}

std::vector<GeneratedUnit> SystemRootWriter::Plug(
    std::size_t storageIndex,
    const std::function<void(const std::vector<GeneratedUnit>&)>& beforeListed) {
  return tree_->Plug(storageIndex, beforeListed);
}

void SystemRootWriter::Unplug(std::size_t storageIndex) { tree_->Unplug(storageIndex); }

void CheckMachineSpec(const MachineSpec& layout) {
  std::map<std::string, unsigned> hubPorts;
  std::set<std::string> hubLocations;
  for (const HubSpec& hub : layout.hubs) {
    if (!IsValidLocation(hub.location))
      throw std::invalid_argument("bad hub location " + hub.location);
    if (hub.ports == 0 || hub.ports > 15)
      throw std::invalid_argument("hub " + hub.location + " needs 1..15 ports");
    hubPorts[hub.location] = hub.ports;
  }
  auto check = [&](const std::string& location) {
    if (!IsValidLocation(location)) throw std::invalid_argument("bad location " + location);
    const std::string parent = ParentLocation(location);
    unsigned ports = layout.rootPorts;
    if (!parent.empty()) {
      const auto found = hubPorts.find(parent);
      if (found == hubPorts.end())
        throw std::invalid_argument("no hub at " + parent + " for " + location);
      ports = found->second;
    }
    if (PortOf(location) > ports)
      throw std::invalid_argument("port of " + location + " beyond its hub");
  };
  for (const HubSpec& hub : layout.hubs) {
    check(hub.location);
    if (!hubLocations.insert(hub.location).second)
      throw std::invalid_argument("location " + hub.location + " used twice");
  }
  // Devices may follow each other on one port, never share it at the same time: windows fixed
  // in time do not overlap, and a device that follows the one before it comes after it (and
  // only such devices after it).
  std::map<std::string, std::vector<const PlugWindow*>> windows;
  for (const StorageSpec& storage : layout.storage) {
    const std::string& location = storage.location;
    check(location);
    if (storage.units.empty())
      throw std::invalid_argument("device at " + location + " has no unit");
    const PlugWindow& window = storage.window;
    if (window.leave && *window.leave <= window.arrive)
      throw std::invalid_argument("device at " + location + " leaves before it arrives");
    if (hubLocations.count(location) != 0)
      throw std::invalid_argument("location " + location + " used twice");
    std::vector<const PlugWindow*>& before = windows[location];
    if (window.arriveAfter) {
      if (before.empty() || !before.back()->Leaves())
        throw std::invalid_argument("device at " + location +
                                    " follows no device that leaves before it");
    } else {
      for (const PlugWindow* other : before) {
        if (other->arriveAfter || other->leaveIdle || other->Overlaps(window))
          throw std::invalid_argument("location " + location + " used twice at the same time");
      }
    }
    before.push_back(&window);
  }
}

bool IsValidLocation(const std::string& location) {
  static const std::regex pattern("[1-9][0-9]{0,2}-[1-9][0-9]?(\\.[1-9][0-9]?){0,4}");
  return std::regex_match(location, pattern);
}

std::vector<GeneratedUnit> WriteSystemRoot(const fs::path& systemRoot, const MachineSpec& layout) {
  SystemRootWriter writer(systemRoot, layout);
  std::vector<GeneratedUnit> units = writer.FixedUnits();
  for (std::size_t i = 0; i < layout.storage.size(); ++i) {
    if (!layout.storage[i].window.PresentAtStart()) continue;
    const std::vector<GeneratedUnit> plugged = writer.Plug(i);
    units.insert(units.end(), plugged.begin(), plugged.end());
  }
  return units;
}

}  // namespace burnwell::sim::machine
