#include "sim/RelayService.h"

namespace burnwell::sim {
namespace {

class BridgeSession final : public device::relay::RelaySession {
 public:
  BridgeSession(std::shared_ptr<EmulatedBridge> bridge, Presentation presentation)
      : bridge_(std::move(bridge)), presentation_(presentation) {}

  bool IoControl(std::uint32_t code, std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                 std::uint32_t* returned) override {
    return EmulatedIoControl(*bridge_, presentation_, code, in.empty() ? nullptr : in.data(),
                             static_cast<std::uint32_t>(in.size()), out.data(),
                             static_cast<std::uint32_t>(out.size()), returned);
  }

 private:
  std::shared_ptr<EmulatedBridge> bridge_;
  Presentation presentation_;
};

}  // namespace

std::unique_ptr<device::relay::RelaySession> EmulatorRelayBackend::Open(
    std::string_view path, const device::relay::RelayPeer&) {
  if (path.empty()) return nullptr;
  opens_.fetch_add(1);
  return std::make_unique<BridgeSession>(bridge_, presentation_);
}

}  // namespace burnwell::sim
