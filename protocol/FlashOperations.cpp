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
using platform::WParam;

bool Post(WindowHandle window, std::uint32_t message, WParam wParam, LParam lParam) {
  return platform::Current<platform::WindowMessages>().Post(window, message, wParam, lParam);
}

// MAKELPARAM(low, high): the two halves zero-extended into one 32-bit value.
LParam MakeLParam(std::uint32_t low, std::uint32_t high) {
  return static_cast<LParam>(((high & 0xFFFFu) << 16) | (low & 0xFFFFu));
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

  void Fail(int errorCode, std::uint32_t percent) {
    if (window_ == 0) return;
    if (message_ != 0)
      PostProgress(window_, message_, deviceIndex_, failPhase_, errorCode, percent);
    else
      Post(window_, PBM_SETPOS, 0, 0);
  }

  Progress& For(const DeviceRecord& record) {
    record_ = &record;
    return *this;
  }

 private:
  WindowHandle window_;
  std::uint32_t message_;
  ProgressPhase phase_;
  ProgressPhase failPhase_;
  const DeviceRecord* record_ = nullptr;
  std::uint32_t deviceIndex_ = 0;
};

// The routines that leave the write-enable latch possibly set send write disable after any
// step from write enable to the ready wait.
bool NeedsWriteDisable(int stepCode) {
  return stepCode <= step::kWriteEnable && stepCode >= step::kWaitReady;
}

void WriteDisableAfter(const DeviceRecord& record, std::uint32_t chip, int stepCode) {
  if (NeedsWriteDisable(stepCode)) SetWriteEnable(record, chip, 0);
}

std::array<std::uint8_t, 5> AddressedCommand(std::uint8_t opcode, std::uint32_t address) {
  return {opcode, static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
          static_cast<std::uint8_t>(address), 0};
}

// Select, one or two writes (command, then data), deselect: the shape of a program transaction.
int ProgramTransaction(const DeviceRecord& record, std::span<const std::uint8_t> command,
                       std::span<const std::uint8_t> data) {
  if (!SpiChipSelect(record, 1)) return step::kSelect;
  int code = step::kOk;
  if (!SpiWrite(record, command.data(), static_cast<std::uint32_t>(command.size())))
    code = step::kCommandBytes;
  else if (!data.empty() &&
           !SpiWrite(record, data.data(), static_cast<std::uint32_t>(data.size())))
    code = step::kProgramData;
  if (code != step::kOk) {
    DeselectAfter(record, code);
    return code;
  }
  return EndSpiTransaction(record);
}

// One page-program piece: write enable, command and data, the program wait, write disable.
int ProgramPagePiece(const DeviceRecord& record, const FlashChipDescriptor& chip,
                     std::uint32_t chipIndex, std::uint32_t address,
                     std::span<const std::uint8_t> data) {
  if (SetWriteEnable(record, chipIndex, 1) != step::kOk) return step::kWriteEnable;
  const SpiCommand& program = chip[Slot::PageProgram];
  const auto command = AddressedCommand(program.Opcode(), address);
  if (const int code = ProgramTransaction(record, std::span(command).first(4), data)) return code;
  if (WaitFlashReady(record, program.poll) != step::kOk) return step::kWaitReady;
  if (SetWriteEnable(record, chipIndex, 0) != step::kOk) return step::kWriteDisable;
  return step::kOk;
}

// One auto-increment piece: the opcode with the address and the first byte, then the opcode
// with each further byte, each its own transaction; write disable ends the mode.
int ProgramAutoIncrementPiece(const DeviceRecord& record, const FlashChipDescriptor& chip,
                              std::uint32_t chipIndex, std::uint32_t address,
                              std::span<const std::uint8_t> data) {
  if (SetWriteEnable(record, chipIndex, 1) != step::kOk) return step::kWriteEnable;
  const SpiCommand& program = chip[Slot::AutoIncrementProgram];
  auto first = AddressedCommand(program.Opcode(), address);
  first[4] = data[0];
  const std::size_t firstLength = std::clamp<std::size_t>(program.length, 1, first.size());
  if (const int code = ProgramTransaction(record, std::span(first).first(firstLength), {}))
    return code;
  for (std::size_t i = 1; i < data.size(); ++i) {
    const std::array<std::uint8_t, 2> next = {program.Opcode(), data[i]};
    if (!SpiChipSelect(record, 1)) return step::kSelect;
    if (!SpiWrite(record, next.data(), std::clamp<std::uint32_t>(program.extra, 1, 2))) {
      DeselectAfter(record, step::kProgramData);
      return step::kProgramData;
    }
    if (const int code = EndSpiTransaction(record)) return code;
  }
  if (const int code = EndSpiTransaction(record)) return code;
  if (WaitFlashReady(record, chip[Slot::PageProgram].poll) != step::kOk) return step::kWaitReady;
  if (SetWriteEnable(record, chipIndex, 0) != step::kOk) return step::kWriteDisable;
  return step::kOk;
}

