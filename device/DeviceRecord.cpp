#include "device/DeviceRecord.h"

#include <algorithm>

namespace burnwell::device {

DeviceRecord& DeviceTable::Append() {
  auto grown = std::make_unique<DeviceRecord[]>(count + 1);
  std::copy(records.get(), records.get() + count, grown.get());
  records = std::move(grown);
  return records[count++];
}

void DeviceTable::Clear() {
  records.reset();
  count = 0;
}

void RelayConnections::Add(platform::Handle handle) {
  std::lock_guard lock(mutex_);
  handles_.insert(handle);
}

void RelayConnections::Remove(platform::Handle handle) {
  std::lock_guard lock(mutex_);
  handles_.erase(handle);
  broken_.erase(handle);
}

bool RelayConnections::Contains(platform::Handle handle) const {
  std::lock_guard lock(mutex_);
  return handles_.count(handle) != 0;
}

void RelayConnections::Clear() {
  std::lock_guard lock(mutex_);
  handles_.clear();
  broken_.clear();
}

void RelayConnections::MarkBroken(platform::Handle handle) {
  std::lock_guard lock(mutex_);
  if (handles_.count(handle) != 0) broken_.insert(handle);
}

bool RelayConnections::IsBroken(platform::Handle handle) const {
  std::lock_guard lock(mutex_);
  return broken_.count(handle) != 0;
}

DeviceLayerState& DeviceLayer() {
  static DeviceLayerState state;
  return state;
}

void ResetDeviceLayerState() {
  DeviceLayerState& state = DeviceLayer();
  state.table.Clear();
  state.ntFlag = false;
  state.aspiLibrary = 0;
  state.useRelay = true;
  state.lastError.store(DeviceError::None);
  state.relayConnections.Clear();
  state.lastRelayRefusal.store(RelayRefusal::None);
}

}  // namespace burnwell::device
