// The update of one bridge whose device API is already open: keep the bridge's configuration
// block (HEX files) or carry its serial number into the file's block, erase, program block and
// code in one write, stamp the validity marker, read back and compare, repeating a failed pass up
// to six passes in all. Every front end runs it: the dialog's one-shot update on the one bridge
// attached, and the command-line tool on each bridge it was aimed at.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/StringTable.h"
#include "image/ImageBuffer.h"
#include "platform/WindowMessages.h"
#include "protocol/TransferMode.h"

namespace burnwell::app {

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

// The steps of an update in the order they start; the dialog shows each one's status text.
enum class UpdatePhase : int {
  ReadConfiguration,  // the bridge's block at flash offset 0
  SetConfiguration,   // the block edits, in memory
  IcpStart,           // before the first pass
  Erase,
  Program,  // block and code, then the marker
  ReadBack,
  Compare,
};
inline constexpr std::size_t kUpdatePhaseCount = 7;

// The dialog's status text of a phase ("Erase main code\n").
const char* PhaseStatusText(UpdatePhase phase);
// A short lower-case name for logs and terminal lines ("erase").
const char* PhaseName(UpdatePhase phase);

// What to update and how.
struct UpdatePlan {
  int deviceIndex = 0;          // the device API's index of the bridge
  int selfPowered = 1;          // SELFPOWERON: non-zero programs the bridge as self-powered
  bool keepBridgeBlock = true;  // HEX files keep the bridge's block; image files bring their own
  protocol::TransferMode transfers = protocol::TransferMode::Classic;
  // With fast transfers, erase only the chip's sectors or blocks that the update writes (the
  // rest of the chip keeps what it held); otherwise, and after a fallback to classic transfers,
  // the whole chip.
  bool eraseOnlyWhatIsWritten = false;
  platform::WindowHandle progressWindow = 0;  // receives the flash operations' progress messages
};

// What a front end hears of one bridge's update while it runs. Called on the update's thread.
class UpdateObserver {
 public:
  virtual ~UpdateObserver() = default;
  // `pass` counts from 1 once the passes begin; 0 before.
  virtual void PhaseStarted(UpdatePhase /*phase*/, int /*pass*/) {}
  // A pass failed and another one follows.
  virtual void PassFailed(int /*pass*/, MessageId /*id*/, const std::string& /*text*/) {}
};

enum class UpdateResult {
  Updated,           // programmed, read back equal, write protection on again
  Failed,            // the configuration read failed, or the sixth pass did
  Disconnected,      // the bridge went away (unplugged): the passes stopped at once
  StoppedAnswering,  // a command passed the program's own deadline
  Stopped,           // a stop was requested (a second Ctrl-C) while the memory was changed
};

// The configuration block is read until two reads agree, at most this many times.
inline constexpr int kMaxBlockReads = 4;

struct UpdateReport {
  UpdateResult result = UpdateResult::Failed;
  int passes = 0;                  // passes started (0: the configuration read failed)
  std::optional<MessageId> error;  // the raised error, when failed
  std::string errorText;           // its formatted text
  std::uint32_t errorStyle = 0;    // the message-box style the dialog shows it with
  std::array<double, kUpdatePhaseCount> phaseSeconds{};  // time spent in each phase, all passes
  // A pass with fast transfers failed (its erase, program, read-back or compare), and the passes
  // after it used classic ones.
  bool fellBackToClassic = false;
  std::optional<UpdatePhase> endedIn;  // the phase a disconnect or a stop ended the update in
  // The checksum the bridge's validity marker carried when its block was read; nothing when the
  // marker was not set or the block not read.
  std::optional<std::uint16_t> checksumBefore;
};

// Updates the bridge the plan names with `loaded` (the loaded firmware image, never changed).
// Writes nothing but the flash of that bridge; shows nothing itself. A gone bridge, one that
// stopped answering, and a stop request (platform/StopRequest.h, taken between commands from
// the erase to the end of the compare) end the update at once, without further passes.
UpdateReport UpdateBridge(const UpdatePlan& plan, const image::ImageBuffer& loaded,
                          UpdateObserver& observer);

// Exactly what an update leaves in the flash from offset 0, given the bridge's own
// configuration block as read from it: the block with the update's edits (or the file's block
// carrying the bridge's serial number), the code, the validity marker and checksum (where
// StampsMarker).
std::vector<std::uint8_t> FlashAfterUpdate(std::span<const std::uint8_t> bridgeBlock,
                                           const image::ImageBuffer& loaded,
                                           const UpdatePlan& plan);

// Where a bridge's configuration block, as read from its flash, differs from the block the
// plan's update would leave there: the first differing offset, or nothing when they match. The
// block carries the validity marker and the checksum, so a bridge that holds another image
// differs here, and telling whether it is up to date needs the code only when it does not.
std::optional<std::uint32_t> FirstDifferenceInBlock(std::span<const std::uint8_t> bridgeBlock,
                                                    const image::ImageBuffer& loaded,
                                                    const UpdatePlan& plan);

// False for a file without main code (code length 0: a configuration-only file).
inline bool CarriesCode(const image::ImageBuffer& loaded) { return loaded.CodeLength() > 0; }

// Whether the update stamps the validity marker: always, but for a file without code on a
// serial flash, whose marker would claim valid firmware over erased code. (An EEPROM bridge
// holds its block alone, marked as ever.)
bool StampsMarker(const image::ImageBuffer& loaded, int deviceIndex);

// What a bridge holds after an update with `loaded`, for people: "checksum 65DA", or
// "configuration block only, no main code".
std::string HoldsAfterUpdate(const image::ImageBuffer& loaded);

// The string-table text of an id (101..119), or "" for an id that has none.
std::string StringTableText(int id);
// The string-table text of an id formatted printf-style with (offset, length) where the entry
// has placeholders (111 and 112), unchanged otherwise.
std::string FormatErrorText(MessageId id, std::uint32_t offset = 0, int length = 0);

}  // namespace burnwell::app
