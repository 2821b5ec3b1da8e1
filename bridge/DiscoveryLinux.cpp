#include "bridge/DiscoveryLinux.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <functional>
#include <optional>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "common/Hex.h"
#include "common/MakerIds.h"
#include "device/BridgeInfo.h"
#include "bridge/BridgeState.h"
#include "bridge/Discovery.h"
#include "bridge/Identification.h"
#include "bridge/Sysfs.h"
#include "device/Transport.h"
#include "platform/DeviceIo.h"
#include "platform/System.h"
#include "protocol/VendorCommands.h"

namespace burnwell::bridge {

using device::LetterText;
using protocol::CommandResult;
namespace fs = std::filesystem;
namespace {

// The bridge information block is asked for with this time-out multiplier during discovery.
constexpr std::uint32_t kDiscoveryInfoMultiplier = 5;
// USB allows five tiers of hubs below the root hub; deeper trees are not followed.
constexpr int kMaxHubDepth = 7;

void NoteProblem(std::string text) {
  LinuxDiscoveryNotes& notes = BridgeLayer().linuxDiscovery;
  std::lock_guard lock(notes.mutex);
  notes.problems.push_back(std::move(text));
}

template <std::size_t N>
void CopyText(std::array<char, N>& destination, const std::string& text) {
  destination.fill(0);
  std::memcpy(destination.data(), text.data(), std::min(text.size(), N - 1));
}

bool ContainsNoCase(const std::string& text, const char* needle) {
  const std::size_t length = std::strlen(needle);
  if (length > text.size()) return false;
  for (std::size_t i = 0; i + length <= text.size(); ++i) {
    bool same = true;
    for (std::size_t k = 0; k < length && same; ++k) {
      same = std::toupper(static_cast<unsigned char>(text[i + k])) ==
             std::toupper(static_cast<unsigned char>(needle[k]));
    }
    if (same) return true;
  }
  return false;
}

// The drive letter a disk unit's block device name gives ("sdb" gives 'B'), or 0.
char LetterOfBlockDevice(const sysfs::ScsiUnit& unit) {
  if (unit.type != sysfs::kScsiTypeDisk || unit.blockName.empty()) return 0;
  const unsigned char last = static_cast<unsigned char>(unit.blockName.back());
  return std::isalpha(last) ? static_cast<char>(std::toupper(last)) : 0;
}

void AppendLetter(LetterText& letters, char letter) {
  if (letter == 0) return;
  const std::size_t used = std::strlen(letters.data());
  if (used + 1 < letters.size()) letters[used] = letter;
}

// Why a unit that may be a bridge could not be opened: most often the generic node's
// permissions, which must never look like "no device". The open leaves the operating
// system's error behind; when it left none (a relay that refused), the node itself is asked.
std::string OpenFailureText(const std::string& devicePath, const sysfs::ScsiUnit& unit,
                            const std::optional<std::uint16_t>& vendor,
                            const std::optional<std::uint16_t>& product,
                            std::uint32_t systemError) {
  std::string reason = "cannot open " + devicePath;
#ifndef _WIN32
  if (systemError == 0) {
    const std::string local = platform::UnderSystemRoot(devicePath).string();
    if (::access(local.c_str(), F_OK) != 0) {
      systemError = ENOENT;
    } else if (::access(local.c_str(), R_OK | W_OK) != 0) {
      systemError = static_cast<std::uint32_t>(errno);
    }
  }
  if (systemError == EACCES || systemError == EPERM) {
    reason = "permission denied on " + devicePath;
  } else if (systemError == ENOENT) {
    reason = "no device node " + devicePath;
  } else if (systemError == ENXIO || systemError == ENODEV) {
    reason = "device gone: " + devicePath;
  } else if (systemError == EBUSY) {
    reason = "device busy: " + devicePath;
  }
#else
  (void)systemError;
#endif
  switch (DeviceLayer().lastRelayRefusal.load()) {
    case device::RelayRefusal::BridgeBusy:
      reason = std::string(kRelayBusyProblem) + " " + devicePath + " open";
      break;
    case device::RelayRefusal::RelayFull:
      reason = std::string(kRelayFullProblem) + " cannot open " + devicePath;
      break;
    case device::RelayRefusal::None: break;
  }
  if (vendor && product) {
    reason += " (USB " + Hex(*vendor, 4) + ":" + Hex(*product, 4) + ")";
  } else {
    reason += " (" + unit.address + ")";
  }
  return reason;
}

std::optional<std::uint16_t> UsbId(const std::optional<fs::path>& usbDevice, const char* name) {
  if (!usbDevice) return std::nullopt;
  const std::optional<std::uint64_t> value = sysfs::ReadNumber(*usbDevice, name, 16);
  if (!value || *value > 0xFFFF) return std::nullopt;
  return static_cast<std::uint16_t>(*value);
}

// The device-tree ancestry of a unit with the Windows meaning: the parent is the USB device
// whose storage function the unit is (for other transports, the device above the SCSI host),
// then that device's parents in turn; the child is the unit's block device.
struct TreePlace {
  std::string self, parent, grandparent, greatGrandparent, child;
};

std::string ParentBelowDevices(const fs::path& sysDir, const fs::path& dir) {
  std::error_code error;
  const fs::path devices = fs::canonical(sysDir / "devices", error);
  if (error || dir.empty()) return {};
  const fs::path parent = dir.parent_path();
  if (parent == dir || parent == devices || parent.native().size() <= devices.native().size()) {
    return {};
  }
  return sysfs::KernelPath(sysDir, parent);
}

TreePlace PlaceInTree(const fs::path& sysDir, const sysfs::ScsiUnit& unit) {
  TreePlace place;
  place.self = sysfs::KernelPath(sysDir, unit.deviceDir);
  fs::path parentDir;
  if (unit.usbDevice) {
    parentDir = *unit.usbDevice;
  } else {
    // unit -> target -> host -> the adapter device
    parentDir = unit.deviceDir.parent_path().parent_path().parent_path();
  }
  place.parent = sysfs::KernelPath(sysDir, parentDir);
  place.grandparent = ParentBelowDevices(sysDir, parentDir);
  if (!place.grandparent.empty()) {
    place.greatGrandparent = ParentBelowDevices(sysDir, parentDir.parent_path());
  }
  if (!unit.blockName.empty()) {
    place.child = sysfs::KernelPath(sysDir, unit.deviceDir / "block" / unit.blockName);
  }
  return place;
}

void StorePlace(DeviceRecord& record, const TreePlace& place) {
  CopyText(record.InstanceId, place.self);
  CopyText(record.ParentId, place.parent);
  CopyText(record.GrandparentId, place.grandparent);
  CopyText(record.GreatGrandparentId, place.greatGrandparent);
  CopyText(record.ChildId, place.child);
  record.DevInst = LinuxNodeHandle(place.self);
  record.ParentDevInst = LinuxNodeHandle(place.parent);
  record.GrandparentDevInst = LinuxNodeHandle(place.grandparent);
  record.GreatGrandparentDevInst = LinuxNodeHandle(place.greatGrandparent);
  record.ChildDevInst = LinuxNodeHandle(place.child);
}

void CloseUnit(TransportKind kind, platform::Handle handle) {
  if (kind == TransportKind::MassStorage) {
    RelayCloseDevice(handle);
  } else {
    platform::Current<platform::DeviceIo>().Close(handle);
  }
}

// Identifies an IDE or SCSI disk as the maker's bridge from ATA identification data (vendor
// ID high byte first at bytes 40..41 of the data as the device returns it).
bool IdentifiesAsBridge(const DeviceRecord& probe) {
  if (probe.TransportKind == TransportKind::Ide) {
    std::uint8_t text[513]{};
    if (protocol::IdentifyViaAtaPassThrough(probe, text, false) != CommandResult::Ok) return false;
    return (text[41] << 8 | text[40]) == VID_MAKER;
  }
  std::uint8_t data[512]{};
  const bool identified = protocol::IdentifyViaSmart(probe, data) == CommandResult::Ok ||
                          protocol::IdentifyViaMiniport(probe, data) == CommandResult::Ok ||
                          protocol::ReadBridgeIdByLba(probe, data) == CommandResult::Ok;
  return identified && (data[40] << 8 | data[41]) == VID_MAKER;
}

}  // namespace

ProbedUnit ProbeUnit(const fs::path& sysDir, const sysfs::ScsiUnit& unit) {
  ProbedUnit probed;
  probed.devicePath = "/dev/" + unit.genericName;
  const std::string& devicePath = probed.devicePath;
  const std::optional<std::uint16_t> usbVendor = UsbId(unit.usbDevice, "idVendor");
  const std::optional<std::uint16_t> usbProduct = UsbId(unit.usbDevice, "idProduct");

  DeviceRecord& probe = probed.record;
  probe.TransportKind = unit.transport;
  probe.DeviceClass = unit.type == sysfs::kScsiTypeDisk ? DeviceClass::Disk : DeviceClass::CdRom;
  if (unit.transport == TransportKind::MassStorage) {
    platform::System& system = platform::Current<platform::System>();
    system.SetLastSystemError(0);
    probe.Handle = RelayOpenDevice(devicePath.c_str());
    if (probe.Handle == platform::kInvalidHandle) {
      probed.problem =
          OpenFailureText(devicePath, unit, usbVendor, usbProduct, system.LastSystemError());
      return probed;
    }
    std::uint8_t block[wire::kBridgeInfoSize]{};
    const bool autoRun =
        ContainsNoCase(unit.vendor, "AUTO-RUN") || ContainsNoCase(unit.model, "AUTO-RUN");
    std::optional<UsbIds> usbIds;
    if (usbVendor && usbProduct) usbIds = UsbIds{*usbVendor, *usbProduct};
    const bool answered = ReadIdentification(probe, block, kDiscoveryInfoMultiplier, usbIds);
    if (!answered || (autoRun && unit.type == sysfs::kScsiTypeDisk)) {
      RelayCloseDevice(probe.Handle);
      probe.Handle = platform::kInvalidHandle;
      // A unit with the maker's USB vendor ID is a bridge that did not answer, not "no bridge".
      if (!answered && usbVendor == VID_MAKER && unit.usbDevice)
        probed.problem = "the bridge at " + unit.usbDevice->filename().string() +
                         " did not answer its identification";
      return probed;
    }
    DecodeBridgeInfo(block, probe);
  } else {
    // IDE and SCSI units are bridges only as disks that identify with the maker's vendor ID.
    if (unit.type != sysfs::kScsiTypeDisk) return probed;
    const std::uint32_t attributes = unit.transport == TransportKind::Ide
                                         ? platform::kOpenAttributeSystem
                                         : platform::kOpenNoAttributes;
    probe.Handle = platform::Current<platform::DeviceIo>().Open(devicePath.c_str(), attributes);
    if (probe.Handle == platform::kInvalidHandle) return probed;
    if (!IdentifiesAsBridge(probe)) {
      platform::Current<platform::DeviceIo>().Close(probe.Handle);
      probe.Handle = platform::kInvalidHandle;
      return probed;
    }
  }

  probed.bridge = true;
  const TreePlace place = PlaceInTree(sysDir, unit);
  probed.usbDevicePath = unit.usbDevice ? place.parent : std::string();
  probed.letter = LetterOfBlockDevice(unit);
  probed.instance = place.self;
  CopyText(probe.DevicePath, devicePath);
  CopyText(probe.InstancePath, place.self);
  StorePlace(probe, place);
  if (unit.usbDevice) {
    probe.ParentVendorId = usbVendor.value_or(VID_MAKER);
    probe.ParentProductId = usbVendor ? usbProduct.value_or(0) : 0;
    CopyText(probe.SerialNumber, sysfs::ReadAttribute(*unit.usbDevice, "serial").value_or(""));
    CopyText(probe.UsbLocation, unit.usbDevice->filename().string());
  }
  return probed;
}

DeviceRecord* FirstUnitOfLinux(const ProbedUnit& probed,
                               const std::function<bool(std::uint32_t)>& candidate) {
  if (probed.usbDevicePath.empty()) return nullptr;
  std::string usbDevicePath = probed.usbDevicePath;
  usbDevicePath.resize(std::min(usbDevicePath.size(), kPathChars - 1));  // as ParentId keeps it
  DeviceTable& table = DeviceLayer().table;
  for (std::uint32_t i = table.count; i-- > 0;) {
    if (candidate && !candidate(i)) continue;
    // Exact comparison: a containment test would take hub 1-1 for the device 1-1.3 below it.
    if (usbDevicePath == table.records[i].ParentId.data()) return &table.records[i];
  }
  return nullptr;
}

void MergeSecondUnitLinux(DeviceRecord& first, ProbedUnit& probed) {
  first.FirstUnitLetters = first.DriveLetters;
  CopyText(first.SecondDevicePath, probed.devicePath);
  CopyText(first.SecondInstanceId, probed.instance);
  CopyText(first.SecondInstancePath, probed.instance);
  first.HasSecondUnit = 1;
  AppendLetter(first.DriveLetters, probed.letter);
  CloseUnit(probed.record.TransportKind, probed.record.Handle);
  probed.record.Handle = platform::kInvalidHandle;
}

bool StoreBridgeLinux(ProbedUnit& probed, std::optional<std::uint32_t> slot) {
  DeviceTable& table = DeviceLayer().table;
  std::uint32_t duplicates = 0;
  for (const DeviceRecord& other : table) {
    if (probed.instance == other.InstanceId.data()) ++duplicates;
  }
  const std::uint32_t index = slot.value_or(table.count);
  DeviceRecord& record = slot ? table.records[*slot] : table.Append();
  const platform::LockHandle lock = record.Mutex;
  record = probed.record;
  probed.record.Handle = platform::kInvalidHandle;  // the table owns it now
  record.DuplicateCount = duplicates;
  AppendLetter(record.DriveLetters, probed.letter);
  record.IdLetter = probed.letter != 0 ? probed.letter : '0';
  // A reused slot keeps its lock, whose name is the slot's index.
  record.Mutex = lock != 0 ? lock : OpenDeviceMutex(index);
  return record.Mutex != 0;
}

namespace {

// Looks at one unit; appends or merges its record, or passes it by. False only when the new
// record's per-device lock can be neither opened nor created.
bool ConsiderUnit(const fs::path& sysDir, const sysfs::ScsiUnit& unit) {
  ProbedUnit probed = ProbeUnit(sysDir, unit);
  if (!probed.problem.empty()) NoteProblem(probed.problem);
  if (!probed.bridge) return true;
  if (DeviceRecord* first = FirstUnitOfLinux(probed, {})) {
    MergeSecondUnitLinux(*first, probed);
    return true;
  }
  return StoreBridgeLinux(probed, std::nullopt);
}

void ScanHub(const fs::path& sysDir, const fs::path& hubDir, int depth, std::uint32_t& counter) {
  if (depth > kMaxHubDepth) return;
  const std::uint64_t ports =
      std::min<std::uint64_t>(sysfs::ReadNumber(hubDir, "maxchild").value_or(0), 255);
  for (unsigned port = 1; port <= ports; ++port) {
    const std::optional<fs::path> device = sysfs::DeviceOnPort(hubDir, port);
    if (device && sysfs::IsUsbHub(*device)) {
      ScanHub(sysDir, *device, depth + 1, counter);
      continue;
    }
    ++counter;  // empty ports count as well
    if (!device) continue;
    const DevNode node = LinuxNodeHandle(sysfs::KernelPath(sysDir, *device));
    const std::optional<std::uint32_t> speed =
        sysfs::SpeedCode(sysfs::ReadAttribute(*device, "speed").value_or(""));
    const std::uint32_t address =
        static_cast<std::uint32_t>(sysfs::ReadNumber(*device, "devnum").value_or(0));
    for (DeviceRecord& record : DeviceLayer().table) {
      if (record.ParentDevInst != node) continue;
      record.HubNumber = counter;
      record.PortNumber = port;
      record.PortCount = static_cast<std::uint32_t>(ports);
      if (speed) record.PortSpeed = *speed;
      record.UsbAddress = address;
    }
  }
}

}  // namespace

DevNode LinuxNodeHandle(const std::string& kernelPath) {
  if (kernelPath.empty()) return 0;
  LinuxDiscoveryNotes& notes = BridgeLayer().linuxDiscovery;
  std::lock_guard lock(notes.mutex);
  std::vector<std::string>& paths = notes.nodePaths;
  const auto found = std::find(paths.begin(), paths.end(), kernelPath);
  if (found != paths.end()) return static_cast<DevNode>(found - paths.begin() + 1);
  paths.push_back(kernelPath);
  return static_cast<DevNode>(paths.size());
}

std::vector<std::string> LinuxDiscoveryProblems() {
  LinuxDiscoveryNotes& notes = BridgeLayer().linuxDiscovery;
  std::lock_guard lock(notes.mutex);
  return notes.problems;
}

CountOrError DiscoverPassThroughLinux() {
  {
    LinuxDiscoveryNotes& notes = BridgeLayer().linuxDiscovery;
    std::lock_guard lock(notes.mutex);
    notes.problems.clear();
  }
  const fs::path sysDir = sysfs::SysDir(platform::Current<platform::System>().SystemRoot());
  std::error_code error;
  if (!fs::is_directory(sysDir / "class" / "scsi_generic", error)) {
    // Without the generic driver no bridge can be reached, whatever is plugged in.
    NoteProblem(
        "no SCSI generic nodes in /sys/class/scsi_generic (is the sg driver loaded? modprobe sg)");
  }
  const std::vector<sysfs::ScsiUnit> units = sysfs::ListScsiUnits(sysDir);
  for (const int type : {sysfs::kScsiTypeDisk, sysfs::kScsiTypeCdRom}) {
    for (const sysfs::ScsiUnit& unit : units) {
      if (unit.type != type) continue;
      if (!ConsiderUnit(sysDir, unit)) return ApiError::TooManyDevices;
    }
  }
  return CountOrError::Found(DeviceLayer().table.count);
}

void ScanHubPortsLinux() {
  const fs::path sysDir = sysfs::SysDir(platform::Current<platform::System>().SystemRoot());
  std::uint32_t counter = 0;
  for (const fs::path& rootHub : sysfs::RootHubs(sysDir)) ScanHub(sysDir, rootHub, 0, counter);
}

}  // namespace burnwell::bridge
