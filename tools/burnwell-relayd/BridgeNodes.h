// The SCSI generic nodes of the bridges on this machine, as Linux discovery finds them: the
// only nodes burnwell-relayd lets its clients open.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace burnwell::relayd {

struct DiscoveredNodes {
  std::vector<std::string> nodes;     // "/dev/sg1", a bridge's second unit included
  std::vector<std::string> problems;  // what discovery could not look at, and why
};

// Runs Linux discovery once (directly on the devices: the caller has made sure the device
// layer does not relay to itself) and gives back the bridges' nodes. Leaves no device open.
DiscoveredNodes DiscoverBridgeNodes();

// "/dev/sg" and a number: the only shape of path a client may hope to open.
bool LooksLikeGenericNode(std::string_view path);

class BridgeNodeList {
 public:
  using Clock = std::chrono::steady_clock;
  using Discover = std::function<DiscoveredNodes()>;
  using RefreshNote = std::function<void(const DiscoveredNodes&)>;

  // `discover` finds the nodes; `note` is told every result; a discovery that a client's open
  // causes runs at most once per `minimumInterval`.
  BridgeNodeList(Discover discover, RefreshNote note,
                 Clock::duration minimumInterval = std::chrono::seconds(5));

  // Runs discovery now.
  void Refresh();

  // The device back end's node policy. A node found by the last discovery is permitted while it
  // is still the same device (its place in sysfs has not changed: a bridge unplugged and a disk
  // plugged in under the same name is not the bridge). A node path the list does not know, or
  // no longer trusts, makes a new discovery (a bridge plugged in later), at most once per
  // interval; then the new list decides.
  bool Permits(std::string_view path);

  std::vector<std::string> Nodes() const;

 private:
  void RefreshHeld();                                     // with refreshing_ held
  bool KnownAndUnchanged(const std::string& path) const;  // with mutex_ held

  Discover discover_;
  RefreshNote note_;
  const Clock::duration minimumInterval_;
  mutable std::mutex mutex_;
  std::map<std::string, std::string> nodes_;  // node path -> its sysfs place
  Clock::time_point lastRefresh_{};
  std::mutex refreshing_;  // one discovery at a time
};

}  // namespace burnwell::relayd