int SpiChipEraseSteps(const DeviceRecord& record, std::uint32_t chipIndex) {
  const FlashChipDescriptor& chip = FlashChip(chipIndex);
  if (SetWriteEnable(record, chipIndex, 1) != step::kOk) return step::kWriteEnable;
  if (const int code = SendSpiCommand(record, chip[Slot::ChipErase])) return code;
  if (WaitFlashReady(record, chip[Slot::ChipErase].poll) != step::kOk) return step::kWaitReady;
  if (SetWriteEnable(record, chipIndex, 0) != step::kOk) return step::kWriteDisable;
  return step::kOk;
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
  const std::uint32_t lParam =
      ((static_cast<std::uint32_t>(errorCode) & 0xFFFFu) << 16) | (percent & 0xFFFFu);
  Post(window, message, wParam, static_cast<LParam>(lParam));
}

int SetWriteEnable(const DeviceRecord& record, std::uint32_t chip, int enable) {
  const FlashChipDescriptor& descriptor = FlashChip(chip);
  const SpiCommand& command = descriptor[enable ? Slot::WriteEnable : Slot::WriteDisable];
  if (const int code = SendSpiCommand(record, command)) return code;
  if (WaitFlashReady(record, descriptor[Slot::WriteEnable].poll) != step::kOk)
    return step::kWaitReady;
  return step::kOk;
}

int ReadStatusRegister(const DeviceRecord& record, std::uint8_t* destination, std::uint32_t chip) {
  const SpiCommand& readStatus = FlashChip(chip)[Slot::ReadStatus];
  std::array<std::uint8_t, kMaxShortTransfer> command{};
  command[0] = readStatus.Opcode();
  std::array<std::uint8_t, kMaxShortTransfer> answer{};
  const std::size_t sent = std::clamp<std::size_t>(readStatus.length, 1, command.size());
  const std::size_t received = std::clamp<std::size_t>(readStatus.extra, 1, answer.size());
  if (const int code = RunSpiTransaction(record, std::span(command).first(sent),
                                         std::span(answer).first(received)))
    return code;
  if (destination) *destination = answer[0];
  if (WaitFlashReady(record, readStatus.poll) != step::kOk) return step::kWaitReady;
  return step::kOk;
}

int WriteStatusRegister(const DeviceRecord& record, std::uint8_t value, std::uint32_t chip) {
  const FlashChipDescriptor& descriptor = FlashChip(chip);
  const SpiCommand& writeStatus = descriptor[Slot::WriteStatus];
  int code = step::kOk;
  if (SetWriteEnable(record, chip, 1) != step::kOk) {
    code = step::kWriteEnable;
  } else if (descriptor[Slot::EnableWriteStatus].Present() &&
             (code = SendSpiCommand(record, descriptor[Slot::EnableWriteStatus])) != step::kOk) {
  } else {
    std::array<std::uint8_t, kMaxShortTransfer> command{};
    command[0] = writeStatus.Opcode();
    command[1] = value;
    const std::size_t length = std::clamp<std::size_t>(writeStatus.length, 2, command.size());
    code = RunSpiTransaction(record, std::span(command).first(length), {});
    if (code == step::kOk && WaitFlashReady(record, writeStatus.poll) != step::kOk)
      code = step::kWaitReady;
    if (code == step::kOk && SetWriteEnable(record, chip, 0) != step::kOk)
      code = step::kWriteDisable;
  }
  WriteDisableAfter(record, chip, code);
  return code;
}

