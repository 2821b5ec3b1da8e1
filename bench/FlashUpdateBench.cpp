// What one whole-image update costs on each memory the bridges carry: the protection switch,
// erase, program, read-back and compare, then protection on again, all through the bridge
// emulator. Besides host time per image it reports, per image, the SCSI commands sent, the
// serial-flash transactions and the seconds the update would take on the emulated bridge
// (command latency, chip busy times and the tool's own poll sleeps, on the virtual clock).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "protocol/FlashOperations.h"
#include "sim/ChipCatalog.h"
#include "sim/testing/EmulatorFixture.h"

namespace {

using namespace burnwell;

constexpr std::uint32_t kImageSize = 47360;  // configuration block plus the large main code

std::vector<std::uint8_t> Image(std::uint32_t size) {
  std::vector<std::uint8_t> image(size);
  for (std::uint32_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>(i * 167 + 13);
  return image;
}

void UpdateImage(benchmark::State& state, sim::BridgeConfig config, std::uint32_t size) {
  const std::vector<std::uint8_t> image = Image(size);
  std::vector<std::uint8_t> back(size);
  double commands = 0;
  double transactions = 0;
  double emulatedSeconds = 0;
  for (auto _ : state) {
    sim::testing::EmulatorFixture emu(config);
    const device::DeviceRecord record = emu.OpenRecord();
    emu.ClearTraces();
    const std::uint64_t commandsBefore = emu.Bridge().CommandCount();
    const std::uint64_t startUs = emu.Clock().NowUs();
    using protocol::FlashResult;
    const bool ok = protocol::FlashIcpSwitch(record, 0) == FlashResult::Ok &&
                    protocol::FlashErase(record, 0, 0) == FlashResult::Ok &&
                    protocol::FlashWrite(record, image.data(), 0, size, 0, 0) == FlashResult::Ok &&
                    protocol::FlashRead(record, back.data(), 0, size, 0, 0) == FlashResult::Ok &&
                    back == image && protocol::FlashIcpSwitch(record, 1) == FlashResult::Ok;
    if (!ok) {
      state.SkipWithError("the update did not verify");
      break;
    }
    commands = static_cast<double>(emu.Bridge().CommandCount() - commandsBefore);
    transactions = static_cast<double>(emu.SpiTrace().size());
    emulatedSeconds = static_cast<double>(emu.Clock().NowUs() - startUs) / 1e6;
  }
  state.counters["commands"] = commands;
  state.counters["spi_transactions"] = transactions;
  state.counters["emulated_s"] = emulatedSeconds;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}

void RegisterAll() {
  for (const sim::ChipDescription& model : sim::ChipCatalog()) {
    const std::uint32_t size = std::min<std::uint32_t>(kImageSize, model.size);
    benchmark::RegisterBenchmark(
        ("update/entry" + std::to_string(model.tableEntry) + "/" + model.name).c_str(),
        [name = model.name, size](benchmark::State& state) {
          UpdateImage(state, sim::BridgeConfig::WithChip(name), size);
        })
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("update/eeprom/64KiB",
                               [](benchmark::State& state) {
                                 UpdateImage(state,
                                             sim::BridgeConfig::WithEeprom(sim::EepromKind::Large64k),
                                             kImageSize);
                               })
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("update/eeprom/256B",
                               [](benchmark::State& state) {
                                 UpdateImage(state,
                                             sim::BridgeConfig::WithEeprom(sim::EepromKind::Small256),
                                             256);
                               })
      ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::printf(
          "Usage: bench_flash_update [benchmark options]\n"
          "Runs a whole-image update (unprotect, erase, program %u bytes, read back and compare,\n"
          "protect) through the bridge emulator for every chip model and both EEPROM sizes,\n"
          "and prints per image: host time, SCSI commands sent, serial-flash transactions and\n"
          "the emulated seconds the update takes on the bridge. The 256-byte EEPROM takes a\n"
          "256-byte image. Google Benchmark options (--benchmark_filter=REGEX, ...) apply.\n",
          kImageSize);
      return 0;
    }
  }
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
