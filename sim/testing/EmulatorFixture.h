// Everything a test needs to drive the tool's device and protocol layers against an emulated
// bridge in process: a virtual clock installed as the platform clock, an EmulatedDeviceIo
// installed as the platform's device I/O, a bridge attached at a device path, and a device
// record for it as discovery would have left it (NT flag set, relay off).
//
//   sim::testing::EmulatorFixture emu(sim::BridgeConfig::WithChip("SST25VF010A"));
//   device::DeviceRecord record = emu.OpenRecord();
//   ... call SpiChipSelect(record, 1), FlashRead(record, ...) ...
//   EXPECT_EQ(emu.SpiTrace(), std::vector<std::string>{"9F > C2 20 11", ...});
//
// The fixture resets the device layer's process-wide state when it starts and when it ends.
// Every command costs the bridge's latency on the virtual clock (300 us by default), as a USB
// round trip does; a chip that is still busy ignores commands, so with latencyUs = 0 commands
// sent back to back without polling (auto-increment bytes) can be lost, as on real hardware
// behind a bridge with no delay.
#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "device/DeviceRecord.h"
#include "platform/Clock.h"
#include "platform/DeviceIo.h"
#include "sim/EmulatedBridge.h"
#include "sim/EmulatedDeviceIo.h"
#include "sim/SimClock.h"

namespace burnwell::sim::testing {

inline constexpr const char* kDefaultDevicePath =
    "\\\\?\\usbstor#disk&ven_tessalin&prod_usb-sata_bridge&rev_0001#zq5x8x00000001&0#"
    "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

class EmulatorFixture {
 public:
  explicit EmulatorFixture(BridgeConfig config = BridgeConfig{},
                           Presentation presentation = Presentation::MassStorage,
                           std::string path = kDefaultDevicePath);
  ~EmulatorFixture();
  EmulatorFixture(const EmulatorFixture&) = delete;
  EmulatorFixture& operator=(const EmulatorFixture&) = delete;

  EmulatedBridge& Bridge() { return *bridge_; }
  std::shared_ptr<EmulatedBridge> SharedBridge() { return bridge_; }
  VirtualClock& Clock() { return clock_; }
  EmulatedDeviceIo& Io() { return io_; }
  const std::string& Path() const { return path_; }

  // Opens the device path and returns a record as discovery fills it from the bridge
  // information (IDs, firmware version, code size, ModeFlags, Byte11Set, PairMatch), with
  // TransportKind MassStorage. With addToTable the record is also appended to the
  // DeviceTable, so that progress notices and the time-out rule find it.
  device::DeviceRecord OpenRecord(bool addToTable = true);

  // The traces written so far, one element per line.
  std::vector<std::string> ScsiTrace() const;
  std::vector<std::string> SpiTrace() const;
  void ClearTraces();

 private:
  VirtualClock clock_;
  EmulatedDeviceIo io_;
  platform::ScopedOverride<platform::Clock> clockOverride_;
  platform::ScopedOverride<platform::DeviceIo> ioOverride_;
  std::string path_;
  std::ostringstream scsiTrace_;
  std::ostringstream spiTrace_;
  std::shared_ptr<EmulatedBridge> bridge_;
};

std::vector<std::string> SplitLines(const std::string& text);

}  // namespace burnwell::sim::testing
