#include "tools/burnwell-tool/Records.h"

#include <cerrno>
#include <cstring>

#include "common/ExitStatus.h"
#include "tools/burnwell-tool/BridgeSession.h"
#include "tools/burnwell-tool/Commands.h"
#include "tools/burnwell-tool/Selection.h"

namespace burnwell::tool {

Json BridgeJson(int index, const device::DeviceRecord& record) {
  Json bridge{{"index", index}};
  bridge.update(history::ToJson(history::BridgeFactsOf(record)));
  return bridge;
}

Json FileJson(const std::string& name, const image::ImageBuffer& loaded, image::FileType type) {
  return history::ToJson(history::FileFactsOf(name, loaded, type));
}

history::UnitRecord UpdateRecord(const device::DeviceRecord& bridge, const history::FileFacts& file,
                                 const BridgeResult& result) {
  history::UnitRecord record;
  record.command = "update";
  record.bridge = history::BridgeFactsOf(bridge);
  record.file = file;
  history::TakeReport(record, result.report, result.outcome == BridgeOutcome::UpToDate);
  record.seconds = result.seconds;
  return record;
}

history::UnitRecord RefusalRecord(const device::DeviceRecord& bridge,
                                  const history::FileFacts& file, const std::string& error) {
  history::UnitRecord record;
  record.command = "update";
  record.bridge = history::BridgeFactsOf(bridge);
  record.file = file;
  record.result = history::UnitResult::Refused;
  record.error = error;
  return record;
}

Json BridgeResultJson(int index, const history::UnitRecord& record) {
  Json entry{{"index", index}};
  entry.update(history::ToJson(record.bridge));
  entry.update(history::ResultJson(record));
  return entry;
}

void JsonOutput::PrintUnlessPrinted(std::string_view command, int status) {
  if (printed_) return;
  Print(Json{{"command", command},
             {"ok", false},
             {"status", status},
             {"error", ExitStatusText(static_cast<ExitStatus>(status))}});
}

void JsonOutput::Print(const Json& document) {
  printed_ = true;
  const std::string text = document.dump(2) + "\n";
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
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

bool JsonLog::Append(const history::UnitRecord& record) {
  const std::string text = history::ToJson(record).dump() + "\n";
  std::lock_guard lock(mutex_);
  const bool written = std::fwrite(text.data(), 1, text.size(), file_) == text.size();
  return std::fflush(file_) == 0 && written;
}

}  // namespace burnwell::tool
