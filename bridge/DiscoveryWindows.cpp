// Pass-through discovery: every present disk interface, then every CD-ROM interface; those
// behind a USB mass-storage, SBP-2, IDE or SCSI instance path that identify as the maker's
// bridge get a record with their bridge information, tree position and drive letters.
#include <array>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "common/MakerIds.h"
#include "bridge/DeviceTree.h"
#include "bridge/Identification.h"
#include "bridge/Discovery.h"
#include "bridge/DiscoveryText.h"
#include "device/Transport.h"
#include "platform/DeviceIo.h"
#include "platform/NamedLock.h"
#include "platform/WinDeviceServices.h"
#include "protocol/VendorCommands.h"

namespace burnwell::bridge {

using device::PathText;
using protocol::CommandResult;
namespace {

constexpr std::uint32_t kReadBridgeInfoMultiplier = 5;

enum class Outcome {
  Next,          // go on with the next interface (the interface was taken or skipped)
  StopWithZero,  // an IDE or SCSI device could not be opened: discovery ends with 0
  MutexFailed,   // the new record's lock could be neither opened nor created
};

bool Contains(const ProbedInterface& candidate, std::string_view part) {
  return text::ContainsNoCase(candidate.instancePath, part);
}

// Vendor ID from identification data, high byte first at bytes 40..41.
std::uint16_t IdentifiedVendor(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[40] << 8 | bytes[41]);
}

enum class Identified { Accepted, Skip, StopWithZero };

// Opens an IDE or SCSI unit and judges it by its instance path: a disk is accepted when
// `makersDisk` finds the maker's vendor ID in its identification, a CD-ROM when `cdRomAnswers`
// says so, anything else as a device of another class.
template <class DiskCheck, class CdRomCheck>
Identified OpenAndJudge(ProbedInterface& candidate, const char* devicePath, TransportKind kind,
                        std::uint32_t attributes, DiskCheck makersDisk, CdRomCheck cdRomAnswers) {
  DeviceRecord& record = candidate.record;
  record.TransportKind = kind;
  record.Handle = platform::Current<platform::DeviceIo>().Open(devicePath, attributes);
  if (record.Handle == platform::kInvalidHandle) return Identified::StopWithZero;
  candidate.handleOpen = true;
  if (Contains(candidate, "DISK")) {
    if (!makersDisk(record)) return Identified::Skip;
    record.DeviceClass = DeviceClass::Disk;
  } else if (Contains(candidate, "CDROM")) {
    if (!cdRomAnswers(record)) return Identified::Skip;
  } else {
    record.DeviceClass = DeviceClass::Other;
  }
  return Identified::Accepted;
}

Identified IdentifyIde(ProbedInterface& candidate, const char* devicePath) {
  return OpenAndJudge(
      candidate, devicePath, TransportKind::Ide, platform::kOpenAttributeSystem,
      [](const DeviceRecord& record) {
        std::array<std::uint8_t, 513> textForm{};
        if (protocol::IdentifyViaAtaPassThrough(record, textForm.data(), false) !=
            CommandResult::Ok)
          return false;
        // The text form swaps each word's bytes, so text byte 41 is the vendor ID's high byte.
        return static_cast<std::uint16_t>(textForm[41] << 8 | textForm[40]) == VID_MAKER;
      },
      [](const DeviceRecord& record) {
        // INQUIRY is never sent to an IDE unit, so this always ends in a skip.
        std::array<std::uint8_t, 36> inquiry{};
        return protocol::ScsiInquiry(record, 0, inquiry.data(), 36) == CommandResult::Ok;
      });
}

Identified IdentifyScsi(ProbedInterface& candidate, const char* devicePath) {
  return OpenAndJudge(
      candidate, devicePath, TransportKind::Scsi, platform::kOpenNoAttributes,
      [](const DeviceRecord& record) {
        std::array<std::uint8_t, 512> identity{};
        const bool identified =
            protocol::IdentifyViaSmart(record, identity.data()) == CommandResult::Ok ||
            protocol::IdentifyViaMiniport(record, identity.data()) == CommandResult::Ok ||
            protocol::ReadBridgeIdByLba(record, identity.data()) == CommandResult::Ok;
        return identified && IdentifiedVendor(identity.data()) == VID_MAKER;
      },
      [](const DeviceRecord&) { return false; });
}

Identified IdentifyMassStorage(ProbedInterface& candidate, const char* devicePath) {
  DeviceRecord& record = candidate.record;
  record.TransportKind = TransportKind::MassStorage;
  record.Handle = RelayOpenDevice(devicePath);
  if (record.Handle == platform::kInvalidHandle) return Identified::Skip;
  candidate.handleOpen = true;
  std::array<std::uint8_t, wire::kBridgeInfoSize> block{};
  if (!ReadIdentification(record, block, kReadBridgeInfoMultiplier, std::nullopt))
    return Identified::Skip;
  // The bridge's own AUTO-RUN disk unit is not the bridge's storage.
  if (Contains(candidate, "AUTO-RUN") && Contains(candidate, "DISK")) return Identified::Skip;
  if (Contains(candidate, "DISK")) {
    record.DeviceClass = DeviceClass::Disk;
  } else if (Contains(candidate, "CDROM")) {
    record.DeviceClass = DeviceClass::CdRom;
  } else {
    record.DeviceClass = DeviceClass::Other;
  }
  DecodeBridgeInfo(block.data(), record);
  return Identified::Accepted;
}

// ID and node of the related node of a fresh copy of `from`; on failure the ID stays the copy
// and the node 0.
void Related(TreeRelation relation, const PathText& from, PathText& id, DevNode& node) {
  id = from;
  node = 0;
  if (GetDeviceTreeId(relation, id)) GetDeviceNode(id.data(), node);
}

void PlaceInTree(ProbedInterface& candidate) {
  DeviceRecord& record = candidate.record;
  const PathText& b = candidate.canonicalId;
  if (!GetDeviceNode(b.data(), record.DevInst)) record.DevInst = 0;
  Related(TreeRelation::Parent, b, record.ParentId, record.ParentDevInst);
  Related(TreeRelation::Parent, record.ParentId, record.GrandparentId, record.GrandparentDevInst);
  Related(TreeRelation::Parent, record.GrandparentId, record.GreatGrandparentId,
          record.GreatGrandparentDevInst);
  Related(TreeRelation::FirstChild, b, record.ChildId, record.ChildDevInst);
}

bool ParseHex4(std::string_view& rest, std::uint16_t& value) {
  std::size_t digits = 0;
  std::uint32_t parsed = 0;
  while (digits < 4 && digits < rest.size()) {
    const char c = rest[digits];
    int nibble;
    if (c >= '0' && c <= '9')
      nibble = c - '0';
    else if (c >= 'a' && c <= 'f')
      nibble = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      nibble = c - 'A' + 10;
    else
      break;
    parsed = parsed * 16 + static_cast<std::uint32_t>(nibble);
    ++digits;
  }
  if (digits == 0) return false;
  rest.remove_prefix(digits);
  value = static_cast<std::uint16_t>(parsed);
  return true;
}

bool Literal(std::string_view& rest, std::string_view literal) {
  if (rest.substr(0, literal.size()) != literal) return false;
  rest.remove_prefix(literal.size());
  return true;
}

// "USB\VID_%04x&PID_%04x\%s": all three fields, or nothing.
bool ParseUsbParentId(std::string_view id, std::uint16_t& vendor, std::uint16_t& product,
                      std::string& serial) {
  std::string_view rest = id;
  if (!Literal(rest, "USB\\VID_") || !ParseHex4(rest, vendor) || !Literal(rest, "&PID_") ||
      !ParseHex4(rest, product) || !Literal(rest, "\\")) {
    return false;
  }
  std::size_t length = 0;
  while (length < rest.size() && rest[length] != ' ' && rest[length] != '\t' &&
         rest[length] != '\n' && rest[length] != '\r') {
    ++length;
  }
  if (length == 0) return false;
  serial.assign(rest.substr(0, length));
  return true;
}

}  // namespace

