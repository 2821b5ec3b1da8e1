#include "sim/testing/EmulatorFixture.h"

#include <cstring>

#include "device/BridgeInfo.h"

namespace burnwell::sim::testing {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

EmulatorFixture::EmulatorFixture(BridgeConfig config, Presentation presentation, std::string path)
    : clockOverride_(&clock_), ioOverride_(&io_), path_(std::move(path)) {
  device::ResetDeviceLayerState();
  device::DeviceLayer().ntFlag = true;
  device::DeviceLayer().useRelay = false;
  bridge_ = std::make_shared<EmulatedBridge>(std::move(config), clock_);
  bridge_->SetScsiTrace(&scsiTrace_);
  bridge_->SetSpiTrace(&spiTrace_);
  io_.Attach(path_, bridge_, presentation);
}

EmulatorFixture::~EmulatorFixture() {
  bridge_->SetScsiTrace(nullptr);
  bridge_->SetSpiTrace(nullptr);
  device::ResetDeviceLayerState();
}

device::DeviceRecord EmulatorFixture::OpenRecord(bool addToTable) {
  device::DeviceRecord record{};
  record.Handle = io_.Open(path_.c_str(), platform::kOpenNoAttributes);
  device::DecodeBridgeInfo(bridge_->InfoBlock().data(), record);
  record.TransportKind = device::TransportKind::MassStorage;
  record.DeviceClass = device::DeviceClass::Disk;
  std::strncpy(record.DevicePath.data(), path_.c_str(), record.DevicePath.size() - 1);
  const std::string& serial = bridge_->Config().serial;
  std::strncpy(record.SerialNumber.data(), serial.c_str(), record.SerialNumber.size() - 1);
  if (addToTable) device::DeviceLayer().table.Append() = record;
  return record;
}

std::vector<std::string> EmulatorFixture::ScsiTrace() const { return SplitLines(scsiTrace_.str()); }
std::vector<std::string> EmulatorFixture::SpiTrace() const { return SplitLines(spiTrace_.str()); }

void EmulatorFixture::ClearTraces() {
  scsiTrace_.str({});
  spiTrace_.str({});
}

}  // namespace burnwell::sim::testing
