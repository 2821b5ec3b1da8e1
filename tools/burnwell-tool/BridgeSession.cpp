#include "tools/burnwell-tool/BridgeSession.h"

#include "device/BridgeInfo.h"
#include "bridge/DeviceApi.h"
#include "bridge/DiscoveryLinux.h"
#include "bridge/OpenFailure.h"
#include "platform/NamedLock.h"
#include "protocol/FlashChipTable.h"
#include "tools/burnwell-tool/OpenFailure.h"

namespace burnwell::tool {

BridgeSession::BridgeSession() {
  initialized_ = bridge::BridgeInitialize() != 0;
  if (initialized_) openResult_ = bridge::BridgeOpen(nullptr, 0);
}

BridgeSession::~BridgeSession() {
  if (!initialized_) return;
  bridge::BridgeClose();
  bridge::BridgeUninitialize();
}

int BridgeSession::ReportOpenFailure(std::string_view command, std::ostream& err) const {
  if (!initialized_) {
    const std::optional<std::string> reason = platform::LastLockProblem();
    err << "burnwell-tool " << command << ": error: cannot create the device lock \""
        << bridge::kApiMutexName << "\"" << (reason ? ": " + *reason : "") << "\n";
    return Code(ExitStatus::Failed);
  }
  if (openResult_ > 0) return Code(ExitStatus::Success);
  return ExplainOpenFailure(command, openResult_, err);
}

bool UnderDeviceLock(const device::DeviceRecord& record,
                     const std::function<void(device::DeviceRecord&)>& work,
                     std::optional<std::uint32_t> timeoutMs) {
  platform::NamedLocks& locks = platform::Current<platform::NamedLocks>();
  const std::uint32_t timeout = timeoutMs.value_or(device::DeviceLayer().table.count *
                                                   bridge::kDeviceMutexTimeoutPerDeviceMs);
  const platform::WaitResult waited = locks.Wait(record.Mutex, timeout);
  if (waited == platform::WaitResult::Abandoned) locks.Release(record.Mutex);
  if (waited != platform::WaitResult::Signalled) return false;
  device::DeviceRecord copy = record;
  work(copy);
  locks.Release(record.Mutex);
  return true;
}

std::optional<std::uint32_t> DetectFlashEntry(const device::DeviceRecord& record) {
  if (std::string(MemoryKind(record)) != "spi" ||
      record.TransportKind != device::TransportKind::MassStorage)
    return std::nullopt;
  // Detection sends commands to the bridge: under its device lock, on a copy of the record.
  std::optional<std::uint32_t> entry;
  UnderDeviceLock(record, [&](device::DeviceRecord& copy) {
    if (protocol::DetectFlash(copy) == protocol::StepCode::Ok) entry = copy.FlashChipIndex;
  });
  return entry;
}

std::string MemoryText(const device::DeviceRecord& record) {
  if (std::string(MemoryKind(record)) != "spi") return bridge::MemoryWords(record);
  const std::optional<std::uint32_t> entry = DetectFlashEntry(record);
  if (!entry) return "serial flash (not identified)";
  return "serial flash " + protocol::FlashChipText(*entry);
}

std::string ResultText(int code) {
  switch (code) {
    case 0: return "ok";
    case -2:
      return bridge::LockFailureText().value_or(
          "more bridges than room in the list, or a device lock could not be made");
    case -3: return "the list of storage devices could not be read";
    case -4: return "another program holds the bridges' lock";
    case -5: return "no bridge at that index";
    case -10: return "no bridge with that id";
    case -11: return "the ASPI library is missing";
    case -15: return "the bridge is not attached as USB or FireWire mass storage";
    case -68: return "serial flash not identified";
    case -91: return "serial flash erase failed";
    case -92: return "programming failed";
    case -93: return "read failed";
    case -95: return "setting the write protection failed";
    case -96: return "clearing the write protection failed";
    case -111: return "the bridge is not in the device table";
    default: return "failed with code " + std::to_string(code);
  }
}

}  // namespace burnwell::tool
