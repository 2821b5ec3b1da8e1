#include "protocol/FlashChipTable.h"

#include <algorithm>
#include <array>
#include <bit>
#include <optional>

#include "platform/Clock.h"
#include "protocol/FlashOperations.h"
#include "protocol/SpiTransactions.h"
#include "protocol/VendorCommands.h"

namespace burnwell::protocol {
namespace {

constexpr std::uint32_t kKiB = 1024;
constexpr std::uint32_t kMiB = 1024 * kKiB;
constexpr std::uint32_t kMs = 1000;  // microseconds per millisecond

// The entry as the table writes it, with each command it gives only a poll (or a poll and a
// length) completed from its common form.
constexpr FlashChipDescriptor WithCommonForms(FlashChipDescriptor entry) {
  for (const CommonCommand& common : kCommonCommands) {
    SpiCommand& command = entry.*common.field;
    if (command.poll == 0 && command.opcode == 0) continue;  // the family lacks it
    if (command.opcode == 0) command.opcode = common.form.opcode;
    if (command.length == 0) command.length = common.form.length;
    if (command.extra == 0) command.extra = common.form.extra;
  }
  return entry;
}

constexpr std::array<FlashChipDescriptor, kFlashChipCount> Completed(
    std::array<FlashChipDescriptor, kFlashChipCount> entries) {
  for (FlashChipDescriptor& entry : entries) entry = WithCommonForms(entry);
  return entries;
}

}  // namespace

// Every entry has write enable, write disable, read status, write status, read data and page
// program in their common forms (kCommonCommands), a 1-byte chip erase and unprotect value 0.
// The commands no routine uses hold what the families' datasheets give: deep power-down and its
// release for the families with the power-down mode; manufacturer/device ID and JEDEC ID as
// further identification commands. Their polls are the family's status poll. Busy times and
// region erases are the datasheets' too. DetectFlash probes in table order, so an entry's index
// is part of the detection rule.
constexpr std::array<FlashChipDescriptor, kFlashChipCount> FlashChipTable = Completed({{
    // Entry 0.
    {
        .name = "any chip no probe recognises",
        .capacity = 512 * kKiB,
        .pageSize = 256,
        .protectValue = 0x0C,
        .writeEnable = {.poll = 5},
        .writeDisable = {.poll = 5},
        .readStatus = {.poll = 5},
        .writeStatus = {.poll = 5},
        .readData = {.poll = 5},
        .pageProgram = {.poll = 5},
        .readId = {.opcode = 0x9F, .length = 1, .extra = 3, .poll = 5},
        .chipErase = {.opcode = 0x60, .poll = 1000},
        .manufacturerDeviceId = {.poll = 5},
        // A chip no datasheet describes: the classic program wait's 100 polls of 5 ms bound
        // its page program; no region erase.
        .programTime = {.typicalUs = 700, .maximumUs = 500 * kMs},
    },
    // Entry 1. The older family that identifies itself to 0x15 with two bytes; 32 KiB sectors
    // erased by 0x52, chip erase 0x62, no fast read.
    {
        .name = "Atmel AT25F (older 0x15 product ID)",
        .answer = {.maker = 0x1F},
        .capacity = 128 * kKiB,
        .pageSize = 256,
        .protectValue = 0x0C,
        .writeEnable = {.poll = 30},
        .writeDisable = {.poll = 30},
        .readStatus = {.poll = 30},
        .writeStatus = {.poll = 30},
        .readData = {.poll = 2},
        .pageProgram = {.poll = 1},
        .readId = {.opcode = 0x15, .length = 1, .extra = 2, .poll = 30},
        .chipErase = {.opcode = 0x62, .poll = 1100},
        .manufacturerDeviceId = {.poll = 30},
        .jedecId = {.poll = 30},
        .programTime = {.typicalUs = 6 * kMs, .maximumUs = 10 * kMs},
        .sectorErase = {.opcode = 0x52, .size = 32 * kKiB, .time = {1100 * kMs, 2000 * kMs}},
    },
    // Entry 2.
    {
        .name = "Macronix MX25, other memory types",
        .answer = {.maker = 0xC2},
        .capacity = 256 * kKiB,
        .pageSize = 256,
        .protectValue = 0x0C,
        .writeEnable = {.poll = 16},
        .writeDisable = {.poll = 16},
        .readStatus = {.poll = 16},
        .writeStatus = {.poll = 16},
        .readData = {.poll = 5},
        .pageProgram = {.poll = 1},
        .readId = {.opcode = 0x9F, .length = 1, .extra = 3, .poll = 5},
        .chipErase = {.opcode = 0x60, .poll = 1000},
        .fastRead = {.poll = 5},
        .deepPowerDown = {.poll = 16},
        .releasePowerDown = {.poll = 16},
        .manufacturerDeviceId = {.poll = 16},
        .programTime = {.typicalUs = 500, .maximumUs = 5 * kMs},
        .sectorErase = {.opcode = 0x20, .size = 4 * kKiB, .time = {30 * kMs, 300 * kMs}},
        .blockErase = {.opcode = 0xD8, .size = 64 * kKiB, .time = {300 * kMs, 3000 * kMs}},
    },
    // Entry 3.
    {
        .name = "Macronix MX25, memory type 0x22",
        .answer = {.maker = 0xC2, .memoryType = 0x22},
        .capacity = 512 * kKiB,
        .pageSize = 256,
        .protectValue = 0x0C,
        .writeEnable = {.poll = 16},
        .writeDisable = {.poll = 16},
        .readStatus = {.poll = 16},
        .writeStatus = {.poll = 16},
        .readData = {.poll = 5},
        .pageProgram = {.poll = 1},
        .readId = {.opcode = 0x9F, .length = 1, .extra = 3, .poll = 5},
        .chipErase = {.opcode = 0x60, .poll = 1000},
        .fastRead = {.poll = 5},
        .deepPowerDown = {.poll = 16},
        .releasePowerDown = {.poll = 16},
        .manufacturerDeviceId = {.poll = 16},
        .programTime = {.typicalUs = 600, .maximumUs = 3 * kMs},
        .sectorErase = {.opcode = 0x20, .size = 4 * kKiB, .time = {40 * kMs, 200 * kMs}},
        .blockErase = {.opcode = 0xD8, .size = 64 * kKiB, .time = {400 * kMs, 2000 * kMs}},
    },
    // Entry 4. 64 KiB sectors only; some parts answer a probe with the bare device code 0x10.
    {
        .name = "ST M25P",
        .answer = {.maker = 0x20, .bareDeviceCode = 0x10},
        .capacity = 512 * kKiB,
        .pageSize = 256,
        .protectValue = 0x0C,
        .writeEnable = {.poll = 5},
        .writeDisable = {.poll = 5},
        .readStatus = {.poll = 5},
        .writeStatus = {.poll = 5},
        .readData = {.poll = 5},
        .pageProgram = {.poll = 1},
        .readId = {.opcode = 0x9F, .length = 1, .extra = 3, .poll = 5},
        .chipErase = {.opcode = 0xC7, .poll = 1500},
        .deepPowerDown = {.poll = 5},
        .releasePowerDown = {.poll = 5},
        .manufacturerDeviceId = {.poll = 5},
        .programTime = {.typicalUs = 640, .maximumUs = 5 * kMs},
        .blockErase = {.opcode = 0xD8, .size = 64 * kKiB, .time = {600 * kMs, 3000 * kMs}},
    },
    // Entry 5.
    {
        .name = "EON EN25F",
        .answer = {.maker = 0x1C},
        .capacity = 512 * kKiB,
        .pageSize = 256,
        .protectValue = 0x0C,
        .writeEnable = {.poll = 14},
        .writeDisable = {.poll = 14},
        .readStatus = {.poll = 14},
        .writeStatus = {.poll = 14},
        .readData = {.poll = 14},
        .pageProgram = {.poll = 1},
        .readId = {.opcode = 0x9F, .length = 1, .extra = 3, .poll = 5},
        .chipErase = {.opcode = 0xC7, .poll = 1000},
        .fastRead = {.poll = 14},
        .deepPowerDown = {.poll = 14},
        .releasePowerDown = {.poll = 14},
        .manufacturerDeviceId = {.poll = 14},
        .programTime = {.typicalUs = 1300, .maximumUs = 5 * kMs},
        .sectorErase = {.opcode = 0x20, .size = 4 * kKiB, .time = {90 * kMs, 300 * kMs}},
        .blockErase = {.opcode = 0xD8, .size = 64 * kKiB, .time = {500 * kMs, 2000 * kMs}},
    },
    // Entry 6. Programs byte by byte: auto-increment programming (opcode, 24-bit address and the
    // first byte; then opcode and one byte each); a status write only after enable-write-status
    // 0x50. Identified by 0x90 (maker, device, maker, device).
    {
        .name = "SST SST25VF (byte program)",
        .answer = {.maker = 0xBF},
        .capacity = 512 * kKiB,
        .pageSize = 1,
        .protectValue = 0x0C,
        .writeEnable = {.poll = 5},
        .writeDisable = {.poll = 5},
        .readStatus = {.poll = 5},
        .writeStatus = {.poll = 5},
        .readData = {.poll = 1},
        .pageProgram = {.poll = 1},
        .readId = {.opcode = 0x90, .length = 4, .extra = 4, .poll = 5},
        .chipErase = {.opcode = 0x60, .poll = 100},
        .jedecId = {.poll = 5},
        .autoIncrementProgram = {.opcode = 0xAF, .length = 5, .extra = 2, .poll = 1},
        .enableWriteStatus = {.opcode = 0x50, .length = 1, .poll = 5},
        .programTime = {.typicalUs = 14, .maximumUs = 20},
        .sectorErase = {.opcode = 0x20, .size = 4 * kKiB, .time = {18 * kMs, 25 * kMs}},
        .blockErase32K = {.opcode = 0x52, .size = 32 * kKiB, .time = {18 * kMs, 25 * kMs}},
    },
    // Entry 7. Identified by its 0xAB signature (three bytes), which may begin with the JEDEC
    // continuation code 0x7F; the later family (entry 12) lacks some of bits 0x70 in the device
    // byte. A 5-bit protect field.
    {
        .name = "PMC Pm25LV",
        .answer = {.maker = 0x9D, .makerAlias = 0x7F, .device = 0x70, .deviceMask = 0x70},
        .capacity = 512 * kKiB,
        .pageSize = 256,
        .protectValue = 0x1E,
        .writeEnable = {.poll = 20},
        .writeDisable = {.poll = 20},
        .readStatus = {.poll = 2},
        .writeStatus = {.poll = 20},
        .readData = {.poll = 5},
        .pageProgram = {.poll = 2},
        .readId = {.opcode = 0xAB, .length = 4, .extra = 3, .poll = 2},
        .chipErase = {.opcode = 0xC7, .poll = 100},
        .fastRead = {.poll = 5},
        .manufacturerDeviceId = {.poll = 2},
        .jedecId = {.poll = 2},
        .programTime = {.typicalUs = 1500, .maximumUs = 5 * kMs},
        .sectorErase = {.opcode = 0xD7, .size = 4 * kKiB, .time = {60 * kMs, 100 * kMs}},
        .blockErase = {.opcode = 0xD8, .size = 32 * kKiB, .time = {60 * kMs, 100 * kMs}},
    },
    // Entry 8. 32 KiB sectors, erased by 0xD8.
    {
        .name = "ST M25P05 (bare signature 0x05)",
        .answer = {.bareDeviceCode = 0x05},
        .capacity = 64 * kKiB,
        .pageSize = 256,
        .protectValue = 0x0C,
        .writeEnable = {.poll = 5},
        .writeDisable = {.poll = 5},
        .readStatus = {.poll = 5},
        .writeStatus = {.poll = 5},
        .readData = {.poll = 5},
        .pageProgram = {.poll = 1},
        .readId = {.opcode = 0x9F, .length = 1, .extra = 3, .poll = 5},
        .chipErase = {.opcode = 0xC7, .poll = 850},
        .deepPowerDown = {.poll = 5},
        .releasePowerDown = {.poll = 5},
        .manufacturerDeviceId = {.poll = 5},
        .programTime = {.typicalUs = 1400, .maximumUs = 5 * kMs},
        .blockErase = {.opcode = 0xD8, .size = 32 * kKiB, .time = {1000 * kMs, 3000 * kMs}},
    },
    // Entry 9.
    {
        .name = "Macronix MX25L3205",
        .answer = {.maker = 0xC2, .memoryType = 0x20, .device = 0x16},
        .capacity = 4 * kMiB,
        .pageSize = 256,
        .protectValue = 0x3C,
        .writeEnable = {.poll = 16},
        .writeDisable = {.poll = 16},
        .readStatus = {.poll = 64},
        .writeStatus = {.poll = 64},
        .readData = {.poll = 5},
        .pageProgram = {.poll = 1},
        .readId = {.opcode = 0x9F, .length = 1, .extra = 3, .poll = 5},
        .chipErase = {.opcode = 0x60, .poll = 25000},
        .fastRead = {.poll = 5},
        .deepPowerDown = {.poll = 64},
        .releasePowerDown = {.poll = 64},
        .manufacturerDeviceId = {.poll = 64},
        .programTime = {.typicalUs = 1400, .maximumUs = 5 * kMs},
        .sectorErase = {.opcode = 0x20, .size = 4 * kKiB, .time = {90 * kMs, 270 * kMs}},
        .blockErase = {.opcode = 0xD8, .size = 64 * kKiB, .time = {1000 * kMs, 2000 * kMs}},
    },
    // Entry 10.
    {
        .name = "Macronix MX25L6405",
        .answer = {.maker = 0xC2, .memoryType = 0x20, .device = 0x17},
        .capacity = 8 * kMiB,
        .pageSize = 256,
        .protectValue = 0x3C,
        .writeEnable = {.poll = 16},
        .writeDisable = {.poll = 16},
        .readStatus = {.poll = 64},
        .writeStatus = {.poll = 64},
        .readData = {.poll = 5},
        .pageProgram = {.poll = 1},
        .readId = {.opcode = 0x9F, .length = 1, .extra = 3, .poll = 5},
        .chipErase = {.opcode = 0x60, .poll = 40000},
        .fastRead = {.poll = 5},
        .deepPowerDown = {.poll = 64},
        .releasePowerDown = {.poll = 64},
        .manufacturerDeviceId = {.poll = 64},
        .programTime = {.typicalUs = 1400, .maximumUs = 5 * kMs},
        .sectorErase = {.opcode = 0x20, .size = 4 * kKiB, .time = {90 * kMs, 270 * kMs}},
        .blockErase = {.opcode = 0xD8, .size = 64 * kKiB, .time = {1000 * kMs, 2000 * kMs}},
    },
    // Entry 11.
    {
        .name = "Macronix MX25L1005",
        .answer = {.maker = 0xC2, .memoryType = 0x20, .device = 0x11},
        .capacity = 128 * kKiB,
        .pageSize = 256,
        .protectValue = 0x0C,
        .writeEnable = {.poll = 16},
        .writeDisable = {.poll = 16},
        .readStatus = {.poll = 16},
        .writeStatus = {.poll = 16},
        .readData = {.poll = 5},
        .pageProgram = {.poll = 1},
        .readId = {.opcode = 0x9F, .length = 1, .extra = 3, .poll = 5},
        .chipErase = {.opcode = 0x60, .poll = 1000},
        .fastRead = {.poll = 5},
        .deepPowerDown = {.poll = 16},
        .releasePowerDown = {.poll = 16},
        .manufacturerDeviceId = {.poll = 16},
        .programTime = {.typicalUs = 1400, .maximumUs = 5 * kMs},
        .sectorErase = {.opcode = 0x20, .size = 4 * kKiB, .time = {60 * kMs, 120 * kMs}},
        .blockErase = {.opcode = 0xD8, .size = 64 * kKiB, .time = {1000 * kMs, 2000 * kMs}},
    },
    // Entry 12.
    {
        .name = "PMC Pm25LD",
        .answer = {.maker = 0x9D, .makerAlias = 0x7F},
        .capacity = 256 * kKiB,
        .pageSize = 256,
        .protectValue = 0x1E,
        .writeEnable = {.poll = 5},
        .writeDisable = {.poll = 5},
        .readStatus = {.poll = 2},
        .writeStatus = {.poll = 5},
        .readData = {.poll = 5},
        .pageProgram = {.poll = 2},
        .readId = {.opcode = 0xAB, .length = 4, .extra = 3, .poll = 2},
        .chipErase = {.opcode = 0xC7, .poll = 8},
        .fastRead = {.poll = 5},
        .manufacturerDeviceId = {.poll = 2},
        .jedecId = {.poll = 2},
        .programTime = {.typicalUs = 1000, .maximumUs = 5 * kMs},
        .sectorErase = {.opcode = 0xD7, .size = 4 * kKiB, .time = {40 * kMs, 100 * kMs}},
        .blockErase = {.opcode = 0xD8, .size = 32 * kKiB, .time = {80 * kMs, 200 * kMs}},
    },
    // Entry 13. Two status registers, written together (3 bytes); read-status-2 0x35.
    {
        .name = "GigaDevice GD25Q",
        .answer = {.maker = 0xC8},
        .capacity = 512 * kKiB,
        .pageSize = 256,
        .protectValue = 0x7E,
        .writeEnable = {.poll = 5},
        .writeDisable = {.poll = 5},
        .readStatus = {.poll = 2},
        .writeStatus = {.length = 3, .poll = 5},
        .readData = {.poll = 5},
        .pageProgram = {.poll = 2},
        .readId = {.opcode = 0x9F, .length = 1, .extra = 3, .poll = 5},
        .chipErase = {.opcode = 0xC7, .poll = 8},
        .fastRead = {.poll = 5},
        .readStatus2 = {.poll = 2},
        .manufacturerDeviceId = {.poll = 2},
        .programTime = {.typicalUs = 600, .maximumUs = 2400},
        .sectorErase = {.opcode = 0x20, .size = 4 * kKiB, .time = {50 * kMs, 400 * kMs}},
        .blockErase32K = {.opcode = 0x52, .size = 32 * kKiB, .time = {150 * kMs, 1000 * kMs}},
        .blockErase = {.opcode = 0xD8, .size = 64 * kKiB, .time = {250 * kMs, 1200 * kMs}},
    },
}});

const FlashChipDescriptor& FlashChip(std::uint32_t index) {
  return FlashChipTable[index < kFlashChipCount ? index : 0];
}

std::string FlashChipText(std::uint32_t index) {
  const FlashChipDescriptor& chip = FlashChip(index);
  // An entry is matched by the chip's maker (and type) and stands for a family: its size is
  // that of one member, so it is not shown as the chip's.
  return "entry " + std::to_string(index) + " (" + std::string(chip.name) + " family)";
}

StepCode PollReady(const DeviceRecord& record, bool& ready) {
  const CommandBytes command(FlashChip(record.FlashChipIndex).readStatus);
  std::array<std::uint8_t, 1> status{};
  if (const StepCode code =
          RunSpiTransaction(record, {.command = command.Bytes(), .answer = status});
      code != StepCode::Ok)
    return code;
  ready = (status[0] & 0x01) == 0;
  return StepCode::Ok;
}

StepCode WaitFlashReady(const DeviceRecord& record, std::uint32_t pollMs) {
  for (int poll = 0; poll < kMaxReadyPolls; ++poll) {
    bool ready = false;
    if (PollReady(record, ready) != StepCode::Ok) return StepCode::WaitReady;
    if (ready) return StepCode::Ok;
    platform::SleepMs(pollMs);
  }
  return StepCode::WaitReady;
}

namespace {

// The bits of an answer that an identification fixes: the maker code, the memory type and the
// device bits it names.
constexpr int FixedBits(const FlashIdAnswer& id) {
  return 8 + (id.memoryType ? 8 : 0) + (id.device ? std::popcount(id.deviceMask) : 0);
}

constexpr bool SameDevice(const FlashIdAnswer& id, std::uint8_t device) {
  return (device & id.deviceMask) == (*id.device & id.deviceMask);
}

// How closely an answer matches an entry's identification: the bits the identification fixes,
// or 0 when the answer does not match it.
constexpr int MatchedBits(const FlashIdAnswer& id, const std::array<std::uint8_t, 4>& answer,
                          bool probeHasPowerDown) {
  if (id.bareDeviceCode && !probeHasPowerDown && answer[0] == *id.bareDeviceCode) return 8;
  if (!id.maker || (answer[0] != *id.maker && answer[0] != id.makerAlias)) return 0;
  if (id.memoryType && answer[1] != *id.memoryType) return 0;
  if (id.device && !SameDevice(id, answer[2])) return 0;
  return FixedBits(id);
}

// Whether the identification names the answer's maker and memory type with another device.
constexpr bool OtherDevice(const FlashIdAnswer& id, const std::array<std::uint8_t, 4>& answer) {
  return id.maker && answer[0] == *id.maker && id.memoryType && answer[1] == *id.memoryType &&
         id.device && !SameDevice(id, answer[2]);
}

// The entry whose identification matches the answer most closely, or kNoMatch.
constexpr int Classify(const std::array<std::uint8_t, 4>& answer, bool probeHasPowerDown) {
  int best = kNoMatch;
  int bestBits = 0;
  bool listedByDevice = false;
  for (std::size_t i = 0; i < FlashChipTable.size(); ++i) {
    const FlashIdAnswer& id = FlashChipTable[i].answer;
    listedByDevice = listedByDevice || OtherDevice(id, answer);
    if (const int bits = MatchedBits(id, answer, probeHasPowerDown); bits > bestBits) {
      best = static_cast<int>(i);
      bestBits = bits;
    }
  }
  // A memory type the table lists device by device: an unlisted device is not taken by a
  // broader entry of the same maker.
  const bool bestNamesDevice = best != kNoMatch && FlashChipTable[best].answer.device.has_value();
  if (listedByDevice && !bestNamesDevice) return kNoMatch;
  return best;
}

// --- What the table guarantees, checked as it is built ----------------------------------------

constexpr bool EveryEntry(auto holds) {
  return std::all_of(FlashChipTable.begin(), FlashChipTable.end(), holds);
}

static_assert(EveryEntry([](const FlashChipDescriptor& e) {
                return e.writeEnable.Present() && e.writeDisable.Present() &&
                       e.readStatus.Present() && e.readStatus.extra > 0 &&
                       e.writeStatus.Present() && e.readData.Present() && e.readId.Present() &&
                       e.readId.extra > 0 && e.chipErase.Present() &&
                       (e.pageProgram.Present() || e.autoIncrementProgram.Present());
              }),
              "every entry has the commands the flash routines send");
static_assert(EveryEntry([](const FlashChipDescriptor& e) {
                return e.writeEnable.poll > 0 && e.readStatus.poll > 0 && e.writeStatus.poll > 0 &&
                       e.pageProgram.poll > 0 && e.chipErase.poll > 0;
              }),
              "every poll a routine sleeps is set, so no chip is polled in a tight loop");
static_assert(EveryEntry([](const FlashChipDescriptor& e) {
                return e.autoIncrementProgram.Present() || e.pageSize == kProgramPageSize;
              }),
              "page-program entries have the page the program routine cuts its pieces at");

constexpr bool Sound(const BusyTime& time) {
  return time.maximumUs > 0 && time.typicalUs <= time.maximumUs;
}

// Each region erase a power of two with sound times, larger than the one before it.
constexpr bool RegionErasesAreSound(const FlashChipDescriptor& e) {
  std::uint32_t below = 0;
  for (const auto field : kRegionErases) {
    const RegionErase& erase = e.*field;
    if (!erase.Present()) continue;
    if (!std::has_single_bit(erase.size) || erase.size <= below || !Sound(erase.time)) return false;
    below = erase.size;
  }
  return true;
}
static_assert(EveryEntry([](const FlashChipDescriptor& e) {
                return Sound(e.programTime) && RegionErasesAreSound(e);
              }),
              "every busy time has a maximum no shorter than its typical time, and region erases "
              "grow by powers of two");

// Whether one answer could match both identifications through their maker codes.
constexpr bool MakersOverlap(const FlashIdAnswer& a, const FlashIdAnswer& b) {
  if (!a.maker || !b.maker) return false;
  const bool sameMaker =
      a.maker == b.maker || a.maker == b.makerAlias ||
      (a.makerAlias && (a.makerAlias == b.maker || a.makerAlias == b.makerAlias));
  if (!sameMaker) return false;
  if (a.memoryType && b.memoryType && a.memoryType != b.memoryType) return false;
  return !(a.device && b.device && ((*a.device ^ *b.device) & a.deviceMask & b.deviceMask) != 0);
}

constexpr bool IdentificationsAreUnambiguous() {
  for (std::size_t i = 0; i < FlashChipTable.size(); ++i) {
    const FlashIdAnswer& a = FlashChipTable[i].answer;
    if (a.maker == 0xFF || a.makerAlias == 0xFF || a.bareDeviceCode == 0xFF) return false;
    for (std::size_t j = 0; j < FlashChipTable.size(); ++j) {
      const FlashIdAnswer& b = FlashChipTable[j].answer;
      // A bare device code is read only when no maker code matches.
      if (a.bareDeviceCode && (a.bareDeviceCode == b.maker || a.bareDeviceCode == b.makerAlias))
        return false;
      if (i == j) continue;
      if (a.bareDeviceCode && a.bareDeviceCode == b.bareDeviceCode) return false;
      if (MakersOverlap(a, b) && FixedBits(a) == FixedBits(b)) return false;
    }
  }
  return true;
}
static_assert(IdentificationsAreUnambiguous(),
              "no two entries are selected by the same answer, and 0xFF selects none");

// Each entry's own answer leads detection to it.
constexpr bool EveryAnswerSelectsItsEntry() {
  for (std::size_t i = 0; i < FlashChipTable.size(); ++i) {
    const FlashIdAnswer& id = FlashChipTable[i].answer;
    const auto selects = [i](std::array<std::uint8_t, 4> answer, bool probeHasPowerDown) {
      return Classify(answer, probeHasPowerDown) == static_cast<int>(i);
    };
    const std::uint8_t type = id.memoryType.value_or(0);
    const std::uint8_t device = id.device.value_or(0);
    if (id.maker && !selects({*id.maker, type, device, 0}, true)) return false;
    if (id.makerAlias && !selects({*id.makerAlias, type, device, 0}, true)) return false;
    if (id.bareDeviceCode && !selects({*id.bareDeviceCode, 0, 0, 0}, false)) return false;
  }
  return Classify({0xFF, 0xFF, 0xFF, 0xFF}, false) == kNoMatch;
}
static_assert(EveryAnswerSelectsItsEntry(), "every entry's identification answer selects it");

}  // namespace

// An answer selects the entry whose identification it matches most closely (maker code, then
// memory type and device). A bare device code counts only from a probe of a family without
// the power-down mode; an unlisted device of a maker and memory type that the table lists by
// device selects nothing; an answer of 0xFF (nothing on the bus) matches no entry.
int ClassifyFlashAnswer(const std::array<std::uint8_t, 4>& answer,
                        const FlashChipDescriptor& probe) {
  return Classify(answer, probe.releasePowerDown.Present());
}

namespace {

using Answer = std::array<std::uint8_t, 4>;

// One identification probe: the command, its answer bytes, and with classic probing the ready
// wait. Ok or the failing step's code (a failed select reports WriteEnable).
StepCode Probe(const DeviceRecord& record, const SpiCommand& readId, Probing probing,
               Answer& answer) {
  answer.fill(0);
  const CommandBytes command(readId);
  const std::size_t received = std::min<std::size_t>(readId.extra, answer.size());
  StepCode code = RunSpiTransaction(
      record, {.command = command.Bytes(), .answer = std::span(answer).first(received)});
  if (code == StepCode::Select) return StepCode::WriteEnable;
  if (code == StepCode::Ok && probing == Probing::Classic &&
      WaitFlashReady(record, kDetectPollMs) != StepCode::Ok)
    code = StepCode::WaitReady;
  return code;
}

using SentAnswers = std::array<std::optional<Answer>, kFlashChipCount>;

// The answer an earlier entry's identical probe got, if one was sent.
const Answer* EarlierAnswer(const SentAnswers& sent, std::size_t entry) {
  const SpiCommand& readId = FlashChipTable[entry].readId;
  for (std::size_t i = 0; i < entry; ++i) {
    const SpiCommand& earlier = FlashChipTable[i].readId;
    if (sent[i] && earlier.opcode == readId.opcode && earlier.length == readId.length &&
        earlier.extra == readId.extra)
      return &*sent[i];
  }
  return nullptr;
}

}  // namespace

StepCode DetectFlash(DeviceRecord& record, Probing probing) {
  Answer answer{};
  int matched = kNoMatch;
  StepCode failure = StepCode::Ok;
  SentAnswers sent{};  // the answer of each probe sent, by the entry that sent it
  for (std::size_t i = 0; i < FlashChipTable.size(); ++i) {
    const FlashChipDescriptor& probe = FlashChipTable[i];
    if (const Answer* earlier = EarlierAnswer(sent, i); probing == Probing::Fast && earlier) {
      answer = *earlier;
    } else {
      failure = Probe(record, probe.readId, probing, answer);
      if (failure != StepCode::Ok) break;
      sent[i] = answer;
    }
    matched = ClassifyFlashAnswer(answer, probe);
    if (matched != kNoMatch) break;
  }
  if (failure != StepCode::Ok) {
    SetWriteEnable(record, record.FlashChipIndex, false);
    return failure;
  }
  record.FlashChipIndex = matched == kNoMatch ? 0 : static_cast<std::uint32_t>(matched);
  if (matched == kNoMatch && answer[0] == 0xFF) return StepCode::NoChip;
  return StepCode::Ok;
}

}  // namespace burnwell::protocol
