#include "BridgeNodes.h"

#include <cctype>
#include <filesystem>

#include "bridge/DeviceApi.h"
#include "bridge/DiscoveryLinux.h"
#include "device/DeviceRecord.h"
#include "platform/NamedLock.h"
#include "platform/System.h"

namespace burnwell::relayd {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kNodePrefix = "/dev/sg";

// Where the kernel keeps the node's device in sysfs; it changes whenever the node is given to
// another device. Empty when the node has no sysfs entry.
std::string SysfsPlace(const std::string& path) {
  if (!LooksLikeGenericNode(path)) return {};
  const fs::path entry = platform::UnderSystemRoot("/sys/class/scsi_generic") /
                         std::string(path.substr(std::string_view("/dev/").size()));
  std::error_code error;
  const fs::path place = fs::canonical(entry, error);
  return error ? std::string() : place.string();
}

}  // namespace

bool LooksLikeGenericNode(std::string_view path) {
  if (path.substr(0, kNodePrefix.size()) != kNodePrefix) return false;
  const std::string_view number = path.substr(kNodePrefix.size());
  if (number.empty() || number.size() > 5) return false;
  for (char c : number)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

DiscoveredNodes DiscoverBridgeNodes() {
  DiscoveredNodes result;
  bridge::ReleaseDevices();
  const bridge::CountOrError found = bridge::DiscoverDevices();
  device::DeviceTable& table = device::DeviceLayer().table;
  for (device::DeviceRecord& record : table) {
    // Only mass-storage units are reached through the relay; IDE and SCSI disks never are.
    if (record.TransportKind == device::TransportKind::MassStorage) {
      result.nodes.emplace_back(record.DevicePath.data());
      if (record.HasSecondUnit) result.nodes.emplace_back(record.SecondDevicePath.data());
    }
    if (record.Mutex != 0) platform::Current<platform::NamedLocks>().Close(record.Mutex);
    record.Mutex = 0;
  }
  bridge::ReleaseDevices();
  result.problems = bridge::LinuxDiscoveryProblems();
  if (found.IsError())
    result.problems.push_back("discovery ended with code " + std::to_string(Code(found)));
  return result;
}

BridgeNodeList::BridgeNodeList(Discover discover, RefreshNote note, Clock::duration minimumInterval)
    : discover_(std::move(discover)), note_(std::move(note)), minimumInterval_(minimumInterval) {}

void BridgeNodeList::Refresh() {
  std::lock_guard refreshing(refreshing_);
  RefreshHeld();
}

void BridgeNodeList::RefreshHeld() {
  const DiscoveredNodes found = discover_();
  std::map<std::string, std::string> nodes;
  for (const std::string& node : found.nodes) nodes[node] = SysfsPlace(node);
  {
    std::lock_guard lock(mutex_);
    nodes_ = std::move(nodes);
    lastRefresh_ = Clock::now();
  }
  if (note_) note_(found);
}

bool BridgeNodeList::KnownAndUnchanged(const std::string& path) const {
  const auto known = nodes_.find(path);
  return known != nodes_.end() && known->second == SysfsPlace(path);
}

bool BridgeNodeList::Permits(std::string_view requested) {
  const std::string path(requested);
  {
    std::lock_guard lock(mutex_);
    if (KnownAndUnchanged(path)) return true;
  }
  if (!LooksLikeGenericNode(path)) return false;
  std::lock_guard refreshing(refreshing_);
  {
    std::lock_guard lock(mutex_);
    // Another client's open may have refreshed the list while this one waited.
    if (KnownAndUnchanged(path)) return true;
    if (Clock::now() - lastRefresh_ < minimumInterval_) return false;
  }
  RefreshHeld();
  std::lock_guard lock(mutex_);
  return KnownAndUnchanged(path);
}

std::vector<std::string> BridgeNodeList::Nodes() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> nodes;
  for (const auto& [node, place] : nodes_) nodes.push_back(node);
  return nodes;
}

}  // namespace burnwell::relayd
