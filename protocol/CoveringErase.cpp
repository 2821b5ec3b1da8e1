#include "protocol/CoveringErase.h"

#include <algorithm>
#include <array>
#include <functional>
#include <limits>
#include <map>

#include "protocol/FastTransfers.h"
#include "protocol/FlashProgress.h"
#include "protocol/SpiTransactions.h"

namespace burnwell::protocol {
namespace {

constexpr std::uint8_t kBusyAndLatchBits = 0x03;  // status bits no protection lives in

// The cheapest cover of the units [i, count) of the smallest erase: its typical time, how many
// erases, and the erase that starts it.
struct Cover {
  std::uint64_t timeUs = std::numeric_limits<std::uint64_t>::max();
  std::uint32_t erases = 0;
  const RegionErase* first = nullptr;

  bool CheaperThan(const Cover& other) const {
    return timeUs != other.timeUs ? timeUs < other.timeUs : erases < other.erases;
  }
};

std::vector<const RegionErase*> PresentErases(const FlashChipDescriptor& chip) {
  std::vector<const RegionErase*> erases;
  for (const auto field : kRegionErases)
    if ((chip.*field).Present()) erases.push_back(&(chip.*field));
  return erases;
}

// A status read that reports a set block-protect bit: the chip would refuse the erases.
StepCode CheckUnprotected(const DeviceRecord& record, std::uint32_t chip) {
  const FlashChipDescriptor& descriptor = FlashChip(chip);
  const CommandBytes command(descriptor.readStatus);
  std::array<std::uint8_t, 1> status{};
  if (const StepCode code =
          RunSpiTransaction(record, {.command = command.Bytes(), .answer = status});
      code != StepCode::Ok)
    return code;
  const auto protectBits = static_cast<std::uint8_t>(descriptor.protectValue & ~kBusyAndLatchBits);
  return (status[0] & protectBits) != 0 ? StepCode::Protection : StepCode::Ok;
}

// One region erase: write enable (no ready poll: it makes no chip busy), the erase command with
// the unit's address, the erase's busy time.
StepCode EraseRegion(const DeviceRecord& record, std::uint32_t chip, const EraseStep& step) {
  if (SendSpiCommand(record, FlashChip(chip).writeEnable) != StepCode::Ok)
    return StepCode::WriteEnable;
  const auto command = AddressedCommand(step.erase.opcode, step.address);
  if (const StepCode code =
          RunSpiTransaction(record, {.command = std::span(command).first(kRegionEraseLength)});
      code != StepCode::Ok)
    return code;
  return WaitBusyTime(record, step.erase.time) == StepCode::Ok ? StepCode::Ok : StepCode::WaitReady;
}

std::string SizeText(std::uint32_t bytes) {
  return bytes % 1024 == 0 ? std::to_string(bytes / 1024) + " KiB" : std::to_string(bytes) + " B";
}

}  // namespace

std::uint32_t ErasePlan::End() const {
  return steps.empty() ? 0 : steps.back().address + steps.back().erase.size;
}

std::string ErasePlan::Text() const {
  if (wholeChip) return "the whole chip";
  if (steps.empty()) return "nothing";
  // Largest unit first; each unit size is one erase of the chip.
  std::map<std::uint32_t, std::uint32_t, std::greater<>> counts;
  for (const EraseStep& step : steps) ++counts[step.erase.size];
  std::string text;
  for (const auto& [size, count] : counts) {
    if (!text.empty()) text += " + ";
    text += std::to_string(count) + " x " + SizeText(size);
  }
  return text;
}

ErasePlan PlanErase(const FlashChipDescriptor& chip, std::uint32_t offset, std::uint32_t length) {
  ErasePlan plan;
  const std::vector<const RegionErase*> erases = PresentErases(chip);
  if (erases.empty()) {
    plan.wholeChip = true;
    return plan;
  }
  if (length == 0) return plan;
  const std::uint32_t unit = erases.front()->size;
  const std::uint64_t start = offset / unit * unit;
  const std::uint64_t end = static_cast<std::uint64_t>(offset) + length;
  const auto count = static_cast<std::size_t>((end - start + unit - 1) / unit);
  // covers[i]: the cheapest cover of units i to count; built from the end.
  std::vector<Cover> covers(count + 1);
  covers[count] = {.timeUs = 0};
  for (std::size_t i = count; i-- > 0;) {
    const std::uint64_t address = start + i * unit;
    for (const RegionErase* erase : erases) {
      if (address % erase->size != 0) continue;
      const Cover& rest = covers[std::min(count, i + erase->size / unit)];
      const Cover candidate{
          .timeUs = rest.timeUs + erase->time.typicalUs, .erases = rest.erases + 1, .first = erase};
      if (candidate.CheaperThan(covers[i])) covers[i] = candidate;
    }
  }
  for (std::size_t i = 0; i < count; i += covers[i].first->size / unit)
    plan.steps.push_back(
        {.erase = *covers[i].first, .address = static_cast<std::uint32_t>(start + i * unit)});
  return plan;
}

StepCode SpiEraseRegions(const DeviceRecord& record, std::uint32_t chip, const ErasePlan& plan,
                         WindowHandle window, std::uint32_t message) {
  RoutineProgress progress(record, window, message, ProgressPhase::Erasing,
                           ProgressPhase::ErasingFailed);
  const auto steps = static_cast<std::uint32_t>(plan.steps.size());
  if (!progress.Start(steps)) return StepCode::DeviceNotInTable;
  StepCode code = CheckUnprotected(record, chip);
  std::uint32_t failedAt = 0;  // the erase that failed, for its notice
  for (std::uint32_t i = 0; code == StepCode::Ok && i < steps; ++i) {
    failedAt = i;
    code = EraseRegion(record, chip, plan.steps[i]);
    if (code == StepCode::Ok) progress.Advance(Percent(i, steps));
  }
  if (code != StepCode::Ok) {
    WriteDisableAfter(record, chip, code);
    progress.Fail(code, Percent(failedAt, steps));
  }
  return code;
}

FlashResult FlashEraseCovering(DeviceRecord record, std::uint32_t offset, std::uint32_t length,
                               WindowHandle window, std::uint32_t message, ErasePlan* used) {
  if (!record.Byte11Set) return FlashErase(record, window, message);
  if (DetectFlash(record, Probing::Fast) != StepCode::Ok) return FlashResult::FlashNotIdentified;
  const std::uint32_t chip = record.FlashChipIndex;
  const ErasePlan plan = PlanErase(FlashChip(chip), offset, length);
  if (used) *used = plan;
  const StepCode code = plan.wholeChip ? SpiChipErase(record, chip, window, message)
                                       : SpiEraseRegions(record, chip, plan, window, message);
  return SpiOutcome(code, FlashResult::EraseFailed);
}

}  // namespace burnwell::protocol
