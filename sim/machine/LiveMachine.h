// An emulated machine while a program runs on it: the relay back end that serves the generic
// nodes of every plugged-in bridge, and a thread that plugs devices in and out at the times of
// their windows, changing the system root as the kernel would. A bridge pulled out fails every
// later command as an unplugged device does, and its node no longer opens.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "device/relay/RelayBackend.h"
#include "sim/EmulatedBridge.h"
#include "sim/machine/MachineFile.h"
#include "sim/machine/SysfsTree.h"

namespace burnwell::sim::machine {

class LiveMachine final : public device::relay::RelayBackend {
 public:
  // `bridges` holds the emulated bridge of each of the machine's bridges, in order. `plugLog`
  // (may be null) receives the plug-log lines.
  LiveMachine(const MachineDescription& machine,
              std::vector<std::shared_ptr<EmulatedBridge>> bridges,
              const std::filesystem::path& systemRoot, std::ostream* plugLog);
  ~LiveMachine() override;
  LiveMachine(const LiveMachine&) = delete;
  LiveMachine& operator=(const LiveMachine&) = delete;

  // Writes the system root with the devices there from the start. Throws as WriteSystemRoot.
  void PlugFirstDevices();
  // The machine's time starts: later arrivals and the removals follow it.
  void Start();
  // Stops plugging; the plug log gets each bridge's last command.
  void Stop();

  std::unique_ptr<device::relay::RelaySession> Open(std::string_view path,
                                                    const device::relay::RelayPeer&) override;

 private:
  struct Device;
  class Session;
  void Plug(std::size_t storageIndex);
  void Unplug(std::size_t storageIndex);
  void Run();
  void Log(double ms, const char* what, const Device& device);
  double NowMs() const;

  SystemRootWriter writer_;
  std::vector<std::shared_ptr<Device>> devices_;  // by storage index
  std::ostream* plugLog_;
  std::mutex logMutex_;

  std::mutex mutex_;  // guards nodes_ and stopping_
  std::map<std::string, std::shared_ptr<Device>> nodes_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::chrono::steady_clock::time_point start_;
  std::thread thread_;
};

}  // namespace burnwell::sim::machine
