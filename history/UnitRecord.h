// One unit on record: a single attempt at one bridge (an update, a verify, a station's unit),
// whatever its result. The JSON log line, the history's row and the station's "finished" event
// are this one record, so each fact about a unit is written down once, here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "app/BridgeUpdate.h"
#include "device/DeviceRecord.h"
#include "image/FirmwareReaders.h"
#include "image/ImageBuffer.h"

namespace burnwell::history {

using Json = nlohmann::ordered_json;

// How an attempt ended. Updates end updated, up to date, refused (nothing written: the file does
// not fit, the version check), failed, disconnected (the bridge went away or stopped answering)
// or stopped (a second Ctrl-C); a verify ends with a match, a difference or a failed read.
enum class UnitResult { Updated, UpToDate, Refused, Failed, Disconnected, Stopped, Match, Differs };

// "updated", "up-to-date", "refused", "failed", "disconnected", "stopped", "match", "differs".
const char* ResultName(UnitResult result);
std::optional<UnitResult> ResultFromName(std::string_view name);
// Every name, in the order above, with separator between them ("updated|up-to-date|...").
std::string ResultNameList(std::string_view separator);
// The bridge left the attempt as it should: updated, already up to date, or matching.
bool Passed(UnitResult result);

struct BridgeFacts {
  std::string serial;
  std::string usb;  // the USB location ("1-2.3"); "" when discovery did not learn it
  std::string vid;  // four lower-case hex digits
  std::string pid;
  std::string firmware;  // the version word the bridge reports, eight hex digits
  std::string memory;    // "spi", "eeprom-256", "eeprom-64k" or "none"
  std::uint32_t codeSize = 0;
};

struct FileFacts {
  std::string name;      // as the operator gave it
  std::string type;      // "hex", "bin", ...
  std::string checksum;  // the image checksum, four lower-case hex digits
  std::string product;   // the product an image file is for; "" for an Intel HEX file
  std::uint32_t codeLength = 0;
};

struct UnitRecord {
  std::string time;     // UTC, "2026-05-01T12:34:56.789Z"
  std::string station;  // the host name unless the station was given a name
  std::string program;  // "burnwell-tool", "burnwell"
  std::string version;  // the program's version
  std::string command;  // "update", "verify", "station", "dialog"
  BridgeFacts bridge;
  FileFacts file;
  // The checksum the bridge's flash marker carried before the attempt and the one its flash
  // holds after it ("" where unknown: no valid marker, the flash unread, a failed update).
  std::string flashBefore;
  std::string flashAfter;
  UnitResult result = UnitResult::Failed;
  std::string error;             // why it failed or was refused
  std::optional<int> errorCode;  // the update's message id, where it raised one
  int passes = 0;
  std::array<double, app::kUpdatePhaseCount> phaseSeconds{};
  double seconds = 0;  // the attempt's wall time
};

// The UTC time now as records write it, to the millisecond.
std::string UtcNow();
// This machine's name, the default station name.
std::string HostName();

// The facts discovery learnt of a bridge.
BridgeFacts BridgeFactsOf(const device::DeviceRecord& record);
FileFacts FileFactsOf(const std::string& name, const image::ImageBuffer& loaded,
                      image::FileType type);
// Result, error, passes and phase times of an update that ran (or found the bridge up to date).
void TakeReport(UnitRecord& record, const app::UpdateReport& report, bool upToDate);

// The record as one JSON object (the log's line, the station's event, `history --json`).
Json ToJson(const UnitRecord& record);
// The bridge and file objects alone, as documents that list bridges use them.
Json ToJson(const BridgeFacts& bridge);
Json ToJson(const FileFacts& file);
// The result part alone: result, passes, error, phase_seconds, seconds.
Json ResultJson(const UnitRecord& record);
// Reads what ToJson wrote; nothing when a required field is missing.
std::optional<UnitRecord> FromJson(const Json& json);

}  // namespace burnwell::history
