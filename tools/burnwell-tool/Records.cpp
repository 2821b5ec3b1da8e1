#include "tools/burnwell-tool/Records.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "common/ExitStatus.h"
#include "common/Version.h"
#include "image/ConfigBlock.h"
#include "tools/burnwell-tool/BridgeSession.h"
#include "tools/burnwell-tool/Commands.h"
#include "tools/burnwell-tool/Selection.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace burnwell::tool {
namespace {

std::string HostName() {
#ifdef _WIN32
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (GetComputerNameA(name, &size)) return name;
#else
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) == 0) return name;
#endif
  return "";
}

}  // namespace

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

Json BridgeJson(int index, const device::DeviceRecord& record) {
  Json bridge;
  bridge["index"] = index;
  bridge["serial"] = SerialOf(record);
  const std::string location = UsbLocation(record);
  bridge["usb"] = location.empty() ? Json(nullptr) : Json(location);
  bridge["vid"] = Hex(record.VendorId, 4);
  bridge["pid"] = Hex(record.ProductId, 4);
  bridge["firmware"] = Hex(record.FirmwareVersion, 8);
  bridge["memory"] = MemoryKind(record);
  bridge["code_size"] = record.CodeSize;
  return bridge;
}

Json FileJson(const std::string& name, const image::ImageBuffer& loaded, image::FileType type) {
  Json file;
  file["name"] = name;
  file["type"] = image::FileTypeName(type);
  file["checksum"] = Hex(loaded.GetChecksum(), 4);
  file["product"] =
      type == image::FileType::Hex ? Json(nullptr) : Json(Hex(loaded.ProductId() & 0xFFFFu, 4));
  file["code_length"] = loaded.CodeLength();
  return file;
}

Json ResultJson(const BridgeResult& result) {
  Json entry;
  entry["result"] = OutcomeName(result.outcome);
  entry["passes"] = result.report.passes;
  if (result.outcome == BridgeOutcome::Failed) {
    entry["error"] = {
        {"text", result.report.errorText},
        {"code", result.report.error ? Json(app::Code(*result.report.error)) : Json(nullptr)}};
  } else {
    entry["error"] = nullptr;
  }
  Json phases = Json::object();
  for (std::size_t i = 0; i < app::kUpdatePhaseCount; ++i)
    phases[app::PhaseName(static_cast<app::UpdatePhase>(i))] = result.report.phaseSeconds[i];
  entry["phase_seconds"] = phases;
  entry["seconds"] = result.seconds;
  return entry;
}

namespace {
std::atomic<bool> documentPrinted{false};  // one command runs per process
}  // namespace

void PrintJsonUnlessPrinted(std::FILE* out, std::string_view command, int status) {
  if (documentPrinted.load()) return;
  PrintJson(out, Json{{"command", command},
                      {"ok", false},
                      {"status", status},
                      {"error", ExitStatusText(static_cast<ExitStatus>(status))}});
}

void PrintJson(std::FILE* out, const Json& document) {
  documentPrinted.store(true);
  const std::string text = document.dump(2) + "\n";
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
}

std::unique_ptr<JsonLog> JsonLog::Open(const std::string& name, std::string& error) {
  std::FILE* file = nullptr;
#ifdef _WIN32
  file = _wfopen(ArgumentPath(name).c_str(), L"ab");
#else
  file = std::fopen(ArgumentPath(name).c_str(), "ab");
#endif
  if (file == nullptr) {
    error = "cannot write the log " + name + ": " + std::strerror(errno);
    return nullptr;
  }
  // Room for a whole line in the buffer: each line reaches the file in one write.
  std::setvbuf(file, nullptr, _IOFBF, 1 << 16);
  return std::make_unique<JsonLog>(file);
}

JsonLog::~JsonLog() {
  if (file_) std::fclose(file_);
}

bool JsonLog::Append(Json entry) {
  Json line;
  line["time"] = UtcNow();
  line["host"] = HostName();
  line["tool"] = std::string("burnwell-tool ") + kVersionText;
  line.update(entry);
  const std::string text = line.dump() + "\n";
  std::lock_guard lock(mutex_);
  const bool written = std::fwrite(text.data(), 1, text.size(), file_) == text.size();
  return std::fflush(file_) == 0 && written;
}

}  // namespace burnwell::tool
