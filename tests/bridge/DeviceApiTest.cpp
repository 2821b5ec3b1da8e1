// The device API over emulated bridges found on a generated machine: the id list, the negative
// codes, the reference count, the locks and their time-outs, and the wake-up of PID_C bridges.
#include "bridge/DeviceApi.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/DiscoveryLinux.h"
#include "common/MakerIds.h"
#include "bridge/BridgeState.h"
#include "device/DeviceRecord.h"
#include "device/Transport.h"
#include "sim/EmulatedBridge.h"
#include "sim/EmulatedDeviceIo.h"
#include "sim/SimClock.h"
#include "sim/machine/SysfsTree.h"
#include "tests/bridge/LinuxMachineFakes.h"
#include "tests/support/TestSupport.h"

namespace burnwell::bridge {

using device::DeviceError;
using device::DeviceLayer;
using device::LastDeviceError;
using device::TransportKind;
namespace {

using platform::LockHandle;
using platform::WaitResult;

// Named locks whose waits answer from a script, counting what the API does with them.
class ScriptedLocks final : public platform::NamedLocks {
 public:
  struct WaitCall {
    LockHandle lock;
    std::uint32_t timeoutMs;
  };

  LockHandle Open(const char* name) override {
    std::lock_guard guard(mutex_);
    const auto found = handles_.find(name);
    return found == handles_.end() ? 0 : found->second;
  }
  LockHandle Create(const char* name) override {
    std::lock_guard guard(mutex_);
    if (refuseCreate) return 0;
    return handles_.emplace(name, static_cast<LockHandle>(handles_.size() + 1)).first->second;
  }
  WaitResult Wait(LockHandle lock, std::uint32_t timeoutMs) override {
    std::lock_guard guard(mutex_);
    waits.push_back({lock, timeoutMs});
    auto& queue = answers[lock];
    if (queue.empty()) return WaitResult::Signalled;
    const WaitResult answer = queue.front();
    queue.pop_front();
    return answer;
  }
  bool Release(LockHandle lock) override {
    std::lock_guard guard(mutex_);
    ++releases[lock];
    return true;
  }
  bool Close(LockHandle lock) override {
    std::lock_guard guard(mutex_);
    ++closes[lock];
    return true;
  }

  LockHandle Handle(const std::string& name) { return Open(name.c_str()); }

  bool refuseCreate = false;
  std::map<LockHandle, std::deque<WaitResult>> answers;
  std::vector<WaitCall> waits;
  std::map<LockHandle, int> releases;
  std::map<LockHandle, int> closes;

 private:
  std::mutex mutex_;
  std::map<std::string, LockHandle> handles_;
};

class DeviceApi : public ::testing::Test {
 protected:
  DeviceApi()
      : system_(root_.Path()),
        systemGuard_(&system_),
        locksGuard_(&locks_),
        ioGuard_(&io_),
        clockGuard_(&clock_) {
    ResetBridgeLayerState();
    BridgeLayer().discoveryFlavor = DiscoveryFlavor::Linux;
  }
  ~DeviceApi() override { ResetBridgeLayerState(); }

  // Bridges on ports 1-1, 1-2, ... of bus 1, each reached through the emulator.
  void Machine(std::vector<sim::BridgeConfig> configs) {
    sim::machine::MachineSpec layout;
    for (std::size_t i = 0; i < configs.size(); ++i) {
      sim::machine::StorageSpec storage;
      storage.location = "1-" + std::to_string(i + 1);
      storage.vendorId = configs[i].vendorId;
      storage.productId = configs[i].productId;
      storage.serial = configs[i].serial;
      layout.storage.push_back(storage);
    }
    const auto units = sim::machine::WriteSystemRoot(root_.Path(), layout);
    for (std::size_t i = 0; i < configs.size(); ++i) {
      bridges_.push_back(std::make_shared<sim::EmulatedBridge>(configs[i], clock_));
      bridges_.back()->SetScsiTrace(&scsiTrace_);
      io_.Attach(units.at(i).genericNode, bridges_.back());
    }
  }

  LockHandle ApiLock() { return locks_.Handle(kApiMutexName); }
  LockHandle DeviceLock(int index) {
    char name[32];
    std::snprintf(name, sizeof name, "DeviceIndex_%02d", index);
    return locks_.Handle(name);
  }

