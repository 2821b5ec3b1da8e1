#include "protocol/FlashChipTable.h"

#include <algorithm>
#include <array>

#include "platform/Clock.h"
#include "protocol/FlashOperations.h"
#include "protocol/SpiTransactions.h"
#include "protocol/VendorCommands.h"

namespace burnwell::protocol {
namespace {

// What sets one family apart from the others. Every entry shares write enable 0x06 / disable
// 0x04 (1 byte), read status 0x05 (1 sent, 1 received), write status 0x01, read data 0x03 and
// page program 0x02 (4 bytes), fast read 0x0B (5 bytes) where present, a 1-byte chip erase and
// unprotect value 0.
struct Family {
  std::uint32_t capacity;
  std::uint16_t pageSize;
  std::uint16_t eraseUnitKib;
  SpiCommand readId;
  std::uint16_t enablePoll;
  std::uint16_t statusPoll;
  std::uint16_t writeStatusLength;
  std::uint16_t writeStatusPoll;
  bool fastRead;
  std::uint16_t readPoll;
  std::uint16_t programPoll;
  std::uint8_t chipEraseOpcode;
  std::uint16_t chipErasePoll;
  bool releasePowerDown;
  std::uint16_t protectValue;
};

// The slots no routine uses hold what the family's datasheets give: 4 KiB sector erase 0x20 and
// 64 KiB block erase 0xD8 (4 bytes each); deep power-down 0xB9 and release 0xAB (opcode and
// three dummy bytes, one signature byte back) for the families that have the power-down mode;
// manufacturer/device ID 0x90 (opcode and three address bytes, two bytes back) and JEDEC ID 0x9F
// (one byte, three back) as further identification commands. Their polls are the status poll.
constexpr FlashChipDescriptor MakeEntry(const Family& f) {
  FlashChipDescriptor d{};
  d.capacity = f.capacity;
  d.pageSize = f.pageSize;
  d.eraseUnit = f.eraseUnitKib;
  d.protectValue = f.protectValue;
  d.unprotectValue = 0;
  auto set = [&d](Slot slot, SpiCommand command) { d.slots[static_cast<std::size_t>(slot)] = command; };
  set(Slot::WriteEnable, {0x06, 1, 0, f.enablePoll});
  set(Slot::WriteDisable, {0x04, 1, 0, f.enablePoll});
  set(Slot::ReadStatus, {0x05, 1, 1, f.statusPoll});
  set(Slot::WriteStatus, {0x01, f.writeStatusLength, 0, f.writeStatusPoll});
  set(Slot::ReadData, {0x03, 4, 0, f.readPoll});
  set(Slot::PageProgram, {0x02, 4, 0, f.programPoll});
  set(Slot::ReadId, f.readId);
  set(Slot::SectorErase, {0x20, 4, 0, f.statusPoll});
  set(Slot::ChipErase, {f.chipEraseOpcode, 1, 0, f.chipErasePoll});
  set(Slot::BlockErase, {0xD8, 4, 0, f.statusPoll});
  if (f.fastRead) set(Slot::FastRead, {0x0B, 5, 0, f.readPoll});
  if (f.releasePowerDown) {
    set(Slot::DeepPowerDown, {0xB9, 1, 0, f.statusPoll});
    set(Slot::ReleasePowerDown, {0xAB, 4, 1, f.statusPoll});
  }
  if (f.readId.opcode != 0x90) set(Slot::ManufacturerDeviceId, {0x90, 4, 2, f.statusPoll});
  if (f.readId.opcode != 0x9F) set(Slot::JedecId, {0x9F, 1, 3, f.statusPoll});
  return d;
}

constexpr SpiCommand kJedecId{0x9F, 1, 3, 5};

// Entry 1: the older family that identifies itself to 0x15 with two bytes; its sector erase is
// 0x52 and it has no JEDEC-style fast read.
constexpr FlashChipDescriptor Entry1() {
  FlashChipDescriptor d = MakeEntry({0x20000, 256, 32, {0x15, 1, 2, 30}, 30, 30, 2, 30, false, 2,
                                     1, 0x62, 1100, false, 0x0C});
  d.slots[static_cast<std::size_t>(Slot::SectorErase)] = {0x52, 4, 0, 30};
  return d;
}

// Entry 6: the byte-program family with auto-increment programming (opcode, 24-bit address and
// the first byte; then opcode and one byte each) and the enable-write-status command that must
// precede a status write.
constexpr FlashChipDescriptor Entry6() {
  FlashChipDescriptor d = MakeEntry({0x80000, 1, 4, {0x90, 4, 4, 5}, 5, 5, 2, 5, false, 1, 1,
                                     0x60, 100, false, 0x0C});
  d.slots[static_cast<std::size_t>(Slot::BlockErase32K)] = {0x52, 4, 0, 5};
  d.slots[static_cast<std::size_t>(Slot::AutoIncrementProgram)] = {0xAF, 5, 2, 1};
  d.slots[static_cast<std::size_t>(Slot::EnableWriteStatus)] = {0x50, 1, 0, 5};
  return d;
}

// Entries 7 and 12: the family that answers 0xAB (opcode and three dummy bytes) with three
// identification bytes; a 5-bit block-protect field (protect value 0x1E).
constexpr FlashChipDescriptor AbFamily(std::uint32_t capacity, std::uint16_t enablePoll,
                                       std::uint16_t writeStatusPoll, std::uint16_t erasePoll) {
  return MakeEntry({capacity, 256, 64, {0xAB, 4, 3, 2}, enablePoll, 2, 2, writeStatusPoll, true, 5,
                    2, 0xC7, erasePoll, false, 0x1E});
}

// Entry 13: two status registers written together (3 bytes), read-status-2 0x35.
constexpr FlashChipDescriptor Entry13() {
  FlashChipDescriptor d = MakeEntry({0x80000, 256, 4, kJedecId, 5, 2, 3, 5, true, 5, 2, 0xC7, 8,
                                     false, 0x7E});
  d.slots[static_cast<std::size_t>(Slot::ReadStatus2)] = {0x35, 1, 1, 2};
  d.slots[static_cast<std::size_t>(Slot::BlockErase32K)] = {0x52, 4, 0, 2};
  return d;
}

}  // namespace

// Field order of Family: capacity, page, erase unit (KiB), identification command, enable poll,
// status poll, write-status length and poll, fast read?, read poll, program poll, chip-erase
// opcode and poll, power-down release?, protect value.
const std::array<FlashChipDescriptor, kFlashChipCount> FlashChipTable = {
    MakeEntry({0x80000, 256, 4, kJedecId, 5, 5, 2, 5, false, 5, 5, 0x60, 1000, false, 0x0C}),
    Entry1(),
    MakeEntry({0x40000, 256, 4, kJedecId, 16, 16, 2, 16, true, 5, 1, 0x60, 1000, true, 0x0C}),
    MakeEntry({0x80000, 256, 4, kJedecId, 16, 16, 2, 16, true, 5, 1, 0x60, 1000, true, 0x0C}),
    MakeEntry({0x80000, 256, 64, kJedecId, 5, 5, 2, 5, false, 5, 1, 0xC7, 1500, true, 0x0C}),
    MakeEntry({0x80000, 256, 4, kJedecId, 14, 14, 2, 14, true, 14, 1, 0xC7, 1000, true, 0x0C}),
    Entry6(),
    AbFamily(0x80000, 20, 20, 100),
    MakeEntry({0x10000, 256, 4, kJedecId, 5, 5, 2, 5, false, 5, 1, 0xC7, 850, true, 0x0C}),
    MakeEntry({0x400000, 256, 4, kJedecId, 16, 64, 2, 64, true, 5, 1, 0x60, 25000, true, 0x3C}),
    MakeEntry({0x800000, 256, 4, kJedecId, 16, 64, 2, 64, true, 5, 1, 0x60, 40000, true, 0x3C}),
    MakeEntry({0x20000, 256, 4, kJedecId, 16, 16, 2, 16, true, 5, 1, 0x60, 1000, true, 0x0C}),
    AbFamily(0x40000, 5, 5, 8),
    Entry13(),
};

const FlashChipDescriptor& FlashChip(std::uint32_t index) {
  return FlashChipTable[index < kFlashChipCount ? index : 0];
}

StepCode WaitFlashReady(const DeviceRecord& record, std::uint32_t pollMs) {
  const SpiCommand& readStatus = FlashChip(record.FlashChipIndex)[Slot::ReadStatus];
  std::array<std::uint8_t, kMaxShortTransfer> command{};
  command[0] = readStatus.Opcode();
  const std::size_t length = std::clamp<std::size_t>(readStatus.length, 1, command.size());
  for (int poll = 0; poll < kMaxReadyPolls; ++poll) {
    std::array<std::uint8_t, 1> status{};
    if (RunSpiTransaction(record, {.command = std::span(command).first(length),
                                   .answer = status}) != StepCode::Ok)
      return StepCode::WaitReady;
    if ((status[0] & 0x01) == 0) return StepCode::Ok;
    platform::SleepMs(pollMs);
  }
  return StepCode::WaitReady;
}

int ClassifyFlashAnswer(const std::array<std::uint8_t, 4>& answer, const FlashChipDescriptor& probe) {
  const std::uint8_t b0 = answer[0], b1 = answer[1], b2 = answer[2];
  switch (b0) {
    case 0x1C: return 5;
    case 0x1F: return 1;
    case 0x20: return 4;
    case 0xBF: return 6;
    case 0xC8: return 13;
    case 0x7F:
    case 0x9D: return (b2 & 0x70) == 0x70 ? 7 : 12;
    case 0xC2:
      if (b1 == 0x20) {
        switch (b2) {
          case 0x11: return 11;
          case 0x16: return 9;
          case 0x17: return 10;
          default: return kNoMatch;
        }
      }
      return b1 == 0x22 ? 3 : 2;
    default:
      // Chips that answer with a bare device code are only recognised by a probe of a family
      // without the power-down mode.
      if (!probe[Slot::ReleasePowerDown].Present()) {
        if (b0 == 0x05) return 8;
        if (b0 == 0x10) return 4;
      }
      return kNoMatch;
  }
}

StepCode DetectFlash(DeviceRecord& record) {
  std::array<std::uint8_t, 4> answer{};
  int matched = kNoMatch;
  StepCode failure = StepCode::Ok;
  for (const FlashChipDescriptor& probe : FlashChipTable) {
    answer.fill(0);
    const SpiCommand& readId = probe[Slot::ReadId];
    std::array<std::uint8_t, kMaxShortTransfer> command{};
    command[0] = readId.Opcode();
    const std::size_t length = std::clamp<std::size_t>(readId.length, 1, command.size());
    const std::size_t received = std::min<std::size_t>(readId.extra, answer.size());
    failure = RunSpiTransaction(record, {.command = std::span(command).first(length),
                                         .answer = std::span(answer).first(received)});
    if (failure == StepCode::Select) failure = StepCode::WriteEnable;
    if (failure == StepCode::Ok && WaitFlashReady(record, kDetectPollMs) != StepCode::Ok)
      failure = StepCode::WaitReady;
    if (failure != StepCode::Ok) break;
    matched = ClassifyFlashAnswer(answer, probe);
    if (matched != kNoMatch) break;
  }
  if (failure != StepCode::Ok) {
    SetWriteEnable(record, record.FlashChipIndex, 0);
    return failure;
  }
  record.FlashChipIndex = matched == kNoMatch ? 0 : static_cast<std::uint32_t>(matched);
  if (matched == kNoMatch && answer[0] == 0xFF) return StepCode::NoChip;
  return StepCode::Ok;
}

}  // namespace burnwell::protocol
