#include "sim/machine/LiveMachine.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <optional>

#include "platform/IoFailure.h"
#include "platform/WinNames.h"
#include "sim/EmulatedDeviceIo.h"
#include "wire/ScsiRequest.h"

namespace burnwell::sim::machine {
namespace {

constexpr std::uint8_t kFirstVendorOpcode = 0xD0;
constexpr std::uint8_t kLastVendorOpcode = 0xDF;
// EEPROM read and write, SPI select, deselect, write and read: the commands that reach the
// memory behind the bridge.
constexpr std::uint8_t kFirstMemoryOpcode = 0xD1;
constexpr std::uint8_t kLastMemoryOpcode = 0xD6;
constexpr long long kNoCommand = -1;
// How often the machine looks whether a device is due to arrive or leave.
constexpr std::chrono::milliseconds kPlugTick{20};

// The operation code of a pass-through request, 0 when there is none.
std::uint8_t Opcode(std::uint32_t code, std::span<const std::uint8_t> in) {
  if (code != IOCTL_SCSI_PASS_THROUGH || in.size() < wire::kPassThroughHeaderSize) return 0;
  const wire::ScsiPassThroughHeader header = wire::DecodePassThroughHeader(in);
  return header.CdbLengthValid() ? header.Cdb[0] : 0;
}

}  // namespace

struct LiveMachine::Device {
  std::string location;
  std::string serial;
  PlugWindow window;
  std::shared_ptr<EmulatedBridge> bridge;  // null: storage that is no bridge
  std::atomic<bool> plugged{false};
  std::atomic<bool> commanded{false};
  std::atomic<bool> memoryCommanded{false};
  std::atomic<long long> lastCommandUs{kNoCommand};
  std::vector<std::string> nodes;  // its generic nodes while plugged in
};

// One relay connection to a device's node. It answers as the bridge does while the device is
// plugged in, and as an unplugged device afterwards, as the kernel fails commands on an open
// node whose device has gone.
class LiveMachine::Session final : public device::relay::RelaySession {
 public:
  Session(LiveMachine& machine, std::shared_ptr<Device> device)
      : machine_(machine), device_(std::move(device)) {}

  bool IoControl(std::uint32_t code, std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                 std::uint32_t* returned) override {
    if (returned) *returned = 0;
    if (!device_->plugged.load()) {
      platform::NoteIoFailure(platform::IoFailure::DeviceGone);
      return false;
    }
    if (!device_->bridge) return false;  // a plain stick rejects the bridge's commands
    Note(Opcode(code, in));
    return EmulatedIoControl(*device_->bridge, Presentation::MassStorage, code, in.data(),
                             static_cast<std::uint32_t>(in.size()), out.data(),
                             static_cast<std::uint32_t>(out.size()), returned);
  }

 private:
  void Note(std::uint8_t opcode) {
    if (opcode < kFirstVendorOpcode || opcode > kLastVendorOpcode) return;
    const double now = machine_.NowMs();
    device_->lastCommandUs.store(static_cast<long long>(now * 1000));
    if (!device_->commanded.exchange(true)) machine_.Log(now, "first-command", *device_);
    if (opcode >= kFirstMemoryOpcode && opcode <= kLastMemoryOpcode &&
        !device_->memoryCommanded.exchange(true))
      machine_.Log(now, "first-memory-command", *device_);
  }

  LiveMachine& machine_;
  std::shared_ptr<Device> device_;
};

LiveMachine::LiveMachine(const MachineDescription& machine,
                         std::vector<std::shared_ptr<EmulatedBridge>> bridges,
                         const std::filesystem::path& systemRoot, std::ostream* plugLog)
    : writer_(systemRoot, SysfsSpecOf(machine)), plugLog_(plugLog) {
  const MachineSpec layout = SysfsSpecOf(machine);
  for (std::size_t i = 0; i < layout.storage.size(); ++i) {
    auto device = std::make_shared<Device>();
    device->location = layout.storage[i].location;
    device->serial = layout.storage[i].serial;
    device->window = layout.storage[i].window;
    if (i < bridges.size()) device->bridge = bridges[i];
    devices_.push_back(std::move(device));
  }
}

LiveMachine::~LiveMachine() { Stop(); }

void LiveMachine::PlugFirstDevices() {
  start_ = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < devices_.size(); ++i)
    if (devices_[i]->window.PresentAtStart()) Plug(i);
}

