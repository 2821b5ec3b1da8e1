#include "device/Aspi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/Bytes.h"
#include "device/Transport.h"

namespace burnwell::device {

using wire::SCSI_IOCTL_DATA_IN;
using wire::SCSI_IOCTL_DATA_OUT;
using wire::ScsiRequest;
namespace {

using platform::EventHandle;
using platform::ModuleHandle;
using platform::WaitResult;

// A fake "WNASPI32.dll": its SendASPI32Command records every SRB and completes execute
// requests with the scripted status, writing read data in place and signalling the event.
class FakeAspi : public platform::AspiLibrary {
 public:
  static FakeAspi* current;

  bool present = true;
  bool hasSendEntry = true;
  std::uint8_t completeWith = SS_COMP;
  bool signal = true;
  bool abortTakesEffect = false;  // an abort marks the pending block aborted and signals it
  std::vector<std::vector<std::uint8_t>> srbs;  // a copy of each block as it was sent
  void* lastExecSrb = nullptr;
  std::vector<std::string> loads;
  std::map<EventHandle, bool> events;
  int eventsCreated = 0;

  static std::uint32_t Send(void* srb) {
    auto* b = static_cast<std::uint8_t*>(srb);
    FakeAspi& self = *current;
    self.srbs.emplace_back(b, b + exec::Size);
    if (b[srb::Cmd] == SC_ABORT_SRB && self.abortTakesEffect && self.lastExecSrb) {
      self.Finish(SS_ABORTED);
      return SS_COMP;
    }
    if (b[srb::Cmd] != SC_EXEC_SCSI_CMD) return SS_COMP;
    self.lastExecSrb = srb;
    std::uintptr_t buffer = 0;
    std::uintptr_t event = 0;
    std::memcpy(&buffer, b + exec::BufPointer, sizeof buffer);
    std::memcpy(&event, b + exec::PostProc, sizeof event);
    if ((b[srb::Flags] & SRB_DIR_IN) && LoadLe32(b + exec::BufLen) > 0)
      reinterpret_cast<std::uint8_t*>(buffer)[0] = 0xA5;
    b[srb::Status] = self.completeWith;
    if (self.signal) self.events[static_cast<EventHandle>(event)] = true;
    return self.completeWith;
  }

  // What the library does when it is done with the pending block: its status, then its event.
  // False when that event had been closed already.
  bool Finish(std::uint8_t status) {
    auto* b = static_cast<std::uint8_t*>(lastExecSrb);
    std::uintptr_t event = 0;
    std::memcpy(&event, b + exec::PostProc, sizeof event);
    b[srb::Status] = status;
    const bool open = events.count(static_cast<EventHandle>(event)) == 1;
    if (open) events[static_cast<EventHandle>(event)] = true;
    return open;
  }
  std::uint8_t* PendingData() const {
    std::uintptr_t buffer = 0;
    std::memcpy(&buffer, static_cast<std::uint8_t*>(lastExecSrb) + exec::BufPointer, sizeof buffer);
    return reinterpret_cast<std::uint8_t*>(buffer);
  }

  ModuleHandle Load(const char* name) override {
    loads.emplace_back(name);
    return present ? 0x1000 : 0;
  }
  void* Find(ModuleHandle module, const char* entry) override {
    if (module != 0x1000 || !hasSendEntry || std::string(entry) != "SendASPI32Command")
      return nullptr;
    return reinterpret_cast<void*>(&FakeAspi::Send);
  }
  void Free(ModuleHandle) override {}
  EventHandle NewEvent() override {
    const EventHandle e = 0x500 + ++eventsCreated;
    events[e] = false;
    return e;
  }
  bool SignalEvent(EventHandle e) override { return events[e] = true; }
  bool ClearEvent(EventHandle e) override {
    events[e] = false;
    return true;
  }
  // Returns at once either way: a library that never signals would otherwise make the test
  // wait the command's whole time-out.
  WaitResult WaitForEvent(EventHandle e, std::uint32_t) override {
    return events.count(e) && events[e] ? WaitResult::Signalled : WaitResult::TimedOut;
  }
  bool CloseEvent(EventHandle e) override { return events.erase(e) == 1; }
};
FakeAspi* FakeAspi::current = nullptr;

class AspiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDeviceLayerState();
    FakeAspi::current = &aspi;
  }
  void TearDown() override {
    FakeAspi::current = nullptr;
    ResetDeviceLayerState();
  }

