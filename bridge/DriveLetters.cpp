// Drive letters of a discovered unit: from the mounted-device entries of the registry, from
// matching disk signatures of fixed volumes, or from the signature in an IDE/SCSI disk's
// sector 0.
#include <array>
#include <cstdio>
#include <string>

#include "common/Bytes.h"
#include "bridge/Discovery.h"
#include "bridge/DiscoveryText.h"
#include "device/Transport.h"
#include "platform/DeviceIo.h"
#include "platform/WinDeviceServices.h"
#include "platform/WinNames.h"

namespace burnwell::bridge {

using device::DeviceRecord;
using device::LetterText;
using device::RelayCloseDevice;
using device::RelayDeviceIoControl;
using device::RelayOpenDevice;
namespace {

constexpr const char* kMountedDevicesKey = "SYSTEM\\MountedDevices";
constexpr std::uint32_t kRegistryValueMax = 512;
constexpr std::uint32_t kDriveLayoutBufferSize = 1536;
constexpr std::size_t kLayoutSignatureOffset = 8;  // DRIVE_LAYOUT_INFORMATION_EX.Mbr.Signature
constexpr std::size_t kSectorSize = 512;
constexpr std::size_t kMbrSignatureOffset = 440;

bool DrivePresent(std::uint32_t drives, char letter) {
  const int bit = (letter >= 'a' ? letter - 'a' : letter - 'A');
  return (drives >> bit) & 1u;
}

std::string DosDevicesName(char letter) {
  char name[16];
  std::snprintf(name, sizeof name, "\\DosDevices\\%c:", letter);
  return name;
}

// One registry value of up to 512 bytes under HKEY_LOCAL_MACHINE.
struct RegistryValue {
  std::array<std::uint8_t, kRegistryValueMax> data{};
  std::uint32_t size = 0;
};

// The key is opened and closed around each read, as each letter is looked at on its own.
enum class ReadOutcome { Read, NoValue, NoKey };
ReadOutcome ReadMachineValue(const char* subKey, const char* name, RegistryValue& value) {
  auto& services = platform::Current<platform::WinDeviceServices>();
  const platform::RegistryKey key = services.OpenMachineKey(subKey);
  if (key == 0) return ReadOutcome::NoKey;
  value.size = kRegistryValueMax;
  const bool read = services.QueryValue(key, name, value.data.data(), &value.size);
  services.CloseKey(key);
  if (!read) return ReadOutcome::NoValue;
  if (value.size > kRegistryValueMax) value.size = kRegistryValueMax;
  return ReadOutcome::Read;
}

// Entries of removable volumes whose name carries the unit's ParentIdPrefix rather than its
// instance path.
bool NamesRemovableVolume(std::string_view mounted) {
  return text::ContainsNoCase(mounted, "ven_tessalin") ||
         text::ContainsNoCase(mounted, "Ven_AUTO-RUN") ||
         text::ContainsNoCase(mounted, "RemovableMedia");
}

}  // namespace

std::string InstanceFormOf(std::string_view path) {
  std::string form(path.size() > 4 ? path.substr(4) : std::string_view{});
  if (const auto lastHash = form.rfind('#'); lastHash != std::string::npos) {
    form.resize(lastHash);
    for (char& c : form) {
      if (c == '#') c = '\\';
    }
  }
  const auto first = form.find('\\');
  const auto last = form.rfind('\\');
  if (first != std::string::npos) {
    for (auto i = first + 1; i < last; ++i) {
      if (form[i] == '\\') form[i] = '/';
    }
  }
  return form;
}

char FindLetterByMountedDevice(const char* instancePath) {
  auto& services = platform::Current<platform::WinDeviceServices>();
  const std::uint32_t drives = services.GetLogicalDrives();
  const std::string_view wanted(instancePath);
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    if (!DrivePresent(drives, letter)) continue;
    RegistryValue value;
    const ReadOutcome outcome =
        ReadMachineValue(kMountedDevicesKey, DosDevicesName(letter).c_str(), value);
    if (outcome == ReadOutcome::NoKey) return '0';
    if (outcome == ReadOutcome::NoValue) continue;
    const std::string mounted = InstanceFormOf(text::NarrowUtf16(value.data.data(), value.size));
    if (text::ContainsNoCase(mounted, wanted)) return letter;
    if (!NamesRemovableVolume(mounted)) continue;
    const std::string enumKey = "SYSTEM\\CurrentControlSet\\Enum\\" + std::string(wanted);
    RegistryValue prefix;
    // A unit without a readable ParentIdPrefix, or with an empty one, names no removable
    // volume: an empty prefix is part of every name and would hand the unit the first
    // removable volume of the machine.
    if (ReadMachineValue(enumKey.c_str(), "ParentIdPrefix", prefix) != ReadOutcome::Read) continue;
    const std::string parentIdPrefix = text::NarrowUtf16(prefix.data.data(), prefix.size);
    if (!parentIdPrefix.empty() && text::ContainsNoCase(mounted, parentIdPrefix)) return letter;
  }
  return '0';
}

