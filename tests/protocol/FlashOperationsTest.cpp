#include "protocol/FlashOperations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "FakeBridge.h"
#include "platform/WinNames.h"

namespace burnwell::protocol {
namespace {

using test::PostedMessage;
using test::ProtocolHarness;
using Strings = std::vector<std::string>;

constexpr WindowHandle kWindow = 0x4242;
constexpr std::uint32_t kMessage = 5;

// The status poll every command is followed by when the chip is ready at once.
const Strings kPoll = {"select", "spi-w 05", "spi-r 1", "deselect"};

Strings Join(std::initializer_list<Strings> parts) {
  Strings all;
  for (const Strings& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Strings Send(const std::string& bytes) { return {"select", "spi-w " + bytes, "deselect"}; }

PostedMessage Bar(std::uint32_t message, platform::WParam w = 0, platform::LParam l = 0) {
  return {kWindow, message, w, l};
}

PostedMessage Notice(std::uint32_t index, ProgressPhase phase, std::uint32_t errorHalf,
                     std::uint32_t percent) {
  return {kWindow, kMessage, (index << 16) | static_cast<std::uint32_t>(phase),
          static_cast<platform::LParam>((errorHalf << 16) | percent)};
}

class FlashOperationsTest : public ::testing::Test {
 protected:
  FlashOperationsTest() { h.bridge.chip.busyPollsAfterWork = 0; }

  // A chip that the first probe classifies: its index is known after one probe transaction
  // and one poll (8 commands).
  void UseChip(std::vector<std::uint8_t> jedec) { h.bridge.chip.idAnswers[0x9F] = std::move(jedec); }
  static constexpr std::size_t kFirstProbeCommands = 8;

  Strings AfterDetection() const { return h.bridge.TraceFrom(kFirstProbeCommands); }

  ProtocolHarness h;
  DeviceRecord record = h.Record();
};

// --- Serial flash: the exact command sequences ---------------------------------------------

TEST_F(FlashOperationsTest, ReadingHundredBytesTakesFourPiecesAndFourSteps) {
  UseChip({0x20, 0x20, 0x13});  // entry 4: plain read 0x03
  std::iota(h.bridge.chip.memory.begin() + 0x10000, h.bridge.chip.memory.begin() + 0x10064, 1);
  std::vector<std::uint8_t> data(100);
  ASSERT_EQ(FlashRead(record, data.data(), 0x10000, 100, kWindow, 0), FlashResult::Ok);
  EXPECT_EQ(AfterDetection(),
            Join({{"select", "spi-w 03 01 00 00", "spi-r 32", "deselect"}, kPoll,
                  {"select", "spi-w 03 01 00 20", "spi-r 32", "deselect"}, kPoll,
                  {"select", "spi-w 03 01 00 40", "spi-r 32", "deselect"}, kPoll,
                  {"select", "spi-w 03 01 00 60", "spi-r 4", "deselect"}, kPoll}));
  EXPECT_EQ(h.windows.posted,
            (std::vector<PostedMessage>{Bar(PBM_SETRANGE, 0, 3 << 16), Bar(PBM_SETSTEP, 1),
                                        Bar(PBM_SETPOS), Bar(PBM_STEPIT), Bar(PBM_STEPIT),
                                        Bar(PBM_STEPIT), Bar(PBM_STEPIT)}));
  EXPECT_EQ(data[0], 1);
  EXPECT_EQ(data[99], 100);
}

TEST_F(FlashOperationsTest, FastReadSendsTheDummyByte) {
  UseChip({0xC8, 0x40, 0x13});  // entry 13: fast read 0x0B
  std::vector<std::uint8_t> data(8);
  ASSERT_EQ(FlashRead(record, data.data(), 0x13456, 8, 0, 0), FlashResult::Ok);
  EXPECT_EQ(AfterDetection(), Join({{"select", "spi-w 0B 01 34 56 00", "spi-r 8", "deselect"}, kPoll}));
  EXPECT_TRUE(h.windows.posted.empty());  // no window, no progress
}

TEST_F(FlashOperationsTest, ProgrammingThreeBytesInPageMode) {
  UseChip({0x20, 0x20, 0x13});
  const std::uint8_t bytes[] = {0x5A, 0x12, 0x34};
  ASSERT_EQ(FlashWrite(record, bytes, 11, 3, 0, 0), FlashResult::Ok);
  EXPECT_EQ(AfterDetection(), Join({Send("06"), kPoll,
                                    {"select", "spi-w 02 00 00 0B", "spi-w 5A 12 34", "deselect"},
                                    kPoll, Send("04"), kPoll}));
  EXPECT_EQ(h.bridge.chip.memory[11], 0x5A);
  EXPECT_EQ(h.bridge.chip.memory[13], 0x34);
  EXPECT_FALSE(h.bridge.chip.writeEnabled);
}

TEST_F(FlashOperationsTest, ProgrammingThreeBytesByAutoIncrement) {
  h.bridge.chip.idAnswers[0x90] = {0xBF, 0x49, 0xBF, 0x49};  // entry 6
  const std::uint8_t bytes[] = {0x5A, 0x12, 0x34};
  ASSERT_EQ(FlashWrite(record, bytes, 11, 3, 0, 0), FlashResult::Ok);
  const Strings trace = h.bridge.trace;
  const auto start = std::find(trace.begin(), trace.end(), "spi-w 06");
  ASSERT_NE(start, trace.end());
  const Strings program(start - 1, trace.end());
  EXPECT_EQ(program, Join({Send("06"), kPoll, Send("AF 00 00 0B 5A"), Send("AF 12"), Send("AF 34"),
                           {"deselect"}, kPoll, Send("04"), kPoll}));
  EXPECT_EQ(h.bridge.chip.memory[12], 0x12);
  EXPECT_EQ(h.bridge.chip.memory[13], 0x34);
  EXPECT_FALSE(h.bridge.chip.autoIncrement);
}

TEST_F(FlashOperationsTest, ProtectionSwitchWritesTheEntrysValues) {
  UseChip({0x20, 0x20, 0x13});
  ASSERT_EQ(FlashIcpSwitch(record, 1), FlashResult::Ok);
  const Strings readStatus = Join({{"select", "spi-w 05", "spi-r 1", "deselect"}, kPoll});
  EXPECT_EQ(AfterDetection(),
            Join({readStatus, Send("06"), kPoll, Send("01 0C"), kPoll, Send("04"), kPoll, readStatus}));
  EXPECT_EQ(h.bridge.chip.status, 0x0C);
  h.bridge.trace.clear();
  ASSERT_EQ(FlashIcpSwitch(record, 0), FlashResult::Ok);
  EXPECT_EQ(AfterDetection(),
            Join({readStatus, Send("06"), kPoll, Send("01 00"), kPoll, Send("04"), kPoll, readStatus}));
  EXPECT_EQ(h.bridge.chip.status, 0x00);
}

TEST_F(FlashOperationsTest, ProtectionSwitchOnChipsWithSpecialStatusWrites) {
  UseChip({0xC8, 0x40, 0x13});  // entry 13: two status bytes written together
  ASSERT_EQ(FlashIcpSwitch(record, 7), FlashResult::Ok);
  EXPECT_EQ(std::count(h.bridge.trace.begin(), h.bridge.trace.end(), "spi-w 01 7E 00"), 1);
  h.bridge.trace.clear();
  h.bridge.chip.idAnswers.clear();
  h.bridge.chip.idAnswers[0x90] = {0xBF, 0x49, 0xBF, 0x49};  // entry 6: enable write status first
  ASSERT_EQ(FlashIcpSwitch(record, 1), FlashResult::Ok);
  const Strings& t = h.bridge.trace;
  const auto write = std::find(t.begin(), t.end(), "spi-w 01 0C");
  ASSERT_NE(write, t.end());
  EXPECT_EQ(*(write - 3), "spi-w 50");
}

TEST_F(FlashOperationsTest, ChipEraseWaitsTheEntrysPollAndChecksTheStart) {
  UseChip({0x20, 0x20, 0x13});  // entry 4: 0xC7, 1500 ms
  h.bridge.chip.busyPollsAfterWork = 3;
  std::fill(h.bridge.chip.memory.begin(), h.bridge.chip.memory.end(), 0);
  ASSERT_EQ(FlashErase(record, kWindow, 0), FlashResult::Ok);
  EXPECT_EQ(AfterDetection(),
            Join({Send("06"), kPoll, Send("C7"), kPoll, kPoll, kPoll, kPoll, Send("04"), kPoll,
                  {"select", "spi-w 03 00 00 00", "spi-r 32", "deselect"}, kPoll}));
  EXPECT_EQ(h.clock.sleeps, (std::vector<std::uint32_t>{1500, 1500, 1500}));
  EXPECT_EQ(h.windows.posted,
            (std::vector<PostedMessage>{Bar(PBM_SETRANGE, 0, 100 << 16), Bar(PBM_SETSTEP, 1),
                                        Bar(PBM_SETPOS), Bar(PBM_SETRANGE, 0, 1 << 16),
                                        Bar(PBM_SETSTEP, 1), Bar(PBM_SETPOS), Bar(PBM_STEPIT)}));
}

TEST_F(FlashOperationsTest, EraseThatLeavesDataFailsTheCheck) {
  UseChip({0x20, 0x20, 0x13});
  h.FillTable(2, true);
  h.bridge.chip.eraseIgnored = true;
  h.bridge.chip.memory[31] = 0x7F;
  EXPECT_EQ(FlashErase(record, kWindow, kMessage), FlashResult::EraseFailed);
  EXPECT_EQ(h.windows.posted.back(), Notice(1, ProgressPhase::ErasingFailed, 0xFFB9, 0));
  EXPECT_EQ(h.windows.posted.front(), Notice(1, ProgressPhase::Erasing, 0, 0));
}

TEST_F(FlashOperationsTest, NoticesCarryDeviceIndexPhaseAndPercent) {
  UseChip({0x20, 0x20, 0x13});
  h.FillTable(3, true);
  std::vector<std::uint8_t> data(64);
  ASSERT_EQ(FlashRead(record, data.data(), 0, 64, kWindow, kMessage), FlashResult::Ok);
  EXPECT_EQ(h.windows.posted, (std::vector<PostedMessage>{Notice(2, ProgressPhase::Reading, 0, 0),
                                                          Notice(2, ProgressPhase::Reading, 0, 0),
                                                          Notice(2, ProgressPhase::Reading, 0, 50)}));
}

TEST_F(FlashOperationsTest, ReadFailureOnTheSecondPieceIsReportedAtFiftyPercent) {
  UseChip({0x20, 0x20, 0x13});
  h.FillTable(1, true);
  h.bridge.failAt = static_cast<int>(kFirstProbeCommands) + 8 + 2;  // second piece's data read
  std::vector<std::uint8_t> data(64);
  EXPECT_EQ(FlashRead(record, data.data(), 0, 64, kWindow, kMessage), FlashResult::ReadFailed);
  EXPECT_EQ(h.windows.posted.back(), Notice(0, ProgressPhase::ReadingFailed, 0xFFBE, 50));
  EXPECT_EQ(h.bridge.TraceFrom(kFirstProbeCommands + 8),
            (Strings{"select", "spi-w 03 00 00 20", "spi-r 32", "deselect"}));
}

TEST_F(FlashOperationsTest, BarIsResetWhenAnOperationFails) {
  UseChip({0x20, 0x20, 0x13});
  h.bridge.failAt = static_cast<int>(kFirstProbeCommands) + 1;
  std::vector<std::uint8_t> data(64);
  EXPECT_EQ(FlashRead(record, data.data(), 0, 64, kWindow, 0), FlashResult::ReadFailed);
  EXPECT_EQ(h.windows.posted.back(), Bar(PBM_SETPOS));
}

// --- Serial flash: step codes and clean-up ---------------------------------------------------

struct ProgramFault {
  std::size_t command;   // index after detection of the refused command
  std::uint32_t code;    // low half of the step code in the notice
  Strings cleanup;       // what follows the refused command
};

TEST_F(FlashOperationsTest, EachFailingProgramStepHasItsCodeAndCleanUp) {
  const Strings writeDisable = Join({Send("04"), kPoll});
  const std::vector<ProgramFault> faults = {
      {0, 0xFFC4, writeDisable},                      // write enable select: -60
      {8, 0xFFC0, Join({{"deselect"}, writeDisable})},  // command bytes: -64
      {9, 0xFFBF, Join({{"deselect"}, writeDisable})},  // program data: -65
      {10, 0xFFC1, Join({{"deselect"}, writeDisable})},  // deselect: -63, tried once more
      {12, 0xFFBD, Join({{"deselect"}, writeDisable})},  // the program poll: -67
      {15, 0xFFC3, writeDisable},                     // write disable: -61
  };
  for (const ProgramFault& fault : faults) {
    SCOPED_TRACE("command " + std::to_string(fault.command));
    ProtocolHarness fresh;
    fresh.bridge.chip.busyPollsAfterWork = 0;
    fresh.bridge.chip.idAnswers[0x9F] = {0x20, 0x20, 0x13};
    fresh.FillTable(1, true);
    fresh.bridge.failAt = static_cast<int>(kFirstProbeCommands + fault.command);
    const std::uint8_t bytes[3] = {1, 2, 3};
    EXPECT_EQ(FlashWrite(fresh.Record(), bytes, 0, 3, kWindow, kMessage),
              FlashResult::ProgramFailed);
    EXPECT_EQ(fresh.windows.posted.back(),
              Notice(0, ProgressPhase::ProgrammingFailed, fault.code, 0));
    EXPECT_EQ(fresh.bridge.TraceFrom(kFirstProbeCommands + fault.command + 1), fault.cleanup);
    EXPECT_FALSE(fresh.bridge.chip.writeEnabled);
  }
}

TEST_F(FlashOperationsTest, AnyRefusedCommandLeavesTheChipDeselectedAndLocked) {
  // Every command of each operation refused in turn: the operation fails with its own result,
  // no transaction is left open, and no operation leaves writes enabled.
  struct Operation {
    const char* name;
    FlashResult failure;
    std::function<FlashResult(const DeviceRecord&)> run;
  };
  const std::vector<std::uint8_t> image(70, 0x3C);
  std::vector<std::uint8_t> buffer(70);
  const std::vector<Operation> operations = {
      {"erase", FlashResult::EraseFailed,
       [](const DeviceRecord& r) { return FlashErase(r, kWindow, 0); }},
      {"write", FlashResult::ProgramFailed,
       [&](const DeviceRecord& r) { return FlashWrite(r, image.data(), 0x100, 70, kWindow, 0); }},
      {"read", FlashResult::ReadFailed,
       [&](const DeviceRecord& r) { return FlashRead(r, buffer.data(), 0, 70, kWindow, 0); }},
      {"protect", FlashResult::ProtectFailed,
       [](const DeviceRecord& r) { return FlashIcpSwitch(r, 1); }},
      {"unprotect", FlashResult::UnprotectFailed,
       [](const DeviceRecord& r) { return FlashIcpSwitch(r, 0); }},
  };
  for (const std::vector<std::uint8_t>& chipId :
       {std::vector<std::uint8_t>{0x20, 0x20, 0x13}, std::vector<std::uint8_t>{0x90}}) {
    for (const Operation& operation : operations) {
      std::vector<std::string> cleanTrace;
      {
        ProtocolHarness clean;
        clean.bridge.chip.busyPollsAfterWork = 0;
        if (chipId.size() == 1) clean.bridge.chip.idAnswers[0x90] = {0xBF, 0x49, 0xBF, 0x49};
        else clean.bridge.chip.idAnswers[0x9F] = chipId;
        ASSERT_EQ(operation.run(clean.Record()), FlashResult::Ok) << operation.name;
        cleanTrace = clean.bridge.trace;
      }
      const std::size_t detection = chipId.size() == 1 ? 7 * 8 : kFirstProbeCommands;
      for (std::size_t k = detection; k < cleanTrace.size(); ++k) {
        SCOPED_TRACE(std::string(operation.name) + " refused command " + std::to_string(k));
        ProtocolHarness faulty;
        faulty.bridge.chip.busyPollsAfterWork = 0;
        if (chipId.size() == 1) faulty.bridge.chip.idAnswers[0x90] = {0xBF, 0x49, 0xBF, 0x49};
        else faulty.bridge.chip.idAnswers[0x9F] = chipId;
        faulty.bridge.failAt = static_cast<int>(k);
        EXPECT_EQ(operation.run(faulty.Record()), operation.failure);
        EXPECT_FALSE(faulty.bridge.chip.selected);
        EXPECT_FALSE(faulty.bridge.chip.writeEnabled);
        EXPECT_FALSE(faulty.bridge.chip.autoIncrement);
        const std::string name = operation.name;
        if (name != "protect" && name != "unprotect") {
          EXPECT_EQ(faulty.windows.posted.back(), Bar(PBM_SETPOS));
        }
      }
    }
  }
}

TEST_F(FlashOperationsTest, EraseCommandFailureAndBusyChip) {
  UseChip({0x20, 0x20, 0x13});
  h.FillTable(1, true);
  h.bridge.failAt = static_cast<int>(kFirstProbeCommands) + 8;  // the 0xC7 byte
  EXPECT_EQ(FlashErase(record, kWindow, kMessage), FlashResult::EraseFailed);
  EXPECT_EQ(h.windows.posted.back(), Notice(0, ProgressPhase::ErasingFailed, 0xFFC0, 0));
  EXPECT_EQ(h.bridge.TraceFrom(kFirstProbeCommands + 9), Join({{"deselect"}, Send("04"), kPoll}));

  ProtocolHarness busy;
  busy.bridge.chip.idAnswers[0x9F] = {0x20, 0x20, 0x13};
  busy.FillTable(1, true);
  busy.bridge.chip.busyPollsAfterWork = 1000;  // longer than any wait
  EXPECT_EQ(FlashErase(busy.Record(), kWindow, kMessage), FlashResult::EraseFailed);
  EXPECT_EQ(busy.windows.posted.back(), Notice(0, ProgressPhase::ErasingFailed, 0xFFBD, 0));
  EXPECT_EQ(std::count(busy.clock.sleeps.begin(), busy.clock.sleeps.end(), 1500u), 100);
}

// --- Serial flash: no chip, no device ----------------------------------------------------------

TEST_F(FlashOperationsTest, WithoutAnAnsweringChipNothingIsChanged) {
  std::vector<std::uint8_t> data(16);
  EXPECT_EQ(FlashIcpSwitch(record, 1), FlashResult::FlashNotIdentified);
  EXPECT_EQ(FlashErase(record, kWindow, 0), FlashResult::FlashNotIdentified);
  EXPECT_EQ(FlashRead(record, data.data(), 0, 16, kWindow, 0), FlashResult::FlashNotIdentified);
  EXPECT_EQ(FlashWrite(record, data.data(), 0, 16, kWindow, 0), FlashResult::FlashNotIdentified);
  for (const std::string& line : h.bridge.trace)
    EXPECT_TRUE(line.rfind("spi-w 01", 0) != 0 && line != "spi-w 06") << line;
  EXPECT_TRUE(h.windows.posted.empty());
}

TEST_F(FlashOperationsTest, IcpSwitchOnEepromDeviceSendsNothing) {
  record.Byte11Set = 0;
  EXPECT_EQ(FlashIcpSwitch(record, 0), FlashResult::Ok);
  EXPECT_EQ(FlashIcpSwitch(record, 1), FlashResult::Ok);
  EXPECT_TRUE(h.bridge.commands.empty());
}

TEST_F(FlashOperationsTest, NoticesForADeviceMissingFromTheTable) {
  UseChip({0x20, 0x20, 0x13});
  std::vector<std::uint8_t> data(16);
  EXPECT_EQ(FlashRead(record, data.data(), 0, 16, kWindow, kMessage),
            FlashResult::DeviceNotInTable);
  EXPECT_EQ(h.bridge.commands.size(), kFirstProbeCommands);  // detection only
  EXPECT_TRUE(h.windows.posted.empty());
  record.Byte11Set = 0;
  h.bridge.commands.clear();
  EXPECT_EQ(FlashErase(record, kWindow, kMessage), FlashResult::DeviceNotInTable);
  EXPECT_TRUE(h.bridge.commands.empty());
}

// --- EEPROM ----------------------------------------------------------------------------------

TEST_F(FlashOperationsTest, SmallEepromEraseUsesEightBytePiecesOverTheWholeSpan) {
  record.Byte11Set = 0;
  record.ModeFlags = 0x100;
  ASSERT_EQ(FlashErase(record, kWindow, 0), FlashResult::Ok);
  ASSERT_EQ(h.bridge.trace.size(), 0x7000u / 8);
  EXPECT_EQ(h.bridge.trace[0], "ee-w 0000 8");
  EXPECT_EQ(h.bridge.trace[0x100 / 8], "ee-w 0100 0");  // the memory's end: nothing left
  EXPECT_EQ(h.bridge.trace[0x108 / 8], "ee-w 0108 8");  // past it the unsigned distance wraps
  EXPECT_EQ(h.bridge.trace.back(), "ee-w 6FF8 8");
  EXPECT_EQ(h.windows.posted[0], Bar(PBM_SETRANGE, 0, (0x7000 / 8) << 16));
  EXPECT_EQ(h.windows.posted.size(), 3u + 0x7000 / 8);
  EXPECT_EQ(h.bridge.eeprom[0x6FFF], 0);
}

TEST_F(FlashOperationsTest, LargeEepromRoundTrip) {
  record.Byte11Set = 0;
  record.ModeFlags = 0x10000;
  h.FillTable(2, true);
  std::vector<std::uint8_t> image(100);
  std::iota(image.begin(), image.end(), 7);
  ASSERT_EQ(FlashWrite(record, image.data(), 0x200, 100, kWindow, kMessage), FlashResult::Ok);
  EXPECT_EQ(h.bridge.trace, (Strings{"ee-w 0200 32", "ee-w 0220 32", "ee-w 0240 32", "ee-w 0260 4"}));
  EXPECT_EQ(h.windows.posted,
            (std::vector<PostedMessage>{Notice(1, ProgressPhase::Programming, 0, 0),
                                        Notice(1, ProgressPhase::Programming, 0, 0),
                                        Notice(1, ProgressPhase::Programming, 0, 32),
                                        Notice(1, ProgressPhase::Programming, 0, 64),
                                        Notice(1, ProgressPhase::Programming, 0, 96)}));
  std::vector<std::uint8_t> back(100);
  ASSERT_EQ(FlashRead(record, back.data(), 0x200, 100, 0, 0), FlashResult::Ok);
  EXPECT_EQ(back, image);
}

TEST_F(FlashOperationsTest, EepromFailuresReportTheirPhaseAndCode) {
  record.Byte11Set = 0;
  record.ModeFlags = 0x100;
  h.FillTable(1, true);
  std::vector<std::uint8_t> data(32);
  h.bridge.failAt = 2;
  EXPECT_EQ(FlashWrite(record, data.data(), 0, 32, kWindow, kMessage), FlashResult::ProgramFailed);
  EXPECT_EQ(h.windows.posted.back(), Notice(0, ProgressPhase::ProgrammingFailed, 0xFFA4, 50));
  h.bridge.failAt = static_cast<int>(h.bridge.commands.size()) + 1;
  EXPECT_EQ(FlashRead(record, data.data(), 0, 32, kWindow, kMessage), FlashResult::ReadFailed);
  EXPECT_EQ(h.windows.posted.back(), Notice(0, ProgressPhase::ReadingFailed, 0xFFA3, 25));
  h.bridge.failAt = static_cast<int>(h.bridge.commands.size()) + 3;
  EXPECT_EQ(FlashErase(record, kWindow, kMessage), FlashResult::ProgramFailed);
  EXPECT_EQ(h.windows.posted.back(), Notice(0, ProgressPhase::ErasingFailed, 0xFFA4, 0));
  EXPECT_EQ(h.bridge.trace.back(), "ee-w 0018 8");
}

TEST(PostProgressTest, PacksIndexPhaseErrorAndPercent) {
  test::RecordingWindows windows;
  platform::ScopedOverride<platform::WindowMessages> guard(&windows);
  PostProgress(kWindow, 0x8001, 3, ProgressPhase::ProgrammingFailed, -65, 42);
  ASSERT_EQ(windows.posted.size(), 1u);
  EXPECT_EQ(windows.posted[0].message, 0x8001u);
  EXPECT_EQ(windows.posted[0].wParam, 0x0003000Cu);
  EXPECT_EQ(windows.posted[0].lParam, static_cast<platform::LParam>(0xFFBF002Au));
}

}  // namespace
}  // namespace burnwell::protocol

namespace burnwell::protocol {
namespace {

TEST(PageBoundaryTest, PieceEndingPastAPageIsCutAtThePageEnd) {
  test::ProtocolHarness h;
  h.bridge.chip.busyPollsAfterWork = 0;
  h.bridge.chip.idAnswers[0x9F] = {0x20, 0x20, 0x13};
  std::vector<std::uint8_t> bytes(60);
  std::iota(bytes.begin(), bytes.end(), 1);
  ASSERT_EQ(FlashWrite(h.Record(), bytes.data(), 0x1F0, 60, 0, 0), FlashResult::Ok);
  std::vector<std::string> commands;
  for (const std::string& line : h.bridge.trace)
    if (line.rfind("spi-w 02", 0) == 0) commands.push_back(line);
  EXPECT_EQ(commands, (std::vector<std::string>{"spi-w 02 00 01 F0", "spi-w 02 00 02 00",
                                                "spi-w 02 00 02 20"}));
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), h.bridge.chip.memory.begin() + 0x1F0));
}

}  // namespace
}  // namespace burnwell::protocol