  static ScsiRequest Request(std::uint8_t dataIn, std::uint32_t length) {
    return ScsiRequest::For(
        {.cdb = {0x12, 0, 0, 0, 36, 0, 0x77},  // byte 6 lies beyond the CDB length
         .cdbLength = 6,
         .direction = wire::DataDirection{dataIn},
         .transferLength = length,
         .timeoutSeconds = 3});
  }

  FakeAspi aspi;
  platform::ScopedOverride<platform::AspiLibrary> guard{&aspi};
};

TEST_F(AspiTest, ExecuteBuildsTheRequestBlock) {
  ScsiRequest request = Request(SCSI_IOCTL_DATA_IN, 36);
  ASSERT_EQ(AspiExecute(2, 5, 1, request), 1);
  ASSERT_EQ(aspi.srbs.size(), 1u);
  const auto& b = aspi.srbs[0];
  EXPECT_EQ(b[srb::Cmd], SC_EXEC_SCSI_CMD);
  EXPECT_EQ(b[srb::HaId], 2);
  EXPECT_EQ(b[srb::Flags], 0x48);
  EXPECT_EQ(b[exec::Target], 5);
  EXPECT_EQ(b[exec::Lun], 1);
  EXPECT_EQ(LoadLe32(b.data() + exec::BufLen), 36u);
  EXPECT_EQ(b[exec::SenseLen], 32);
  EXPECT_EQ(b[exec::CdbLen], 6);
  EXPECT_EQ(b[exec::CdbByte], 0x12);
  EXPECT_EQ(b[exec::CdbByte + 4], 36);
  EXPECT_EQ(b[exec::CdbByte + 6], 0);  // only CdbLength bytes are copied
  EXPECT_EQ(request.Data()[0], 0xA5);  // the data read lands in the request
}

TEST_F(AspiTest, DirectionOutUsesFlags0x50) {
  ScsiRequest request = Request(SCSI_IOCTL_DATA_OUT, 0);
  ASSERT_EQ(AspiExecute(0, 0, 0, request), 1);
  EXPECT_EQ(aspi.srbs[0][srb::Flags], 0x50);
}

TEST_F(AspiTest, EachCommandHasItsOwnEventClosedAfterwards) {
  ScsiRequest request = Request(SCSI_IOCTL_DATA_IN, 36);
  AspiExecute(0, 0, 0, request);
  aspi.completeWith = SS_ERR;
  AspiExecute(0, 0, 0, request);
  EXPECT_EQ(aspi.eventsCreated, 2);
  EXPECT_TRUE(aspi.events.empty());
  std::uintptr_t first = 0, second = 0;
  std::memcpy(&first, aspi.srbs[0].data() + exec::PostProc, sizeof first);
  std::memcpy(&second, aspi.srbs[1].data() + exec::PostProc, sizeof second);
  EXPECT_NE(first, second);
  EXPECT_EQ(aspi.loads.size(), 1u);  // the library stays loaded between commands
}

TEST_F(AspiTest, PendingAfterTheWaitIsAbortedAndFails) {
  aspi.completeWith = SS_PENDING;
  aspi.signal = false;
  ScsiRequest request = Request(SCSI_IOCTL_DATA_IN, 36);
  EXPECT_EQ(AspiExecute(3, 0, 0, request), 0);
  ASSERT_EQ(aspi.srbs.size(), 2u);
  const auto& abortBlock = aspi.srbs[1];
  EXPECT_EQ(abortBlock[srb::Cmd], SC_ABORT_SRB);
  EXPECT_EQ(abortBlock[srb::HaId], 3);
  std::uintptr_t target = 0;
  std::memcpy(&target, abortBlock.data() + abort::ToAbort, sizeof target);
  EXPECT_EQ(target, reinterpret_cast<std::uintptr_t>(aspi.lastExecSrb));
}

