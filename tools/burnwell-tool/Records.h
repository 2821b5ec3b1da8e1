// What burnwell-tool keeps of its work: the JSON document --json prints on standard output,
// and the log --log FILE appends to, one JSON line per bridge and attempt: the unit's record
// (history/UnitRecord.h), the same record the history keeps as a row.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "device/DeviceRecord.h"
#include "history/UnitRecord.h"
#include "image/FirmwareReaders.h"
#include "image/ImageBuffer.h"
#include "tools/burnwell-tool/TrayUpdate.h"

namespace burnwell::tool {

using Json = history::Json;

// A bridge as discovery found it: index and its facts.
Json BridgeJson(int index, const device::DeviceRecord& record);

// A loaded firmware file: name as given, type, checksum, product, code length.
Json FileJson(const std::string& name, const image::ImageBuffer& loaded, image::FileType type);

// The record of one bridge's update as the tray ended it (command "update").
history::UnitRecord UpdateRecord(const device::DeviceRecord& bridge, const history::FileFacts& file,
                                 const BridgeResult& result);
// The record of a bridge the update refused before writing anything: why, in error.
history::UnitRecord RefusalRecord(const device::DeviceRecord& bridge,
                                  const history::FileFacts& file, const std::string& error);

// A bridge's entry in a --json document: its index and the record's bridge and result.
Json BridgeResultJson(int index, const history::UnitRecord& record);

// The one JSON document a command given --json prints on standard output.
class JsonOutput {
 public:
  explicit JsonOutput(std::FILE* out) : out_(out) {}
  // Prints the document as one JSON text and a newline.
  void Print(const Json& document);
  // When the command ended before printing its document (a refusal, no bridge), prints
  // {"command", "ok": false, "status", "error"} so that standard output is JSON on every way out.
  void PrintUnlessPrinted(std::string_view command, int status);

 private:
  std::FILE* out_;
  bool printed_ = false;
};

// The append-only log. Each entry is one line written with one call and flushed at once, so
// a crash leaves whole lines behind.
class JsonLog {
 public:
  // Opens FILE for appending (created when missing). Nothing: the log cannot be written,
  // and why is in error.
  static std::unique_ptr<JsonLog> Open(const std::string& name, std::string& error);
  explicit JsonLog(std::FILE* file) : file_(file) {}
  JsonLog(const JsonLog&) = delete;
  JsonLog& operator=(const JsonLog&) = delete;
  ~JsonLog();

  // Appends the record (stamped with time, station and program by the history's Recorder).
  // False when the line could not be written.
  bool Append(const history::UnitRecord& record);

 private:
  std::FILE* file_;
  std::mutex mutex_;  // workers append as their bridges end
};

}  // namespace burnwell::tool