std::uint32_t GetDiskSignature(platform::Handle handle) {
  std::array<std::uint8_t, kDriveLayoutBufferSize> layout{};
  std::uint32_t returned = 0;
  if (!RelayDeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, layout.data(),
                            kDriveLayoutBufferSize, &returned)) {
    return 0;
  }
  return LoadLe32(layout.data() + kLayoutSignatureOffset);
}

char FindLettersBySignature(platform::Handle handle, LetterText& output) {
  const std::uint32_t signature = GetDiskSignature(handle);
  if (signature == 0) return '0';
  auto& services = platform::Current<platform::WinDeviceServices>();
  const std::uint32_t drives = services.GetLogicalDrives();
  LetterText found{};
  for (char letter = 'a'; letter <= 'z'; ++letter) {
    if (!DrivePresent(drives, letter)) continue;
    char root[8];
    std::snprintf(root, sizeof root, "%c:\\", letter);
    if (services.GetDriveType(root) != platform::kDriveFixed) continue;
    char volume[16];
    std::snprintf(volume, sizeof volume, "\\\\.\\%c:", letter);
    const platform::Handle volumeHandle = RelayOpenDevice(volume);
    if (volumeHandle == platform::kInvalidHandle) continue;
    const std::uint32_t volumeSignature = GetDiskSignature(volumeHandle);
    RelayCloseDevice(volumeHandle);
    if (volumeSignature == signature) {
      const char upper = static_cast<char>(letter - 'a' + 'A');
      text::Append(found, std::string_view(&upper, 1));
    }
  }
  text::Append(output, text::View(found));
  return found[0];
}

bool FindLettersBySector0(DeviceRecord& record) {
  auto& io = platform::Current<platform::DeviceIo>();
  std::array<std::uint8_t, kSectorSize> sector{};
  std::uint32_t read = 0;
  if (!io.Seek(record.Handle, 0)) return false;
  if (!io.Read(record.Handle, sector.data(), kSectorSize, &read) || read != kSectorSize)
    return false;
  const std::uint32_t signature = LoadLe32(sector.data() + kMbrSignatureOffset);
  const std::uint32_t drives = platform::Current<platform::WinDeviceServices>().GetLogicalDrives();
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    if (!DrivePresent(drives, letter)) continue;
    RegistryValue value;
    const ReadOutcome outcome =
        ReadMachineValue(kMountedDevicesKey, DosDevicesName(letter).c_str(), value);
    if (outcome == ReadOutcome::NoKey) return false;
    // An entry too short to hold a signature cannot match one.
    if (outcome == ReadOutcome::Read && value.size >= 4 &&
        LoadLe32(value.data.data()) == signature) {
      text::Append(record.DriveLetters, std::string_view(&letter, 1));
    }
  }
  return true;
}

}  // namespace burnwell::bridge
