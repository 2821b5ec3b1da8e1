#include "protocol/FastTransfers.h"

#include <algorithm>
#include <array>
#include <span>

#include "platform/Clock.h"
#include "platform/WinNames.h"
#include "protocol/SpiTransactions.h"
#include "protocol/VendorCommands.h"

namespace burnwell::protocol {
namespace {

using platform::LParam;

std::uint32_t Percent(std::uint32_t done, std::uint32_t total) {
  if (total == 0) return 0;
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(done) * 100u / total);
}

// Progress of one fast pass, in the same messages as the classic routines: nothing without a
// window, progress-bar messages with message number 0, notices of the caller's number else.
class PassProgress {
 public:
  PassProgress(const DeviceRecord& record, WindowHandle window, std::uint32_t message,
               ProgressPhase phase, ProgressPhase failPhase)
      : record_(record), window_(window), message_(message), phase_(phase), failPhase_(failPhase) {}

  // False when notices are asked for and the device is not in the table.
  bool Start(std::uint32_t steps) {
    if (window_ == 0) return true;
    if (message_ != 0) {
      const int index = FindDeviceIndex(record_);
      if (index < 0) return false;
      deviceIndex_ = static_cast<std::uint32_t>(index);
      PostProgress(window_, message_, deviceIndex_, phase_, 0, 0);
      return true;
    }
    Post(PBM_SETRANGE, 0, platform::MakeLParam(0, steps));
    Post(PBM_SETSTEP, 1, 0);
    Post(PBM_SETPOS, 0, 0);
    return true;
  }

  void Advance(std::uint32_t percent) {
    if (window_ == 0) return;
    if (message_ != 0)
      PostProgress(window_, message_, deviceIndex_, phase_, 0, percent);
    else
      Post(PBM_STEPIT, 0, 0);
  }

  void Fail(StepCode code, std::uint32_t percent) {
    if (window_ == 0) return;
    if (message_ != 0)
      PostProgress(window_, message_, deviceIndex_, failPhase_, Code(code), percent);
    else
      Post(PBM_SETPOS, 0, 0);
  }

 private:
  void Post(std::uint32_t message, platform::WParam wParam, LParam lParam) {
    platform::Current<platform::WindowMessages>().Post(window_, message, wParam, lParam);
  }

