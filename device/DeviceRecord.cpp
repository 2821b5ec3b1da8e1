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
}

}  // namespace burnwell::device