DeviceRecord* FirstUnitOfWindows(std::string_view parentId,
                                 const std::function<bool(std::uint32_t)>& candidate) {
  DeviceTable& table = DeviceLayer().table;
  for (std::uint32_t i = table.count; i-- > 0;) {
    if (candidate && !candidate(i)) continue;
    // The whole ID must match: a parent "...\1" is not the parent "...\12".
    if (text::EqualsNoCase(text::View(table.records[i].ParentId), parentId)) {
      return &table.records[i];
    }
  }
  return nullptr;
}

void MergeSecondUnitWindows(DeviceRecord& first, ProbedInterface& probed) {
  first.FirstUnitLetters = first.DriveLetters;
  first.SecondDevicePath = probed.record.DevicePath;
  first.SecondInstanceId = probed.canonicalId;
  text::Assign(first.SecondInstancePath, probed.instancePath);
  first.HasSecondUnit = 1;
  const char letter = FindLetterByMountedDevice(probed.instancePath.c_str());
  if (letter >= 'A' && letter <= 'Z') {
    text::Append(first.DriveLetters, std::string_view(&letter, 1));
  } else {
    FindLettersBySignature(probed.record.Handle, first.DriveLetters);
  }
  CloseProbed(probed);  // the record keeps the first unit's handle
}

