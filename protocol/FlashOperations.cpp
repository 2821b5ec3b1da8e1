#include "protocol/FlashOperations.h"

#include <algorithm>
#include <array>
#include <span>

#include "platform/WinNames.h"
#include "protocol/SpiTransactions.h"
#include "protocol/VendorCommands.h"

namespace burnwell::protocol {
namespace {

using platform::LParam;
using platform::MakeLParam;
using platform::WParam;

bool Post(WindowHandle window, std::uint32_t message, WParam wParam, LParam lParam) {
  return platform::Current<platform::WindowMessages>().Post(window, message, wParam, lParam);
}

std::uint32_t Percent(std::uint32_t done, std::uint32_t total) {
  if (total == 0) return 0;
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(done) * 100u / total);
}

// Progress of one routine: nothing without a window, progress-bar messages with message number
// 0, progress notices of the caller's message number otherwise.
class Progress {
 public:
  Progress(WindowHandle window, std::uint32_t message, ProgressPhase phase, ProgressPhase failPhase)
      : window_(window), message_(message), phase_(phase), failPhase_(failPhase) {}

  // False when notices are asked for and the device is not in the table.
  bool Start(std::uint32_t barMaximum) {
    if (window_ == 0) return true;
    if (message_ != 0) {
      const int index = FindDeviceIndex(record_ ? *record_ : DeviceRecord{});
      if (index < 0) return false;
      deviceIndex_ = static_cast<std::uint32_t>(index);
      PostProgress(window_, message_, deviceIndex_, phase_, 0, 0);
      return true;
    }
    Post(window_, PBM_SETRANGE, 0, MakeLParam(0, barMaximum));
    Post(window_, PBM_SETSTEP, 1, 0);
    Post(window_, PBM_SETPOS, 0, 0);
    return true;
  }

  void Advance(std::uint32_t percent) {
    if (window_ == 0) return;
    if (message_ != 0)
      PostProgress(window_, message_, deviceIndex_, phase_, 0, percent);
    else
      Post(window_, PBM_STEPIT, 0, 0);
  }

  // The failing step's code, or the operation's own result, is the error code of the notice.
  void Fail(StepCode code, std::uint32_t percent) { FailWith(Code(code), percent); }
  void Fail(FlashResult result, std::uint32_t percent) { FailWith(Code(result), percent); }

  Progress& For(const DeviceRecord& record) {
    record_ = &record;
    return *this;
  }

 private:
  void FailWith(int errorCode, std::uint32_t percent) {
    if (window_ == 0) return;
    if (message_ != 0)
      PostProgress(window_, message_, deviceIndex_, failPhase_, errorCode, percent);
    else
      Post(window_, PBM_SETPOS, 0, 0);
  }

