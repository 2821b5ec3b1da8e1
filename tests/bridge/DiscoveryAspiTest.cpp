#include <array>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include <gtest/gtest.h>

#include "FakeWindowsMachine.h"
#include "common/Bytes.h"
#include "common/MakerIds.h"
#include "device/Aspi.h"
#include "bridge/BridgeState.h"
#include "bridge/Discovery.h"
#include "platform/Aspi.h"

namespace burnwell::bridge {

using device::DeviceLayer;
using device::DeviceRecord;
using device::kPointerSize;
using device::SC_EXEC_SCSI_CMD;
using device::SC_HA_INQUIRY;
using device::SS_COMP;
using device::SS_ERR;
using device::TransportKind;
namespace srb = device::srb;
namespace exec = device::exec;
namespace {

// An ASPI library with scripted adapters; its entry points are plain functions, so the one
// installed instance is reached through a static pointer.
class FakeAspi final : public platform::AspiLibrary {
 public:
  struct Adapter {
    std::uint8_t uniqueTargets = 0;  // HA_Unique byte 3
    bool answersInquiry = true;
    // (target, lun) -> bridge information, or none for a unit that is not a bridge.
    std::map<std::pair<int, int>, std::optional<std::array<std::uint8_t, 16>>> units;
  };

  FakeAspi() { current = this; }
  ~FakeAspi() override { current = nullptr; }

  std::vector<Adapter> adapters;
  bool libraryPresent = true;
  bool hasSupportInfo = true;
  bool hasSend = true;
  std::set<std::tuple<int, int, int>> probed;  // (adapter, target, lun) presence tests
  int loads = 0;

  platform::ModuleHandle Load(const char* name) override {
    ++loads;
    return libraryPresent && std::strcmp(name, "WNASPI32.dll") == 0 ? 7 : 0;
  }
  void* Find(platform::ModuleHandle module, const char* entry) override {
    if (module != 7) return nullptr;
    if (std::strcmp(entry, "GetASPI32SupportInfo") == 0 && hasSupportInfo) {
      return reinterpret_cast<void*>(&SupportInfo);
    }
    if (std::strcmp(entry, "SendASPI32Command") == 0 && hasSend) {
      return reinterpret_cast<void*>(&Send);
    }
    return nullptr;
  }
  void Free(platform::ModuleHandle) override {}
  platform::EventHandle NewEvent() override { return 1; }
  bool SignalEvent(platform::EventHandle) override { return true; }
  bool ClearEvent(platform::EventHandle) override { return true; }
  platform::WaitResult WaitForEvent(platform::EventHandle, std::uint32_t) override {
    return platform::WaitResult::Signalled;
  }
  bool CloseEvent(platform::EventHandle) override { return true; }

 private:
  static inline FakeAspi* current = nullptr;

  static std::uint32_t SupportInfo() {
    return 0xE100u | static_cast<std::uint32_t>(current->adapters.size());  // SS_COMP << 8
  }

  static std::uintptr_t LoadPointer(const std::uint8_t* at) {
    return kPointerSize == 8 ? static_cast<std::uintptr_t>(LoadLe64(at)) : LoadLe32(at);
  }

  static std::uint32_t Send(void* block) {
    auto* srbBytes = static_cast<std::uint8_t*>(block);
    const int adapter = srbBytes[srb::HaId];
    std::uint8_t& status = srbBytes[srb::Status];
    status = SS_ERR;
    if (adapter >= static_cast<int>(current->adapters.size())) return status;
    Adapter& a = current->adapters[adapter];
    const int target = srbBytes[8], lun = srbBytes[9];
    switch (srbBytes[srb::Cmd]) {
      case SC_HA_INQUIRY:
        if (!a.answersInquiry) return status;
        srbBytes[42 + 3] = a.uniqueTargets;
        status = SS_COMP;
        break;
      case 0x06:  // SC_GET_DISK_INFO
        current->probed.insert({adapter, target, lun});
        if (a.units.count({target, lun})) status = SS_COMP;
        break;
      case SC_EXEC_SCSI_CMD: {
        const auto unit = a.units.find({target, lun});
        const std::uint8_t* cdb = srbBytes + exec::CdbByte;
        if (unit == a.units.end() || !unit->second || cdb[0] != 0xD0 ||
            LoadBe16(cdb + 4) != VID_MAKER)
          break;
        auto* buffer = reinterpret_cast<std::uint8_t*>(LoadPointer(srbBytes + exec::BufPointer));
        std::memcpy(buffer, unit->second->data(),
                    std::min<std::uint32_t>(16, LoadLe32(srbBytes + exec::BufLen)));
        status = SS_COMP;
        break;
      }
      default: break;
    }
    return status;
  }
};

class DiscoverAspiTest : public ::testing::Test {
 protected:
  DiscoverAspiTest() { ResetBridgeLayerState(); }  // the NT flag clear: commands go through ASPI
  ~DiscoverAspiTest() override { ResetBridgeLayerState(); }

  static std::array<std::uint8_t, 16> Bridge(std::uint16_t product) {
    return test::BridgeInfoBlock(VID_MAKER, product, 0x00010203, 1, 0);
  }
  static const DeviceRecord& At(std::uint32_t i) { return DeviceLayer().table.records[i]; }

  FakeAspi aspi;
  test::FakeNamedLocks locks;

