// The serial-flash chips the bridges carry: one descriptor per supported chip with every
// command's opcode, length and poll interval, the wait for a chip to become ready, and the
// identification that picks the descriptor for the attached chip.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "device/DeviceRecord.h"

namespace burnwell::protocol {

using device::DeviceRecord;

// One serial-flash command of a chip.
struct SpiCommand {
  std::uint16_t opcode = 0;  // low byte is the command byte; 0: the chip has no such command
  std::uint16_t length = 0;  // bytes sent: opcode plus address, dummy and value bytes
  std::uint16_t extra = 0;   // read-status / read-ID: bytes received; auto-increment: bytes
                             // sent for each further data byte
  std::uint16_t poll = 0;    // milliseconds between status polls after this command

  constexpr bool Present() const { return opcode != 0; }
  constexpr std::uint8_t Opcode() const { return static_cast<std::uint8_t>(opcode); }
};

// Slot numbers of a descriptor: the routines name its commands by them.
enum class Slot : std::size_t {
  WriteEnable = 0,
  WriteDisable = 1,
  ReadStatus = 2,
  WriteStatus = 3,
  ReadData = 4,
  PageProgram = 5,
  ReadId = 6,
  SectorErase = 7,
  ChipErase = 8,
  BlockErase = 9,
  FastRead = 10,
  DeepPowerDown = 11,
  DualOutputRead = 12,
  ReadStatus2 = 13,
  BlockErase32K = 14,
  ReleasePowerDown = 15,
  ManufacturerDeviceId = 16,
  JedecId = 17,
  ElectronicSignature = 18,
  AutoIncrementProgram = 19,
  EnableWriteStatus = 20,
};
inline constexpr std::size_t kSlotCount = 21;

// The answer to an entry's identification command (its readId) that selects the entry: the
// bytes that decide, as the family's datasheet gives them; a byte left unset may be anything.
// An entry without any (entry 0) is the one a chip no probe recognises is used with.
struct FlashIdAnswer {
  std::optional<std::uint8_t> maker{};       // byte 0: the maker code
  std::optional<std::uint8_t> makerAlias{};  // byte 0 may be this code instead
  std::optional<std::uint8_t> memoryType{};  // byte 1
  std::optional<std::uint8_t> device{};      // byte 2, compared under deviceMask
  std::uint8_t deviceMask = 0xFF;
  // A lone device code in byte 0 (a chip that answers without its maker code). It counts only
  // in the answer to a probe of a family without the power-down mode.
  std::optional<std::uint8_t> bareDeviceCode{};
};

// One supported chip family, as its datasheet describes it: its name, the identification
// answer that selects it, its figures and one command per slot (a command the family lacks
// stays absent).
struct FlashChipDescriptor {
  std::string_view name{};
  FlashIdAnswer answer{};
  // Capacity, program page and smallest erase unit, in bytes: they tell the families apart for
  // a reader; only fast transfers read one (the page, the most one program command carries).
  std::uint32_t capacity = 0;
  std::uint16_t pageSize = 0;
  std::uint32_t eraseUnit = 0;
  std::uint16_t protectValue = 0;    // low byte written to the status register to lock the chip
  std::uint16_t unprotectValue = 0;  // low byte written to unlock it

  SpiCommand writeEnable{};
  SpiCommand writeDisable{};
  SpiCommand readStatus{};
  SpiCommand writeStatus{};
  SpiCommand readData{};
  SpiCommand pageProgram{};
  SpiCommand readId{};  // the identification probe DetectFlash sends
  SpiCommand sectorErase{};
  SpiCommand chipErase{};
  SpiCommand blockErase{};
  SpiCommand fastRead{};
  SpiCommand deepPowerDown{};
  SpiCommand dualOutputRead{};
  SpiCommand readStatus2{};
  SpiCommand blockErase32K{};
  SpiCommand releasePowerDown{};
  SpiCommand manufacturerDeviceId{};
  SpiCommand jedecId{};
  SpiCommand electronicSignature{};
  SpiCommand autoIncrementProgram{};
  SpiCommand enableWriteStatus{};

  constexpr const SpiCommand& operator[](Slot slot) const {
    switch (slot) {
      case Slot::WriteEnable: return writeEnable;
      case Slot::WriteDisable: return writeDisable;
      case Slot::ReadStatus: return readStatus;
      case Slot::WriteStatus: return writeStatus;
      case Slot::ReadData: return readData;
      case Slot::PageProgram: return pageProgram;
      case Slot::ReadId: return readId;
      case Slot::SectorErase: return sectorErase;
      case Slot::ChipErase: return chipErase;
      case Slot::BlockErase: return blockErase;
      case Slot::FastRead: return fastRead;
      case Slot::DeepPowerDown: return deepPowerDown;
      case Slot::DualOutputRead: return dualOutputRead;
      case Slot::ReadStatus2: return readStatus2;
      case Slot::BlockErase32K: return blockErase32K;
      case Slot::ReleasePowerDown: return releasePowerDown;
      case Slot::ManufacturerDeviceId: return manufacturerDeviceId;
      case Slot::JedecId: return jedecId;
      case Slot::ElectronicSignature: return electronicSignature;
      case Slot::AutoIncrementProgram: return autoIncrementProgram;
      case Slot::EnableWriteStatus: break;
    }
    return enableWriteStatus;
  }
};

inline constexpr std::size_t kFlashChipCount = 14;
extern const std::array<FlashChipDescriptor, kFlashChipCount> FlashChipTable;

// The descriptor at a chip index; an index outside the table falls back to entry 0.
const FlashChipDescriptor& FlashChip(std::uint32_t index);

// Step codes of the serial-flash routines: each failing step carries its own code, which
// decides the clean-up and is the error code of the failure notices.
enum class StepCode : int {
  Ok = 0,
  WriteEnable = -60,  // also the select of an identification probe
  WriteDisable = -61,
  Select = -62,
  Deselect = -63,
  CommandBytes = -64,
  ProgramData = -65,
  Read = -66,
  WaitReady = -67,
  NoChip = -68,
  Protection = -69,
  EraseCheck = -71,
  // Not a step: a routine that reports progress was asked for notices about a device that is
  // not in the table, and sent nothing. The operations hand it on as their own result.
  DeviceNotInTable = -111,
};
// The code where it leaves the program: the error code of a failure notice, a printed result.
constexpr int Code(StepCode code) { return static_cast<int>(code); }

// Polls the status register of the record's chip (slot 2 of the entry at FlashChipIndex) up to
// 100 times, sleeping pollMs after each busy answer. Ok when the chip is ready, WaitReady when
// it stays busy or a poll transfer fails (the chip is deselected then).
StepCode WaitFlashReady(const DeviceRecord& record, std::uint32_t pollMs);
inline constexpr int kMaxReadyPolls = 100;
inline constexpr std::uint32_t kDetectPollMs = 10;

// What a probe answer says about the chip: a table index, or kNoMatch.
inline constexpr int kNoMatch = -1;
int ClassifyFlashAnswer(const std::array<std::uint8_t, 4>& answer,
                        const FlashChipDescriptor& probe);

// Probes the chip with each entry's identification command in table order until one answer is
// classified, and sets record.FlashChipIndex (0 when none matched). Ok on success; NoChip when
// no chip answered (the last answer began with 0xFF); the failing step's code when a transfer
// failed (write disable sent afterwards).
StepCode DetectFlash(DeviceRecord& record);

}  // namespace burnwell::protocol
