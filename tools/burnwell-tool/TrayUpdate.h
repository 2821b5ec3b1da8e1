// Updating the bridges of a tray at once: one worker thread per bridge, each running the update
// engine with its own plan (device index, progress window) and its own observer, after one
// discovery. Every flash operation takes only its own bridge's device lock, so the workers run
// side by side; a failing bridge ends its own worker and touches no other.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/BridgeUpdate.h"
#include "image/ImageBuffer.h"

namespace burnwell::tool {

// How a bridge's flash compares with what an update would leave there.
struct FlashComparison {
  bool read = false;                             // the flash could be read
  std::optional<std::uint32_t> firstDifference;  // offset of the first differing byte
  std::string difference;  // what differs, in words ("no validity marker ...", "checksum ...")
  std::string errorText;   // why the read failed
  std::optional<std::uint16_t> checksumBefore;  // the checksum the block's marker carries
  bool Matches() const { return read && !firstDifference; }
};

// What differs between the flash read (the block alone, or block and code) and what the update
// leaves there, in words a technician acts on: the validity marker and its checksum first, then
// the rest of the configuration block, then the code ("code differs at offset 0x1234").
std::string DifferenceText(std::span<const std::uint8_t> flash,
                           std::span<const std::uint8_t> expected, std::uint32_t firstDifference);

// Reads the bridge's block, works out exactly what the plan's update would leave in its flash
// and compares the flash with it.
FlashComparison CompareWithUpdate(const app::UpdatePlan& plan, const image::ImageBuffer& loaded);

enum class BridgeOutcome { Updated, UpToDate, Failed };
const char* OutcomeName(BridgeOutcome outcome);  // "updated", "up-to-date", "failed"

// One bridge's share of the work.
struct BridgeJob {
  app::UpdatePlan plan;
  app::UpdateObserver* observer = nullptr;  // hears the engine's phases and failed passes
  bool reinstall = false;                   // write even when the flash already matches
};

struct BridgeResult {
  BridgeOutcome outcome = BridgeOutcome::Failed;
  app::UpdateReport report;  // the engine's report (passes 0 when skipped)
  double seconds = 0;        // the worker's wall time
};

// Updates one bridge: skipped when its flash already matches (unless reinstall), updated
// otherwise.
BridgeResult UpdateOneBridge(const BridgeJob& job, const image::ImageBuffer& loaded);

// Runs every job on its own thread (the loaded image is only read) and returns the results in
// job order. finished is called on the worker's thread as each bridge ends.
std::vector<BridgeResult> UpdateTray(
    std::span<const BridgeJob> jobs, const image::ImageBuffer& loaded,
    const std::function<void(std::size_t, const BridgeResult&)>& finished);

}  // namespace burnwell::tool