  test::TempDir root_;
  test::FakeSystemRoot system_;
  ScriptedLocks locks_;
  sim::EmulatedDeviceIo io_;
  sim::VirtualClock clock_;
  platform::ScopedOverride<platform::System> systemGuard_;
  platform::ScopedOverride<platform::NamedLocks> locksGuard_;
  platform::ScopedOverride<platform::DeviceIo> ioGuard_;
  platform::ScopedOverride<platform::Clock> clockGuard_;
  std::vector<std::shared_ptr<sim::EmulatedBridge>> bridges_;
  std::ostringstream scsiTrace_;
};

TEST_F(DeviceApi, OpenListsEachBridgesIdLetterByPosition) {
  Machine({sim::BridgeConfig{}, sim::BridgeConfig{}});
  ASSERT_EQ(BridgeInitialize(), 1);
  std::uint8_t ids[32];
  std::fill(std::begin(ids), std::end(ids), 0xEE);
  ASSERT_EQ(BridgeOpen(ids, sizeof ids), 2);
  EXPECT_EQ(ids[0], DeviceLayer().table.records[0].IdLetter);
  EXPECT_EQ(ids[1], DeviceLayer().table.records[1].IdLetter);
  EXPECT_EQ(ids[2], 0);
  EXPECT_EQ(ids[31], 0);
  EXPECT_EQ(BridgeFindById(ids[1]), 1);
  EXPECT_EQ(BridgeClose(), 0);
  EXPECT_EQ(DeviceLayer().table.count, 0u);
}

TEST_F(DeviceApi, OpenWithoutAnIdListOnlyRebuildsTheTable) {
  Machine({sim::BridgeConfig{}});
  BridgeInitialize();
  std::uint8_t ids[4] = {9, 9, 9, 9};
  EXPECT_EQ(BridgeOpen(nullptr, 32), 1);
  EXPECT_EQ(BridgeOpen(ids, 0), 1);
  EXPECT_EQ(ids[0], 9);
}

TEST_F(DeviceApi, MoreBridgesThanRoomIsMinusTwoWithTheTableKept) {
  Machine({sim::BridgeConfig{}, sim::BridgeConfig{}, sim::BridgeConfig{}});
  BridgeInitialize();
  std::uint8_t ids[2] = {};
  EXPECT_EQ(BridgeOpen(ids, 2), Code(ApiError::TooManyDevices));
  EXPECT_EQ(DeviceLayer().table.count, 3u);
  EXPECT_EQ(locks_.releases[ApiLock()], 1);  // the API lock is not kept
}

TEST_F(DeviceApi, PerDeviceCallsCheckIndexAndTransportBeforeWaiting) {
  Machine({sim::BridgeConfig{}});
  BridgeInitialize();
  ASSERT_EQ(BridgeOpen(nullptr, 0), 1);
  locks_.waits.clear();
  std::uint32_t version = 0, firmware = 0;
  std::uint8_t buffer[16];
  EXPECT_EQ(BridgeReadFlash(-1, buffer, 0, 16, 0, 0), Code(ApiError::BadIndex));
  EXPECT_EQ(BridgeWriteFlash(1, buffer, 0, 16, 0, 0), Code(ApiError::BadIndex));
  // No record carries Q.
  EXPECT_EQ(BridgeGetVersion('Q', &version, &firmware), Code(ApiError::BadIndex));
  EXPECT_EQ(BridgeFindById('Q'), Code(ApiError::IdNotFound));
  EXPECT_TRUE(locks_.waits.empty());

  for (TransportKind kind : {TransportKind::Ide, TransportKind::Scsi, TransportKind::Unset}) {
    DeviceLayer().table.records[0].TransportKind = kind;
    EXPECT_EQ(BridgeIcpSwitch(0, 1), Code(ApiError::NotMassStorage));
    EXPECT_EQ(BridgeEraseFlash(0, 0, 0), Code(ApiError::NotMassStorage));
  }
  EXPECT_TRUE(locks_.waits.empty());
}

TEST_F(DeviceApi, VersionComesFromTheBridgeInformationUnderTheDeviceLock) {
  sim::BridgeConfig config;
  config.productId = PID_A;
  config.firmwareVersion = 0x5A513578;
  Machine({config, sim::BridgeConfig{}});
  BridgeInitialize();
  std::uint8_t ids[32] = {};
  ASSERT_EQ(BridgeOpen(ids, sizeof ids), 2);
  locks_.waits.clear();
  std::uint32_t version = 0, firmware = 0;
  EXPECT_EQ(BridgeGetVersion(ids[0], &version, &firmware), 0);
  EXPECT_EQ(version, (static_cast<std::uint32_t>(VID_MAKER) << 16) | PID_A);
  EXPECT_EQ(firmware, 0x5A513578u);
  ASSERT_EQ(locks_.waits.size(), 1u);
  EXPECT_EQ(locks_.waits[0].lock, DeviceLock(0));
  EXPECT_EQ(locks_.waits[0].timeoutMs, 2u * 5000u);  // count x 5000 ms
  EXPECT_EQ(locks_.releases[DeviceLock(0)], 2);      // once in BridgeOpen, once here
}

TEST_F(DeviceApi, ReferenceCountKeepsTheApiLockUntilTheLastUninitialize) {
  Machine({});
  EXPECT_EQ(BridgeInitialize(), 1);
  EXPECT_EQ(BridgeInitialize(), 1);
  const LockHandle api = ApiLock();
  EXPECT_EQ(BridgeUninitialize(), 1);
  EXPECT_EQ(locks_.closes[api], 0);
  EXPECT_EQ(BridgeUninitialize(), 1);
  EXPECT_EQ(locks_.closes[api], 1);
}

TEST_F(DeviceApi, InitializeFailsWhenTheApiLockCannotBeMade) {
  locks_.refuseCreate = true;
  EXPECT_EQ(BridgeInitialize(), 0);
  EXPECT_EQ(LastDeviceError(), DeviceError::ApiMutex);
}

TEST_F(DeviceApi, CloseOnAnEmptyTableWaitsOnlyForTheApiLock) {
  Machine({});
  BridgeInitialize();
  EXPECT_EQ(BridgeOpen(nullptr, 0), 0);
  locks_.waits.clear();
  EXPECT_EQ(BridgeClose(), 0);
  ASSERT_EQ(locks_.waits.size(), 1u);
  EXPECT_EQ(locks_.waits[0].lock, ApiLock());
  EXPECT_EQ(locks_.waits[0].timeoutMs, 5000u);
}

TEST_F(DeviceApi, AnAbandonedLockIsMinusFourAndIsNotKept) {
  Machine({sim::BridgeConfig{}});
  BridgeInitialize();
  locks_.answers[ApiLock()].push_back(WaitResult::Abandoned);
  EXPECT_EQ(BridgeOpen(nullptr, 0), Code(ApiError::LockFailed));
  EXPECT_EQ(locks_.releases[ApiLock()], 1);  // owned by the abandoned wait, given back

  ASSERT_EQ(BridgeOpen(nullptr, 0), 1);
  locks_.answers[DeviceLock(0)].push_back(WaitResult::Abandoned);
  const int before = locks_.releases[DeviceLock(0)];
  std::uint8_t block[16];
  EXPECT_EQ(BridgeReadFlash(0, block, 0, 16, 0, 0), Code(ApiError::LockFailed));
  EXPECT_EQ(locks_.releases[DeviceLock(0)], before + 1);
}

TEST_F(DeviceApi, TimedOutLocksAreMinusFourWithoutReleasing) {
  Machine({sim::BridgeConfig{}});
  BridgeInitialize();
  ASSERT_EQ(BridgeOpen(nullptr, 0), 1);
  const int apiReleases = locks_.releases[ApiLock()];
  locks_.answers[DeviceLock(0)].push_back(WaitResult::TimedOut);
  // The wake-up pass cannot take the device.
  EXPECT_EQ(BridgeOpen(nullptr, 0), Code(ApiError::LockFailed));
  EXPECT_EQ(locks_.releases[ApiLock()], apiReleases + 1);  // but the API lock is given back

  locks_.answers[DeviceLock(0)].push_back(WaitResult::TimedOut);
  const int deviceReleases = locks_.releases[DeviceLock(0)];
  EXPECT_EQ(BridgeIcpSwitch(0, 0), Code(ApiError::LockFailed));
  EXPECT_EQ(locks_.releases[DeviceLock(0)], deviceReleases);
  locks_.answers[DeviceLock(0)].push_back(WaitResult::TimedOut);
  EXPECT_EQ(BridgeClose(), Code(ApiError::LockFailed));
  EXPECT_EQ(DeviceLayer().table.count, 1u);  // nothing rolled back
}

// A program that must wait for a lock another program holds says so before it waits, once.
int lockWaitNotices = 0;
TEST_F(DeviceApi, AHeldLockIsToldBeforeTheWaitAndOnlyOnce) {
  Machine({sim::BridgeConfig{}});
  BridgeInitialize();
  ASSERT_EQ(BridgeOpen(nullptr, 0), 1);
  lockWaitNotices = 0;
  BridgeLayer().lockWaitNotice = [] { ++lockWaitNotices; };
  locks_.waits.clear();
  // Held when tried, then free within the wait.
  locks_.answers[DeviceLock(0)] = {WaitResult::TimedOut, WaitResult::Signalled};
  EXPECT_EQ(BridgeIcpSwitch(0, 0), 0);
  EXPECT_EQ(lockWaitNotices, 1);
  ASSERT_EQ(locks_.waits.size(), 2u);
  EXPECT_EQ(locks_.waits[0].timeoutMs, 0u);  // tried first, without waiting
  EXPECT_GT(locks_.waits[1].timeoutMs, 0u);
  // Told already: the next wait is not announced again, and ends as before.
  locks_.answers[DeviceLock(0)] = {WaitResult::TimedOut};
  EXPECT_EQ(BridgeIcpSwitch(0, 0), Code(ApiError::LockFailed));
  EXPECT_EQ(lockWaitNotices, 1);
}

TEST_F(DeviceApi, OneResetPutsEveryPartOfTheDeviceStateBack) {
  Machine({sim::BridgeConfig{}});
  ASSERT_EQ(BridgeInitialize(), 1);
  ASSERT_EQ(BridgeOpen(nullptr, 0), 1);
  device::DeviceLayerState& state = DeviceLayer();
  state.aspiLibrary = 7;
  state.useRelay = false;
  device::SetLastDeviceError(device::DeviceError::ApiMutex);
  state.relayConnections.Add(0x55);
  BridgeLayer().discoveryFlavor = DiscoveryFlavor::Windows;
  BridgeLayer().linuxDiscovery.problems.push_back("permission denied on /dev/sg9");
  ASSERT_GT(LinuxNodeHandle("/sys/devices/after-discovery"), 1u);

  ResetBridgeLayerState();

  EXPECT_EQ(state.table.count, 0u);
  EXPECT_EQ(state.table.records, nullptr);
  EXPECT_FALSE(state.ntFlag);
  EXPECT_EQ(state.aspiLibrary, 0);
  EXPECT_TRUE(state.useRelay);
  EXPECT_EQ(LastDeviceError(), device::DeviceError::None);
  EXPECT_FALSE(device::IsRelayHandle(0x55));  // a later device handle 0x55 is no relay connection
  EXPECT_EQ(BridgeLayer().apiReferences.load(), 0);
  EXPECT_EQ(BridgeLayer().apiMutex.load(), 0);
  EXPECT_EQ(BridgeLayer().discoveryFlavor.load(), kPlatformDiscoveryFlavor);
  EXPECT_TRUE(LinuxDiscoveryProblems().empty());
  EXPECT_EQ(LinuxNodeHandle("/sys/devices/after-discovery"), 1u);  // node handles start again
}

TEST_F(DeviceApi, BridgesOfProductCAreWokenWithTwoIdentifiesAndAnInformationRead) {
  sim::BridgeConfig productA;
  productA.productId = PID_A;
  Machine({sim::BridgeConfig{}, productA});
  BridgeInitialize();
  scsiTrace_.str("");
  ASSERT_EQ(BridgeOpen(nullptr, 0), 2);
  std::vector<std::string> opcodes;
  std::istringstream lines(scsiTrace_.str());
  for (std::string line; std::getline(lines, line);) opcodes.push_back(line.substr(0, 2));
  // Discovery reads both bridges' information; then only the PID_C bridge is woken.
  EXPECT_EQ(opcodes, (std::vector<std::string>{"D0", "D0", "D8", "D8", "D0"}));
}

}  // namespace
}  // namespace burnwell::bridge
