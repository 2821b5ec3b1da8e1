// What burnwell-tool keeps of its work: the JSON document --json prints on standard output,
// and the log --log FILE appends to, one JSON line per bridge and attempt.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "device/DeviceRecord.h"
#include "image/FirmwareReaders.h"
#include "image/ImageBuffer.h"
#include "tools/burnwell-tool/TrayUpdate.h"

namespace burnwell::tool {

using Json = nlohmann::ordered_json;

// A bridge as discovery found it: index, serial, USB location, IDs, firmware, memory.
Json BridgeJson(int index, const device::DeviceRecord& record);

// A loaded firmware file: name as given, type, checksum, product, code length.
Json FileJson(const std::string& name, const image::ImageBuffer& loaded, image::FileType type);

// One bridge's update: result, passes, error text and id, seconds per phase and in all.
Json ResultJson(const BridgeResult& result);

// The time now in UTC as the log writes it: "2024-05-01T12:34:56.789Z".
std::string UtcNow();

// Prints a document on standard output as one JSON text and a newline.
void PrintJson(std::FILE* out, const Json& document);

// For --json: when the command ended before printing its document (a refusal, no bridge),
// prints {"command", "ok": false, "status", "error"} so that standard output is JSON on every
// way out.
void PrintJsonUnlessPrinted(std::FILE* out, std::string_view command, int status);

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

  // Adds the UTC time, host name and tool version to the entry and appends it.
  // False when the line could not be written.
  bool Append(Json entry);

 private:
  std::FILE* file_;
  std::mutex mutex_;  // workers append as their bridges end
};

}  // namespace burnwell::tool