TEST_F(AspiTest, AnAbortedCommandLeavesNothingTheLibraryCanStillTouch) {
  // After a wait that ran out, the library may finish the block at any later time: write its
  // data, set its status and signal its event. None of that may land in freed memory, in the
  // caller's request or on a closed event.
  for (const bool abortTakesEffect : {true, false}) {
    SCOPED_TRACE(abortTakesEffect ? "the abort takes effect" : "the abort is ignored");
    aspi.completeWith = SS_PENDING;
    aspi.signal = false;
    aspi.abortTakesEffect = abortTakesEffect;
    aspi.events.clear();
    ScsiRequest request = Request(SCSI_IOCTL_DATA_IN, 36);
    EXPECT_EQ(AspiExecute(0, 0, 0, request), 0);
    if (abortTakesEffect) {
      EXPECT_TRUE(aspi.events.empty());  // done with: its event is closed
      continue;
    }
    ASSERT_EQ(aspi.events.size(), 1u);  // still the library's: its event stays open
    aspi.PendingData()[0] = 0xA5;
    EXPECT_TRUE(aspi.Finish(SS_COMP));
    EXPECT_EQ(request.Data()[0], 0);
  }
}

TEST_F(AspiTest, OtherStatusesFailWithoutAbort) {
  for (std::uint8_t status : {SS_ABORTED, SS_ERR, std::uint8_t{0x80}}) {
    aspi.srbs.clear();
    aspi.completeWith = status;
    ScsiRequest request = Request(SCSI_IOCTL_DATA_IN, 36);
    EXPECT_EQ(AspiExecute(0, 0, 0, request), 0) << int(status);
    EXPECT_EQ(aspi.srbs.size(), 1u);
  }
}

TEST_F(AspiTest, MissingLibraryOrEntryFails) {
  ScsiRequest request = Request(SCSI_IOCTL_DATA_IN, 36);
  aspi.present = false;
  EXPECT_EQ(AspiExecute(0, 0, 0, request), 0);
  EXPECT_EQ(DeviceLayer().aspiLibrary, 0);
  aspi.present = true;
  aspi.hasSendEntry = false;
  EXPECT_EQ(AspiExecute(0, 0, 0, request), 0);
  EXPECT_TRUE(aspi.srbs.empty());
  EXPECT_TRUE(aspi.events.empty());
  EXPECT_EQ(aspi.loads, (std::vector<std::string>{"WNASPI32.dll", "WNASPI32.dll"}));
}

TEST_F(AspiTest, DataLengthBeyondTheRequestNeverReachesTheLibrary) {
  ScsiRequest request = Request(SCSI_IOCTL_DATA_IN, 513);
  EXPECT_EQ(AspiExecute(0, 0, 0, request), 0);
  EXPECT_TRUE(aspi.srbs.empty());
}

TEST_F(AspiTest, SendScsiCommandTakesTheAspiPathWithTheNtFlagClear) {
  DeviceLayer().ntFlag = false;
  DeviceRecord record;
  record.AspiHostAdapter = 1;
  record.AspiTarget = 4;
  record.AspiLun = 0;
  ScsiRequest request = Request(SCSI_IOCTL_DATA_IN, 36);
  EXPECT_EQ(SendScsiCommand(record, request, 592), 1);
  ASSERT_EQ(aspi.srbs.size(), 1u);
  EXPECT_EQ(aspi.srbs[0][srb::HaId], 1);
  EXPECT_EQ(aspi.srbs[0][exec::Target], 4);
}

}  // namespace
}  // namespace burnwell::device
