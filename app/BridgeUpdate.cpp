#include "app/BridgeUpdate.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "bridge/DeviceApi.h"
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
constexpr std::uint32_t kConfigBlockSize = image::CONFIG_BLOCK_SIZE;
constexpr std::uint32_t kMarkerOffset = image::offset::MARKER;
static_assert(image::offset::MARKER + 1 == image::offset::CHECKSUM);

// The maximum power the update sets.
constexpr std::uint8_t kSelfPoweredMaxPower = 50;  // 100 mA in units of 2 mA
constexpr std::uint8_t kBusPoweredMaxPower = 250;  // 500 mA

// An error identifier raised inside the sequence and caught at its end, with its formatted text.
struct RaisedError {
  MessageId id;
  std::string text;
};

// An end that no further pass can mend: the bridge is gone, silent, or a stop was requested.
struct EndedAtOnce {
  UpdateResult result;
  std::string text;
};

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

// Ends the update at once when the last failed command failed because the bridge is gone, did
// not answer in time, or was refused after a stop request; returns for a failed command.
void EndIfNoPassCanMend(UpdatePhase phase) {
  switch (device::LastTransportFailure()) {
    case device::TransportFailure::DeviceGone:
      throw EndedAtOnce{
          UpdateResult::Disconnected,
          std::string("The bridge was disconnected during ") + DuringText(phase) + "."};
    case device::TransportFailure::NoAnswer:
      throw EndedAtOnce{UpdateResult::StoppedAnswering, "The bridge stopped answering."};
    case device::TransportFailure::Stopped:
      throw EndedAtOnce{UpdateResult::Stopped, StoppedText(phase)};
    case device::TransportFailure::None:
    case device::TransportFailure::CommandFailed: return;
  }
}

void EndIfStopRequested(UpdatePhase phase) {
  if (platform::StopRequested()) throw EndedAtOnce{UpdateResult::Stopped, StoppedText(phase)};
}

std::uint32_t StyleOf(MessageId id) {
  // "Could not erase FLASH" and the verification failure are plain boxes.
  return (id == MessageId::EraseFailed || id == MessageId::VerifyFailed) ? MB_OK : MB_ICONHAND;
}

