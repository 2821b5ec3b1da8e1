#include "history/UnitRecord.h"

#include "common/Hex.h"
#include "bridge/BridgeNames.h"
#include "platform/Utf8.h"

#include <chrono>
#include <ctime>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace burnwell::history {
namespace {

constexpr std::array<const char*, 8> kResultNames = {
    "updated", "up-to-date", "refused", "failed", "disconnected", "stopped", "match", "differs"};

Json TextOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }
std::string TextOf(const Json& value) { return value.is_string() ? value.get<std::string>() : ""; }

}  // namespace

const char* ResultName(UnitResult result) { return kResultNames[static_cast<std::size_t>(result)]; }

std::optional<UnitResult> ResultFromName(std::string_view name) {
  for (std::size_t i = 0; i < kResultNames.size(); ++i)
    if (name == kResultNames[i]) return static_cast<UnitResult>(i);
  return std::nullopt;
}

std::string ResultNameList(std::string_view separator) {
  std::string list;
  for (const char* name : kResultNames) list += (list.empty() ? "" : std::string(separator)) + name;
  return list;
}

bool Passed(UnitResult result) {
  return result == UnitResult::Updated || result == UnitResult::UpToDate ||
         result == UnitResult::Match;
}

std::string UtcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  return std::string(text) + "." + std::to_string(1000 + millis).substr(1) + "Z";
}

std::string HostName() {
#ifdef _WIN32
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (GetComputerNameW(name, &size)) return platform::Utf8FromWide(std::wstring_view(name, size));
#else
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) == 0) return name;
#endif
  return "";
}

BridgeFacts BridgeFactsOf(const device::DeviceRecord& record) {
  BridgeFacts bridge;
  bridge.serial = bridge::SerialOf(record);
  bridge.usb = bridge::UsbLocation(record);
  bridge.vid = Hex(record.VendorId, 4);
  bridge.pid = Hex(record.ProductId, 4);
  bridge.firmware = Hex(record.FirmwareVersion, 8);
  bridge.memory = bridge::MemoryKind(record);
  bridge.codeSize = record.CodeSize;
  return bridge;
}

FileFacts FileFactsOf(const std::string& name, const image::ImageBuffer& loaded,
                      image::FileType type) {
  FileFacts file;
  file.name = name;
  file.type = image::FileTypeName(type);
  file.checksum = Hex(loaded.GetChecksum(), 4);
  const std::optional<std::uint16_t> product = image::NamedProduct(loaded, type);
  file.product = product ? Hex(*product, 4) : "";
  file.codeLength = loaded.CodeLength();
  return file;
}

void TakeReport(UnitRecord& record, const app::UpdateReport& report, bool upToDate) {
  record.passes = report.passes;
  record.phaseSeconds = report.phaseSeconds;
  if (report.checksumBefore) record.flashBefore = Hex(*report.checksumBefore, 4);
  record.error.clear();
  record.errorCode.reset();
  switch (report.result) {
    case app::UpdateResult::Updated:
      record.result = upToDate ? UnitResult::UpToDate : UnitResult::Updated;
      record.flashAfter = record.file.checksum;
      return;
    case app::UpdateResult::Failed: record.result = UnitResult::Failed; break;
    case app::UpdateResult::Disconnected:
    case app::UpdateResult::StoppedAnswering: record.result = UnitResult::Disconnected; break;
    case app::UpdateResult::Stopped: record.result = UnitResult::Stopped; break;
  }
  record.error = report.errorText;
  if (report.error) record.errorCode = app::Code(*report.error);
}

Json ToJson(const BridgeFacts& bridge) {
  Json json;
  json["serial"] = bridge.serial;
  json["usb"] = TextOrNull(bridge.usb);
  json["vid"] = bridge.vid;
  json["pid"] = bridge.pid;
  json["firmware"] = bridge.firmware;
  json["memory"] = bridge.memory;
  json["code_size"] = bridge.codeSize;
  return json;
}

Json ToJson(const FileFacts& file) {
  Json json;
  json["name"] = file.name;
  json["type"] = file.type;
  json["checksum"] = file.checksum;
  json["product"] = TextOrNull(file.product);
  json["code_length"] = file.codeLength;
  return json;
}

Json ResultJson(const UnitRecord& record) {
  Json json;
  json["result"] = ResultName(record.result);
  json["passes"] = record.passes;
  if (record.error.empty() && !record.errorCode) {
    json["error"] = nullptr;
  } else {
    json["error"] = {{"text", record.error},
                     {"code", record.errorCode ? Json(*record.errorCode) : Json(nullptr)}};
  }
  json["flash_before"] = TextOrNull(record.flashBefore);
  json["flash_after"] = TextOrNull(record.flashAfter);
  Json phases = Json::object();
  for (std::size_t i = 0; i < app::kUpdatePhaseCount; ++i)
    phases[app::PhaseName(static_cast<app::UpdatePhase>(i))] = record.phaseSeconds[i];
  json["phase_seconds"] = phases;
  json["seconds"] = record.seconds;
  return json;
}

Json ToJson(const UnitRecord& record) {
  Json json;
  json["time"] = record.time;
  json["station"] = record.station;
  json["program"] = record.program;
  json["version"] = record.version;
  json["command"] = record.command;
  json["bridge"] = ToJson(record.bridge);
  json["file"] = ToJson(record.file);
  json.update(ResultJson(record));
  return json;
}

std::optional<UnitRecord> FromJson(const Json& json) {
  if (!json.is_object() || !json.contains("time") || !json.contains("result")) return std::nullopt;
  const std::optional<UnitResult> result = ResultFromName(TextOf(json.value("result", Json())));
  if (!result) return std::nullopt;
  UnitRecord record;
  record.time = TextOf(json["time"]);
  record.station = TextOf(json.value("station", Json()));
  record.program = TextOf(json.value("program", Json()));
  record.version = TextOf(json.value("version", Json()));
  record.command = TextOf(json.value("command", Json()));
  const Json bridge = json.value("bridge", Json::object());
  record.bridge.serial = TextOf(bridge.value("serial", Json()));
  record.bridge.usb = TextOf(bridge.value("usb", Json()));
  record.bridge.vid = TextOf(bridge.value("vid", Json()));
  record.bridge.pid = TextOf(bridge.value("pid", Json()));
  record.bridge.firmware = TextOf(bridge.value("firmware", Json()));
  record.bridge.memory = TextOf(bridge.value("memory", Json()));
  record.bridge.codeSize = bridge.value("code_size", 0u);
  const Json file = json.value("file", Json::object());
  record.file.name = TextOf(file.value("name", Json()));
  record.file.type = TextOf(file.value("type", Json()));
  record.file.checksum = TextOf(file.value("checksum", Json()));
  record.file.product = TextOf(file.value("product", Json()));
  record.file.codeLength = file.value("code_length", 0u);
  record.flashBefore = TextOf(json.value("flash_before", Json()));
  record.flashAfter = TextOf(json.value("flash_after", Json()));
  record.result = *result;
  if (const Json error = json.value("error", Json()); error.is_object()) {
    record.error = TextOf(error.value("text", Json()));
    if (const Json code = error.value("code", Json()); code.is_number_integer())
      record.errorCode = code.get<int>();
  }
  record.passes = json.value("passes", 0);
  const Json phases = json.value("phase_seconds", Json::object());
  for (std::size_t i = 0; i < app::kUpdatePhaseCount; ++i)
    record.phaseSeconds[i] = phases.value(app::PhaseName(static_cast<app::UpdatePhase>(i)), 0.0);
  record.seconds = json.value("seconds", 0.0);
  return record;
}

}  // namespace burnwell::history
