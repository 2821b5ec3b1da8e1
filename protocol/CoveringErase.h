// Erasing what an update writes rather than the whole chip (fast transfers): the range is
// covered with the chip's own sector and block erases from the chip table, rounded out to
// their units, in the least typical time. What lies outside the erased units keeps what it
// held; inside them, what the update does not write reads 0xFF.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/FlashOperations.h"

namespace burnwell::protocol {

// One erase of a plan: the region erase and the start of its unit.
struct EraseStep {
  RegionErase erase{};
  std::uint32_t address = 0;
};

struct ErasePlan {
  bool wholeChip = false;          // the family has no region erase: the chip erase instead
  std::vector<EraseStep> steps{};  // in address order
  // The end of the last erased unit; 0 without one.
  std::uint32_t End() const;
  // What the plan erases, for people: "12 x 4 KiB", "1 x 32 KiB + 4 x 4 KiB", "the whole chip".
  std::string Text() const;
};

// The erases that cover [offset, offset + length) in the least total typical time (the fewer
// erases where times tie), each unit aligned to its size.
ErasePlan PlanErase(const FlashChipDescriptor& chip, std::uint32_t offset, std::uint32_t length);

// Runs a plan's region erases: first a status read that refuses (StepCode::Protection) while a
// block-protect bit of the family's protect value is set, then per erase write enable, the erase
// command and a wait of the erase's busy time (WaitBusyTime). Progress in the erasing phase,
// one bar step per erase; clean-up and failure notices as SpiChipErase's.
StepCode SpiEraseRegions(const DeviceRecord& record, std::uint32_t chip, const ErasePlan& plan,
                         WindowHandle window, std::uint32_t message);

// FlashErase for an update that writes [offset, offset + length) with fast transfers: a
// serial flash is erased by PlanErase's plan (SpiChipErase when it is the whole chip); an
// EEPROM as FlashErase erases it. `used`, when given, receives the plan of a serial flash.
FlashResult FlashEraseCovering(DeviceRecord record, std::uint32_t offset, std::uint32_t length,
                               WindowHandle window, std::uint32_t message,
                               ErasePlan* used = nullptr);

}  // namespace burnwell::protocol
