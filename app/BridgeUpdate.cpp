#include "app/BridgeUpdate.h"

#include "common/Hex.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <variant>

#include "bridge/BridgeNames.h"
#include "bridge/DeviceApi.h"
#include "common/Hex.h"
#include "common/MakerIds.h"
#include "device/DeviceRecord.h"
#include "image/ConfigBlock.h"
#include "platform/Clock.h"
#include "platform/Seam.h"
#include "platform/StopRequest.h"
#include "platform/WinNames.h"

namespace burnwell::app {
namespace {

constexpr std::uint32_t kProgressMessage = 0;  // 0: the progress window is a progress bar
constexpr std::uint32_t kSerialBufferSize = 64;

// The configuration block at flash offset 0 (image/ConfigBlock.h names its bytes): the main
// code follows it, and the update stamps the marker and checksum bytes itself.
constexpr std::uint32_t kConfigBlockSize = image::kConfigBlockSize;
constexpr std::uint32_t kMarkerOffset = image::offset::kMarker;
static_assert(image::offset::kMarker + 1 == image::offset::kChecksum);

// The maximum power the update sets.
constexpr std::uint8_t kSelfPoweredMaxPower = 50;  // 100 mA in units of 2 mA
constexpr std::uint8_t kBusPoweredMaxPower = 250;  // 500 mA

// How an update ended before it was done: a failed configuration read, a sixth failed pass
// (with the error identifier raised), or an end that no further pass can mend (the bridge is
// gone, silent, or a stop was requested).
struct UpdateEnd {
  UpdateResult result = UpdateResult::Failed;
  std::optional<MessageId> id;
  std::string text;
};

// A step of a pass that failed.
struct StepFailure {
  MessageId id;
  std::string text;
};

struct Verified {};

// What one pass came to.
using PassOutcome = std::variant<Verified, StepFailure, UpdateEnd>;

// "during programming": the phase as the end-of-update messages name it.
const char* DuringText(UpdatePhase phase) {
  switch (phase) {
    case UpdatePhase::ReadConfiguration: return "the configuration read";
    case UpdatePhase::SetConfiguration:
    case UpdatePhase::IcpStart: return "the start of the update";
    case UpdatePhase::Erase: return "the erase";
    case UpdatePhase::Program: return "programming";
    case UpdatePhase::ReadBack: return "the read-back";
    case UpdatePhase::Compare: return "the compare";
  }
  return "the update";
}

// What a stop in `phase` leaves in the bridge's memory.
std::string StoppedText(UpdatePhase phase) {
  std::string state;
  switch (phase) {
    case UpdatePhase::Erase: state = "erased: it has no valid firmware"; break;
    case UpdatePhase::Program:
      state = "partly programmed, with no validity marker: it has no valid firmware";
      break;
    default: state = "programmed but not verified"; break;
  }
  return "Stopped. The bridge is left " + state +
         ". Run the update again before the bridge is power-cycled.";
}

// The end of the update when the last failed command failed because the bridge is gone, did
// not answer in time, or was refused after a stop request; nothing for a failed command.
std::optional<UpdateEnd> NoPassCanMend(UpdatePhase phase) {
  switch (device::LastTransportFailure()) {
    case device::TransportFailure::DeviceGone:
      return UpdateEnd{
          UpdateResult::Disconnected, std::nullopt,
          std::string("The bridge was disconnected during ") + DuringText(phase) + "."};
    case device::TransportFailure::NoAnswer:
      return UpdateEnd{UpdateResult::StoppedAnswering, std::nullopt,
                       "The bridge stopped answering."};
    case device::TransportFailure::Stopped:
      return UpdateEnd{UpdateResult::Stopped, std::nullopt, StoppedText(phase)};
    case device::TransportFailure::None:
    case device::TransportFailure::CommandFailed: return std::nullopt;
  }
  return std::nullopt;
}

std::optional<UpdateEnd> StopRequestedIn(UpdatePhase phase) {
  if (!platform::StopRequested()) return std::nullopt;
  return UpdateEnd{UpdateResult::Stopped, std::nullopt, StoppedText(phase)};
}

std::uint32_t StyleOf(MessageId id) {
  // "Could not erase FLASH" and the verification failure are plain boxes.
  return (id == MessageId::EraseFailed || id == MessageId::VerifyFailed) ? MB_OK : MB_ICONHAND;
}

// The power setting and the update flag on the bridge's own block.
void ApplyBlockEdits(std::span<std::uint8_t> block, int selfPowered) {
  namespace at = image::offset;
  block[at::kFlags] |= image::kFlagsUpdated;
  if (selfPowered != 0) {
    block[at::kAttributes] |= image::kAttributesSelfPowered;
    block[at::kMaxPower] = kSelfPoweredMaxPower;
  } else {
    block[at::kAttributes] &= static_cast<std::uint8_t>(~image::kAttributesSelfPowered);
    block[at::kMaxPower] = kBusPoweredMaxPower;
  }
}

// Image files: the file's own block goes to the flash, carrying the bridge's serial number,
// which is read from the bridge's block through a scratch header.
void CarrySerialIntoFileBlock(std::span<std::uint8_t> block, const image::ImageBuffer& loaded) {
  image::ImageBuffer scratch(PID_A);
  scratch.CopyBlockIn(block.first(kConfigBlockSize));
  std::uint8_t serial[kSerialBufferSize] = {};
  scratch.GetSerial(serial);  // a blank or damaged chain leaves the buffer zero
  image::ImageBuffer file = loaded;
  file.SetSerial(serial);  // count 64: a 130-byte descriptor
  file.CopyBlockOut(block.first(kConfigBlockSize));
}

// The block and code as the passes write them (marker bytes still those of the block edits).
void ComposeFlash(std::vector<std::uint8_t>& flash, const image::ImageBuffer& loaded,
                  const UpdatePlan& plan) {
  const std::span<std::uint8_t> block(flash.data(), kConfigBlockSize);
  ApplyBlockEdits(block, plan.selfPowered);
  if (!plan.keepBridgeBlock) CarrySerialIntoFileBlock(block, loaded);
  const std::span<const std::uint8_t> code = loaded.Code();
  std::copy_n(code.begin(), std::min<std::size_t>(loaded.CodeLength(), code.size()),
              flash.begin() + kConfigBlockSize);
}

void StampMarker(std::vector<std::uint8_t>& flash, std::uint16_t checksum) {
  flash[kMarkerOffset] = image::kValidMarker;
  flash[kMarkerOffset + 1] = static_cast<std::uint8_t>(checksum >> 8);
  flash[kMarkerOffset + 2] = static_cast<std::uint8_t>(checksum);
}

// Times the phases of one update on the platform clock (a virtual clock in tests).
class PhaseTimer {
 public:
  PhaseTimer(UpdateReport& report, UpdateObserver& observer)
      : report_(report), observer_(observer) {}
  ~PhaseTimer() { Stop(); }
  void Start(UpdatePhase phase, int pass) {
    Stop();
    current_ = phase;
    startUs_ = platform::Current<platform::Clock>().NowUs();
    observer_.PhaseStarted(phase, pass);
  }
  UpdatePhase Current() const { return current_.value_or(UpdatePhase::IcpStart); }
  void Stop() {
    if (!current_) return;
    const std::uint64_t now = platform::Current<platform::Clock>().NowUs();
    report_.phaseSeconds[static_cast<std::size_t>(*current_)] +=
        static_cast<double>(now - startUs_) / 1e6;
    current_.reset();
  }

