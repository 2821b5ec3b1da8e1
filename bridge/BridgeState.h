// The bridge layer's process-wide state: the device API's reference count and lock, which
// discovery it runs, and what Linux discovery keeps between calls.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/NamedLock.h"

namespace burnwell::bridge {

// Which pass-through discovery the device API runs: the Windows algorithm over the Windows
// device services, or the Linux one over sysfs. The platform's own unless a test chooses.
enum class DiscoveryFlavor { Windows, Linux };
#ifdef _WIN32
inline constexpr DiscoveryFlavor kPlatformDiscoveryFlavor = DiscoveryFlavor::Windows;
#else
inline constexpr DiscoveryFlavor kPlatformDiscoveryFlavor = DiscoveryFlavor::Linux;
#endif

// What Linux discovery keeps between calls: why the last discovery could not look at a unit,
// and the sysfs paths behind the node handles it gave out (handle = position + 1).
struct LinuxDiscoveryNotes {
  std::mutex mutex;
  std::vector<std::string> problems;
  std::vector<std::string> nodePaths;
};

struct BridgeLayerState {
  // BridgeInitialize calls not yet matched by BridgeUninitialize, and the "ZQ5x8xAPIMutex"
  // handle the first of them opened.
  std::atomic<int> apiReferences{0};
  std::atomic<platform::LockHandle> apiMutex{0};
  std::atomic<DiscoveryFlavor> discoveryFlavor{kPlatformDiscoveryFlavor};
  LinuxDiscoveryNotes linuxDiscovery;
  // Called once, at once, when a device-API call finds a bridge's lock held by another program
  // and starts to wait for it, so that the program says why it is quiet; none by default.
  std::atomic<void (*)()> lockWaitNotice{nullptr};
  std::atomic<bool> lockWaitNoticed{false};
};

// What a program says when it starts to wait for a bridge's lock.
inline constexpr char kLockWaitText[] =
    "waiting for the bridge's lock: another program is updating it";

// The one bridge-layer state of the process.
BridgeLayerState& BridgeLayer();

// Puts the bridge layer's state and the device layer's below it (the device table the API
// builds, device/DeviceRecord.h) back to their start values (tests). Releases nothing: handles
// and locks it forgets are not closed.
void ResetBridgeLayerState();

}  // namespace burnwell::bridge