  const DeviceRecord& record_;
  WindowHandle window_;
  std::uint32_t message_;
  ProgressPhase phase_;
  ProgressPhase failPhase_;
  std::uint32_t deviceIndex_ = 0;
};

std::array<std::uint8_t, 5> AddressedCommand(std::uint8_t opcode, std::uint32_t address) {
  return {opcode, static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
          static_cast<std::uint8_t>(address), 0};
}

// One transaction that writes: select, the command bytes, the data in transfers of at most 32
// bytes, deselect. The chip takes the command and all of its data as one command.
StepCode WriteTransaction(const DeviceRecord& record, std::span<const std::uint8_t> command,
                          std::span<const std::uint8_t> data) {
  if (SpiChipSelect(record, 1) != CommandResult::Ok) return StepCode::Select;
  StepCode code = StepCode::Ok;
  if (SpiWrite(record, command.data(), static_cast<std::uint32_t>(command.size())) !=
      CommandResult::Ok)
    code = StepCode::CommandBytes;
  for (std::size_t done = 0; code == StepCode::Ok && done < data.size();
       done += kMaxShortTransfer) {
    const auto n =
        static_cast<std::uint32_t>(std::min<std::size_t>(kMaxShortTransfer, data.size() - done));
    if (SpiWrite(record, data.data() + done, n) != CommandResult::Ok) code = StepCode::ProgramData;
  }
  if (code != StepCode::Ok) {
    DeselectAfter(record, code);
    return code;
  }
  return EndSpiTransaction(record);
}

// One transaction that reads: select, the command bytes, reads of at most 32 bytes into the
// destination, deselect. The chip streams the bytes of consecutive addresses for as long as
// the selection lasts.
StepCode ReadTransaction(const DeviceRecord& record, std::span<const std::uint8_t> command,
                         std::span<std::uint8_t> destination) {
  if (SpiChipSelect(record, 1) != CommandResult::Ok) return StepCode::Select;
  StepCode code = StepCode::Ok;
  if (SpiWrite(record, command.data(), static_cast<std::uint32_t>(command.size())) !=
      CommandResult::Ok)
    code = StepCode::CommandBytes;
  for (std::size_t done = 0; code == StepCode::Ok && done < destination.size();
       done += kMaxShortTransfer) {
    const auto n = static_cast<std::uint32_t>(
        std::min<std::size_t>(kMaxShortTransfer, destination.size() - done));
    if (SpiRead(record, destination.data() + done, n) != CommandResult::Ok) code = StepCode::Read;
  }
  if (code != StepCode::Ok) {
    DeselectAfter(record, code);
    return code;
  }
  return EndSpiTransaction(record);
}

// The routines that leave the write-enable latch possibly set send write disable after any
// step from write enable to the ready wait.
void WriteDisableAfter(const DeviceRecord& record, std::uint32_t chip, StepCode code) {
  if (Code(code) <= Code(StepCode::WriteEnable) && Code(code) >= Code(StepCode::WaitReady))
    SetWriteEnable(record, chip, 0);
}

// One status poll, the shape WaitFlashReady uses: select, the status command, one byte back,
// deselect.
StepCode PollBusy(const DeviceRecord& record, bool& busy) {
  const SpiCommand& readStatus = FlashChip(record.FlashChipIndex)[Slot::ReadStatus];
  std::array<std::uint8_t, kMaxShortTransfer> command{};
  command[0] = readStatus.Opcode();
  const std::size_t length = std::clamp<std::size_t>(readStatus.length, 1, command.size());
  std::array<std::uint8_t, 1> status{};
  if (RunSpiTransaction(record, {.command = std::span(command).first(length), .answer = status}) !=
      StepCode::Ok)
    return StepCode::WaitReady;
  busy = (status[0] & 0x01) != 0;
  return StepCode::Ok;
}

// The program length of a page piece: the entry's page, or the common 256 bytes for an entry
// that gives none.
std::uint32_t PageSize(const FlashChipDescriptor& descriptor) {
  return descriptor.pageSize != 0 ? descriptor.pageSize : kProgramPageSize;
}

// Bytes of the piece starting at `address`: up to the page's end, never across it.
std::uint32_t PagePieceLength(std::uint32_t address, std::uint32_t remaining, std::uint32_t page) {
  return std::min(remaining, page - address % page);
}

std::uint32_t PagePieceCount(std::uint32_t offset, std::uint32_t length, std::uint32_t page) {
  std::uint32_t count = 0;
  for (std::uint32_t p = 0; p < length; p += PagePieceLength(offset + p, length - p, page)) ++count;
  return count;
}

FlashResult Outcome(StepCode code, FlashResult failure) {
  if (code == StepCode::DeviceNotInTable) return FlashResult::DeviceNotInTable;
  return code == StepCode::Ok ? FlashResult::Ok : failure;
}

std::uint32_t CeilDiv(std::uint32_t value, std::uint32_t divisor) {
  return value / divisor + (value % divisor != 0 ? 1 : 0);
}

// One page piece: write enable, the program command with up to a page of data in one
// transaction, the program wait, write disable.
StepCode ProgramPage(const DeviceRecord& record, std::uint32_t chipIndex, std::uint32_t address,
                     std::span<const std::uint8_t> data) {
  const SpiCommand& program = FlashChip(chipIndex)[Slot::PageProgram];
  if (SetWriteEnable(record, chipIndex, 1) != StepCode::Ok) return StepCode::WriteEnable;
  const auto command = AddressedCommand(program.Opcode(), address);
  if (const StepCode code = WriteTransaction(record, std::span(command).first(4), data);
      code != StepCode::Ok)
    return code;
  if (WaitProgramDone(record, program.poll) != StepCode::Ok) return StepCode::WaitReady;
  if (SetWriteEnable(record, chipIndex, 0) != StepCode::Ok) return StepCode::WriteDisable;
  return StepCode::Ok;
}

// The auto-increment chip: one sequence for the whole write. Write enable, the opcode with the
// address and the first byte, then the opcode with each further byte, each its own
// transaction (the chip programs a byte when chip select rises, so a byte cannot share a
// transaction with the next); the program wait and write disable, which ends the mode, come
// once at the end rather than every 32 bytes. Progress moves in 32-byte steps.
StepCode ProgramAutoIncrement(const DeviceRecord& record, std::uint32_t chipIndex,
                              std::uint32_t offset, std::span<const std::uint8_t> data,
                              PassProgress& progress, std::uint32_t& failedAt) {
  const FlashChipDescriptor& descriptor = FlashChip(chipIndex);
  const SpiCommand& program = descriptor[Slot::AutoIncrementProgram];
  const auto length = static_cast<std::uint32_t>(data.size());
  auto stepDone = [&](std::uint32_t done) {
    if (done % kSpiPieceSize == 0 || done == length)
      progress.Advance(Percent((done - 1) / kSpiPieceSize * kSpiPieceSize, length));
  };
  failedAt = 0;
  if (SetWriteEnable(record, chipIndex, 1) != StepCode::Ok) return StepCode::WriteEnable;
  auto first = AddressedCommand(program.Opcode(), offset);
  first[4] = data[0];
  const std::size_t firstLength = std::clamp<std::size_t>(program.length, 1, first.size());
  if (const StepCode code = WriteTransaction(record, std::span(first).first(firstLength), {});
      code != StepCode::Ok)
    return code;
  stepDone(1);
  const std::uint32_t furtherLength = std::clamp<std::uint32_t>(program.extra, 1, 2);
  for (std::uint32_t i = 1; i < length; ++i) {
    failedAt = i / kSpiPieceSize * kSpiPieceSize;
    const std::array<std::uint8_t, 2> next = {program.Opcode(), data[i]};
    if (const StepCode code =
            RunSpiTransaction(record, {.data = std::span(next).first(furtherLength)});
        code != StepCode::Ok)
      return code;
    stepDone(i + 1);
  }
  if (WaitProgramDone(record, descriptor[Slot::PageProgram].poll) != StepCode::Ok)
    return StepCode::WaitReady;
  if (SetWriteEnable(record, chipIndex, 0) != StepCode::Ok) return StepCode::WriteDisable;
  return StepCode::Ok;
}

// A bridge that cannot hold chip select from one transfer to the next ends a long read after
// its first transfers and hands back the rest without an error. The last 32 bytes of the first
// run, read again in a transaction of their own, must equal what the run brought: a read that
// no compare follows (a backup, a flash read) is then never wrong without a failure.
bool FirstRunHeldTogether(const DeviceRecord& record, const std::uint8_t* read,
                          std::uint32_t offset, std::uint32_t length) {
  const std::uint32_t run = std::min(length, kFastReadRun);
  if (run <= 2 * kSpiPieceSize) return true;  // too short to tell
  const std::uint32_t tail = run - kSpiPieceSize;
  std::array<std::uint8_t, kSpiPieceSize> again{};
  if (SpiReadFlash(record, again.data(), offset + tail, kSpiPieceSize, record.FlashChipIndex, 0,
                   0) != StepCode::Ok)
    return false;
  return std::equal(again.begin(), again.end(), read + tail);
}

}  // namespace