// The power setting and the update flag on the bridge's own block.
void ApplyBlockEdits(std::span<std::uint8_t> block, int selfPowered) {
  namespace at = image::offset;
  block[at::FLAGS] |= image::FLAGS_UPDATED;
  if (selfPowered != 0) {
    block[at::ATTRIBUTES] |= image::ATTRIBUTES_SELF_POWERED;
    block[at::MAX_POWER] = kSelfPoweredMaxPower;
  } else {
    block[at::ATTRIBUTES] &= static_cast<std::uint8_t>(~image::ATTRIBUTES_SELF_POWERED);
    block[at::MAX_POWER] = kBusPoweredMaxPower;
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
  flash[kMarkerOffset] = image::VALID_MARKER;
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
  StampMarker(flash, loaded.GetChecksum());
  return flash;
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
  const int index = plan.deviceIndex;
  const platform::WindowHandle progress = plan.progressWindow;
  const std::uint32_t codeLength = loaded.CodeLength();
  const std::uint32_t total = codeLength + kConfigBlockSize;
  const std::uint16_t checksum = loaded.GetChecksum();

  std::vector<std::uint8_t> flash;  // what goes to the flash, offset N = byte N
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
  std::optional<platform::StopGuard> changingMemory;  // from the first erase to the last compare
  try {
    timer.Start(UpdatePhase::ReadConfiguration, 0);
    // The block is edited and written back as the bridge's own: a read that a fault on the line
    // changed would be kept for good, so it is read until two reads agree. Always in classic
    // transfers: a bridge that cannot hold chip select would hand a fast read back wrong
    // without an error.
    std::vector<std::vector<std::uint8_t>> reads;
    bool agreed = false;
    while (!agreed && reads.size() < static_cast<std::size_t>(kMaxBlockReads)) {
      std::vector<std::uint8_t> block(kConfigBlockSize, 0xFF);
      // Only the first read moves the dialog's progress bar, as a single read always did.
      if (bridge::BridgeReadFlash(index, block.data(), 0, kConfigBlockSize,
                                  reads.empty() ? progress : 0, kProgressMessage) != 0) {
        EndIfNoPassCanMend(UpdatePhase::ReadConfiguration);
        // Not retried and not counted.
        throw RaisedError{MessageId::ReadFailed,
                          FormatErrorText(MessageId::ReadFailed, 0, kConfigBlockSize)};
      }
      agreed = std::find(reads.begin(), reads.end(), block) != reads.end();
      reads.push_back(std::move(block));
    }
    if (!agreed) {
      report.errorText =
          "The bridge's configuration block read differently each time (" +
          std::to_string(kMaxBlockReads) +
          " reads). Nothing was changed. Check the cable and the power, and run the update again.";
      report.errorStyle = MB_ICONHAND;
      return report;
    }
    std::copy(reads.back().begin(), reads.back().end(), flash.begin());
    report.checksumBefore = image::MarkedChecksum(reads.back());

    timer.Start(UpdatePhase::SetConfiguration, 0);
    ComposeFlash(flash, loaded, plan);

    timer.Start(UpdatePhase::IcpStart, 0);
    // Counts a failed step; the sixth failure is raised, earlier ones start a new pass.
    auto countFailure = [&](MessageId id, std::string text) {
      EndIfNoPassCanMend(timer.Current());
      if (report.passes >= kMaxPasses) throw RaisedError{id, std::move(text)};
      observer.PassFailed(report.passes, id, text);
    };

    protocol::TransferMode transfers = plan.transfers;
    // A bridge that cannot hold chip select across transfers programs and reads fast transfers
    // wrong (a read-back checks itself and fails; a program shows in the compare), and a chip
    // slower than its datasheet fails their waits: after any failed fast pass the next pass goes
    // back to classic transfers, whose erase is the whole chip's.
    auto fallBackToClassic = [&] {
      if (transfers != protocol::TransferMode::Fast) return;
      transfers = protocol::TransferMode::Classic;
      report.fellBackToClassic = true;
    };
    for (;;) {
      ++report.passes;
      if (!changingMemory) changingMemory.emplace();
      EndIfStopRequested(UpdatePhase::Erase);
      bridge::BridgeIcpSwitch(index, 0);  // write protection off; result not examined

      timer.Start(UpdatePhase::Erase, report.passes);
      const bool eraseWritten =
          plan.eraseOnlyWhatIsWritten && transfers == protocol::TransferMode::Fast;
      if ((eraseWritten ? bridge::BridgeEraseRange(index, 0, total, progress, kProgressMessage)
                        : bridge::BridgeEraseFlash(index, progress, kProgressMessage)) != 0) {
        countFailure(MessageId::EraseFailed, FormatErrorText(MessageId::EraseFailed));
        fallBackToClassic();
        continue;
      }

      // The image first with the marker bytes erased, so that a cut-off write never leaves a
      // valid marker on a partial image.
      std::fill_n(flash.begin() + kMarkerOffset, 3, std::uint8_t{0xFF});
      EndIfStopRequested(UpdatePhase::Erase);
      timer.Start(UpdatePhase::Program, report.passes);
      if (bridge::BridgeWriteFlash(index, flash.data(), 0, total, progress, kProgressMessage,
                                   transfers) != 0) {
        countFailure(MessageId::ProgramFailed,
                     FormatErrorText(MessageId::ProgramFailed, kConfigBlockSize,
                                     static_cast<int>(codeLength)));
        fallBackToClassic();
        continue;
      }

      StampMarker(flash, checksum);
      if (bridge::BridgeWriteFlash(index, flash.data() + kMarkerOffset, kMarkerOffset, 3, progress,
                                   kProgressMessage, transfers) != 0) {
        countFailure(MessageId::ProgramFailed,
                     FormatErrorText(MessageId::ProgramFailed, kMarkerOffset, 3));
        fallBackToClassic();
        continue;
      }

      EndIfStopRequested(UpdatePhase::Program);
      timer.Start(UpdatePhase::ReadBack, report.passes);
      if (bridge::BridgeReadFlash(index, readBack.data(), 0, total, progress, kProgressMessage,
                                  transfers) != 0) {
        countFailure(MessageId::ReadFailed,
                     FormatErrorText(MessageId::ReadFailed, 0, static_cast<int>(total)));
        fallBackToClassic();
        continue;
      }

      timer.Start(UpdatePhase::Compare, report.passes);
      if (flash != readBack) {
        countFailure(MessageId::VerifyFailed, FormatErrorText(MessageId::VerifyFailed));
        fallBackToClassic();
        continue;
      }

      // Verified: a stop requested now comes too late to matter, and must not refuse the
      // command that puts the write protection back.
      platform::TakeStopForThisThread();
      bridge::BridgeIcpSwitch(index, 1);  // write protection on again
      break;
    }
  } catch (const RaisedError& error) {
    report.error = error.id;
    report.errorText = error.text;
    report.errorStyle = StyleOf(error.id);
    return report;
  } catch (const EndedAtOnce& ended) {
    report.result = ended.result;
    report.endedIn = timer.Current();
    report.errorText = ended.text;
    report.errorStyle = MB_ICONHAND;
    return report;
  }
  report.result = UpdateResult::Updated;
  return report;
}

}  // namespace burnwell::app