 private:
  platform::ScopedOverride<platform::AspiLibrary> aspiOverride_{&aspi};
  platform::ScopedOverride<platform::NamedLocks> locksOverride_{&locks};
};

TEST_F(DiscoverAspiTest, AnAdapterReportingZeroTargetsIsScannedOverEight) {
  aspi.adapters.resize(1);
  aspi.adapters[0].uniqueTargets = 0;
  aspi.adapters[0].units[{7, 1}] = Bridge(PID_C);

  ASSERT_EQ(DiscoverAspi(), CountOrError::Found(1));
  EXPECT_EQ(At(0).AspiTarget, 7);
  EXPECT_EQ(At(0).AspiLun, 1);
  EXPECT_TRUE(aspi.probed.count({0, 7, 1}));
  EXPECT_FALSE(aspi.probed.count({0, 8, 0}));
  EXPECT_EQ(aspi.probed.size(), 16u);
}

TEST_F(DiscoverAspiTest, LunsTwoAndHigherAreNeverProbed) {
  aspi.adapters.resize(1);
  aspi.adapters[0].uniqueTargets = 2;
  aspi.adapters[0].units[{0, 2}] = Bridge(PID_C);
  EXPECT_EQ(DiscoverAspi(), CountOrError::Found(0));
  for (const auto& [adapter, target, lun] : aspi.probed) EXPECT_LT(lun, 2);
  EXPECT_EQ(aspi.probed.size(), 4u);
}

TEST_F(DiscoverAspiTest, TwoAdaptersGiveRecordsInAdapterOrderWithTheirLocks) {
  aspi.adapters.resize(2);
  aspi.adapters[0].uniqueTargets = 4;
  aspi.adapters[0].units[{3, 0}] = Bridge(PID_A);
  aspi.adapters[0].units[{1, 0}] = std::nullopt;  // present, not a bridge
  aspi.adapters[1].uniqueTargets = 4;
  aspi.adapters[1].units[{0, 0}] = Bridge(PID_C);

  ASSERT_EQ(DiscoverAspi(), CountOrError::Found(2));
  EXPECT_EQ(At(0).AspiHostAdapter, 0);
  EXPECT_EQ(At(0).AspiTarget, 3);
  EXPECT_EQ(At(0).ProductId, PID_A);
  EXPECT_EQ(At(0).CodeSize, 0xB800u);
  EXPECT_EQ(At(1).AspiHostAdapter, 1);
  EXPECT_EQ(At(1).ProductId, PID_C);
  EXPECT_EQ(At(1).ModeFlags, 0x100u);
  EXPECT_EQ(locks.NamesCreated(), (std::vector<std::string>{"DeviceIndex_00", "DeviceIndex_01"}));
  // Only the ASPI address and the information: no kind, no letter, no handle.
  EXPECT_EQ(At(1).TransportKind, TransportKind::Unset);
  EXPECT_EQ(At(1).IdLetter, '\0');
  EXPECT_EQ(At(1).Handle, 0);
}

TEST_F(DiscoverAspiTest, AnAdapterThatDoesNotAnswerIsPassedOver) {
  aspi.adapters.resize(2);
  aspi.adapters[0].answersInquiry = false;
  aspi.adapters[0].units[{0, 0}] = Bridge(PID_C);
  aspi.adapters[1].uniqueTargets = 1;
  aspi.adapters[1].units[{0, 0}] = Bridge(PID_C);
  ASSERT_EQ(DiscoverAspi(), CountOrError::Found(1));
  EXPECT_EQ(At(0).AspiHostAdapter, 1);
}

TEST_F(DiscoverAspiTest, AMissingLibraryOrEntryPointGivesMinusEleven) {
  aspi.libraryPresent = false;
  EXPECT_EQ(DiscoverAspi(), ApiError::NoAspi);

  ResetBridgeLayerState();
  aspi.libraryPresent = true;
  aspi.hasSupportInfo = false;
  EXPECT_EQ(DiscoverAspi(), ApiError::NoAspi);
  EXPECT_EQ(DeviceLayer().table.count, 0u);

  ResetBridgeLayerState();
  aspi.hasSupportInfo = true;
  aspi.hasSend = false;
  EXPECT_EQ(DiscoverAspi(), ApiError::NoAspi);
}

TEST_F(DiscoverAspiTest, TheLibraryIsLoadedOnceAndKept) {
  aspi.adapters.resize(1);
  aspi.adapters[0].uniqueTargets = 1;
  EXPECT_EQ(DiscoverAspi(), CountOrError::Found(0));
  EXPECT_EQ(DiscoverAspi(), CountOrError::Found(0));
  EXPECT_EQ(aspi.loads, 1);
  EXPECT_EQ(DeviceLayer().aspiLibrary, 7);
}

TEST_F(DiscoverAspiTest, ALockFailureGivesMinusTwoKeepingTheRecord) {
  aspi.adapters.resize(1);
  aspi.adapters[0].uniqueTargets = 2;
  aspi.adapters[0].units[{0, 0}] = Bridge(PID_C);
  aspi.adapters[0].units[{1, 0}] = Bridge(PID_C);
  locks.FailAll(true);
  EXPECT_EQ(DiscoverAspi(), ApiError::TooManyDevices);
  EXPECT_EQ(DeviceLayer().table.count, 1u);
}

}  // namespace
}  // namespace burnwell::bridge