TransferMode TransferModeUsed(const DeviceRecord& record, TransferMode requested) {
  return record.Byte11Set ? requested : TransferMode::Classic;
}

StepCode WaitProgramDone(const DeviceRecord& record, std::uint32_t pollMs) {
  const std::uint64_t startUs = platform::NowUs();
  int polls = 0;
  int fullIntervalPolls = 0;
  for (;;) {
    bool busy = false;
    if (PollBusy(record, busy) != StepCode::Ok) return StepCode::WaitReady;
    if (!busy) return StepCode::Ok;
    ++polls;
    const std::uint64_t nowUs = platform::NowUs();
    const std::uint64_t waitedMs = nowUs > startUs ? (nowUs - startUs) / 1000 : 0;
    const std::uint32_t sleepMs =
        polls <= kMaxBackToBackPolls
            ? static_cast<std::uint32_t>(std::min<std::uint64_t>(pollMs, waitedMs / 10))
            : pollMs;
    if (sleepMs != 0) platform::SleepMs(sleepMs);
    if (sleepMs == pollMs && ++fullIntervalPolls >= kMaxReadyPolls) return StepCode::WaitReady;
  }
}

StepCode SpiReadFlashFast(const DeviceRecord& record, std::uint8_t* destination,
                          std::uint32_t offset, std::uint32_t length, std::uint32_t chip,
                          WindowHandle window, std::uint32_t message) {
  PassProgress progress(record, window, message, ProgressPhase::Reading,
                        ProgressPhase::ReadingFailed);
  if (!progress.Start(CeilDiv(length, kFastReadRun))) return StepCode::DeviceNotInTable;
  const FlashChipDescriptor& descriptor = FlashChip(chip);
  const SpiCommand& read = descriptor[Slot::FastRead].Present() ? descriptor[Slot::FastRead]
                                                                : descriptor[Slot::ReadData];
  const std::size_t commandLength = std::clamp<std::size_t>(read.length, 1, 5);
  for (std::uint32_t p = 0; p < length; p += kFastReadRun) {
    const std::uint32_t n = std::min(kFastReadRun, length - p);
    const auto command = AddressedCommand(read.Opcode(), offset + p);
    StepCode code = ReadTransaction(record, std::span(command).first(commandLength),
                                    std::span(destination + p, n));
    if (code == StepCode::Ok && WaitFlashReady(record, read.poll) != StepCode::Ok)
      code = StepCode::WaitReady;
    if (code != StepCode::Ok) {
      progress.Fail(code, Percent(p, length));
      return code;
    }
    progress.Advance(Percent(p, length));
  }
  return StepCode::Ok;
}