bool StoreBridgeWindows(ProbedInterface& probed, std::optional<std::uint32_t> slot) {
  DeviceRecord& record = probed.record;
  if (record.TransportKind == TransportKind::MassStorage) {
    const char letter = FindLetterByMountedDevice(probed.instancePath.c_str());
    if (letter >= 'A' && letter <= 'Z') {
      text::Assign(record.DriveLetters, std::string_view(&letter, 1));
      record.IdLetter = letter;
    } else {
      record.IdLetter = FindLettersBySignature(record.Handle, record.DriveLetters);
    }
  } else {
    if (!FindLettersBySector0(record)) record.DriveLetters.fill('\0');
    record.IdLetter = record.DriveLetters[0];
  }
  text::Assign(record.InstancePath, probed.instancePath);
  record.InstanceId = probed.canonicalId;

  DeviceTable& table = DeviceLayer().table;
  std::uint32_t duplicates = 0;
  for (const DeviceRecord& existing : table) {
    if (text::View(existing.InstanceId) == text::View(record.InstanceId)) ++duplicates;
  }
  record.DuplicateCount = duplicates;
  const std::uint32_t index = slot.value_or(table.count);
  DeviceRecord& stored = slot ? table.records[*slot] : table.Append();
  const platform::LockHandle lock = stored.Mutex;
  stored = record;
  probed.handleOpen = false;  // the table owns the handle now
  // A reused slot keeps its lock, whose name is the slot's index.
  stored.Mutex = lock != 0 ? lock : OpenDeviceMutex(index);
  return stored.Mutex != 0;
}

std::optional<std::string> InterfaceDevicePath(platform::DeviceInfoSet set,
                                               platform::InterfaceClass interfaceClass,
                                               std::uint32_t index) {
  auto& services = platform::Current<platform::WinDeviceServices>();
  std::uint32_t detailSize = 0;
  if (services.QueryInterfaceDetailSize(set, interfaceClass, index, &detailSize) !=
      platform::kErrorInsufficientBuffer) {
    return std::nullopt;
  }
  // A path that does not fit the record's 260 bytes is refused by the read itself.
  PathText path{};
  if (!services.GetInterfaceDevicePath(set, interfaceClass, index, path.data(), kPathChars)) {
    return std::nullopt;
  }
  path[kPathChars - 1] = '\0';
  return std::string(text::View(path));
}

