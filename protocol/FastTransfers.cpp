#include "protocol/FastTransfers.h"

#include <algorithm>
#include <array>
#include <span>

#include "platform/Clock.h"
#include "protocol/FlashProgress.h"
#include "protocol/SpiTransactions.h"

namespace burnwell::protocol {
namespace {

// The program length of a page piece: the entry's page, or the common 256 bytes for an entry
// that gives none.
std::uint32_t PageSize(const FlashChipDescriptor& descriptor) {
  return descriptor.pageSize != 0 ? descriptor.pageSize : kProgramPageSize;
}

// Pieces of a write from offset cut at every page end.
std::uint32_t PagePieceCount(std::uint32_t offset, std::uint32_t length, std::uint32_t page) {
  if (length == 0) return 0;
  return (offset % page + length + page - 1) / page;
}

std::uint32_t CeilDiv(std::uint32_t value, std::uint32_t divisor) {
  return value / divisor + (value % divisor != 0 ? 1 : 0);
}

// One page piece: write enable, then the program command and up to a page of data in one
// transaction, the command sharing the first transfer, then the chip's program time. Write
// enable needs no ready poll (it makes no chip busy), and the chip clears the latch itself when
// the program ends: no write disable.
StepCode ProgramWholePage(const DeviceRecord& record, std::uint32_t chip, std::uint32_t address,
                          std::span<const std::uint8_t> data) {
  const FlashChipDescriptor& descriptor = FlashChip(chip);
  if (SendSpiCommand(record, descriptor.writeEnable) != StepCode::Ok) return StepCode::WriteEnable;
  const auto command = AddressedCommand(descriptor.pageProgram.Opcode(), address);
  if (const StepCode code = RunSpiTransaction(
          record, {.command = std::span(command).first(4), .data = data, .dataJoinsCommand = true});
      code != StepCode::Ok)
    return code;
  if (WaitBusyTime(record, descriptor.programTime) != StepCode::Ok) return StepCode::WaitReady;
  return StepCode::Ok;
}

// When the polls of a busy period happen, in milliseconds of sleep.
struct PollSchedule {
  std::uint32_t firstMs;  // before the first poll
  std::uint32_t paceMs;   // between polls
  std::uint32_t limitMs;  // no poll after this much sleep
};

PollSchedule ScheduleFor(const BusyTime& time) {
  constexpr std::uint32_t kUsPerMs = 1000;
  return {.firstMs = (time.typicalUs + kUsPerMs / 2) / kUsPerMs,
          .paceMs = std::max<std::uint32_t>(1, (time.typicalUs / 4 + kUsPerMs / 2) / kUsPerMs),
          .limitMs = CeilDiv(time.maximumUs, kUsPerMs)};
}

// The auto-increment chip: one sequence for the whole write. Write enable, the opcode with the
// address and the first byte, then the opcode with each further byte, each its own
// transaction (the chip programs a byte when chip select rises, so a byte cannot share a
// transaction with the next); the program wait and write disable, which ends the mode, come
// once at the end rather than every 32 bytes. Progress moves in 32-byte steps.
StepCode ProgramAutoIncrement(const DeviceRecord& record, std::uint32_t chipIndex,
                              std::uint32_t offset, std::span<const std::uint8_t> data,
                              RoutineProgress& progress, std::uint32_t& failedAt) {
  const auto length = static_cast<std::uint32_t>(data.size());
  auto stepDone = [&](std::uint32_t done) {
    if (done % kSpiPieceSize == 0 || done == length)
      progress.Advance(Percent((done - 1) / kSpiPieceSize * kSpiPieceSize, length));
  };
  failedAt = 0;
  if (const StepCode code = StartAutoIncrement(record, chipIndex, offset, data[0]);
      code != StepCode::Ok)
    return code;
  stepDone(1);
  for (std::uint32_t i = 1; i < length; ++i) {
    failedAt = i / kSpiPieceSize * kSpiPieceSize;
    if (const StepCode code = ContinueAutoIncrement(record, chipIndex, data[i]);
        code != StepCode::Ok)
      return code;
    stepDone(i + 1);
  }
  if (WaitBusyTime(record, FlashChip(chipIndex).programTime) != StepCode::Ok)
    return StepCode::WaitReady;
  if (SetWriteEnable(record, chipIndex, false) != StepCode::Ok) return StepCode::WriteDisable;
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
  if (SpiReadPass(record, again.data(), offset + tail, kSpiPieceSize, record.FlashChipIndex, 0, 0,
                  {.run = kSpiPieceSize, .barSteps = 1, .waitAfterRun = false}) != StepCode::Ok)
    return false;
  return std::equal(again.begin(), again.end(), read + tail);
}

}  // namespace

TransferMode TransferModeUsed(const DeviceRecord& record, TransferMode requested) {
  return record.Byte11Set ? requested : TransferMode::Classic;
}

int MaxBusyPolls(const BusyTime& time) {
  const PollSchedule schedule = ScheduleFor(time);
  const std::uint32_t after =
      schedule.limitMs > schedule.firstMs ? schedule.limitMs - schedule.firstMs : 0;
  return 1 + static_cast<int>(CeilDiv(after, schedule.paceMs));
}

StepCode WaitBusyTime(const DeviceRecord& record, const BusyTime& time) {
  const PollSchedule schedule = ScheduleFor(time);
  std::uint32_t sleptMs = schedule.firstMs;
  if (sleptMs != 0) platform::SleepMs(sleptMs);
  for (;;) {
    bool ready = false;
    if (PollReady(record, ready) != StepCode::Ok) return StepCode::WaitReady;
    if (ready) return StepCode::Ok;
    if (sleptMs >= schedule.limitMs) return StepCode::WaitReady;
    platform::SleepMs(schedule.paceMs);
    sleptMs += schedule.paceMs;
  }
}

StepCode SpiReadFlashFast(const DeviceRecord& record, std::uint8_t* destination,
                          std::uint32_t offset, std::uint32_t length, std::uint32_t chip,
                          WindowHandle window, std::uint32_t message) {
  return SpiReadPass(
      record, destination, offset, length, chip, window, message,
      {.run = kFastReadRun, .barSteps = CeilDiv(length, kFastReadRun), .waitAfterRun = false});
}

StepCode SpiProgramFlashFast(const DeviceRecord& record, const std::uint8_t* source,
                             std::uint32_t offset, std::uint32_t length, std::uint32_t chip,
                             WindowHandle window, std::uint32_t message) {
  const FlashChipDescriptor& descriptor = FlashChip(chip);
  const std::uint32_t page = PageSize(descriptor);
  if (!descriptor.autoIncrementProgram.Present())
    return SpiProgramPass(record, source, offset, length, chip, window, message,
                          {.piece = page,
                           .page = page,
                           .barSteps = PagePieceCount(offset, length, page),
                           .program = ProgramWholePage});

  RoutineProgress progress(record, window, message, ProgressPhase::Programming,
                           ProgressPhase::ProgrammingFailed);
  if (!progress.Start(CeilDiv(length, kSpiPieceSize))) return StepCode::DeviceNotInTable;
  if (length == 0) return StepCode::Ok;
  std::uint32_t failedAt = 0;
  const StepCode code =
      ProgramAutoIncrement(record, chip, offset, std::span(source, length), progress, failedAt);
  if (code != StepCode::Ok) {
    WriteDisableAfter(record, chip, code);
    progress.Fail(code, Percent(failedAt, length));
  }
  return code;
}

FlashResult FlashRead(DeviceRecord record, std::uint8_t* destination, std::uint32_t offset,
                      std::uint32_t length, WindowHandle window, std::uint32_t message,
                      TransferMode mode, TransferMode* used) {
  mode = TransferModeUsed(record, mode);
  if (used) *used = mode;
  if (mode == TransferMode::Classic)
    return FlashRead(record, destination, offset, length, window, message);
  if (destination == nullptr && length != 0) return FlashResult::ReadFailed;
  if (DetectFlash(record, Probing::Fast) != StepCode::Ok) return FlashResult::FlashNotIdentified;
  const StepCode code =
      SpiReadFlashFast(record, destination, offset, length, record.FlashChipIndex, window, message);
  if (code == StepCode::Ok && !FirstRunHeldTogether(record, destination, offset, length))
    return FlashResult::ReadFailed;
  return SpiOutcome(code, FlashResult::ReadFailed);
}

FlashResult FlashWrite(DeviceRecord record, const std::uint8_t* source, std::uint32_t offset,
                       std::uint32_t length, WindowHandle window, std::uint32_t message,
                       TransferMode mode, TransferMode* used) {
  mode = TransferModeUsed(record, mode);
  if (used) *used = mode;
  if (mode == TransferMode::Classic)
    return FlashWrite(record, source, offset, length, window, message);
  if (source == nullptr && length != 0) return FlashResult::ProgramFailed;
  if (DetectFlash(record, Probing::Fast) != StepCode::Ok) return FlashResult::FlashNotIdentified;
  return SpiOutcome(
      SpiProgramFlashFast(record, source, offset, length, record.FlashChipIndex, window, message),
      FlashResult::ProgramFailed);
}

}  // namespace burnwell::protocol
