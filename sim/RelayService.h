// The emulator behind the I/O relay: every device path a client opens reaches the one
// emulated bridge, each connection with its own session.
#pragma once

#include <atomic>
#include <memory>

#include "device/relay/RelayBackend.h"
#include "device/relay/RelayServer.h"
#include "sim/EmulatedBridge.h"
#include "sim/EmulatedDeviceIo.h"

namespace burnwell::sim {

class EmulatorRelayBackend final : public device::relay::RelayBackend {
 public:
  explicit EmulatorRelayBackend(std::shared_ptr<EmulatedBridge> bridge,
                                Presentation presentation = Presentation::MassStorage)
      : bridge_(std::move(bridge)), presentation_(presentation) {}

  std::unique_ptr<device::relay::RelaySession> Open(std::string_view path,
                                                    const device::relay::RelayPeer&) override;

  std::uint64_t OpensServed() const { return opens_.load(); }

 private:
  std::shared_ptr<EmulatedBridge> bridge_;
  Presentation presentation_;
  std::atomic<std::uint64_t> opens_{0};
};

// The limits of an emulator's relay: it serves the one user who runs it, who may have every
// connection.
inline device::relay::RelayServerLimits EmulatorRelayLimits() {
  device::relay::RelayServerLimits limits;
  limits.maxPerUser = limits.maxConnections;
  return limits;
}

}  // namespace burnwell::sim