  WindowHandle window_;
  std::uint32_t message_;
  ProgressPhase phase_;
  ProgressPhase failPhase_;
  const DeviceRecord* record_ = nullptr;
  std::uint32_t deviceIndex_ = 0;
};

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

void WriteDisableAfter(const DeviceRecord& record, std::uint32_t chip, StepCode code) {
  if (NeedsWriteDisable(code)) SetWriteEnable(record, chip, 0);
}

std::array<std::uint8_t, 5> AddressedCommand(std::uint8_t opcode, std::uint32_t address) {
  return {opcode, static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
          static_cast<std::uint8_t>(address), 0};
}

// One page-program piece: write enable, command and data, the program wait, write disable.
StepCode ProgramPagePiece(const DeviceRecord& record, const FlashChipDescriptor& chip,
                          std::uint32_t chipIndex, std::uint32_t address,
                          std::span<const std::uint8_t> data) {
  if (SetWriteEnable(record, chipIndex, 1) != StepCode::Ok) return StepCode::WriteEnable;
  const SpiCommand& program = chip[Slot::PageProgram];
  const auto command = AddressedCommand(program.Opcode(), address);
  if (const StepCode code =
          RunSpiTransaction(record, {.command = std::span(command).first(4), .data = data});
      code != StepCode::Ok)
    return code;
  if (WaitFlashReady(record, program.poll) != StepCode::Ok) return StepCode::WaitReady;
  if (SetWriteEnable(record, chipIndex, 0) != StepCode::Ok) return StepCode::WriteDisable;
  return StepCode::Ok;
}

// One auto-increment piece: the opcode with the address and the first byte, then the opcode
// with each further byte, each its own transaction; write disable ends the mode.
StepCode ProgramAutoIncrementPiece(const DeviceRecord& record, const FlashChipDescriptor& chip,
                                   std::uint32_t chipIndex, std::uint32_t address,
                                   std::span<const std::uint8_t> data) {
  if (SetWriteEnable(record, chipIndex, 1) != StepCode::Ok) return StepCode::WriteEnable;
  const SpiCommand& program = chip[Slot::AutoIncrementProgram];
  auto first = AddressedCommand(program.Opcode(), address);
  first[4] = data[0];
  const std::size_t firstLength = std::clamp<std::size_t>(program.length, 1, first.size());
  if (const StepCode code =
          RunSpiTransaction(record, {.command = std::span(first).first(firstLength)});
      code != StepCode::Ok)
    return code;
  for (std::size_t i = 1; i < data.size(); ++i) {
    // The opcode with one further byte: program data, so a failed write reports ProgramData.
    const std::array<std::uint8_t, 2> next = {program.Opcode(), data[i]};
    const std::size_t nextLength = std::clamp<std::uint32_t>(program.extra, 1, 2);
    if (const StepCode code =
            RunSpiTransaction(record, {.data = std::span(next).first(nextLength)});
        code != StepCode::Ok)
      return code;
  }
  if (const StepCode code = EndSpiTransaction(record); code != StepCode::Ok) return code;
  if (WaitFlashReady(record, chip[Slot::PageProgram].poll) != StepCode::Ok)
    return StepCode::WaitReady;
  if (SetWriteEnable(record, chipIndex, 0) != StepCode::Ok) return StepCode::WriteDisable;
  return StepCode::Ok;
}

StepCode SpiChipEraseSteps(const DeviceRecord& record, std::uint32_t chipIndex) {
  const FlashChipDescriptor& chip = FlashChip(chipIndex);
  if (SetWriteEnable(record, chipIndex, 1) != StepCode::Ok) return StepCode::WriteEnable;
  if (const StepCode code = SendSpiCommand(record, chip[Slot::ChipErase]); code != StepCode::Ok)
    return code;
  if (WaitFlashReady(record, chip[Slot::ChipErase].poll) != StepCode::Ok)
    return StepCode::WaitReady;
  if (SetWriteEnable(record, chipIndex, 0) != StepCode::Ok) return StepCode::WriteDisable;
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
  Progress progress(window, message, pass.phase, pass.failPhase);
  if (!progress.For(record).Start(pass.length / pieceSize)) return FlashResult::DeviceNotInTable;
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

// The result of an operation from the outcome of its serial-flash routine.
FlashResult SpiOutcome(StepCode code, FlashResult failure) {
  if (code == StepCode::DeviceNotInTable) return FlashResult::DeviceNotInTable;
  return code == StepCode::Ok ? FlashResult::Ok : failure;
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
  Post(window, message, wParam, MakeLParam(percent, static_cast<std::uint32_t>(errorCode)));
}

StepCode SetWriteEnable(const DeviceRecord& record, std::uint32_t chip, int enable) {
  const FlashChipDescriptor& descriptor = FlashChip(chip);
  const SpiCommand& command = descriptor[enable ? Slot::WriteEnable : Slot::WriteDisable];
  if (const StepCode code = SendSpiCommand(record, command); code != StepCode::Ok) return code;
  if (WaitFlashReady(record, descriptor[Slot::WriteEnable].poll) != StepCode::Ok)
    return StepCode::WaitReady;
  return StepCode::Ok;
}

StepCode ReadStatusRegister(const DeviceRecord& record, std::uint8_t* destination,
                            std::uint32_t chip) {
  const SpiCommand& readStatus = FlashChip(chip)[Slot::ReadStatus];
  std::array<std::uint8_t, kMaxShortTransfer> command{};
  command[0] = readStatus.Opcode();
  std::array<std::uint8_t, kMaxShortTransfer> answer{};
  const std::size_t sent = std::clamp<std::size_t>(readStatus.length, 1, command.size());
  const std::size_t received = std::clamp<std::size_t>(readStatus.extra, 1, answer.size());
  const SpiTransaction transaction{.command = std::span(command).first(sent),
                                   .answer = std::span(answer).first(received)};
  if (const StepCode code = RunSpiTransaction(record, transaction); code != StepCode::Ok)
    return code;
  if (destination) *destination = answer[0];
  if (WaitFlashReady(record, readStatus.poll) != StepCode::Ok) return StepCode::WaitReady;
  return StepCode::Ok;
}

StepCode WriteStatusRegister(const DeviceRecord& record, std::uint8_t value, std::uint32_t chip) {
  const FlashChipDescriptor& descriptor = FlashChip(chip);
  const SpiCommand& writeStatus = descriptor[Slot::WriteStatus];
  StepCode code = StepCode::Ok;
  if (SetWriteEnable(record, chip, 1) != StepCode::Ok) {
    code = StepCode::WriteEnable;
  } else if (descriptor[Slot::EnableWriteStatus].Present() &&
             (code = SendSpiCommand(record, descriptor[Slot::EnableWriteStatus])) != StepCode::Ok) {
  } else {
    std::array<std::uint8_t, kMaxShortTransfer> command{};
    command[0] = writeStatus.Opcode();
    command[1] = value;
    const std::size_t length = std::clamp<std::size_t>(writeStatus.length, 2, command.size());
    code = RunSpiTransaction(record, {.command = std::span(command).first(length)});
    if (code == StepCode::Ok && WaitFlashReady(record, writeStatus.poll) != StepCode::Ok)
      code = StepCode::WaitReady;
    if (code == StepCode::Ok && SetWriteEnable(record, chip, 0) != StepCode::Ok)
      code = StepCode::WriteDisable;
  }
  WriteDisableAfter(record, chip, code);
  return code;
}

StepCode SetFlashProtection(const DeviceRecord& record, std::uint32_t chip, int protect) {
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
  Progress progress(window, message, ProgressPhase::Erasing, ProgressPhase::ErasingFailed);
  if (!progress.For(record).Start(100)) return StepCode::DeviceNotInTable;
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

StepCode SpiReadFlash(const DeviceRecord& record, std::uint8_t* destination, std::uint32_t offset,
                      std::uint32_t length, std::uint32_t chip, WindowHandle window,
                      std::uint32_t message) {
  Progress progress(window, message, ProgressPhase::Reading, ProgressPhase::ReadingFailed);
  if (!progress.For(record).Start(length / kSpiPieceSize)) return StepCode::DeviceNotInTable;
  const FlashChipDescriptor& descriptor = FlashChip(chip);
  const SpiCommand& read = descriptor[Slot::FastRead].Present() ? descriptor[Slot::FastRead]
                                                                : descriptor[Slot::ReadData];
  const std::size_t commandLength = std::clamp<std::size_t>(read.length, 1, 5);
  for (std::uint32_t p = 0; p < length; p += kSpiPieceSize) {
    const std::uint32_t n = std::min(kSpiPieceSize, length - p);
    const auto command = AddressedCommand(read.Opcode(), offset + p);
    StepCode code = RunSpiTransaction(record, {.command = std::span(command).first(commandLength),
                                               .answer = std::span(destination + p, n)});
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

StepCode SpiProgramFlash(const DeviceRecord& record, const std::uint8_t* source,
                         std::uint32_t offset, std::uint32_t length, std::uint32_t chip,
                         WindowHandle window, std::uint32_t message) {
  Progress progress(window, message, ProgressPhase::Programming, ProgressPhase::ProgrammingFailed);
  if (!progress.For(record).Start(length / kSpiPieceSize)) return StepCode::DeviceNotInTable;
  const FlashChipDescriptor& descriptor = FlashChip(chip);
  const bool autoIncrement = descriptor[Slot::AutoIncrementProgram].Present();
  for (std::uint32_t p = 0, n = 0; p < length; p += n) {
    n = std::min(kSpiPieceSize, length - p);
    // A page program wraps around inside its 256-byte page: a piece that would run past the
    // page's end is cut there, and the next piece starts on the following page. Aligned writes
    // are not affected.
    if (!autoIncrement) n = std::min(n, kProgramPageSize - ((offset + p) % kProgramPageSize));
    const std::span<const std::uint8_t> piece(source + p, n);
    const StepCode code =
        autoIncrement ? ProgramAutoIncrementPiece(record, descriptor, chip, offset + p, piece)
                      : ProgramPagePiece(record, descriptor, chip, offset + p, piece);
    if (code != StepCode::Ok) {
      WriteDisableAfter(record, chip, code);
      progress.Fail(code, Percent(p, length));
      return code;
    }
    progress.Advance(Percent(p, length));
  }
  return StepCode::Ok;
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
