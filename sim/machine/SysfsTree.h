// Writes a machine's device model as a Linux kernel shows it: a sysfs tree (devices, class,
// bus and block folders with the kernel's relative symlinks) and /dev nodes below a system
// root, for USB storage devices behind root hubs and hubs (usb-storage or uas), optionally
// with SATA disks on libata. Device nodes are plain files: the relay maps them to emulated
// bridges.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace burnwell::sim::machine {

enum class StorageDriver { UsbStorage, Uas };

// One logical unit of a USB storage device.
struct UnitSpec {
  int scsiType = 0;  // 0 disk, 5 CD-ROM
  std::string vendor = "ZQ5x8x";
  std::string model = "Bridge";
};

// A hub at a USB location ("1-2" on root port 2 of bus 1, "1-2.3" on port 3 of that hub).
struct HubSpec {
  std::string location;
  unsigned ports = 4;
  std::string speed = "480";
};

// When a device is plugged in, in seconds from the start of the machine: from `arrive` until
// `leave` (never, when there is none). A device that follows another one on its port instead
// arrives `arriveAfter` seconds after that one left; a device may also be pulled out once it
// has been sent commands and then none for `leaveIdle` seconds (as an operator takes a
// finished unit out).
struct PlugWindow {
  double arrive = 0;
  std::optional<double> leave;
  std::optional<double> arriveAfter;
  std::optional<double> leaveIdle;

  bool PresentAtStart() const { return !arriveAfter && arrive <= 0; }
  // Two windows fixed in time that share a moment.
  bool Overlaps(const PlugWindow& other) const {
    return (!leave || other.arrive < *leave) && (!other.leave || arrive < *other.leave);
  }
  bool Leaves() const { return leave || leaveIdle; }
};

// A USB storage device at a location, with its units (LUN 0, 1, ...).
struct StorageSpec {
  std::string location;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string serial;  // empty: the device has no serial attribute
  std::string speed = "480";
  StorageDriver driver = StorageDriver::UsbStorage;
  std::vector<UnitSpec> units{UnitSpec{}};
  PlugWindow window;
};

struct MachineSpec {
  unsigned rootPorts = 4;  // ports of every root hub
  unsigned sataDisks = 0;  // libata disks, first in SCSI host and node order
  std::vector<HubSpec> hubs;
  std::vector<StorageSpec> storage;
};

// Where one generated unit ended up.
struct GeneratedUnit {
  std::size_t storageIndex = 0;  // into MachineSpec::storage; SIZE_MAX for a SATA disk
  std::size_t unitIndex = 0;
  std::string genericNode;  // "/dev/sg1"
  std::string blockNode;    // "/dev/sdb", "/dev/sr0"
  std::string devicePath;   // the unit's directory as the kernel names it
};

// Writes a machine's tree below a system root and changes it as the kernel would when storage
// devices are plugged in and out: a device's directories, attributes and links appear before its
// generic node is listed in class/scsi_generic, and that listing goes first when it leaves. SCSI
// hosts, generic nodes and disk and CD-ROM names are the lowest numbers free; every device takes
// the next address of its bus. Not thread-safe: one thread plugs.
class SystemRootWriter {
 public:
  // Checks the layout (std::invalid_argument as CheckMachineSpec) and writes the root hubs, hubs
  // and SATA disks below systemRoot (which must exist and should be empty); no storage yet.
  SystemRootWriter(std::filesystem::path systemRoot, MachineSpec layout);
  ~SystemRootWriter();
  SystemRootWriter(const SystemRootWriter&) = delete;
  SystemRootWriter& operator=(const SystemRootWriter&) = delete;

  // The SATA disks' units.
  const std::vector<GeneratedUnit>& FixedUnits() const;
  // Plugs storage device `storageIndex` of the layout in; `beforeListed` sees its units once
  // everything but their class/scsi_generic entries exists (a server can serve the nodes then).
  // Plugging a device that is in does nothing and returns nothing.
  std::vector<GeneratedUnit> Plug(
      std::size_t storageIndex,
      const std::function<void(const std::vector<GeneratedUnit>&)>& beforeListed = {});
  // Unplugs it: everything Plug wrote goes, its numbers become free.
  void Unplug(std::size_t storageIndex);

 private:
  class Tree;
  std::unique_ptr<Tree> tree_;
};

// Writes the tree with the storage present at start (window.arrive 0) below systemRoot. Buses
// are those named by the locations. Throws std::invalid_argument for a location that is
// malformed, on a port beyond its hub, without its hub, or taken twice at the same time;
// std::filesystem errors propagate.
std::vector<GeneratedUnit> WriteSystemRoot(const std::filesystem::path& systemRoot,
                                           const MachineSpec& layout);

// Throws std::invalid_argument, as WriteSystemRoot would, for a machine that cannot exist.
void CheckMachineSpec(const MachineSpec& layout);

// True for a well-formed location: "B-P" or "B-P.Q..." with numbers from 1.
bool IsValidLocation(const std::string& location);

}  // namespace burnwell::sim::machine
