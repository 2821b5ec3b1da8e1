// The serial-flash chips the bridges carry: one descriptor per supported chip with every
// command's opcode, length and poll interval, the wait for a chip to become ready, and the
// identification that picks the descriptor for the attached chip.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
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

// How long a chip stays busy after a command, from its datasheet, in microseconds. For a family
// of parts: the shortest typical time and the longest maximal time among them, so that a wait
// of the typical time outlasts no part's operation and one of the maximal time gives up on none
// too soon.
struct BusyTime {
  std::uint32_t typicalUs = 0;
  std::uint32_t maximumUs = 0;
};

// An erase of one aligned region: the opcode and a 24-bit address inside the region, after
// write enable; the region reads 0xFF afterwards.
struct RegionErase {
  std::uint8_t opcode = 0;  // 0: the family has no such erase
  std::uint32_t size = 0;   // bytes of the region, a power of two
  BusyTime time{};

  constexpr bool Present() const { return opcode != 0; }
};
inline constexpr std::uint16_t kRegionEraseLength = 4;  // opcode and a 24-bit address

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
// answer that selects it, its figures and one field per command (a command the family lacks
// stays absent). The table gives the commands every family shares (kCommonCommands) only
// their polls.
struct FlashChipDescriptor {
  std::string_view name{};
  FlashIdAnswer answer{};
  // Capacity and program page, in bytes: they tell the families apart for a reader; only fast
  // transfers read one (the page, the most one program command carries).
  std::uint32_t capacity = 0;
  std::uint16_t pageSize = 0;
  std::uint16_t protectValue = 0;    // low byte written to the status register to lock the chip
  std::uint16_t unprotectValue = 0;  // low byte written to unlock it

  SpiCommand writeEnable{};
  SpiCommand writeDisable{};
  SpiCommand readStatus{};
  SpiCommand writeStatus{};
  SpiCommand readData{};
  SpiCommand pageProgram{};
  SpiCommand readId{};  // the identification probe DetectFlash sends
  SpiCommand chipErase{};
  SpiCommand fastRead{};
  SpiCommand deepPowerDown{};
  SpiCommand dualOutputRead{};
  SpiCommand readStatus2{};
  SpiCommand releasePowerDown{};
  SpiCommand manufacturerDeviceId{};
  SpiCommand jedecId{};
  SpiCommand electronicSignature{};
  SpiCommand autoIncrementProgram{};
  SpiCommand enableWriteStatus{};

  // What fast transfers wait for and erase with, from the datasheets: a page program's busy
  // time (the auto-increment chip: one byte's), and the erases of aligned regions, smallest
  // first. A family without a region erase (entry 0: a chip no datasheet describes) is erased
  // whole.
  BusyTime programTime{};
  RegionErase sectorErase{};
  RegionErase blockErase32K{};
  RegionErase blockErase{};
};

// The form a command has in every family that has it: its opcode, length and extra count. A
// table entry that gives such a command only its poll (or its poll and a length) takes the rest
// from here.
struct CommonCommand {
  SpiCommand FlashChipDescriptor::*field;
  SpiCommand form;
};
inline constexpr std::array<CommonCommand, 13> kCommonCommands = {{
    {&FlashChipDescriptor::writeEnable, {.opcode = 0x06, .length = 1}},
    {&FlashChipDescriptor::writeDisable, {.opcode = 0x04, .length = 1}},
    {&FlashChipDescriptor::readStatus, {.opcode = 0x05, .length = 1, .extra = 1}},
    {&FlashChipDescriptor::writeStatus, {.opcode = 0x01, .length = 2}},
    {&FlashChipDescriptor::readData, {.opcode = 0x03, .length = 4}},
    {&FlashChipDescriptor::pageProgram, {.opcode = 0x02, .length = 4}},
    {&FlashChipDescriptor::chipErase, {.length = 1}},
    {&FlashChipDescriptor::fastRead, {.opcode = 0x0B, .length = 5}},
    {&FlashChipDescriptor::deepPowerDown, {.opcode = 0xB9, .length = 1}},
    {&FlashChipDescriptor::readStatus2, {.opcode = 0x35, .length = 1, .extra = 1}},
    {&FlashChipDescriptor::releasePowerDown, {.opcode = 0xAB, .length = 4, .extra = 1}},
    {&FlashChipDescriptor::manufacturerDeviceId, {.opcode = 0x90, .length = 4, .extra = 2}},
    {&FlashChipDescriptor::jedecId, {.opcode = 0x9F, .length = 1, .extra = 3}},
}};

// Every command field of a descriptor, for checks that look at all of them.
inline constexpr std::array<SpiCommand FlashChipDescriptor::*, 18> kDescriptorCommands = {
    &FlashChipDescriptor::writeEnable,
    &FlashChipDescriptor::writeDisable,
    &FlashChipDescriptor::readStatus,
    &FlashChipDescriptor::writeStatus,
    &FlashChipDescriptor::readData,
    &FlashChipDescriptor::pageProgram,
    &FlashChipDescriptor::readId,
    &FlashChipDescriptor::chipErase,
    &FlashChipDescriptor::fastRead,
    &FlashChipDescriptor::deepPowerDown,
    &FlashChipDescriptor::dualOutputRead,
    &FlashChipDescriptor::readStatus2,
    &FlashChipDescriptor::releasePowerDown,
    &FlashChipDescriptor::manufacturerDeviceId,
    &FlashChipDescriptor::jedecId,
    &FlashChipDescriptor::electronicSignature,
    &FlashChipDescriptor::autoIncrementProgram,
    &FlashChipDescriptor::enableWriteStatus,
};
// The region erases of a descriptor, smallest first.
inline constexpr std::array<RegionErase FlashChipDescriptor::*, 3> kRegionErases = {
    &FlashChipDescriptor::sectorErase,
    &FlashChipDescriptor::blockErase32K,
    &FlashChipDescriptor::blockErase,
};

inline constexpr std::size_t kFlashChipCount = 14;
extern const std::array<FlashChipDescriptor, kFlashChipCount> FlashChipTable;

// The descriptor at a chip index; an index outside the table falls back to entry 0.
const FlashChipDescriptor& FlashChip(std::uint32_t index);
// A table entry as people read it, wherever a chip is shown: "entry 11 (Macronix MX25L1005
// family)".
std::string FlashChipText(std::uint32_t index);

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

// Polls the status register of the record's chip (readStatus of the entry at FlashChipIndex) up to
// 100 times, sleeping pollMs after each busy answer. Ok when the chip is ready, WaitReady when
// it stays busy or a poll transfer fails (the chip is deselected then).
StepCode WaitFlashReady(const DeviceRecord& record, std::uint32_t pollMs);
// One poll of that wait: select, the status command, one byte back, deselect. Ok with `ready`
// set from the busy bit, or the failing transfer's step code (the chip is deselected then).
StepCode PollReady(const DeviceRecord& record, bool& ready);
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
// Classic probing sends every entry's probe, each followed by a ready wait. Fast probing leaves
// out what carries nothing the chip needs: the ready wait (a probe makes no chip busy), and a
// probe identical to one already sent (the chip answers it identically; the answer is
// classified again for the later entry).
enum class Probing : bool { Classic, Fast };
StepCode DetectFlash(DeviceRecord& record, Probing probing = Probing::Classic);

}  // namespace burnwell::protocol
