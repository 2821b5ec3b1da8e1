// burnwell-sim: the bridge emulator as a program (see --help).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <thread>

#include "MachineMode.h"
#include "PathListener.h"
#include "UsbipMode.h"
#include "device/relay/RelayServer.h"
#include "platform/RelaySocketPath.h"
#include "sim/ChipCatalog.h"
#include "sim/CommandLine.h"
#include "sim/RelayService.h"
#include "sim/SimClock.h"
#include "sim/Trace.h"

namespace {

using namespace burnwell;

std::atomic<bool> stopRequested{false};

extern "C" void OnStopSignal(int) { stopRequested.store(true); }

int ListChips() {
  for (const auto& chip : sim::ChipCatalog()) {
    std::string jedec;
    for (auto b : chip.jedecId) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02X", b);
      jedec += hex;
    }
    std::cout << chip.name << ' ' << chip.tableEntry << ' ' << (jedec.empty() ? "-" : jedec)
              << '\n';
  }
  return 0;
}

bool ReadImage(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open image " + path;
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "cannot read image " + path;
    return false;
  }
  return true;
}

bool WriteImage(const std::string& path, std::span<const std::uint8_t> bytes) {
  // Written beside the target and renamed over it, so an interrupted save keeps the old image.
  const std::string temporary = path + ".partial";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) return false;
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  return !error;
}

int Serve(sim::SimCommandLine& line) {
  std::string error;
  if (line.imagePath && std::filesystem::exists(*line.imagePath)) {
    std::vector<std::uint8_t> bytes;
    if (!ReadImage(*line.imagePath, &bytes, &error)) {
      std::cerr << "burnwell-sim: " << error << "\n";
      return 1;
    }
    line.bridge.memoryContents = std::move(bytes);
  }
  std::ofstream scsiTrace, spiTrace;
  if (line.scsiTracePath) {
    scsiTrace.open(*line.scsiTracePath, std::ios::trunc);
    if (!scsiTrace) {
      std::cerr << "burnwell-sim: cannot write " << *line.scsiTracePath << "\n";
      return 1;
    }
  }
  if (line.spiTracePath) {
    spiTrace.open(*line.spiTracePath, std::ios::trunc);
    if (!spiTrace) {
      std::cerr << "burnwell-sim: cannot write " << *line.spiTracePath << "\n";
      return 1;
    }
  }

  sim::RealTimeClock clock;
  std::shared_ptr<sim::EmulatedBridge> bridge;
  try {
    bridge = std::make_shared<sim::EmulatedBridge>(line.bridge, clock);
  } catch (const std::exception& e) {
    std::cerr << "burnwell-sim: " << e.what() << "\n";
    return 1;
  }
  if (line.scsiTracePath) bridge->SetScsiTrace(&scsiTrace);
  if (line.spiTracePath) bridge->SetSpiTrace(&spiTrace);

  // Handlers first: a stop that arrives as soon as the socket exists must still save the image.
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  sim::EmulatorRelayBackend backend(bridge);
  std::unique_ptr<device::relay::RelayServer> server;
  std::string where;
  if (line.socketPath) {
    auto listener = sim::ListenAtPath(*line.socketPath, &error);
    if (!listener) {
      std::cerr << "burnwell-sim: " << error << "\n";
      return 1;
    }
    server = std::make_unique<device::relay::RelayServer>(backend, std::move(listener),
                                                          sim::EmulatorRelayLimits());
    server->Start();
    where = *line.socketPath;
  } else {
    server = device::relay::StartRelayServer(backend, sim::EmulatorRelayLimits());
#ifdef _WIN32
    where = platform::RelayPipeName();
#else
    where = platform::RelaySocketPath().string();
#endif
    if (!server) {
      std::cerr << "burnwell-sim: cannot serve the relay at " << where << "\n";
      return 1;
    }
  }
  std::cout << "burnwell-sim: serving "
            << (line.bridge.eeprom ? "an EEPROM bridge" : "a " + line.bridge.chip + " bridge")
            << " at " << where << std::endl;
  while (!stopRequested.load()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  server->Stop();
  server.reset();

  int result = 0;
  if (line.imagePath && !WriteImage(*line.imagePath, bridge->Memory())) {
    std::cerr << "burnwell-sim: cannot save image " << *line.imagePath << "\n";
    result = 1;
  }
  bridge->SetScsiTrace(nullptr);
  bridge->SetSpiTrace(nullptr);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
  std::string error;
  auto line =
      sim::ParseSimCommandLine(args, &error, sim::MachineModeUsage() + sim::UsbipModeUsage());
  if (!line) {
    std::cerr << error << "\n";
    return 2;
  }
  switch (line->command) {
    case sim::SimCommandLine::Command::Help: std::cout << line->text; return 0;
    case sim::SimCommandLine::Command::ListChips: return ListChips();
    case sim::SimCommandLine::Command::Serve: return Serve(*line);
    case sim::SimCommandLine::Command::Machine: return sim::RunMachineMode(*line);
    case sim::SimCommandLine::Command::Usbip: return sim::RunUsbipMode(*line);
  }
  return 2;
}
