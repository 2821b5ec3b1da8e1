// burnwell-sim: the bridge emulator as a program (see --help).
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "sim/ImageFile.h"
#include "common/Hex.h"
#include "MachineMode.h"
#include "PathListener.h"
#include "UsbipMode.h"
#include "device/relay/RelayServer.h"
#include "platform/RelaySocketPath.h"
#include "platform/StopRequest.h"
#include "sim/ChipCatalog.h"
#include "sim/CommandLine.h"
#include "sim/RelayService.h"
#include "sim/SimClock.h"
#include "sim/Trace.h"

namespace {

using namespace burnwell;

int ListChips() {
  for (const auto& chip : sim::ChipCatalog()) {
    const std::string jedec = HexBytes(chip.jedecId, "");
    std::cout << chip.name << ' ' << chip.tableEntry << ' ' << (jedec.empty() ? "-" : jedec)
              << '\n';
  }
  return 0;
}

int Serve(sim::SimCommandLine& line) {
  std::string error;
  if (line.imagePath && std::filesystem::exists(*line.imagePath)) {
    try {
      line.bridge.memoryContents = sim::ReadImageFile(*line.imagePath);
    } catch (const std::exception& e) {
      std::cerr << "burnwell-sim: " << e.what() << "\n";
      return 1;
    }
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
  platform::InstallServeStopHandlers();
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
  platform::WaitForStopRequest();
  server->Stop();
  server.reset();

  int result = 0;
  if (line.imagePath && !sim::WriteImageFile(*line.imagePath, bridge->Memory())) {
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
