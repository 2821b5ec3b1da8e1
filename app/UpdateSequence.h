// The one-shot update of the first bridge found with the loaded firmware image: keep the
// bridge's configuration block (HEX files) or carry its serial number into the file's block,
// erase, program block and code in one write, stamp the validity marker, read back and compare,
// repeating a failed pass up to six passes in all.
#pragma once

#include <cstdint>
#include <string>

#include "app/StringTable.h"
#include "app/UpdateHost.h"

namespace burnwell::app {

// How an update attempt ended; the operator has already been told.
enum class UpdateOutcome {
  Updated,    // programmed, verified and protected again
  NoBridge,   // BridgeOpen found nothing; no flash access
  Failed,     // a raised error: the configuration read or the sixth failed pass
};

// The error identifiers the update raises: string-table ids of the operator's messages.
enum class MessageId : int {
  DeviceNotFound = IDS_DEVICE_NOT_FOUND,
  EraseFailed = IDS_ERASE_FAILED,
  ProgramFailed = IDS_PROGRAM_FAILED,
  ReadFailed = IDS_READ_FAILED,
  VerifyFailed = IDS_VERIFY_FAILED,
};
// The string-table id.
constexpr int Code(MessageId id) { return static_cast<int>(id); }

inline constexpr int kMaxPasses = 6;

// Every front end asks the operator to confirm this before it starts an update.
inline constexpr char kBackupWarning[] = "Please do backup your files before executing the steps.";

UpdateOutcome RunUpdate(UpdateHost& host);

// The string-table text of an id (101..119), or "" for an id that has none.
std::string StringTableText(int id);
// The string-table text of an id formatted printf-style with (offset, length) where the entry
// has placeholders (111 and 112), unchanged otherwise.
std::string FormatErrorText(MessageId id, std::uint32_t offset = 0, int length = 0);

}  // namespace burnwell::app