int SetFlashProtection(const DeviceRecord& record, std::uint32_t chip, int protect) {
  const FlashChipDescriptor& descriptor = FlashChip(chip);
  const auto value =
      static_cast<std::uint8_t>(protect ? descriptor.protectValue : descriptor.unprotectValue);
  std::uint8_t before = 0;
  std::uint8_t after = 0;
  // The status values read around the write are not compared: some chips keep bits of the
  // field read-only, so a mismatch would not mean the write failed.
  if (ReadStatusRegister(record, &before, chip) != step::kOk ||
      WriteStatusRegister(record, value, chip) != step::kOk ||
      ReadStatusRegister(record, &after, chip) != step::kOk)
    return step::kProtection;
  return step::kOk;
}

int SpiChipErase(const DeviceRecord& record, std::uint32_t chip, WindowHandle window,
                 std::uint32_t message) {
  Progress progress(window, message, ProgressPhase::Erasing, ProgressPhase::ErasingFailed);
  if (!progress.For(record).Start(100)) return result::kDeviceNotInTable;
  int code = SpiChipEraseSteps(record, chip);
  WriteDisableAfter(record, chip, code);
  if (code == step::kOk) {
    std::array<std::uint8_t, kSpiPieceSize> start{};
    const int read = SpiReadFlash(record, start.data(), 0, kSpiPieceSize, chip, window, message);
    if (read != step::kOk ||
        !std::all_of(start.begin(), start.end(), [](std::uint8_t b) { return b == 0xFF; }))
      code = step::kEraseCheck;
  }
  if (code != step::kOk) progress.Fail(code, 0);
  return code;
}

int SpiReadFlash(const DeviceRecord& record, std::uint8_t* destination, std::uint32_t offset,
                 std::uint32_t length, std::uint32_t chip, WindowHandle window,
                 std::uint32_t message) {
  Progress progress(window, message, ProgressPhase::Reading, ProgressPhase::ReadingFailed);
  if (!progress.For(record).Start(length / kSpiPieceSize)) return result::kDeviceNotInTable;
  const FlashChipDescriptor& descriptor = FlashChip(chip);
  const SpiCommand& read =
      descriptor[Slot::FastRead].Present() ? descriptor[Slot::FastRead] : descriptor[Slot::ReadData];
  const std::size_t commandLength = std::clamp<std::size_t>(read.length, 1, 5);
  for (std::uint32_t p = 0; p < length; p += kSpiPieceSize) {
    const std::uint32_t n = std::min(kSpiPieceSize, length - p);
    const auto command = AddressedCommand(read.Opcode(), offset + p);
    int code = RunSpiTransaction(record, std::span(command).first(commandLength),
                                 std::span(destination + p, n));
    if (code == step::kOk && WaitFlashReady(record, read.poll) != step::kOk)
      code = step::kWaitReady;
    if (code != step::kOk) {
      progress.Fail(code, Percent(p, length));
      return code;
    }
    progress.Advance(Percent(p, length));
  }
  return step::kOk;
}

int SpiProgramFlash(const DeviceRecord& record, const std::uint8_t* source, std::uint32_t offset,
                    std::uint32_t length, std::uint32_t chip, WindowHandle window,
                    std::uint32_t message) {
  Progress progress(window, message, ProgressPhase::Programming, ProgressPhase::ProgrammingFailed);
  if (!progress.For(record).Start(length / kSpiPieceSize)) return result::kDeviceNotInTable;
  const FlashChipDescriptor& descriptor = FlashChip(chip);
  const bool autoIncrement = descriptor[Slot::AutoIncrementProgram].Present();
  for (std::uint32_t p = 0, n = 0; p < length; p += n) {
    n = std::min(kSpiPieceSize, length - p);
    // A page program wraps around inside its 256-byte page: a piece that would run past the
    // page's end is cut there, and the next piece starts on the following page. Aligned writes
    // are not affected.
    if (!autoIncrement) n = std::min(n, kProgramPageSize - ((offset + p) % kProgramPageSize));
    const std::span<const std::uint8_t> piece(source + p, n);
    const int code = autoIncrement
                         ? ProgramAutoIncrementPiece(record, descriptor, chip, offset + p, piece)
                         : ProgramPagePiece(record, descriptor, chip, offset + p, piece);
    if (code != step::kOk) {
      WriteDisableAfter(record, chip, code);
      progress.Fail(code, Percent(p, length));
      return code;
    }
    progress.Advance(Percent(p, length));
  }
  return step::kOk;
}

