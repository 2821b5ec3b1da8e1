// Bridges plugged in and pulled out while others are being updated, as a station sees them: each
// rescan compares the units present with the units it knows, looks at each new unit once (opens
// it and asks for its bridge information, as discovery does) and adds a record for each new
// bridge to the device table, without rebuilding it. A unit it knows is never opened, locked or
// sent a command again, so a rescan never disturbs a bridge being updated; the table grows under
// its guard while per-device calls run. The system's own announcements wake a waiting station
// at once (the kernel's uevents through libudev on Linux, device-interface notifications through
// WinDeviceServices on Windows); a station rescans at least every kRescanIntervalMs as well, for
// emulated machines and for missed announcements.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device/DeviceRecord.h"

namespace burnwell::bridge {

// Often enough that waiting to be seen adds a few percent at most to a unit's three-second
// update; a look at sysfs or at two interface lists costs far less.
inline constexpr std::uint32_t kRescanIntervalMs = 100;
// A unit that gives no bridge information, or cannot be opened, is looked at again on every
// rescan for this long after it appeared (a node whose permissions udev has not set yet, a device
// still settling) before the answer counts.
inline constexpr std::uint32_t kSettleMs = 2000;

struct UnitArrival {
  std::uint64_t unit = 0;              // the unit's number, which its departure names
  std::optional<std::uint32_t> index;  // its record in the device table; none when unusable
  std::string location;                // USB location ("1-2.3"), empty when not known
  std::string serial;                  // USB serial number as the system reports it
  std::string problem;                 // why it could not be looked at; empty for a bridge
};

struct UnitChanges {
  std::vector<UnitArrival> arrived;
  std::vector<std::uint64_t> left;  // units pulled out since the last rescan
};

class BridgeArrivals {
 public:
  // The device API must be initialised (BridgeInitialize); the table starts empty, so the units
  // present already arrive with the first rescan. `serves` says which USB locations are looked
  // at (all when empty); a unit elsewhere is never opened.
  explicit BridgeArrivals(std::function<bool(const std::string& location)> serves = {});
  ~BridgeArrivals();
  BridgeArrivals(const BridgeArrivals&) = delete;
  BridgeArrivals& operator=(const BridgeArrivals&) = delete;

  // True while the system's announcements arrive; false: rescans are all there is.
  bool Announced() const { return watch_ != 0; }
  // Waits for an announcement or Wake, at most `limit`; false when none came.
  bool Wait(std::chrono::milliseconds limit);
  // Ends a Wait from another thread.
  void Wake();

  UnitChanges Rescan();

  // A record whose unit has left, once nothing works on it any more: its handle is closed and
  // its slot takes a later arrival (keeping the slot's lock).
  void Release(std::uint32_t index);

 private:
  struct Known {
    std::uint64_t unit = 0;  // 0: not a unit (no bridge), or not settled yet
    std::optional<std::uint32_t> index;
    std::chrono::steady_clock::time_point firstSeen;
    bool settled = false;
  };
  struct Present;
  struct Probed;
  std::vector<Present> ListPresent();
  Probed Probe(const Present& unit);
  std::optional<std::uint32_t> TakeFreeSlot();  // the lowest slot released, if any
  // Joins a probed bridge to the table, with its guard held: merged into its first unit's
  // record, or stored in a free slot or a new record.
  Probed Join(device::DeviceRecord* first, const std::function<void(device::DeviceRecord&)>& merge,
              const std::function<bool(std::optional<std::uint32_t>)>& store);
  void ReleaseSlot(std::uint32_t index);  // with the table's guard held

  std::function<bool(const std::string&)> serves_;
  std::map<std::string, Known> known_;      // by the unit's key
  std::set<std::uint32_t> presentIndexes_;  // records whose unit is plugged in
  std::vector<std::uint32_t> freeSlots_;
  std::uint64_t nextUnit_ = 1;
  std::intptr_t watch_ = 0;
  bool windowsFlavor_ = false;
  std::mutex mutex_;
  std::condition_variable announced_;
  bool pending_ = false;
};

}  // namespace burnwell::bridge
