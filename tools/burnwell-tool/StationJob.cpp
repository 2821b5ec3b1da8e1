#include "tools/burnwell-tool/StationJob.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "app/ConfigFile.h"
#include "app/BridgeUpdate.h"
#include "app/StringTable.h"
#include "app/VersionCheck.h"
#include "common/Hex.h"
#include "common/MakerIds.h"
#include "history/UnitRecord.h"
#include "tools/burnwell-tool/Commands.h"

namespace burnwell::tool {
namespace {

// A VID or PID of Config.ini: one to four hexadecimal digits ("7E55").
std::optional<std::uint16_t> HexId(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                   ? c - '0'
                                                   : std::tolower(c) - 'a' + 10);
  }
  return static_cast<std::uint16_t>(value);
}

// "USB\VID_7E55&PID_5801" as Config.ini's reading stores it, as two IDs.
std::optional<std::pair<std::uint16_t, std::uint16_t>> ParseDeviceId(std::string_view id) {
  constexpr std::string_view kVid = "USB\\VID_";
  constexpr std::string_view kPid = "&PID_";
  if (id.substr(0, kVid.size()) != kVid) return std::nullopt;
  id.remove_prefix(kVid.size());
  const std::size_t pid = id.find(kPid);
  if (pid == std::string_view::npos) return std::nullopt;
  const auto vendor = HexId(id.substr(0, pid));
  const auto product = HexId(id.substr(pid + kPid.size()));
  if (!vendor || !product) return std::nullopt;
  return std::pair{*vendor, *product};
}

// The IDs a unit is listed by: those of its USB device when discovery knows them, else the
// ones the bridge reports.
std::pair<std::uint16_t, std::uint16_t> ListedIds(const device::DeviceRecord& bridge) {
  if (bridge.ParentProductId != 0) return {bridge.ParentVendorId, bridge.ParentProductId};
  return {bridge.VendorId, bridge.ProductId};
}

}  // namespace

bool StationJob::BusPowered() const { return busPowered.value_or(!configSelfPowered); }

protocol::TransferMode StationJob::Transfers() const {
  if (transfers) return *transfers;
  if (fromConfig && !configFast) return protocol::TransferMode::Classic;
  return protocol::TransferMode::Fast;
}

bool ReadStationConfig(const std::string& path, StationJob& job, std::string& why) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(ArgumentPath(path), error)) {
    why = "no " + path + " here: start the station in its folder, or give the firmware FILE";
    return false;
  }
  app::ConfigSettings settings;
  if (app::ReadConfigFile(ArgumentPath(path), settings) != 0) {
    why = path + ": DevCount is above " + std::to_string(app::kMaxDevCount) +
          ", so the dialog would read nothing more (at most 3 VID/PID pairs)";
    return false;
  }
  job.fromConfig = true;
  job.file = app::FirmwarePathText(settings.firmwareFileName);
  job.configSelfPowered = settings.selfPowered != 0;
  job.configFast = settings.fastTransfers != 0;
  job.compareLength = settings.compareLength;
  job.compareString = settings.compareString;
  for (int n = 0; n < settings.deviceCount; ++n) {
    const std::string_view text =
        app::DeviceIdText(settings.deviceIds[static_cast<std::size_t>(n)]);
    const auto ids = ParseDeviceId(text);
    if (!ids) {
      why = path + ": [Update_Device] VID" + std::to_string(n + 1) + "/PID" +
            std::to_string(n + 1) + " give \"" + std::string(text) +
            "\", not two hexadecimal IDs such as 7E55 and 5801";
      return false;
    }
    job.products.push_back(*ids);
    // A vendor the list names is one the job is for.
    if (std::find(job.fit.vendors.begin(), job.fit.vendors.end(), ids->first) ==
        job.fit.vendors.end())
      job.fit.vendors.push_back(ids->first);
  }
  return true;
}

bool LoadStationFile(StationJob& job, std::string& why) {
  const image::FirmwareLoadResult loaded =
      image::LoadFirmwareByType(image::LoadedImage(), ArgumentPath(job.file));
  job.type = loaded.type;
  if (!loaded.ok) {
    why = image::LoadFailureText(ArgumentPath(job.file), job.file, loaded);
    return false;
  }
  return true;
}

std::optional<std::string> Refusal(const StationJob& job, const device::DeviceRecord& bridge,
                                   const image::ImageBuffer& loaded) {
  std::vector<std::string> reasons;
  if (job.fromConfig) {
    const auto ids = ListedIds(bridge);
    if (std::find(job.products.begin(), job.products.end(), ids) == job.products.end())
      reasons.push_back("USB " + Hex(ids.first, 4) + ":" + Hex(ids.second, 4) +
                        " is not listed in [Update_Device] of Config.ini");
    const std::string version = app::FirmwareVersionText(bridge.FirmwareVersion);
    if (job.compareLength != 0 &&
        !app::VersionTextMatches(version, job.compareString, job.compareLength))
      reasons.push_back(app::StringTableText(IDS_VERSION_REFUSED) + " (version " + version +
                        ", CMPSTR \"" + job.compareString + "\", CMPLEN " +
                        std::to_string(job.compareLength) + ")");
  }
  const FitVerdict verdict = CheckFit(bridge, loaded, job.type, job.fit);
  reasons.insert(reasons.end(), verdict.refusals.begin(), verdict.refusals.end());
  if (reasons.empty()) return std::nullopt;
  std::string text = reasons.front();
  for (std::size_t i = 1; i < reasons.size(); ++i) text += "; " + reasons[i];
  return text;
}

std::vector<std::string> JobLines(const StationJob& job, const image::ImageBuffer& loaded) {
  std::vector<std::string> lines;
  lines.push_back("job: " + job.file + " (" + image::FileTypeName(job.type) + ", checksum " +
                  ChecksumText(loaded.GetChecksum()) + ")" +
                  (job.fromConfig ? ", from Config.ini" : ""));
  std::string products;
  if (job.fromConfig) {
    products = "products";
    for (const auto& [vendor, product] : job.products)
      products += " " + Hex(vendor, 4) + ":" + Hex(product, 4);
    if (job.products.empty()) products += ": none listed, every unit is refused";
  } else {
    products = "vendors " + Hex(VID_MAKER, 4);
    for (const std::uint16_t vendor : job.fit.vendors) products += " " + Hex(vendor, 4);
    if (const std::optional<std::uint16_t> named = image::NamedProduct(loaded, job.type))
      products += ", product " + Hex(*named, 4) + " (the file's)";
    else if (job.fit.product)
      products += ", product " + Hex(*job.fit.product, 4);
    else
      products += ", any product (an Intel HEX file names none; --product checks it)";
  }
  if (job.fit.force) products += "; --force: units that do not fit are written all the same";
  lines.push_back("for: " + products);
  if (job.fromConfig) {
    lines.push_back(job.compareLength == 0
                        ? std::string("version check: none (CMPLEN 0)")
                        : "version check: the first " + std::to_string(job.compareLength) +
                              " characters of the firmware version must be \"" + job.compareString +
                              "\"");
  }
  lines.push_back(
      std::string("writes: ") +
      (job.BusPowered() ? "bus-powered (500 mA)" : "self-powered (100 mA)") + ", " +
      (job.Transfers() == protocol::TransferMode::Fast ? "fast transfers" : "classic transfers") +
      "; a unit that already holds it is left as it is");
  return lines;
}

}  // namespace burnwell::tool