 private:
  UpdateReport& report_;
  UpdateObserver& observer_;
  std::optional<UpdatePhase> current_;
  std::uint64_t startUs_ = 0;
};

// One update of one bridge: the configuration read, then the passes.
struct UpdateRun {
  // Reads the bridge's block into the flash image and applies the update's edits to it.
  std::optional<UpdateEnd> ReadConfiguration();
  // Up to kMaxPasses passes; nothing once a pass verified and write protection is on again.
  std::optional<UpdateEnd> Passes();
  PassOutcome Pass();
  // Counts a failed step; the sixth failure ends the update, earlier ones start a new pass.
  std::optional<UpdateEnd> CountFailure(const StepFailure& failure);
  int ReadFlash(std::uint8_t* into, std::uint32_t length, platform::WindowHandle progress,
                protocol::TransferMode mode) {
    return bridge::BridgeReadFlash(plan.deviceIndex, into, 0, length, progress, kProgressMessage,
                                   mode);
  }

  const UpdatePlan& plan;
  const image::ImageBuffer& loaded;
  UpdateObserver& observer;
  UpdateReport& report;
  PhaseTimer& timer;
  std::vector<std::uint8_t>& flash;  // what goes to the flash, offset N = byte N
  std::vector<std::uint8_t>& readBack;
  const std::uint16_t checksum;
  protocol::TransferMode transfers;
  std::optional<platform::StopGuard> changingMemory{};  // from the first erase to the last compare
};

std::optional<UpdateEnd> UpdateRun::ReadConfiguration() {
  timer.Start(UpdatePhase::ReadConfiguration, 0);
  // The block is edited and written back as the bridge's own: a read that a fault on the line
  // changed would be kept for good, so it is read until two reads agree. Always in classic
  // transfers: a bridge that cannot hold chip select would hand a fast read back wrong without
  // an error.
  std::vector<std::vector<std::uint8_t>> reads;
  bool agreed = false;
  while (!agreed && reads.size() < static_cast<std::size_t>(kMaxBlockReads)) {
    std::vector<std::uint8_t> block(kConfigBlockSize, 0xFF);
    // Only the first read moves the dialog's progress bar, as a single read always did.
    if (ReadFlash(block.data(), kConfigBlockSize, reads.empty() ? plan.progressWindow : 0,
                  protocol::TransferMode::Classic) != 0) {
      if (auto end = NoPassCanMend(UpdatePhase::ReadConfiguration)) return end;
      // Not retried and not counted.
      return UpdateEnd{UpdateResult::Failed, MessageId::ReadFailed,
                       FormatErrorText(MessageId::ReadFailed, 0, kConfigBlockSize)};
    }
    agreed = std::find(reads.begin(), reads.end(), block) != reads.end();
    reads.push_back(std::move(block));
  }
  if (!agreed) {
    return UpdateEnd{UpdateResult::Failed, std::nullopt,
                     "The bridge's configuration block read differently each time (" +
                         std::to_string(kMaxBlockReads) +
                         " reads). Nothing was changed. Check the cable and the power, and run "
                         "the update again."};
  }
  std::copy(reads.back().begin(), reads.back().end(), flash.begin());
  report.checksumBefore = image::MarkedChecksum(reads.back());

  timer.Start(UpdatePhase::SetConfiguration, 0);
  ComposeFlash(flash, loaded, plan);
  return std::nullopt;
}

std::optional<UpdateEnd> UpdateRun::Passes() {
  timer.Start(UpdatePhase::IcpStart, 0);
  for (;;) {
    ++report.passes;
    if (!changingMemory) changingMemory.emplace();
    const PassOutcome outcome = Pass();
    if (std::holds_alternative<Verified>(outcome)) {
      // Verified: a stop requested now comes too late to matter, and must not refuse the
      // command that puts the write protection back.
      platform::TakeStopForThisThread();
      bridge::BridgeIcpSwitch(plan.deviceIndex, 1);  // write protection on again
      return std::nullopt;
    }
    if (const auto* end = std::get_if<UpdateEnd>(&outcome)) return *end;
    const StepFailure& failure = std::get<StepFailure>(outcome);
    if (auto end = CountFailure(failure)) return end;
    // A bridge that cannot hold chip select across transfers programs and reads fast transfers
    // wrong (a read-back checks itself and fails; a program shows in the compare), and a chip
    // slower than its datasheet fails their waits: after any failed fast pass the next pass goes
    // back to classic transfers, whose erase is the whole chip's.
    if (transfers == protocol::TransferMode::Fast) {
      transfers = protocol::TransferMode::Classic;
      report.fellBackToClassic = true;
    }
  }
}

PassOutcome UpdateRun::Pass() {
  const int index = plan.deviceIndex;
  const platform::WindowHandle progress = plan.progressWindow;
  const std::uint32_t total = static_cast<std::uint32_t>(flash.size());
  if (auto end = StopRequestedIn(UpdatePhase::Erase)) return *end;
  bridge::BridgeIcpSwitch(index, 0);  // write protection off; result not examined

  timer.Start(UpdatePhase::Erase, report.passes);
  const bool eraseWritten =
      plan.eraseOnlyWhatIsWritten && transfers == protocol::TransferMode::Fast;
  if ((eraseWritten ? bridge::BridgeEraseRange(index, 0, total, progress, kProgressMessage)
                    : bridge::BridgeEraseFlash(index, progress, kProgressMessage)) != 0)
    return StepFailure{MessageId::EraseFailed, FormatErrorText(MessageId::EraseFailed)};

  // The image first with the marker bytes erased, so that a cut-off write never leaves a valid
  // marker on a partial image.
  std::fill_n(flash.begin() + kMarkerOffset, 3, std::uint8_t{0xFF});
  if (auto end = StopRequestedIn(UpdatePhase::Erase)) return *end;
  timer.Start(UpdatePhase::Program, report.passes);
  if (bridge::BridgeWriteFlash(index, flash.data(), 0, total, progress, kProgressMessage,
                               transfers) != 0)
    return StepFailure{MessageId::ProgramFailed,
                       FormatErrorText(MessageId::ProgramFailed, kConfigBlockSize,
                                       static_cast<int>(loaded.CodeLength()))};
  if (StampsMarker(loaded, index)) {
    StampMarker(flash, checksum);
    if (bridge::BridgeWriteFlash(index, flash.data() + kMarkerOffset, kMarkerOffset, 3, progress,
                                 kProgressMessage, transfers) != 0)
      return StepFailure{MessageId::ProgramFailed,
                         FormatErrorText(MessageId::ProgramFailed, kMarkerOffset, 3)};
  }

  if (auto end = StopRequestedIn(UpdatePhase::Program)) return *end;
  timer.Start(UpdatePhase::ReadBack, report.passes);
  if (ReadFlash(readBack.data(), total, progress, transfers) != 0)
    return StepFailure{MessageId::ReadFailed,
                       FormatErrorText(MessageId::ReadFailed, 0, static_cast<int>(total))};

  timer.Start(UpdatePhase::Compare, report.passes);
  if (flash != readBack)
    return StepFailure{MessageId::VerifyFailed, FormatErrorText(MessageId::VerifyFailed)};
  return Verified{};
}

std::optional<UpdateEnd> UpdateRun::CountFailure(const StepFailure& failure) {
  if (auto end = NoPassCanMend(timer.Current())) return end;
  if (report.passes >= kMaxPasses) return UpdateEnd{UpdateResult::Failed, failure.id, failure.text};
  observer.PassFailed(report.passes, failure.id, failure.text);
  return std::nullopt;
}

// Writes how the update ended into the report.
void Record(UpdateReport& report, const UpdateEnd& end, UpdatePhase phase) {
  report.result = end.result;
  report.error = end.id;
  report.errorText = end.text;
  report.errorStyle = end.id ? StyleOf(*end.id) : MB_ICONHAND;
  if (end.result != UpdateResult::Failed) report.endedIn = phase;
}

}  // namespace

const char* PhaseStatusText(UpdatePhase phase) {
  switch (phase) {
    case UpdatePhase::ReadConfiguration: return "Read configuration data\n";
    case UpdatePhase::SetConfiguration: return "Set configuration data\n";
    case UpdatePhase::IcpStart: return "ICP start\n";
    case UpdatePhase::Erase: return "Erase main code\n";
    case UpdatePhase::Program: return "Programming main code\n";
    case UpdatePhase::ReadBack: return "Read main code back\n";
    case UpdatePhase::Compare: return "Compare main code\n";
  }
  return "";
}

const char* PhaseName(UpdatePhase phase) {
  switch (phase) {
    case UpdatePhase::ReadConfiguration: return "read configuration";
    case UpdatePhase::SetConfiguration: return "set configuration";
    case UpdatePhase::IcpStart: return "start";
    case UpdatePhase::Erase: return "erase";
    case UpdatePhase::Program: return "program";
    case UpdatePhase::ReadBack: return "read back";
    case UpdatePhase::Compare: return "compare";
  }
  return "";
}

std::string StringTableText(int id) {
  switch (id) {
#define BURNWELL_STRING_CASE(number, text) \
  case number: return text;
    BURNWELL_STRING_TABLE(BURNWELL_STRING_CASE)
#undef BURNWELL_STRING_CASE
    default: return {};
  }
}

std::string FormatErrorText(MessageId id, std::uint32_t offset, int length) {
  const std::string format = StringTableText(Code(id));
  if (format.find('%') == std::string::npos) return format;
  char text[256];
  std::snprintf(text, sizeof text, format.c_str(), offset, length);
  return text;
}

std::vector<std::uint8_t> FlashAfterUpdate(std::span<const std::uint8_t> bridgeBlock,
                                           const image::ImageBuffer& loaded,
                                           const UpdatePlan& plan) {
  std::vector<std::uint8_t> flash(kConfigBlockSize + loaded.CodeLength(), 0xFF);
  std::copy_n(bridgeBlock.begin(), std::min<std::size_t>(bridgeBlock.size(), kConfigBlockSize),
              flash.begin());
  ComposeFlash(flash, loaded, plan);
  if (StampsMarker(loaded, plan.deviceIndex)) {
    StampMarker(flash, loaded.GetChecksum());
  } else {
    std::fill_n(flash.begin() + kMarkerOffset, 3, std::uint8_t{0xFF});
  }
  return flash;
}

bool StampsMarker(const image::ImageBuffer& loaded, int deviceIndex) {
  if (CarriesCode(loaded)) return true;
  const device::DeviceTable& table = device::DeviceLayer().table;
  if (deviceIndex < 0 || static_cast<std::uint32_t>(deviceIndex) >= table.count) return false;
  return std::string(bridge::MemoryKind(table.records[deviceIndex])) != "spi";
}

std::string HoldsAfterUpdate(const image::ImageBuffer& loaded) {
  if (!CarriesCode(loaded)) return "configuration block only, no main code";
  return "checksum " + ChecksumText(loaded.GetChecksum());
}

std::optional<std::uint32_t> FirstDifferenceInBlock(std::span<const std::uint8_t> bridgeBlock,
                                                    const image::ImageBuffer& loaded,
                                                    const UpdatePlan& plan) {
  const std::vector<std::uint8_t> expected = FlashAfterUpdate(bridgeBlock, loaded, plan);
  const std::size_t length = std::min<std::size_t>(bridgeBlock.size(), kConfigBlockSize);
  const auto [differs, ignored] =
      std::mismatch(bridgeBlock.begin(), bridgeBlock.begin() + length, expected.begin());
  if (differs == bridgeBlock.begin() + length) return std::nullopt;
  return static_cast<std::uint32_t>(differs - bridgeBlock.begin());
}

UpdateReport UpdateBridge(const UpdatePlan& plan, const image::ImageBuffer& loaded,
                          UpdateObserver& observer) {
  UpdateReport report;
  const std::uint32_t total = loaded.CodeLength() + kConfigBlockSize;
  std::vector<std::uint8_t> flash;
  std::vector<std::uint8_t> readBack;
  try {
    flash.assign(total, 0xFF);
    readBack.assign(total, 0xFF);
  } catch (const std::bad_alloc&) {
    report.errorText = "Not enough memory for the update";
    report.errorStyle = MB_ICONHAND;
    return report;
  }

  device::ClearTransportFailure();
  platform::ResetStopForThisThread();
  PhaseTimer timer(report, observer);
  UpdateRun run{
      plan, loaded, observer, report, timer, flash, readBack, loaded.GetChecksum(), plan.transfers};
  std::optional<UpdateEnd> end = run.ReadConfiguration();
  if (!end) end = run.Passes();
  if (end) {
    Record(report, *end, timer.Current());
  } else {
    report.result = UpdateResult::Updated;
  }
  timer.Stop();
  return report;
}

}  // namespace burnwell::app