int FlashIcpSwitch(DeviceRecord record, std::uint32_t mode) {
  if (!record.Byte11Set) return result::kOk;
  if (DetectFlash(record) != step::kOk) return result::kFlashNotIdentified;
  if (SetFlashProtection(record, record.FlashChipIndex, mode != 0) != step::kOk)
    return mode != 0 ? result::kProtectFailed : result::kUnprotectFailed;
  return result::kOk;
}

int FlashErase(DeviceRecord record, WindowHandle window, std::uint32_t message) {
  if (record.Byte11Set) {
    if (DetectFlash(record) != step::kOk) return result::kFlashNotIdentified;
    const int code = SpiChipErase(record, record.FlashChipIndex, window, message);
    if (code == result::kDeviceNotInTable) return code;
    return code == step::kOk ? result::kOk : result::kEraseFailed;
  }
  const std::uint32_t pieceSize = EepromPieceSize(record.ModeFlags);
  Progress progress(window, message, ProgressPhase::Erasing, ProgressPhase::ErasingFailed);
  if (!progress.For(record).Start(EEPROM_ERASE_SPAN / pieceSize)) return result::kDeviceNotInTable;
  const std::array<std::uint8_t, kMaxShortTransfer> zeros{};
  for (std::uint32_t p = 0; p < EEPROM_ERASE_SPAN; p += pieceSize) {
    // The distance to the memory's end, taken as an unsigned difference: past the end of a
    // small memory it wraps around to a large value and the full piece is written again.
    const std::uint32_t n = std::min(pieceSize, record.ModeFlags - p);
    if (!EepromWrite(record, static_cast<std::uint16_t>(p), zeros.data(), n)) {
      progress.Fail(result::kProgramFailed, Percent(p, EEPROM_ERASE_SPAN));
      return result::kProgramFailed;
    }
    progress.Advance(Percent(p, EEPROM_ERASE_SPAN));
  }
  return result::kOk;
}

int FlashRead(DeviceRecord record, std::uint8_t* destination, std::uint32_t offset,
              std::uint32_t length, WindowHandle window, std::uint32_t message) {
  if (destination == nullptr && length != 0) return result::kReadFailed;
  if (record.Byte11Set) {
    if (DetectFlash(record) != step::kOk) return result::kFlashNotIdentified;
    const int code =
        SpiReadFlash(record, destination, offset, length, record.FlashChipIndex, window, message);
    if (code == result::kDeviceNotInTable) return code;
    return code == step::kOk ? result::kOk : result::kReadFailed;
  }
  const std::uint32_t pieceSize = EepromPieceSize(record.ModeFlags);
  Progress progress(window, message, ProgressPhase::Reading, ProgressPhase::ReadingFailed);
  if (!progress.For(record).Start(length / pieceSize)) return result::kDeviceNotInTable;
  for (std::uint32_t p = 0; p < length; p += pieceSize) {
    const std::uint32_t n = std::min(pieceSize, length - p);
    if (!EepromRead(record, static_cast<std::uint16_t>(offset + p), destination + p, n)) {
      progress.Fail(result::kReadFailed, Percent(p, length));
      return result::kReadFailed;
    }
    progress.Advance(Percent(p, length));
  }
  return result::kOk;
}

int FlashWrite(DeviceRecord record, const std::uint8_t* source, std::uint32_t offset,
               std::uint32_t length, WindowHandle window, std::uint32_t message) {
  if (source == nullptr && length != 0) return result::kProgramFailed;
  if (record.Byte11Set) {
    if (DetectFlash(record) != step::kOk) return result::kFlashNotIdentified;
    const int code =
        SpiProgramFlash(record, source, offset, length, record.FlashChipIndex, window, message);
    if (code == result::kDeviceNotInTable) return code;
    return code == step::kOk ? result::kOk : result::kProgramFailed;
  }
  const std::uint32_t pieceSize = EepromPieceSize(record.ModeFlags);
  Progress progress(window, message, ProgressPhase::Programming, ProgressPhase::ProgrammingFailed);
  if (!progress.For(record).Start(length / pieceSize)) return result::kDeviceNotInTable;
  for (std::uint32_t p = 0; p < length; p += pieceSize) {
    const std::uint32_t n = std::min(pieceSize, length - p);
    if (!EepromWrite(record, static_cast<std::uint16_t>(offset + p), source + p, n)) {
      progress.Fail(result::kProgramFailed, Percent(p, length));
      return result::kProgramFailed;
    }
    progress.Advance(Percent(p, length));
  }
  return result::kOk;
}

}  // namespace burnwell::protocol
