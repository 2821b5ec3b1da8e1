#include "protocol/FlashOperations.h"

#include <algorithm>
#include <array>
#include <span>

#include "protocol/FlashProgress.h"
#include "protocol/SpiTransactions.h"
#include "protocol/VendorCommands.h"

namespace burnwell::protocol {
namespace {

// The routines that leave the write-enable latch possibly set send write disable after any
// step from write enable to the ready wait.
bool NeedsWriteDisable(StepCode code) {
  switch (code) {
    case StepCode::WriteEnable:
    case StepCode::WriteDisable:
    case StepCode::Select:
    case StepCode::Deselect:
    case StepCode::CommandBytes:
    case StepCode::ProgramData:
    case StepCode::Read:
    case StepCode::WaitReady: return true;
    default: return false;
  }
}

// One auto-increment piece: the first byte with the address, then each further byte; write
// disable ends the mode.
StepCode ProgramAutoIncrementPiece(const DeviceRecord& record, std::uint32_t chip,
                                   std::uint32_t address, std::span<const std::uint8_t> data) {
  if (const StepCode code = StartAutoIncrement(record, chip, address, data[0]);
      code != StepCode::Ok)
    return code;
  for (std::size_t i = 1; i < data.size(); ++i)
    if (const StepCode code = ContinueAutoIncrement(record, chip, data[i]); code != StepCode::Ok)
      return code;
  if (const StepCode code = EndSpiTransaction(record); code != StepCode::Ok) return code;
  if (WaitFlashReady(record, FlashChip(chip).pageProgram.poll) != StepCode::Ok)
    return StepCode::WaitReady;
  if (SetWriteEnable(record, chip, false) != StepCode::Ok) return StepCode::WriteDisable;
  return StepCode::Ok;
}

StepCode ProgramPageWaitingReady(const DeviceRecord& record, std::uint32_t chip,
                                 std::uint32_t address, std::span<const std::uint8_t> data) {
  return ProgramPage(record, chip, address, data, WaitFlashReady);
}

StepCode SpiChipEraseSteps(const DeviceRecord& record, std::uint32_t chip) {
  const SpiCommand& erase = FlashChip(chip).chipErase;
  if (SetWriteEnable(record, chip, true) != StepCode::Ok) return StepCode::WriteEnable;
  if (const StepCode code = SendSpiCommand(record, erase); code != StepCode::Ok) return code;
  if (WaitFlashReady(record, erase.poll) != StepCode::Ok) return StepCode::WaitReady;
  if (SetWriteEnable(record, chip, false) != StepCode::Ok) return StepCode::WriteDisable;
  return StepCode::Ok;
}

// One pass of the EEPROM routines: pieces of the memory's piece size over length bytes from
// offset, each moved by transfer(address, position, size); the first piece that fails ends
// the pass with failure.
struct EepromPass {
  ProgressPhase phase;
  ProgressPhase failPhase;
  FlashResult failure;
  std::uint32_t offset;
  std::uint32_t length;
  // Each piece is cut at this many bytes from the start, the distance taken as an unsigned
  // difference: past the end of a small memory it wraps around to a large value and the full
  // piece goes out again.
  std::uint32_t end;
};

template <class Transfer>
FlashResult RunEepromPass(const DeviceRecord& record, WindowHandle window, std::uint32_t message,
                          const EepromPass& pass, Transfer&& transfer) {
  const std::uint32_t pieceSize = EepromPieceSize(record.ModeFlags);
  RoutineProgress progress(record, window, message, pass.phase, pass.failPhase);
  if (!progress.Start(pass.length / pieceSize)) return FlashResult::DeviceNotInTable;
  for (std::uint32_t p = 0; p < pass.length; p += pieceSize) {
    const std::uint32_t n = std::min(pieceSize, pass.end - p);
    if (transfer(static_cast<std::uint16_t>(pass.offset + p), p, n) != CommandResult::Ok) {
      progress.Fail(pass.failure, Percent(p, pass.length));
      return pass.failure;
    }
    progress.Advance(Percent(p, pass.length));
  }
  return FlashResult::Ok;
}

}  // namespace

std::uint32_t EepromPieceSize(std::uint32_t modeFlags) { return modeFlags > 256 ? 32 : 8; }

int FindDeviceIndex(const DeviceRecord& record) {
  const device::DeviceTable& table = device::DeviceLayer().table;
  for (std::uint32_t i = 0; i < table.count; ++i)
    if (table.records[i].Handle == record.Handle) return static_cast<int>(i);
  return -1;
}

void PostProgress(WindowHandle window, std::uint32_t message, std::uint32_t deviceIndex,
                  ProgressPhase phase, int errorCode, std::uint32_t percent) {
  const std::uint32_t wParam = ((deviceIndex & 0xFFFFu) << 16) | static_cast<std::uint16_t>(phase);
  platform::Current<platform::WindowMessages>().Post(
      window, message, wParam,
      platform::MakeLParam(percent, static_cast<std::uint32_t>(errorCode)));
}

StepCode ProgramPage(const DeviceRecord& record, std::uint32_t chip, std::uint32_t address,
                     std::span<const std::uint8_t> data, ReadyWait wait) {
  if (SetWriteEnable(record, chip, true) != StepCode::Ok) return StepCode::WriteEnable;
  const SpiCommand& program = FlashChip(chip).pageProgram;
  const auto command = AddressedCommand(program.Opcode(), address);
  if (const StepCode code =
          RunSpiTransaction(record, {.command = std::span(command).first(4), .data = data});
      code != StepCode::Ok)
    return code;
  if (wait(record, program.poll) != StepCode::Ok) return StepCode::WaitReady;
  if (SetWriteEnable(record, chip, false) != StepCode::Ok) return StepCode::WriteDisable;
  return StepCode::Ok;
}

StepCode StartAutoIncrement(const DeviceRecord& record, std::uint32_t chip, std::uint32_t address,
                            std::uint8_t first) {
  if (SetWriteEnable(record, chip, true) != StepCode::Ok) return StepCode::WriteEnable;
  const SpiCommand& program = FlashChip(chip).autoIncrementProgram;
  auto command = AddressedCommand(program.Opcode(), address);
  command[4] = first;
  const std::size_t length = std::clamp<std::size_t>(program.length, 1, command.size());
  return RunSpiTransaction(record, {.command = std::span(command).first(length)});
}

StepCode ContinueAutoIncrement(const DeviceRecord& record, std::uint32_t chip, std::uint8_t next) {
  const SpiCommand& program = FlashChip(chip).autoIncrementProgram;
  // The opcode with one further byte: program data, so a failed write reports ProgramData.
  const std::array<std::uint8_t, 2> bytes = {program.Opcode(), next};
  const std::size_t length = std::clamp<std::uint32_t>(program.extra, 1, 2);
  return RunSpiTransaction(record, {.data = std::span(bytes).first(length)});
}

void WriteDisableAfter(const DeviceRecord& record, std::uint32_t chip, StepCode code) {
  if (NeedsWriteDisable(code)) SetWriteEnable(record, chip, false);
}

FlashResult SpiOutcome(StepCode code, FlashResult failure) {
  if (code == StepCode::DeviceNotInTable) return FlashResult::DeviceNotInTable;
  return code == StepCode::Ok ? FlashResult::Ok : failure;
}

StepCode SetWriteEnable(const DeviceRecord& record, std::uint32_t chip, bool enable) {
  const FlashChipDescriptor& descriptor = FlashChip(chip);
  if (const StepCode code =
          SendSpiCommand(record, enable ? descriptor.writeEnable : descriptor.writeDisable);
      code != StepCode::Ok)
    return code;
  if (WaitFlashReady(record, descriptor.writeEnable.poll) != StepCode::Ok)
    return StepCode::WaitReady;
  return StepCode::Ok;
}

StepCode ReadStatusRegister(const DeviceRecord& record, std::uint8_t* destination,
                            std::uint32_t chip) {
  const SpiCommand& readStatus = FlashChip(chip).readStatus;
  const CommandBytes command(readStatus);
  std::array<std::uint8_t, kMaxShortTransfer> answer{};
  const std::size_t received = std::clamp<std::size_t>(readStatus.extra, 1, answer.size());
  if (const StepCode code = RunSpiTransaction(
          record, {.command = command.Bytes(), .answer = std::span(answer).first(received)});
      code != StepCode::Ok)
    return code;
  if (destination) *destination = answer[0];
  if (WaitFlashReady(record, readStatus.poll) != StepCode::Ok) return StepCode::WaitReady;
  return StepCode::Ok;
}

StepCode WriteStatusRegister(const DeviceRecord& record, std::uint8_t value, std::uint32_t chip) {
  const FlashChipDescriptor& descriptor = FlashChip(chip);
  StepCode code = StepCode::Ok;
  if (SetWriteEnable(record, chip, true) != StepCode::Ok) {
    code = StepCode::WriteEnable;
  } else if (descriptor.enableWriteStatus.Present() &&
             (code = SendSpiCommand(record, descriptor.enableWriteStatus)) != StepCode::Ok) {
  } else {
    const CommandBytes command(descriptor.writeStatus, value);
    code = RunSpiTransaction(record, {.command = command.Bytes()});
    if (code == StepCode::Ok && WaitFlashReady(record, descriptor.writeStatus.poll) != StepCode::Ok)
      code = StepCode::WaitReady;
    if (code == StepCode::Ok && SetWriteEnable(record, chip, false) != StepCode::Ok)
      code = StepCode::WriteDisable;
  }
  WriteDisableAfter(record, chip, code);
  return code;
}

StepCode SetFlashProtection(const DeviceRecord& record, std::uint32_t chip, bool protect) {
  const FlashChipDescriptor& descriptor = FlashChip(chip);
  const auto value =
      static_cast<std::uint8_t>(protect ? descriptor.protectValue : descriptor.unprotectValue);
  std::uint8_t before = 0;
  std::uint8_t after = 0;
  // The status values read around the write are not compared: some chips keep bits of the
  // field read-only, so a mismatch would not mean the write failed.
  if (ReadStatusRegister(record, &before, chip) != StepCode::Ok ||
      WriteStatusRegister(record, value, chip) != StepCode::Ok ||
      ReadStatusRegister(record, &after, chip) != StepCode::Ok)
    return StepCode::Protection;
  return StepCode::Ok;
}

StepCode SpiChipErase(const DeviceRecord& record, std::uint32_t chip, WindowHandle window,
                      std::uint32_t message) {
  RoutineProgress progress(record, window, message, ProgressPhase::Erasing,
                           ProgressPhase::ErasingFailed);
  if (!progress.Start(100)) return StepCode::DeviceNotInTable;
  StepCode code = SpiChipEraseSteps(record, chip);
  WriteDisableAfter(record, chip, code);
  if (code == StepCode::Ok) {
    std::array<std::uint8_t, kSpiPieceSize> start{};
    const StepCode read =
        SpiReadFlash(record, start.data(), 0, kSpiPieceSize, chip, window, message);
    if (read != StepCode::Ok ||
        !std::all_of(start.begin(), start.end(), [](std::uint8_t b) { return b == 0xFF; }))
      code = StepCode::EraseCheck;
  }
  if (code != StepCode::Ok) progress.Fail(code, 0);
  return code;
}

StepCode SpiReadPass(const DeviceRecord& record, std::uint8_t* destination, std::uint32_t offset,
                     std::uint32_t length, std::uint32_t chip, WindowHandle window,
                     std::uint32_t message, const ReadPass& pass) {
  RoutineProgress progress(record, window, message, ProgressPhase::Reading,
                           ProgressPhase::ReadingFailed);
  if (!progress.Start(pass.barSteps)) return StepCode::DeviceNotInTable;
  const FlashChipDescriptor& descriptor = FlashChip(chip);
  const SpiCommand& read =
      descriptor.fastRead.Present() ? descriptor.fastRead : descriptor.readData;
  const std::size_t commandLength = std::clamp<std::size_t>(read.length, 1, 5);
  for (std::uint32_t p = 0; p < length; p += pass.run) {
    const std::uint32_t n = std::min(pass.run, length - p);
    const auto command = AddressedCommand(read.Opcode(), offset + p);
    StepCode code = RunSpiTransaction(record, {.command = std::span(command).first(commandLength),
                                               .answer = std::span(destination + p, n)});
    if (code == StepCode::Ok && pass.waitAfterRun &&
        WaitFlashReady(record, read.poll) != StepCode::Ok)
      code = StepCode::WaitReady;
    if (code != StepCode::Ok) {
      progress.Fail(code, Percent(p, length));
      return code;
    }
    progress.Advance(Percent(p, length));
  }
  return StepCode::Ok;
}

StepCode SpiReadFlash(const DeviceRecord& record, std::uint8_t* destination, std::uint32_t offset,
                      std::uint32_t length, std::uint32_t chip, WindowHandle window,
                      std::uint32_t message) {
  return SpiReadPass(record, destination, offset, length, chip, window, message,
                     {.run = kSpiPieceSize, .barSteps = length / kSpiPieceSize});
}

StepCode SpiProgramPass(const DeviceRecord& record, const std::uint8_t* source,
                        std::uint32_t offset, std::uint32_t length, std::uint32_t chip,
                        WindowHandle window, std::uint32_t message, const ProgramPass& pass) {
  RoutineProgress progress(record, window, message, ProgressPhase::Programming,
                           ProgressPhase::ProgrammingFailed);
  if (!progress.Start(pass.barSteps)) return StepCode::DeviceNotInTable;
  for (std::uint32_t p = 0, n = 0; p < length; p += n) {
    n = std::min(pass.piece, length - p);
    if (pass.page != 0) n = std::min(n, pass.page - (offset + p) % pass.page);
    const StepCode code = pass.program(record, chip, offset + p, std::span(source + p, n));
    if (code != StepCode::Ok) {
      WriteDisableAfter(record, chip, code);
      progress.Fail(code, Percent(p, length));
      return code;
    }
    progress.Advance(Percent(p, length));
  }
  return StepCode::Ok;
}

StepCode SpiProgramFlash(const DeviceRecord& record, const std::uint8_t* source,
                         std::uint32_t offset, std::uint32_t length, std::uint32_t chip,
                         WindowHandle window, std::uint32_t message) {
  // A page program wraps around inside its 256-byte page: a piece that would run past the
  // page's end is cut there, and the next piece starts on the following page. Aligned writes
  // are not affected. The auto-increment chip has no page.
  const bool autoIncrement = FlashChip(chip).autoIncrementProgram.Present();
  return SpiProgramPass(
      record, source, offset, length, chip, window, message,
      {.piece = kSpiPieceSize,
       .page = autoIncrement ? 0 : kProgramPageSize,
       .barSteps = length / kSpiPieceSize,
       .program = autoIncrement ? ProgramAutoIncrementPiece : ProgramPageWaitingReady});
}

FlashResult FlashIcpSwitch(DeviceRecord record, std::uint32_t mode) {
  if (!record.Byte11Set) return FlashResult::Ok;
  if (DetectFlash(record) != StepCode::Ok) return FlashResult::FlashNotIdentified;
  if (SetFlashProtection(record, record.FlashChipIndex, mode != 0) != StepCode::Ok)
    return mode != 0 ? FlashResult::ProtectFailed : FlashResult::UnprotectFailed;
  return FlashResult::Ok;
}

FlashResult FlashErase(DeviceRecord record, WindowHandle window, std::uint32_t message) {
  if (record.Byte11Set) {
    if (DetectFlash(record) != StepCode::Ok) return FlashResult::FlashNotIdentified;
    return SpiOutcome(SpiChipErase(record, record.FlashChipIndex, window, message),
                      FlashResult::EraseFailed);
  }
  // Zeros over the erase span, whatever the memory's size.
  const std::array<std::uint8_t, kMaxShortTransfer> zeros{};
  return RunEepromPass(record, window, message,
                       {ProgressPhase::Erasing, ProgressPhase::ErasingFailed,
                        FlashResult::ProgramFailed, 0, kEepromEraseSpan, record.ModeFlags},
                       [&](std::uint16_t address, std::uint32_t, std::uint32_t n) {
                         return EepromWrite(record, address, zeros.data(), n);
                       });
}

FlashResult FlashRead(DeviceRecord record, std::uint8_t* destination, std::uint32_t offset,
                      std::uint32_t length, WindowHandle window, std::uint32_t message) {
  if (destination == nullptr && length != 0) return FlashResult::ReadFailed;
  if (record.Byte11Set) {
    if (DetectFlash(record) != StepCode::Ok) return FlashResult::FlashNotIdentified;
    return SpiOutcome(
        SpiReadFlash(record, destination, offset, length, record.FlashChipIndex, window, message),
        FlashResult::ReadFailed);
  }
  return RunEepromPass(record, window, message,
                       {ProgressPhase::Reading, ProgressPhase::ReadingFailed,
                        FlashResult::ReadFailed, offset, length, length},
                       [&](std::uint16_t address, std::uint32_t p, std::uint32_t n) {
                         return EepromRead(record, address, destination + p, n);
                       });
}

FlashResult FlashWrite(DeviceRecord record, const std::uint8_t* source, std::uint32_t offset,
                       std::uint32_t length, WindowHandle window, std::uint32_t message) {
  if (source == nullptr && length != 0) return FlashResult::ProgramFailed;
  if (record.Byte11Set) {
    if (DetectFlash(record) != StepCode::Ok) return FlashResult::FlashNotIdentified;
    return SpiOutcome(
        SpiProgramFlash(record, source, offset, length, record.FlashChipIndex, window, message),
        FlashResult::ProgramFailed);
  }
  return RunEepromPass(record, window, message,
                       {ProgressPhase::Programming, ProgressPhase::ProgrammingFailed,
                        FlashResult::ProgramFailed, offset, length, length},
                       [&](std::uint16_t address, std::uint32_t p, std::uint32_t n) {
                         return EepromWrite(record, address, source + p, n);
                       });
}

}  // namespace burnwell::protocol
