// What the bridge commands of burnwell-tool share: the device API opened for the length of one
// command, and the texts of its result codes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "bridge/BridgeNames.h"
#include "common/ExitStatus.h"
#include "device/DeviceRecord.h"

namespace burnwell::tool {

// BridgeInitialize and BridgeOpen on construction; BridgeClose and BridgeUninitialize when it
// ends, whatever happened in between.
class BridgeSession {
 public:
  BridgeSession();
  ~BridgeSession();
  BridgeSession(const BridgeSession&) = delete;
  BridgeSession& operator=(const BridgeSession&) = delete;

  bool Initialized() const { return initialized_; }
  // BridgeOpen's result: the number of bridges, 0 for none, or a negative device-API code.
  int OpenResult() const { return openResult_; }

  // Writes what the caller should be told when the open found nothing or failed, and returns
  // the exit status for it (Failed for errors, NoBridge for none); Success when bridges were found.
  int ReportOpenFailure(std::string_view command, std::ostream& err) const;

 private:
  bool initialized_ = false;
  int openResult_ = 0;
};

using bridge::MemoryKind;

// Runs work on a copy of the record under the bridge's device lock, waited for at most
// timeoutMs (the device API's own wait when not given); false, with work not run, when the lock
// was not had: another program is using the bridge.
bool UnderDeviceLock(const device::DeviceRecord& record,
                     const std::function<void(device::DeviceRecord&)>& work,
                     std::optional<std::uint32_t> timeoutMs = std::nullopt);

// The serial flash's chip-table entry, found by sending the identification probes to the
// bridge under its device lock; nothing for an EEPROM bridge or when detection fails.
std::optional<std::uint32_t> DetectFlashEntry(const device::DeviceRecord& record);

// The bridge's memory for people: "serial flash entry 11 (512 KiB)", "EEPROM 256 bytes".
std::string MemoryText(const device::DeviceRecord& record);

// The text of a device-API or flash-operation result code ("ok", "read failed", ...).
std::string ResultText(int code);

}  // namespace burnwell::tool
