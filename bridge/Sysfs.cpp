#include "bridge/Sysfs.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <iterator>
#include <system_error>

namespace burnwell::bridge::sysfs {

using device::TransportKind;
namespace fs = std::filesystem;
namespace {

// The number at the end of a name ("sg12" gives 12), for ordering nodes as the kernel numbers
// them rather than as text sorts them.
std::uint64_t TrailingNumber(const std::string& name) {
  std::size_t start = name.size();
  while (start > 0 && std::isdigit(static_cast<unsigned char>(name[start - 1]))) --start;
  std::uint64_t value = 0;
  std::from_chars(name.data() + start, name.data() + name.size(), value);
  return value;
}

std::optional<fs::path> Resolve(const fs::path& path) {
  std::error_code error;
  fs::path resolved = fs::canonical(path, error);
  if (error) return std::nullopt;
  return resolved;
}

// The single entry of a directory such as block/ or scsi_generic/ below a unit.
std::string OnlyEntry(const fs::path& dir) {
  std::error_code error;
  std::vector<std::string> names;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names.empty() ? std::string() : names.front();
}

bool IsLibataPort(const std::string& name) {
  return name.size() > 3 && name.compare(0, 3, "ata") == 0 &&
         std::all_of(name.begin() + 3, name.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

bool IsMassStorageDriver(const std::string& driver) {
  return driver == "usb-storage" || driver == "uas" || driver == "firewire_sbp2" ||
         driver == "sbp2";
}

bool IsLibataDriver(const std::string& driver) {
  return driver == "ahci" || driver == "ata_piix" || driver == "ata_generic" ||
         driver.rfind("pata_", 0) == 0 || driver.rfind("sata_", 0) == 0;
}

bool IsBelow(const fs::path& path, const fs::path& top) {
  auto [topEnd, pathIt] = std::mismatch(top.begin(), top.end(), path.begin(), path.end());
  return topEnd == top.end();
}

}  // namespace

fs::path SysDir(const fs::path& systemRoot) { return systemRoot / "sys"; }

std::optional<std::string> ReadAttribute(const fs::path& dir, const char* name) {
  std::ifstream in(dir / name, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\0')) {
    text.pop_back();
  }
  return text;
}

std::optional<std::uint64_t> ReadNumber(const fs::path& dir, const char* name, int base) {
  const std::optional<std::string> text = ReadAttribute(dir, name);
  if (!text || text->empty()) return std::nullopt;
  std::uint64_t value = 0;
  const char* first = text->data();
  const char* last = first + text->size();
  while (first != last && *first == ' ') ++first;
  auto [end, error] = std::from_chars(first, last, value, base);
  if (error != std::errc() || end != last) return std::nullopt;
  return value;
}

std::string DriverName(const fs::path& dir) {
  std::error_code error;
  const fs::path target = fs::read_symlink(dir / "driver", error);
  return error ? std::string() : target.filename().string();
}

bool IsUsbDevice(const fs::path& dir) {
  std::error_code error;
  return fs::exists(dir / "idVendor", error) && fs::exists(dir / "devnum", error);
}

bool IsUsbHub(const fs::path& dir) {
  if (ReadNumber(dir, "bDeviceClass", 16).value_or(0) == 9) return true;
  return ReadNumber(dir, "maxchild").value_or(0) > 0;
}

TransportKind TransportOf(const fs::path& sysDir, const fs::path& deviceDir,
                          std::optional<fs::path>* usbDevice) {
  if (usbDevice) usbDevice->reset();
  const std::optional<fs::path> top = Resolve(sysDir / "devices");
  TransportKind kind = TransportKind::Scsi;
  bool massStorage = false;
  for (fs::path dir = deviceDir.parent_path(); top && IsBelow(dir, *top) && dir != *top;
       dir = dir.parent_path()) {
    const std::string driver = DriverName(dir);
    if (IsMassStorageDriver(driver)) {
      massStorage = true;
      kind = TransportKind::MassStorage;
    } else if (!massStorage && (IsLibataPort(dir.filename().string()) || IsLibataDriver(driver))) {
      kind = TransportKind::Ide;
    }
    // The nearest USB device above a mass-storage interface is the storage device itself.
    if (massStorage && usbDevice && !*usbDevice && IsUsbDevice(dir)) *usbDevice = dir;
  }
  return kind;
}

std::vector<ScsiUnit> ListScsiUnits(const fs::path& sysDir) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(sysDir / "class" / "scsi_generic", error), end;
       !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const std::uint64_t na = TrailingNumber(a), nb = TrailingNumber(b);
    return na != nb ? na < nb : a < b;
  });

  std::vector<ScsiUnit> units;
  for (const std::string& name : names) {
    const std::optional<fs::path> deviceDir =
        Resolve(sysDir / "class" / "scsi_generic" / name / "device");
    if (!deviceDir) continue;
    ScsiUnit unit;
    unit.genericName = name;
    unit.deviceDir = *deviceDir;
    unit.address = deviceDir->filename().string();
    unit.type = static_cast<int>(ReadNumber(*deviceDir, "type").value_or(-1));
    unit.vendor = ReadAttribute(*deviceDir, "vendor").value_or("");
    unit.model = ReadAttribute(*deviceDir, "model").value_or("");
    unit.blockName = OnlyEntry(*deviceDir / "block");
    unit.transport = TransportOf(sysDir, *deviceDir, &unit.usbDevice);
    units.push_back(std::move(unit));
  }
  return units;
}

std::vector<fs::path> RootHubs(const fs::path& sysDir) {
  std::vector<std::pair<std::uint64_t, fs::path>> hubs;
  std::error_code error;
  for (fs::directory_iterator it(sysDir / "bus" / "usb" / "devices", error), end;
       !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("usb", 0) != 0) continue;
    const std::optional<fs::path> dir = Resolve(it->path());
    if (!dir) continue;
    hubs.emplace_back(ReadNumber(*dir, "busnum").value_or(TrailingNumber(name)), *dir);
  }
  std::sort(hubs.begin(), hubs.end());
  std::vector<fs::path> result;
  for (auto& [bus, dir] : hubs) result.push_back(std::move(dir));
  return result;
}

std::optional<fs::path> DeviceOnPort(const fs::path& hubDir, unsigned port) {
  // Children of root hub usbB are "B-P"; children of hub "B-P" are "B-P.Q".
  const std::string hubName = hubDir.filename().string();
  std::string child;
  if (hubName.rfind("usb", 0) == 0) {
    child = hubName.substr(3) + "-" + std::to_string(port);
  } else {
    child = hubName + "." + std::to_string(port);
  }
  const fs::path dir = hubDir / child;
  if (!IsUsbDevice(dir)) return std::nullopt;
  return dir;
}

std::optional<std::uint32_t> SpeedCode(const std::string& speed) {
  if (speed == "1.5") return 0;
  if (speed == "12") return 1;
  if (speed == "480") return 2;
  std::uint64_t mbits = 0;
  auto [end, error] = std::from_chars(speed.data(), speed.data() + speed.size(), mbits);
  if (error == std::errc() && end == speed.data() + speed.size() && mbits > 480) return 3;
  return std::nullopt;
}

std::string KernelPath(const fs::path& sysDir, const fs::path& path) {
  const std::optional<fs::path> top = Resolve(sysDir);
  const fs::path base = top ? *top : sysDir;
  if (!IsBelow(path, base)) return path.generic_string();
  return "/sys/" + path.lexically_relative(base).generic_string();
}

}  // namespace burnwell::bridge::sysfs
