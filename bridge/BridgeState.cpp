#include "bridge/BridgeState.h"

#include "device/DeviceRecord.h"

namespace burnwell::bridge {

BridgeLayerState& BridgeLayer() {
  static BridgeLayerState state;
  return state;
}

void ResetBridgeLayerState() {
  device::ResetDeviceLayerState();
  BridgeLayerState& state = BridgeLayer();
  state.apiReferences.store(0);
  state.apiMutex.store(0);
  state.discoveryFlavor.store(kPlatformDiscoveryFlavor);
  state.lockWaitNotice.store(nullptr);
  state.lockWaitNoticed.store(false);
  std::lock_guard lock(state.linuxDiscovery.mutex);
  state.linuxDiscovery.problems.clear();
  state.linuxDiscovery.nodePaths.clear();
}

}  // namespace burnwell::bridge
