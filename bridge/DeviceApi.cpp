#include "bridge/DeviceApi.h"

#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "common/MakerIds.h"
#include "bridge/BridgeState.h"
#include "bridge/Discovery.h"
#include "device/DeviceRecord.h"
#include "bridge/DiscoveryLinux.h"
#include "device/Transport.h"
#include "platform/Aspi.h"
#include "platform/DeviceIo.h"
#include "platform/NamedLock.h"
#include "platform/System.h"
#include "protocol/CoveringErase.h"
#include "protocol/FastTransfers.h"
#include "protocol/FlashOperations.h"
#include "protocol/VendorCommands.h"
#include "wire/VendorOpcodes.h"

namespace burnwell::bridge {

using device::DeviceError;
using device::ModuleHandle;
using device::SetLastDeviceError;
namespace {

using platform::LockHandle;
using platform::NamedLocks;
using platform::WaitResult;

NamedLocks& Locks() { return platform::Current<NamedLocks>(); }

// Waits for ownership of a lock. A wait that ends "abandoned" (the holder died) owns the lock
// all the same; it is released again at once so that no call returns while holding a lock it
// took, and the caller reports the failed wait as before.
bool Acquire(LockHandle lock, std::uint32_t timeoutMs) {
  // With a notice to give, a held lock is first tried without waiting, so that the program says
  // why it is quiet before the wait.
  BridgeLayerState& layer = BridgeLayer();
  void (*notice)() = layer.lockWaitNotice.load();
  WaitResult first = WaitResult::TimedOut;
  if (notice && timeoutMs > 0 && !layer.lockWaitNoticed.load()) {
    first = Locks().Wait(lock, 0);
    if (first == WaitResult::TimedOut && !layer.lockWaitNoticed.exchange(true)) notice();
  }
  if (first == WaitResult::TimedOut) first = Locks().Wait(lock, timeoutMs);
  switch (first) {
    case WaitResult::Signalled: return true;
    case WaitResult::Abandoned: Locks().Release(lock); return false;
    case WaitResult::TimedOut:
    case WaitResult::Failed: break;
  }
  return false;
}

std::uint32_t DeviceMutexTimeout() {
  return DeviceLayer().table.count * kDeviceMutexTimeoutPerDeviceMs;
}

void FreeAspiLibrary() {
  ModuleHandle& library = DeviceLayer().aspiLibrary;
  if (library != 0) {
    platform::Current<platform::AspiLibrary>().Free(library);
    library = 0;
  }
}

// IDENTIFY DEVICE carried to the drive behind a bridge of the PID_C kind; the answers are not
// used: the commands wake the drive path of such bridges before the flash is touched.
void WakeDriveBehindBridge(const DeviceRecord& record) {
  protocol::AtaTaskFile identify{};
  identify.read = 1;
  identify.length = wire::kBlockSize;
  identify.device = wire::kAtaDeviceRegister;
  identify.command = wire::kAtaIdentifyDevice;
  std::uint8_t buffer[wire::kBlockSize];
  protocol::VendorAtaCommand(record, identify, buffer, sizeof buffer, 0, 1);
  protocol::VendorAtaCommand(record, identify, buffer, sizeof buffer, 0, 1);
  std::uint8_t info[16];
  protocol::ReadBridgeInfo(record, info, sizeof info, 30);
}

// The frame every per-device operation shares: index and transport checks, the device's mutex
// around the work, and the work done on a copy of the record.
// The work returns the API's own int for its outcome.
template <class Work>
int WithDevice(int index, Work&& work) {
  DeviceRecord copy;
  std::uint32_t timeout = 0;
  {
    // The record is copied out under the table's guard: the table may grow meanwhile.
    std::shared_lock reading(DeviceLayer().tableGuard);
    DeviceTable& table = DeviceLayer().table;
    if (index < 0 || static_cast<std::uint32_t>(index) >= table.count)
      return Code(ApiError::BadIndex);
    copy = table.records[index];
    timeout = DeviceMutexTimeout();
  }
  if (copy.TransportKind != TransportKind::MassStorage) return Code(ApiError::NotMassStorage);
  const LockHandle mutex = copy.Mutex;
  if (!Acquire(mutex, timeout)) return Code(ApiError::LockFailed);
  const int result = work(copy);
  Locks().Release(mutex);
  return result;
}

}  // namespace

bool IsWindowsNt() { return platform::Current<platform::System>().IsWindowsNt(); }

int BridgeInitialize() {
  BridgeLayerState& state = BridgeLayer();
  ++state.apiReferences;
  if (state.apiMutex.load() == 0) {
    LockHandle mutex = Locks().Open(kApiMutexName);
    if (mutex == 0) mutex = Locks().Create(kApiMutexName);
    if (mutex == 0) {
      SetLastDeviceError(DeviceError::ApiMutex);
      return Code(ApiStart::Failed);
    }
    state.apiMutex.store(mutex);
  }
  return Code(ApiStart::Done);
}

int BridgeUninitialize() {
  if (--BridgeLayer().apiReferences > 0) return Code(ApiStart::Done);
  const LockHandle mutex = BridgeLayer().apiMutex.exchange(0);
  // Shutdown goes on whatever the wait gives.
  const WaitResult waited =
      mutex ? Locks().Wait(mutex, kShutdownMutexTimeoutMs) : WaitResult::Failed;
  ReleaseDevices();
  if (mutex != 0) {
    if (waited == WaitResult::Signalled || waited == WaitResult::Abandoned) Locks().Release(mutex);
    Locks().Close(mutex);
  }
  FreeAspiLibrary();
  return Code(ApiStart::Done);
}

CountOrError DiscoverDevices() {
  DeviceLayer().ntFlag = IsWindowsNt();
  if (!DeviceLayer().ntFlag) return DiscoverAspi();
  return BridgeLayer().discoveryFlavor.load() == DiscoveryFlavor::Windows
             ? DiscoverPassThroughWindows()
             : DiscoverPassThroughLinux();
}

void ReleaseDevices() {
  DeviceTable& table = DeviceLayer().table;
  if (table.records && IsWindowsNt()) {
    for (DeviceRecord& record : table) {
      if (record.TransportKind == TransportKind::MassStorage) {
        RelayCloseDevice(record.Handle);
      } else {
        platform::Current<platform::DeviceIo>().Close(record.Handle);
      }
      record.Handle = platform::kInvalidHandle;
    }
  }
  table.Clear();
}

int BridgeOpen(std::uint8_t* ids, std::uint32_t capacity) {
  const LockHandle mutex = BridgeLayer().apiMutex.load();
  if (!Acquire(mutex, kApiMutexTimeoutMs)) return Code(ApiError::LockFailed);

  ReleaseDevices();
  FreeAspiLibrary();
  const CountOrError found = DiscoverDevices();
  if (found.IsError() || found.Count() == 0) {
    Locks().Release(mutex);
    return Code(found);
  }
  if (BridgeLayer().discoveryFlavor.load() == DiscoveryFlavor::Windows) {
    ScanHubPortsWindows();
  } else {
    ScanHubPortsLinux();
  }

  DeviceTable& table = DeviceLayer().table;
  if (ids != nullptr && capacity != 0) {
    if (table.count > capacity) {
      Locks().Release(mutex);
      return Code(ApiError::TooManyDevices);
    }
    // Positional: a duplicate record leaves its slot at 0.
    std::memset(ids, 0, capacity);
    for (std::uint32_t i = 0; i < table.count; ++i) {
      if (table.records[i].DuplicateCount == 0)
        ids[i] = static_cast<std::uint8_t>(table.records[i].IdLetter);
    }
  }

  for (std::uint32_t i = 0; i < table.count; ++i) {
    const DeviceRecord& record = table.records[i];
    if (record.TransportKind != TransportKind::MassStorage) continue;
    if (!Acquire(record.Mutex, DeviceMutexTimeout())) {
      Locks().Release(mutex);
      return Code(ApiError::LockFailed);
    }
    if (record.InfoPresent != 0 && record.ProductId == PID_C && record.PairMatch != 0) {
      WakeDriveBehindBridge(record);
    }
    Locks().Release(record.Mutex);
  }

  Locks().Release(mutex);
  return static_cast<int>(table.count);
}

int BridgeClose() {
  DeviceTable& table = DeviceLayer().table;
  // Device mutexes one at a time, each released before the next; the API mutex last.
  for (DeviceRecord& record : table) {
    if (!Acquire(record.Mutex, DeviceMutexTimeout())) return Code(ApiError::LockFailed);
    Locks().Release(record.Mutex);
    Locks().Close(record.Mutex);
    record.Mutex = 0;
  }
  const LockHandle mutex = BridgeLayer().apiMutex.load();
  if (!Acquire(mutex, kApiMutexTimeoutMs)) return Code(ApiError::LockFailed);
  ReleaseDevices();
  Locks().Release(mutex);
  return kApiSuccess;
}

int BridgeFindById(int id) {
  const DeviceTable& table = DeviceLayer().table;
  const char letter = static_cast<char>(id & 0xFF);
  for (std::uint32_t i = 0; i < table.count; ++i) {
    if (table.records[i].IdLetter == letter) return static_cast<int>(i);
  }
  return Code(ApiError::IdNotFound);
}

int BridgeGetVersion(int id, std::uint32_t* version, std::uint32_t* firmware) {
  return BridgeGetVersionByIndex(BridgeFindById(id), version, firmware);
}

int BridgeGetVersionByIndex(int index, std::uint32_t* version, std::uint32_t* firmware) {
  return WithDevice(index, [&](const DeviceRecord& record) {
    if (version) *version = (static_cast<std::uint32_t>(record.VendorId) << 16) | record.ProductId;
    if (firmware) *firmware = record.FirmwareVersion;
    return kApiSuccess;
  });
}

int BridgeIcpSwitch(int index, std::uint32_t mode) {
  return WithDevice(index, [&](const DeviceRecord& record) {
    return Code(protocol::FlashIcpSwitch(record, mode));
  });
}

int BridgeEraseFlash(int index, platform::WindowHandle progressWindow,
                     std::uint32_t messageNumber) {
  return WithDevice(index, [&](const DeviceRecord& record) {
    return Code(protocol::FlashErase(record, progressWindow, messageNumber));
  });
}

int BridgeEraseRange(int index, std::uint32_t offset, std::uint32_t length,
                     platform::WindowHandle progressWindow, std::uint32_t messageNumber) {
  return WithDevice(index, [&](const DeviceRecord& record) {
    return Code(
        protocol::FlashEraseCovering(record, offset, length, progressWindow, messageNumber));
  });
}

int BridgeReadFlash(int index, std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length,
                    platform::WindowHandle progressWindow, std::uint32_t messageNumber,
                    protocol::TransferMode transfers) {
  return WithDevice(index, [&](const DeviceRecord& record) {
    return Code(protocol::FlashRead(record, buffer, offset, length, progressWindow, messageNumber,
                                    transfers));
  });
}

int BridgeWriteFlash(int index, const std::uint8_t* buffer, std::uint32_t offset,
                     std::uint32_t length, platform::WindowHandle progressWindow,
                     std::uint32_t messageNumber, protocol::TransferMode transfers) {
  return WithDevice(index, [&](const DeviceRecord& record) {
    return Code(protocol::FlashWrite(record, buffer, offset, length, progressWindow, messageNumber,
                                     transfers));
  });
}

}  // namespace burnwell::bridge
