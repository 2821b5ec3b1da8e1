#include "UsbipMode.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>

#ifndef _WIN32
#include "common/Hex.h"
#include "sim/machine/MachineFile.h"
#include "platform/StopRequest.h"
#include "sim/ImageFile.h"
#include "sim/usbip/UsbipServer.h"
#endif

namespace burnwell::sim {
namespace {

#ifndef _WIN32

// One served bridge with the files it reads at start and writes at the end.
struct BridgeFiles {
  std::string busId;
  BridgeConfig config;
  std::optional<std::filesystem::path> image, trace, spiTrace;
};

int Serve(const std::vector<BridgeFiles>& described, std::uint16_t port) {
  RealTimeClock clock;
  std::vector<std::unique_ptr<std::ofstream>> traces;  // outlive the bridges writing into them
  std::vector<std::shared_ptr<EmulatedBridge>> bridges;
  std::vector<usbip::ServedBridge> served;
  std::unique_ptr<usbip::UsbipServer> server;
  auto openTrace = [&](const std::filesystem::path& path) {
    traces.push_back(std::make_unique<std::ofstream>(path, std::ios::trunc));
    if (!*traces.back()) throw std::runtime_error("cannot write trace " + path.string());
    return traces.back().get();
  };
  try {
    for (const BridgeFiles& files : described) {
      BridgeConfig config = files.config;
      if (files.image && std::filesystem::exists(*files.image))
        config.memoryContents = ReadImageFile(*files.image);
      auto bridge = std::make_shared<EmulatedBridge>(config, clock);
      if (files.trace) bridge->SetScsiTrace(openTrace(*files.trace));
      if (files.spiTrace) bridge->SetSpiTrace(openTrace(*files.spiTrace));
      bridges.push_back(bridge);
      served.push_back({files.busId, bridge});
    }
    server = std::make_unique<usbip::UsbipServer>(served, port, [](const std::string& line) {
      std::cout << "burnwell-sim: " << line << std::endl;
    });
  } catch (const std::exception& error) {
    std::cerr << "burnwell-sim: " << error.what() << "\n";
    return 1;
  }

  platform::InstallServeStopHandlers();
  server->Start();
  for (std::size_t i = 0; i < described.size(); ++i) {
    const BridgeConfig& config = bridges[i]->Config();
    std::cout << "burnwell-sim: exporting " << described[i].busId << " (USB "
              << Hex(config.vendorId, 4) << ':' << Hex(config.productId, 4) << ", serial "
              << config.serial << ")\n";
  }
  std::cout << "burnwell-sim: serving USB/IP on 127.0.0.1:" << server->Port()
            << " until stopped (Ctrl-C or SIGTERM detaches every device)" << std::endl;
  platform::WaitForStopRequest();
  server->Stop();
  server.reset();

  int result = 0;
  for (std::size_t i = 0; i < described.size(); ++i) {
    if (described[i].image && !WriteImageFile(*described[i].image, bridges[i]->Memory())) {
      std::cerr << "burnwell-sim: cannot save image " << described[i].image->string() << "\n";
      result = 1;
    }
    bridges[i]->SetScsiTrace(nullptr);
    bridges[i]->SetSpiTrace(nullptr);
  }
  for (auto& trace : traces) trace->flush();
  return result;
}

#endif

}  // namespace

std::string UsbipModeUsage() {
  return "\nUSB/IP mode (Linux):\n"
         "  burnwell-sim usbip [BRIDGE OPTIONS] [--port N]\n"
         "  burnwell-sim usbip --machine FILE [--port N]\n"
         "Exports the emulated bridge (bus ID 1-1), or every bridge of the machine FILE (bus ID =\n"
         "its location), as a USB 2.0 high-speed mass-storage device over USB/IP on 127.0.0.1\n"
         "(default port 3240) until stopped; SIGINT or SIGTERM detaches every device, which the\n"
         "importing kernel sees as an unplug, and a fault plan's disconnect unplugs its bridge.\n"
         "--image and the traces work as with serve; hubs and other storage of FILE are not\n"
         "exported. Example, as root:\n"
         "  burnwell-sim usbip --image mem.bin &   modprobe vhci-hcd;   usbip attach -r 127.0.0.1 "
         "-b 1-1\n";
}

int RunUsbipMode([[maybe_unused]] const SimCommandLine& line) {
#ifdef _WIN32
  std::cerr << "burnwell-sim: usbip runs on Linux only\n";
  return 2;
#else
  std::vector<BridgeFiles> bridges;
  if (line.machinePath) {
    try {
      for (const auto& bridge : machine::ReadMachineFile(*line.machinePath).bridges) {
        bridges.push_back(
            {bridge.location, bridge.config, bridge.image, bridge.trace, bridge.spiTrace});
      }
    } catch (const std::invalid_argument& failure) {
      std::cerr << "burnwell-sim: " << failure.what() << "\n";
      return 2;
    }
    if (bridges.empty()) {
      std::cerr << "burnwell-sim: " << *line.machinePath << " has no bridge to export\n";
      return 2;
    }
  } else {
    BridgeFiles files{"1-1", line.bridge, std::nullopt, std::nullopt, std::nullopt};
    if (line.imagePath) files.image = *line.imagePath;
    if (line.scsiTracePath) files.trace = *line.scsiTracePath;
    if (line.spiTracePath) files.spiTrace = *line.spiTracePath;
    bridges.push_back(std::move(files));
  }
  return Serve(bridges, line.usbipPort);
#endif
}

}  // namespace burnwell::sim