StepCode SpiProgramFlashFast(const DeviceRecord& record, const std::uint8_t* source,
                             std::uint32_t offset, std::uint32_t length, std::uint32_t chip,
                             WindowHandle window, std::uint32_t message) {
  PassProgress progress(record, window, message, ProgressPhase::Programming,
                        ProgressPhase::ProgrammingFailed);
  const FlashChipDescriptor& descriptor = FlashChip(chip);
  const std::uint32_t page = PageSize(descriptor);
  const bool autoIncrement = descriptor[Slot::AutoIncrementProgram].Present();
  const std::uint32_t steps =
      autoIncrement ? CeilDiv(length, kSpiPieceSize) : PagePieceCount(offset, length, page);
  if (!progress.Start(steps)) return StepCode::DeviceNotInTable;
  if (length == 0) return StepCode::Ok;

  if (autoIncrement) {
    std::uint32_t failedAt = 0;
    const StepCode code =
        ProgramAutoIncrement(record, chip, offset, std::span(source, length), progress, failedAt);
    if (code != StepCode::Ok) {
      WriteDisableAfter(record, chip, code);
      progress.Fail(code, Percent(failedAt, length));
    }
    return code;
  }

  for (std::uint32_t p = 0, n = 0; p < length; p += n) {
    n = PagePieceLength(offset + p, length - p, page);
    const StepCode code = ProgramPage(record, chip, offset + p, std::span(source + p, n));
    if (code != StepCode::Ok) {
      WriteDisableAfter(record, chip, code);
      progress.Fail(code, Percent(p, length));
      return code;
    }
    progress.Advance(Percent(p, length));
  }
  return StepCode::Ok;
}

FlashResult FlashRead(DeviceRecord record, std::uint8_t* destination, std::uint32_t offset,
                      std::uint32_t length, WindowHandle window, std::uint32_t message,
                      TransferMode mode, TransferMode* used) {
  mode = TransferModeUsed(record, mode);
  if (used) *used = mode;
  if (mode == TransferMode::Classic)
    return FlashRead(record, destination, offset, length, window, message);
  if (destination == nullptr && length != 0) return FlashResult::ReadFailed;
  if (DetectFlash(record) != StepCode::Ok) return FlashResult::FlashNotIdentified;
  const StepCode code =
      SpiReadFlashFast(record, destination, offset, length, record.FlashChipIndex, window, message);
  if (code == StepCode::Ok && !FirstRunHeldTogether(record, destination, offset, length))
    return FlashResult::ReadFailed;
  return Outcome(code, FlashResult::ReadFailed);
}

FlashResult FlashWrite(DeviceRecord record, const std::uint8_t* source, std::uint32_t offset,
                       std::uint32_t length, WindowHandle window, std::uint32_t message,
                       TransferMode mode, TransferMode* used) {
  mode = TransferModeUsed(record, mode);
  if (used) *used = mode;
  if (mode == TransferMode::Classic)
    return FlashWrite(record, source, offset, length, window, message);
  if (source == nullptr && length != 0) return FlashResult::ProgramFailed;
  if (DetectFlash(record) != StepCode::Ok) return FlashResult::FlashNotIdentified;
  return Outcome(
      SpiProgramFlashFast(record, source, offset, length, record.FlashChipIndex, window, message),
      FlashResult::ProgramFailed);
}

}  // namespace burnwell::protocol
