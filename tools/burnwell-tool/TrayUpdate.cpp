#include "tools/burnwell-tool/TrayUpdate.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>

#include "bridge/DeviceApi.h"
#include "common/Hex.h"
#include "image/ConfigBlock.h"
#include "tools/burnwell-tool/BridgeSession.h"

namespace burnwell::tool {

FlashComparison CompareWithUpdate(const app::UpdatePlan& plan, const image::ImageBuffer& loaded) {
  FlashComparison comparison;
  std::vector<std::uint8_t> block(image::kConfigBlockSize, 0xFF);
  if (const int code =
          bridge::BridgeReadFlash(plan.deviceIndex, block.data(), 0,
                                  static_cast<std::uint32_t>(block.size()), 0, 0, plan.transfers);
      code != 0) {
    comparison.errorText = "reading the configuration block failed: " + ResultText(code);
    return comparison;
  }
  comparison.checksumBefore = image::MarkedChecksum(block);
  const std::vector<std::uint8_t> expected = app::FlashAfterUpdate(block, loaded, plan);
  // The block alone tells a bridge that holds another image: its code need not be read.
  if (const auto differs = app::FirstDifferenceInBlock(block, loaded, plan)) {
    comparison.read = true;
    comparison.firstDifference = differs;
    comparison.difference = DifferenceText(block, expected, *differs);
    return comparison;
  }
  std::vector<std::uint8_t> flash(expected.size(), 0xFF);
  if (const int code =
          bridge::BridgeReadFlash(plan.deviceIndex, flash.data(), 0,
                                  static_cast<std::uint32_t>(flash.size()), 0, 0, plan.transfers);
      code != 0) {
    comparison.errorText = "reading the flash failed: " + ResultText(code);
    return comparison;
  }
  comparison.read = true;
  const auto [differs, ignored] = std::mismatch(flash.begin(), flash.end(), expected.begin());
  if (differs != flash.end()) {
    comparison.firstDifference = static_cast<std::uint32_t>(differs - flash.begin());
    comparison.difference = DifferenceText(flash, expected, *comparison.firstDifference);
  }
  return comparison;
}

std::string DifferenceText(std::span<const std::uint8_t> flash,
                           std::span<const std::uint8_t> expected, std::uint32_t firstDifference) {
  using image::offset::kMarker;
  const std::string at = "at offset 0x" + Hex(firstDifference, 4);
  if (flash.size() <= kMarker + 2 || expected.size() <= kMarker + 2) return "differs " + at;
  if (flash[kMarker] != expected[kMarker]) {
    const std::string found = "byte 11 is " + Hex(flash[kMarker], 2, HexDigits::Upper);
    if (expected[kMarker] == image::kValidMarker)
      return "no validity marker (" + found + ", not 5A): the firmware is not marked valid";
    return "a validity marker the update does not leave (" + found + ")";
  }
  const std::optional<std::uint16_t> wanted = image::MarkedChecksum(expected);
  const std::optional<std::uint16_t> found = image::MarkedChecksum(flash);
  if (wanted && found && *wanted != *found)
    return "checksum " + ChecksumText(*wanted) + " expected, " + ChecksumText(*found) + " found";
  if (firstDifference < image::kConfigBlockSize) return "configuration block differs " + at;
  return "code differs " + at;
}

const char* OutcomeName(BridgeOutcome outcome) {
  switch (outcome) {
    case BridgeOutcome::Updated: return "updated";
    case BridgeOutcome::UpToDate: return "up-to-date";
    case BridgeOutcome::Failed: break;
  }
  return "failed";
}

BridgeResult UpdateOneBridge(const BridgeJob& job, const image::ImageBuffer& loaded) {
  const auto start = std::chrono::steady_clock::now();
  BridgeResult result;
  app::UpdateObserver quiet;
  app::UpdateObserver& observer = job.observer ? *job.observer : quiet;
  try {
    const FlashComparison comparison =
        job.reinstall ? FlashComparison{} : CompareWithUpdate(job.plan, loaded);
    if (comparison.Matches()) {
      result.outcome = BridgeOutcome::UpToDate;
      result.report.result = app::UpdateResult::Updated;
      result.report.checksumBefore = comparison.checksumBefore;
    } else {
      result.report = app::UpdateBridge(job.plan, loaded, observer);
      result.outcome = result.report.result == app::UpdateResult::Updated ? BridgeOutcome::Updated
                                                                          : BridgeOutcome::Failed;
    }
  } catch (const std::exception& error) {
    // A worker's fault stays the fault of its own bridge.
    result.outcome = BridgeOutcome::Failed;
    result.report.result = app::UpdateResult::Failed;
    result.report.errorText = std::string("the update stopped: ") + error.what();
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

std::vector<BridgeResult> UpdateTray(
    std::span<const BridgeJob> jobs, const image::ImageBuffer& loaded,
    const std::function<void(std::size_t, const BridgeResult&)>& finished) {
  std::vector<BridgeResult> results(jobs.size());
  auto work = [&](std::size_t i) {
    results[i] = UpdateOneBridge(jobs[i], loaded);
    if (finished) finished(i, results[i]);
  };
  if (jobs.size() == 1) {
    work(0);
    return results;
  }
  std::vector<std::thread> workers;
  workers.reserve(jobs.size());
  for (std::size_t i = 0; i < jobs.size(); ++i) workers.emplace_back(work, i);
  for (std::thread& worker : workers) worker.join();
  return results;
}

}  // namespace burnwell::tool