void LiveMachine::Start() {
  start_ = std::chrono::steady_clock::now();
  for (const auto& device : devices_)
    if (device->plugged.load()) Log(0, "arrive", *device);
  thread_ = std::thread([this] { Run(); });
}

void LiveMachine::Stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  for (const auto& device : devices_) {
    const long long last = device->lastCommandUs.load();
    if (last != kNoCommand) Log(static_cast<double>(last) / 1000, "last-command", *device);
  }
}

double LiveMachine::NowMs() const {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
      .count();
}

void LiveMachine::Log(double ms, const char* what, const Device& device) {
  if (!plugLog_) return;
  char line[200];
  std::snprintf(line, sizeof line, "%.1f %s %s %s\n", ms, what, device.location.c_str(),
                device.serial.empty() ? "-" : device.serial.c_str());
  std::lock_guard lock(logMutex_);
  *plugLog_ << line << std::flush;
}

void LiveMachine::Plug(std::size_t index) {
  const std::shared_ptr<Device>& device = devices_[index];
  // The nodes are served before class/scsi_generic lists them, as the kernel's are usable once
  // the listing appears.
  writer_.Plug(index, [&](const std::vector<GeneratedUnit>& units) {
    std::lock_guard lock(mutex_);
    device->nodes.clear();
    for (const GeneratedUnit& unit : units) {
      device->nodes.push_back(unit.genericNode);
      nodes_[unit.genericNode] = device;
    }
    device->plugged.store(true);
  });
}

void LiveMachine::Unplug(std::size_t index) {
  const std::shared_ptr<Device>& device = devices_[index];
  {
    std::lock_guard lock(mutex_);
    device->plugged.store(false);
    for (const std::string& node : device->nodes) {
      const auto found = nodes_.find(node);
      if (found != nodes_.end() && found->second == device) nodes_.erase(found);
    }
    device->nodes.clear();
  }
  writer_.Unplug(index);
}

void LiveMachine::Run() {
  // The device before each one on its location, for those that follow it.
  std::vector<std::optional<std::size_t>> before(devices_.size());
  std::map<std::string, std::size_t> last;
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    const auto found = last.find(devices_[i]->location);
    if (found != last.end()) before[i] = found->second;
    last[devices_[i]->location] = i;
  }
  std::vector<std::optional<double>> leftAtMs(devices_.size());
  std::vector<bool> arrived(devices_.size());
  for (std::size_t i = 0; i < devices_.size(); ++i) arrived[i] = devices_[i]->plugged.load();

  auto change = [&](std::size_t i, bool arrives) {
    try {
      if (arrives) {
        Plug(i);
      } else {
        Unplug(i);
      }
    } catch (const std::exception&) {
      return;  // a tree that cannot be changed (a full disk) leaves the device where it was
    }
    const double now = NowMs();
    if (!arrives) leftAtMs[i] = now;
    Log(now, arrives ? "arrive" : "leave", *devices_[i]);
  };
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (wake_.wait_for(lock, kPlugTick, [this] { return stopping_; })) return;
    }
    const double now = NowMs();
    // Removals first: one device follows another on its port.
    for (std::size_t i = 0; i < devices_.size(); ++i) {
      Device& device = *devices_[i];
      if (!device.plugged.load()) continue;
      const PlugWindow& window = device.window;
      const long long last = device.lastCommandUs.load();
      const bool idle = window.leaveIdle && last != kNoCommand &&
                        now - static_cast<double>(last) / 1000 >= *window.leaveIdle * 1000;
      if ((window.leave && now >= *window.leave * 1000) || idle) change(i, false);
    }
    for (std::size_t i = 0; i < devices_.size(); ++i) {
      if (arrived[i]) continue;
      const PlugWindow& window = devices_[i]->window;
      bool due = false;
      if (window.arriveAfter) {
        due = before[i] && leftAtMs[*before[i]] &&
              now >= *leftAtMs[*before[i]] + *window.arriveAfter * 1000;
      } else {
        due = now >= window.arrive * 1000;
      }
      if (!due) continue;
      arrived[i] = true;
      change(i, true);
    }
  }
}

std::unique_ptr<device::relay::RelaySession> LiveMachine::Open(std::string_view path,
                                                               const device::relay::RelayPeer&) {
  std::lock_guard lock(mutex_);
  const auto found = nodes_.find(std::string(path));
  if (found == nodes_.end()) return nullptr;
  return std::make_unique<Session>(*this, found->second);
}

}  // namespace burnwell::sim::machine
