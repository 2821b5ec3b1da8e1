// A USB/IP server on 127.0.0.1 that exports emulated bridges as USB mass-storage devices. A
// client lists them (OP_REQ_DEVLIST) and imports one (OP_REQ_IMPORT); the import's connection
// then carries that device's URBs until either side closes it. The server closing it is an
// unplug to the importing host (vhci-hcd reports the port disconnected): that is how a device
// is detached, on request, at Stop, or when a bridge's fault plan cuts it off.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/EmulatedBridge.h"
#include "sim/usbip/MassStorageDevice.h"

namespace burnwell::sim::usbip {

struct ServedBridge {
  std::string busId;  // "BUS-PORT[.PORT...]", e.g. "1-1"
  std::shared_ptr<EmulatedBridge> bridge;
};

class UsbipServer {
 public:
  using Log = std::function<void(const std::string& line)>;

  // Listens on 127.0.0.1:port (0: a free port, see Port()). Throws std::runtime_error when it
  // cannot listen, std::invalid_argument for a malformed or repeated bus ID.
  UsbipServer(std::vector<ServedBridge> bridges, std::uint16_t port, Log log = {});
  ~UsbipServer();
  UsbipServer(const UsbipServer&) = delete;
  UsbipServer& operator=(const UsbipServer&) = delete;

  std::uint16_t Port() const { return port_; }
  void Start();
  // Detaches every imported device (an unplug for each importer) and stops listening.
  void Stop();
  // Drops the connection of the device with this bus ID: to its importer, an unplug. The
  // device can be imported again. False when no such device is imported.
  bool Detach(const std::string& busId);
  // Devices imported right now.
  std::size_t Imported() const;

 private:
  struct Export {
    std::string busId;
    std::uint32_t busNum = 0;
    std::uint32_t devNum = 0;
    MassStorageDevice device;
    int connection = -1;  // the importer's socket, -1 while free
    bool detachedByServer = false;
    Export(std::string id, std::uint32_t bus, std::uint32_t dev,
           std::shared_ptr<EmulatedBridge> bridge)
        : busId(std::move(id)), busNum(bus), devNum(dev), device(std::move(bridge)) {}
  };
  struct Connection {
    std::thread thread;
    int socket = -1;  // closed (and -1) once its thread is done with it
    std::atomic<bool> finished{false};
  };

  void AcceptLoop();
  void Serve(Connection& connection);
  void Close(Connection& connection);
  void ServeImported(int socket, Export& exported);
  Export* Find(const std::string& busId);
  void Say(const std::string& line);

  std::vector<std::unique_ptr<Export>> exports_;
  Log log_;
  std::mutex logMutex_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  mutable std::mutex mutex_;  // exports' connection state and the connection list
  std::list<Connection> connections_;
};

}  // namespace burnwell::sim::usbip