ProbedInterface ProbeInterface(const std::string& devicePathText) {
  ProbedInterface candidate;
  DeviceRecord& record = candidate.record;
  text::Assign(record.DevicePath, devicePathText);
  const char* devicePath = record.DevicePath.data();

  candidate.instancePath = InstanceFormOf(text::View(record.DevicePath));
  if (candidate.instancePath.size() >= kPathChars) return candidate;
  text::Assign(candidate.canonicalId, candidate.instancePath);
  if (!GetDeviceTreeId(TreeRelation::Self, candidate.canonicalId)) return candidate;

  const std::string_view a = candidate.instancePath;
  Identified identified;
  if (text::StartsWithNoCase(a, "IDE\\")) {
    identified = IdentifyIde(candidate, devicePath);
  } else if (text::StartsWithNoCase(a, "SCSI\\")) {
    identified = IdentifyScsi(candidate, devicePath);
  } else if (text::StartsWithNoCase(a, "USBSTOR\\") || text::StartsWithNoCase(a, "SBP2\\")) {
    identified = IdentifyMassStorage(candidate, devicePath);
  } else {
    return candidate;
  }
  if (identified == Identified::StopWithZero) {
    candidate.stopDiscovery = true;
    return candidate;
  }
  if (identified == Identified::Skip) {
    CloseProbed(candidate);
    return candidate;
  }

  PlaceInTree(candidate);
  candidate.bridge = true;
  if (text::StartsWithNoCase(a, "USBSTOR\\")) {
    candidate.usb = true;
    std::string serial;
    const std::string_view parentId = text::View(record.ParentId);
    if (ParseUsbParentId(parentId, record.ParentVendorId, record.ParentProductId, serial)) {
      text::Assign(record.SerialNumber, serial);
    } else {
      record.ParentVendorId = VID_MAKER;
      record.ParentProductId = 0;
      record.SerialNumber.fill('\0');
    }
  }
  return candidate;
}

void CloseProbed(ProbedInterface& candidate) {
  if (!candidate.handleOpen) return;
  if (candidate.record.TransportKind == TransportKind::MassStorage) {
    RelayCloseDevice(candidate.record.Handle);
  } else {
    platform::Current<platform::DeviceIo>().Close(candidate.record.Handle);
  }
  candidate.handleOpen = false;
}

namespace {

Outcome ExamineInterface(platform::DeviceInfoSet set, platform::InterfaceClass interfaceClass,
                         std::uint32_t index) {
  const std::optional<std::string> path = InterfaceDevicePath(set, interfaceClass, index);
  if (!path) return Outcome::Next;
  ProbedInterface candidate = ProbeInterface(*path);
  if (candidate.stopDiscovery) return Outcome::StopWithZero;
  if (!candidate.bridge) return Outcome::Next;
  if (candidate.usb) {
    if (DeviceRecord* first = FirstUnitOfWindows(text::View(candidate.record.ParentId), {})) {
      MergeSecondUnitWindows(*first, candidate);
      return Outcome::Next;
    }
  }
  return StoreBridgeWindows(candidate, std::nullopt) ? Outcome::Next : Outcome::MutexFailed;
}

}  // namespace

std::string DeviceMutexName(std::uint32_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "DeviceIndex_%02u", static_cast<unsigned>(index));
  return name;
}

platform::LockHandle OpenDeviceMutex(std::uint32_t index) {
  auto& locks = platform::Current<platform::NamedLocks>();
  const std::string name = DeviceMutexName(index);
  platform::LockHandle lock = locks.Open(name.c_str());
  if (lock == 0) lock = locks.Create(name.c_str());
  return lock;
}

CountOrError DiscoverPassThroughWindows() {
  auto& services = platform::Current<platform::WinDeviceServices>();
  for (const auto interfaceClass :
       {platform::InterfaceClass::Disk, platform::InterfaceClass::CdRom}) {
    const platform::DeviceInfoSet set = services.GetClassDevices(interfaceClass);
    if (set == 0) return ApiError::NoInterfaceList;
    for (std::uint32_t index = 0; services.EnumDeviceInterface(set, interfaceClass, index);
         ++index) {
      const Outcome outcome = ExamineInterface(set, interfaceClass, index);
      if (outcome == Outcome::Next) continue;
      services.DestroyDeviceInfoList(set);
      return outcome == Outcome::StopWithZero ? CountOrError::Found(0) : ApiError::TooManyDevices;
    }
    services.DestroyDeviceInfoList(set);
  }
  return CountOrError::Found(DeviceLayer().table.count);
}

}  // namespace burnwell::bridge
