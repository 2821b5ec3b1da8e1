// One discovered bridge, and the device layer's process-wide state.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <vector>

#include "platform/Handle.h"
#include "platform/IoFailure.h"
#include "platform/NamedLock.h"

namespace burnwell::device {

enum class TransportKind : std::uint32_t { Unset = 0, Ide = 1, Scsi = 2, MassStorage = 3 };
enum class DeviceClass : std::uint32_t { Other = 0, Disk = 1, CdRom = 2 };

// Device-tree node handle: opaque 32-bit value (a configuration-manager DEVINST on Windows).
using DevNode = std::uint32_t;

inline constexpr std::size_t kPathChars = 260;
inline constexpr std::size_t kLetterChars = 32;

using PathText = std::array<char, kPathChars>;
using LetterText = std::array<char, kLetterChars>;
// A USB location: bus (or host controller) and the port chain, "1-2.3".
inline constexpr std::size_t kLocationChars = 32;
using LocationText = std::array<char, kLocationChars>;

// A plain record, zero-initialised when created, filled once by discovery and then only by
// the hub port scan. Commands receive copies; strings are fixed arrays so a copy is
// self-contained.
struct DeviceRecord {
  platform::LockHandle Mutex = 0;
  platform::Handle Handle = 0;
  std::uint32_t FirmwareVersion = 0;
  std::uint32_t ModeFlags = 0;
  std::uint32_t CodeSize = 0;
  std::uint32_t DuplicateCount = 0;
  std::uint16_t InfoPresent = 0;
  std::uint32_t FlashChipIndex = 0;
  std::uint32_t HubNumber = 0;
  std::uint32_t PortNumber = 0;
  std::uint32_t PortCount = 0;
  std::uint32_t PortSpeed = 0;
  std::uint32_t UsbAddress = 0;
  std::uint32_t Byte11Set = 0;
  std::uint32_t PairMatch = 0;
  std::uint8_t AspiHostAdapter = 0;
  std::uint8_t AspiTarget = 0;
  std::uint8_t AspiLun = 0;
  device::TransportKind TransportKind = device::TransportKind::Unset;
  device::DeviceClass DeviceClass = device::DeviceClass::Other;
  std::uint16_t ProductId = 0;
  std::uint16_t VendorId = 0;
  std::uint16_t ParentProductId = 0;
  std::uint16_t ParentVendorId = 0;
  DevNode DevInst = 0;
  DevNode ParentDevInst = 0;
  DevNode GrandparentDevInst = 0;
  DevNode GreatGrandparentDevInst = 0;
  DevNode ChildDevInst = 0;
  char IdLetter = 0;
  LetterText DriveLetters{};
  PathText InstancePath{};
  PathText InstanceId{};
  PathText DevicePath{};
  PathText ParentId{};
  PathText GrandparentId{};
  PathText GreatGrandparentId{};
  PathText ChildId{};
  std::uint32_t HasSecondUnit = 0;
  LetterText FirstUnitLetters{};
  PathText SecondInstancePath{};
  PathText SecondInstanceId{};
  PathText SecondDevicePath{};
  PathText SerialNumber{};
  // The USB device's place: its bus or host controller, then the port on each hub down to it
  // ("1-2.3"); empty when not known. The same for a socket whatever is plugged into it.
  LocationText UsbLocation{};
};

// The discovered devices in discovery order; index = position. Only the device API creates,
// rebuilds and frees it; only discovery appends. The count is read by commands on any thread
// (their time-outs grow with it).
struct DeviceTable {
  std::atomic<std::uint32_t> count{0};
  std::unique_ptr<DeviceRecord[]> records;

  DeviceRecord* begin() { return records.get(); }
  DeviceRecord* end() { return records.get() + count; }
  // Grows the array by one zeroed record (new array, records copied in order) and returns it.
  DeviceRecord& Append();
  void Clear();
};

// The device layer's last-error codes (0xE601xxxx), recorded by a failed command and never
// cleared on success.
enum class DeviceError : std::uint32_t {
  None = 0,
  OutOfMemory = 0xE6010002,
  ApiMutex = 0xE6010003,
  VendorAtaCommand = 0xE601010B,
  ScsiInquiry = 0xE601010D,
  ReadBridgeInfo = 0xE601010E,
  EepromWrite = 0xE601010F,
  EepromRead = 0xE6010110,
  SpiChipSelect = 0xE6010112,
  SpiWrite = 0xE6010114,
  SpiRead = 0xE6010116,
  ScsiRead10 = 0xE601011E,
};

// Module handle of the loaded ASPI library, or 0.
using ModuleHandle = std::intptr_t;

// The relay connections RelayOpenDevice opened and RelayCloseDevice has not closed yet; used
// from several threads.
class RelayConnections {
 public:
  void Add(platform::Handle handle);
  void Remove(platform::Handle handle);
  bool Contains(platform::Handle handle) const;
  void Clear();

  // A connection whose request/reply exchange failed: a late reply could no longer be told
  // from the answer to the next request, so nothing more goes over it until it is closed.
  void MarkBroken(platform::Handle handle);
  bool IsBroken(platform::Handle handle) const;

 private:
  mutable std::mutex mutex_;
  std::set<platform::Handle> handles_;
  std::set<platform::Handle> broken_;
};

// Why the relay refused the last device open (RelayOpenDevice): a bridge another client of the
// relay has open, or a relay that serves all the connections it may.
enum class RelayRefusal : std::uint8_t { None, BridgeBusy, RelayFull };

// Commands the ASPI library never let go of (device/Aspi.cpp): it may still write into them and
// signal their events at any time, so they are kept, never freed, for the rest of the process
// (the reset leaves them too).
struct AspiLeftovers {
  std::mutex mutex;
  std::vector<std::shared_ptr<void>>& commands = *new std::vector<std::shared_ptr<void>>;
};

// The device layer's process-wide state: the device table, how commands travel, the last error.
struct DeviceLayerState {
  DeviceTable table;
  // Held shared while a per-device call reads its record, exclusively while the table changes
  // under running commands (bridges arriving and leaving while others are updated).
  std::shared_mutex tableGuard;
  bool ntFlag = false;           // pass-through (set) or ASPI (clear) for every command
  ModuleHandle aspiLibrary = 0;  // "WNASPI32.dll" once loaded
  bool useRelay = true;          // cleared for good the first time the relay cannot be opened
  std::atomic<DeviceError> lastError{DeviceError::None};  // never cleared on success
  RelayConnections relayConnections;
  std::atomic<RelayRefusal> lastRelayRefusal{RelayRefusal::None};
  AspiLeftovers aspiLeftovers;
};

// The one device-layer state of the process.
DeviceLayerState& DeviceLayer();

// Puts the device layer's state back to its start values (tests). Releases nothing: handles,
// locks and the ASPI library it forgets are not closed, ASPI leftovers are kept.
void ResetDeviceLayerState();

// The device layer's own last-error value.
inline void SetLastDeviceError(DeviceError error) { DeviceLayer().lastError.store(error); }
inline DeviceError LastDeviceError() { return DeviceLayer().lastError.load(); }

// Beside the last-error value: how the calling thread's last failed command failed (a failed
// command, a gone device, a device that stopped answering, a refused command after a stop
// request), the gravest one since the record was cleared. Per thread, as each bridge's update
// runs on its own thread.
using TransportFailure = platform::IoFailure;
inline TransportFailure LastTransportFailure() { return platform::LastIoFailure(); }
inline void ClearTransportFailure() { platform::ClearIoFailure(); }

}  // namespace burnwell::device
