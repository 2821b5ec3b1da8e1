// The fake machine installed behind every seam discovery uses, with a fresh device layer.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "FakeWindowsMachine.h"
#include "bridge/BridgeState.h"
#include "device/DeviceRecord.h"
#include "platform/Seam.h"

namespace burnwell::test {

class DiscoveryTest : public ::testing::Test {
 protected:
  DiscoveryTest() { Reset(); }
  ~DiscoveryTest() override { Reset(); }

  static void Reset() {
    bridge::ResetBridgeLayerState();
    device::DeviceLayer().ntFlag = true;
  }
  static device::DeviceTable& Table() { return device::DeviceLayer().table; }
  static std::string Text(const device::PathText& text) { return text.data(); }
  static std::string Text(const device::LetterText& text) { return text.data(); }

  FakeWindowsMachine machine;

 private:
  platform::ScopedOverride<platform::WinDeviceServices> services_{&machine};
  platform::ScopedOverride<platform::DeviceIo> io_{&machine};
  platform::ScopedOverride<platform::NamedLocks> locks_{&machine.locks};
};

}  // namespace burnwell::test
