#include "protocol/FlashOperations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "ProtocolHarness.h"
#include "platform/WinNames.h"
#include "sim/FlashChip.h"

namespace burnwell::protocol {
namespace {

using test::PostedMessage;
using test::ProtocolHarness;
using test::ReadyChip;
using test::Strings;
using test::WithChip;
using test::WithEeprom;

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

// Chips that the first probe classifies: their index is known after one probe transaction and
// one poll (8 commands). Each is ready at the first poll unless a test says otherwise.
constexpr std::size_t kFirstProbeCommands = 8;
constexpr const char* kEntry4Chip = "M25P16";     // answers 20 20 15 to 0x9F
constexpr const char* kEntry13Chip = "GD25Q40C";  // answers C8 40 13 to 0x9F
// Answers BF 49 to the 0x90 probe of entry 6, the seventh probe.
constexpr const char* kEntry6Chip = "SST25VF010A";

using FlashOperationsTest = ::testing::Test;

// --- Serial flash: the exact command sequences ---------------------------------------------

TEST_F(FlashOperationsTest, ReadingHundredBytesTakesFourPiecesAndFourSteps) {
  ProtocolHarness h(WithChip(ReadyChip(kEntry4Chip)));  // entry 4: plain read 0x03
  DeviceRecord record = h.Record();
  std::iota(h.Memory().begin() + 0x10000, h.Memory().begin() + 0x10064, 1);
  std::vector<std::uint8_t> data(100);
  ASSERT_EQ(FlashRead(record, data.data(), 0x10000, 100, kWindow, 0), FlashResult::Ok);
  EXPECT_EQ(h.Trace(kFirstProbeCommands),
            Join({{"select", "spi-w 03 01 00 00", "spi-r 32", "deselect"},
                  kPoll,
                  {"select", "spi-w 03 01 00 20", "spi-r 32", "deselect"},
                  kPoll,
                  {"select", "spi-w 03 01 00 40", "spi-r 32", "deselect"},
                  kPoll,
                  {"select", "spi-w 03 01 00 60", "spi-r 4", "deselect"},
                  kPoll}));
  EXPECT_EQ(h.windows.posted,
            (std::vector<PostedMessage>{Bar(PBM_SETRANGE, 0, 3 << 16), Bar(PBM_SETSTEP, 1),
                                        Bar(PBM_SETPOS), Bar(PBM_STEPIT), Bar(PBM_STEPIT),
                                        Bar(PBM_STEPIT), Bar(PBM_STEPIT)}));
  EXPECT_EQ(data[0], 1);
  EXPECT_EQ(data[99], 100);
}

TEST_F(FlashOperationsTest, FastReadSendsTheDummyByte) {
  ProtocolHarness h(WithChip(ReadyChip(kEntry13Chip)));  // entry 13: fast read 0x0B
  DeviceRecord record = h.Record();
  std::vector<std::uint8_t> data(8);
  ASSERT_EQ(FlashRead(record, data.data(), 0x13456, 8, 0, 0), FlashResult::Ok);
  EXPECT_EQ(h.Trace(kFirstProbeCommands),
            Join({{"select", "spi-w 0B 01 34 56 00", "spi-r 8", "deselect"}, kPoll}));
  EXPECT_TRUE(h.windows.posted.empty());  // no window, no progress
}

TEST_F(FlashOperationsTest, ProgrammingThreeBytesInPageMode) {
  ProtocolHarness h(WithChip(ReadyChip(kEntry4Chip)));
  DeviceRecord record = h.Record();
  const std::uint8_t bytes[] = {0x5A, 0x12, 0x34};
  ASSERT_EQ(FlashWrite(record, bytes, 11, 3, 0, 0), FlashResult::Ok);
  EXPECT_EQ(h.Trace(kFirstProbeCommands),
            Join({Send("06"),
                  kPoll,
                  {"select", "spi-w 02 00 00 0B", "spi-w 5A 12 34", "deselect"},
                  kPoll,
                  Send("04"),
                  kPoll}));
  EXPECT_EQ(h.Memory()[11], 0x5A);
  EXPECT_EQ(h.Memory()[13], 0x34);
  EXPECT_FALSE(h.Chip().WriteEnabled());
}

TEST_F(FlashOperationsTest, ProgrammingThreeBytesByAutoIncrement) {
  ProtocolHarness h(WithChip(ReadyChip(kEntry6Chip)));  // entry 6
  DeviceRecord record = h.Record();
  const std::uint8_t bytes[] = {0x5A, 0x12, 0x34};
  ASSERT_EQ(FlashWrite(record, bytes, 11, 3, 0, 0), FlashResult::Ok);
  const Strings trace = h.Trace();
  const auto start = std::find(trace.begin(), trace.end(), "spi-w 06");
  ASSERT_NE(start, trace.end());
  const Strings program(start - 1, trace.end());
  EXPECT_EQ(program, Join({Send("06"),
                           kPoll,
                           Send("AF 00 00 0B 5A"),
                           Send("AF 12"),
                           Send("AF 34"),
                           {"deselect"},
                           kPoll,
                           Send("04"),
                           kPoll}));
  EXPECT_EQ(h.Memory()[12], 0x12);
  EXPECT_EQ(h.Memory()[13], 0x34);
  EXPECT_FALSE(h.Chip().AutoIncrementActive());
}

TEST_F(FlashOperationsTest, ProtectionSwitchWritesTheEntrysValues) {
  ProtocolHarness h(WithChip(ReadyChip(kEntry4Chip)));
  DeviceRecord record = h.Record();
  ASSERT_EQ(FlashIcpSwitch(record, 1), FlashResult::Ok);
  const Strings readStatus = Join({{"select", "spi-w 05", "spi-r 1", "deselect"}, kPoll});
  EXPECT_EQ(h.Trace(kFirstProbeCommands), Join({readStatus, Send("06"), kPoll, Send("01 0C"), kPoll,
                                                Send("04"), kPoll, readStatus}));
  EXPECT_EQ(h.Chip().Status(), 0x0C);
  h.io.commands.clear();
  ASSERT_EQ(FlashIcpSwitch(record, 0), FlashResult::Ok);
  EXPECT_EQ(h.Trace(kFirstProbeCommands), Join({readStatus, Send("06"), kPoll, Send("01 00"), kPoll,
                                                Send("04"), kPoll, readStatus}));
  EXPECT_EQ(h.Chip().Status(), 0x00);
}

TEST_F(FlashOperationsTest, ProtectionSwitchOnChipsWithSpecialStatusWrites) {
  // Entry 13: two status bytes written together.
  ProtocolHarness h(WithChip(ReadyChip(kEntry13Chip)));
  ASSERT_EQ(FlashIcpSwitch(h.Record(), 7), FlashResult::Ok);
  const Strings trace = h.Trace();
  EXPECT_EQ(std::count(trace.begin(), trace.end(), "spi-w 01 7E 00"), 1);
  ProtocolHarness sst(WithChip(ReadyChip(kEntry6Chip)));  // entry 6: enable write status first
  ASSERT_EQ(FlashIcpSwitch(sst.Record(), 1), FlashResult::Ok);
  const Strings t = sst.Trace();
  const auto write = std::find(t.begin(), t.end(), "spi-w 01 0C");
  ASSERT_NE(write, t.end());
  EXPECT_EQ(*(write - 3), "spi-w 50");
}

TEST_F(FlashOperationsTest, ChipEraseWaitsTheEntrysPollAndChecksTheStart) {
  sim::ChipDescription chip = ReadyChip(kEntry4Chip);  // entry 4: 0xC7, 1500 ms
  chip.chipEraseUs = 4'000'000;                        // busy at three polls 1500 ms apart
  ProtocolHarness h(WithChip(chip));
  DeviceRecord record = h.Record();
  std::fill(h.Memory().begin(), h.Memory().end(), 0);
  ASSERT_EQ(FlashErase(record, kWindow, 0), FlashResult::Ok);
  EXPECT_EQ(h.Trace(kFirstProbeCommands),
            Join({Send("06"),
                  kPoll,
                  Send("C7"),
                  kPoll,
                  kPoll,
                  kPoll,
                  kPoll,
                  Send("04"),
                  kPoll,
                  {"select", "spi-w 03 00 00 00", "spi-r 32", "deselect"},
                  kPoll}));
  EXPECT_EQ(h.clock.sleeps, (std::vector<std::uint32_t>{1500, 1500, 1500}));
  EXPECT_EQ(h.windows.posted,
            (std::vector<PostedMessage>{Bar(PBM_SETRANGE, 0, 100 << 16), Bar(PBM_SETSTEP, 1),
                                        Bar(PBM_SETPOS), Bar(PBM_SETRANGE, 0, 1 << 16),
                                        Bar(PBM_SETSTEP, 1), Bar(PBM_SETPOS), Bar(PBM_STEPIT)}));
}

TEST_F(FlashOperationsTest, EraseThatLeavesDataFailsTheCheck) {
  ProtocolHarness h(WithChip(ReadyChip(kEntry4Chip)));
  DeviceRecord record = h.Record();
  h.FillTable(2, true);
  h.Chip().SetStatusForTest(0, 0x1C);  // every block protected: the chip refuses the erase
  h.Memory()[31] = 0x7F;
  EXPECT_EQ(FlashErase(record, kWindow, kMessage), FlashResult::EraseFailed);
  EXPECT_EQ(h.windows.posted.back(), Notice(1, ProgressPhase::ErasingFailed, 0xFFB9, 0));
  EXPECT_EQ(h.windows.posted.front(), Notice(1, ProgressPhase::Erasing, 0, 0));
}

TEST_F(FlashOperationsTest, NoticesCarryDeviceIndexPhaseAndPercent) {
  ProtocolHarness h(WithChip(ReadyChip(kEntry4Chip)));
  DeviceRecord record = h.Record();
  h.FillTable(3, true);
  std::vector<std::uint8_t> data(64);
  ASSERT_EQ(FlashRead(record, data.data(), 0, 64, kWindow, kMessage), FlashResult::Ok);
  EXPECT_EQ(h.windows.posted,
            (std::vector<PostedMessage>{Notice(2, ProgressPhase::Reading, 0, 0),
                                        Notice(2, ProgressPhase::Reading, 0, 0),
                                        Notice(2, ProgressPhase::Reading, 0, 50)}));
}

TEST_F(FlashOperationsTest, ReadFailureOnTheSecondPieceIsReportedAtFiftyPercent) {
  ProtocolHarness h(WithChip(ReadyChip(kEntry4Chip)));
  DeviceRecord record = h.Record();
  h.FillTable(1, true);
  h.FailCommand(kFirstProbeCommands + 8 + 2);  // second piece's data read
  std::vector<std::uint8_t> data(64);
  EXPECT_EQ(FlashRead(record, data.data(), 0, 64, kWindow, kMessage), FlashResult::ReadFailed);
  EXPECT_EQ(h.windows.posted.back(), Notice(0, ProgressPhase::ReadingFailed, 0xFFBE, 50));
  EXPECT_EQ(h.Trace(kFirstProbeCommands + 8),
            (Strings{"select", "spi-w 03 00 00 20", "spi-r 32", "deselect"}));
}

TEST_F(FlashOperationsTest, BarIsResetWhenAnOperationFails) {
  ProtocolHarness h(WithChip(ReadyChip(kEntry4Chip)));
  DeviceRecord record = h.Record();
  h.FailCommand(kFirstProbeCommands + 1);
  std::vector<std::uint8_t> data(64);
  EXPECT_EQ(FlashRead(record, data.data(), 0, 64, kWindow, 0), FlashResult::ReadFailed);
  EXPECT_EQ(h.windows.posted.back(), Bar(PBM_SETPOS));
}

// --- Serial flash: step codes and clean-up ---------------------------------------------------

struct ProgramFault {
  std::size_t command;          // index after detection of the refused command
  std::uint32_t code;           // low half of the step code in the notice
  Strings cleanup;              // what follows the refused command
  std::size_t alsoRefused = 0;  // nonzero: the index of a second refused command
};

TEST_F(FlashOperationsTest, EachFailingProgramStepHasItsCodeAndCleanUp) {
  const Strings writeDisable = Join({Send("04"), kPoll});
  const std::vector<ProgramFault> faults = {
      {0, 0xFFC4, writeDisable},                         // write enable select: -60
      {8, 0xFFC0, Join({{"deselect"}, writeDisable})},   // command bytes: -64
      {9, 0xFFBF, Join({{"deselect"}, writeDisable})},   // program data: -65
      {10, 0xFFC1, Join({{"deselect"}, writeDisable})},  // deselect: -63, tried once more
      {12, 0xFFBD, Join({{"deselect"}, writeDisable})},  // the program poll: -67
      {15, 0xFFC3, writeDisable},                        // write disable: -61
      // The clean-up deselect refused too: tried once more, or the write disable would land
      // in the still-open transaction.
      {8, 0xFFC0, Join({{"deselect", "deselect"}, writeDisable}), 9},
      {9, 0xFFBF, Join({{"deselect", "deselect"}, writeDisable}), 10},
  };
  for (const ProgramFault& fault : faults) {
    SCOPED_TRACE("command " + std::to_string(fault.command));
    ProtocolHarness fresh(WithChip(ReadyChip(kEntry4Chip)));
    fresh.FillTable(1, true);
    fresh.FailCommand(kFirstProbeCommands + fault.command);
    if (fault.alsoRefused) fresh.FailCommand(kFirstProbeCommands + fault.alsoRefused);
    const std::uint8_t bytes[3] = {1, 2, 3};
    EXPECT_EQ(FlashWrite(fresh.Record(), bytes, 0, 3, kWindow, kMessage),
              FlashResult::ProgramFailed);
    EXPECT_EQ(fresh.windows.posted.back(),
              Notice(0, ProgressPhase::ProgrammingFailed, fault.code, 0));
    EXPECT_EQ(fresh.Trace(kFirstProbeCommands + fault.command + 1), fault.cleanup);
    EXPECT_FALSE(fresh.Chip().WriteEnabled());
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
  for (const char* model : {kEntry4Chip, kEntry6Chip}) {
    for (const Operation& operation : operations) {
      std::vector<std::string> cleanTrace;
      {
        ProtocolHarness clean(WithChip(ReadyChip(model)));
        ASSERT_EQ(operation.run(clean.Record()), FlashResult::Ok) << operation.name;
        cleanTrace = clean.Trace();
      }
      const std::size_t detection = model == kEntry6Chip ? 7 * 8 : kFirstProbeCommands;
      for (std::size_t k = detection; k < cleanTrace.size(); ++k) {
        SCOPED_TRACE(std::string(operation.name) + " refused command " + std::to_string(k));
        ProtocolHarness faulty(WithChip(ReadyChip(model)));
        faulty.FailCommand(k);
        EXPECT_EQ(operation.run(faulty.Record()), operation.failure);
        EXPECT_FALSE(faulty.Bridge().ChipSelected());
        EXPECT_FALSE(faulty.Chip().WriteEnabled());
        EXPECT_FALSE(faulty.Chip().AutoIncrementActive());
        const std::string name = operation.name;
        if (name != "protect" && name != "unprotect") {
          EXPECT_EQ(faulty.windows.posted.back(), Bar(PBM_SETPOS));
        }
      }
    }
  }
}

TEST_F(FlashOperationsTest, EraseCommandFailureAndBusyChip) {
  ProtocolHarness h(WithChip(ReadyChip(kEntry4Chip)));
  DeviceRecord record = h.Record();
  h.FillTable(1, true);
  h.FailCommand(kFirstProbeCommands + 8);  // the 0xC7 byte
  EXPECT_EQ(FlashErase(record, kWindow, kMessage), FlashResult::EraseFailed);
  EXPECT_EQ(h.windows.posted.back(), Notice(0, ProgressPhase::ErasingFailed, 0xFFC0, 0));
  EXPECT_EQ(h.Trace(kFirstProbeCommands + 9), Join({{"deselect"}, Send("04"), kPoll}));

  sim::ChipDescription chip = ReadyChip(kEntry4Chip);
  chip.chipEraseUs = 1000 * 1'500'000;  // longer than any wait
  ProtocolHarness busy(WithChip(chip));
  busy.FillTable(1, true);
  EXPECT_EQ(FlashErase(busy.Record(), kWindow, kMessage), FlashResult::EraseFailed);
  EXPECT_EQ(busy.windows.posted.back(), Notice(0, ProgressPhase::ErasingFailed, 0xFFBD, 0));
  EXPECT_EQ(std::count(busy.clock.sleeps.begin(), busy.clock.sleeps.end(), 1500u), 100);
}

// --- Serial flash: no chip, no device ----------------------------------------------------------

TEST_F(FlashOperationsTest, WithoutAnAnsweringChipNothingIsChanged) {
  ProtocolHarness h(WithChip(test::UnidentifiedChip()));
  DeviceRecord record = h.Record();
  std::vector<std::uint8_t> data(16);
  EXPECT_EQ(FlashIcpSwitch(record, 1), FlashResult::FlashNotIdentified);
  EXPECT_EQ(FlashErase(record, kWindow, 0), FlashResult::FlashNotIdentified);
  EXPECT_EQ(FlashRead(record, data.data(), 0, 16, kWindow, 0), FlashResult::FlashNotIdentified);
  EXPECT_EQ(FlashWrite(record, data.data(), 0, 16, kWindow, 0), FlashResult::FlashNotIdentified);
  for (const std::string& line : h.Trace())
    EXPECT_TRUE(line.rfind("spi-w 01", 0) != 0 && line != "spi-w 06") << line;
  EXPECT_TRUE(h.windows.posted.empty());
}

TEST_F(FlashOperationsTest, IcpSwitchOnEepromDeviceSendsNothing) {
  ProtocolHarness h;
  DeviceRecord record = h.Record();
  record.Byte11Set = 0;
  EXPECT_EQ(FlashIcpSwitch(record, 0), FlashResult::Ok);
  EXPECT_EQ(FlashIcpSwitch(record, 1), FlashResult::Ok);
  EXPECT_TRUE(h.io.commands.empty());
}

TEST_F(FlashOperationsTest, NoticesForADeviceMissingFromTheTable) {
  ProtocolHarness h(WithChip(ReadyChip(kEntry4Chip)));
  DeviceRecord record = h.Record();
  std::vector<std::uint8_t> data(16);
  EXPECT_EQ(FlashRead(record, data.data(), 0, 16, kWindow, kMessage),
            FlashResult::DeviceNotInTable);
  EXPECT_EQ(h.io.commands.size(), kFirstProbeCommands);  // detection only
  EXPECT_TRUE(h.windows.posted.empty());
  record.Byte11Set = 0;
  h.io.commands.clear();
  EXPECT_EQ(FlashErase(record, kWindow, kMessage), FlashResult::DeviceNotInTable);
  EXPECT_TRUE(h.io.commands.empty());
}

// --- EEPROM ----------------------------------------------------------------------------------

TEST_F(FlashOperationsTest, SmallEepromEraseUsesEightBytePiecesOverTheWholeSpan) {
  // The record says 256 bytes; the bridge carries the 64 KiB part, which keeps every write.
  ProtocolHarness h(WithEeprom());
  DeviceRecord record = h.Record();
  record.Byte11Set = 0;
  record.ModeFlags = 0x100;
  ASSERT_EQ(FlashErase(record, kWindow, 0), FlashResult::Ok);
  const Strings trace = h.Trace();
  ASSERT_EQ(trace.size(), 0x7000u / 8);
  EXPECT_EQ(trace[0], "ee-w 0000 8");
  EXPECT_EQ(trace[0x100 / 8], "ee-w 0100 0");  // the memory's end: nothing left
  EXPECT_EQ(trace[0x108 / 8], "ee-w 0108 8");  // past it the unsigned distance wraps
  EXPECT_EQ(trace.back(), "ee-w 6FF8 8");
  EXPECT_EQ(h.windows.posted[0], Bar(PBM_SETRANGE, 0, (0x7000 / 8) << 16));
  EXPECT_EQ(h.windows.posted.size(), 3u + 0x7000 / 8);
  EXPECT_EQ(h.Memory()[0x6FFF], 0);
}

TEST_F(FlashOperationsTest, LargeEepromRoundTrip) {
  ProtocolHarness h(WithEeprom());
  DeviceRecord record = h.Record();
  record.Byte11Set = 0;
  record.ModeFlags = 0x10000;
  h.FillTable(2, true);
  std::vector<std::uint8_t> image(100);
  std::iota(image.begin(), image.end(), 7);
  ASSERT_EQ(FlashWrite(record, image.data(), 0x200, 100, kWindow, kMessage), FlashResult::Ok);
  EXPECT_EQ(h.Trace(), (Strings{"ee-w 0200 32", "ee-w 0220 32", "ee-w 0240 32", "ee-w 0260 4"}));
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
  ProtocolHarness h(WithEeprom());
  DeviceRecord record = h.Record();
  record.Byte11Set = 0;
  record.ModeFlags = 0x100;
  h.FillTable(1, true);
  std::vector<std::uint8_t> data(32);
  h.FailCommand(2);
  EXPECT_EQ(FlashWrite(record, data.data(), 0, 32, kWindow, kMessage), FlashResult::ProgramFailed);
  EXPECT_EQ(h.windows.posted.back(), Notice(0, ProgressPhase::ProgrammingFailed, 0xFFA4, 50));
  h.FailCommand(h.io.commands.size() + 1);
  EXPECT_EQ(FlashRead(record, data.data(), 0, 32, kWindow, kMessage), FlashResult::ReadFailed);
  EXPECT_EQ(h.windows.posted.back(), Notice(0, ProgressPhase::ReadingFailed, 0xFFA3, 25));
  h.FailCommand(h.io.commands.size() + 3);
  EXPECT_EQ(FlashErase(record, kWindow, kMessage), FlashResult::ProgramFailed);
  EXPECT_EQ(h.windows.posted.back(), Notice(0, ProgressPhase::ErasingFailed, 0xFFA4, 0));
  EXPECT_EQ(h.Trace().back(), "ee-w 0018 8");
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
  ProtocolHarness h(WithChip(ReadyChip(kEntry4Chip)));
  std::vector<std::uint8_t> bytes(60);
  std::iota(bytes.begin(), bytes.end(), 1);
  ASSERT_EQ(FlashWrite(h.Record(), bytes.data(), 0x1F0, 60, 0, 0), FlashResult::Ok);
  std::vector<std::string> commands;
  for (const std::string& line : h.Trace())
    if (line.rfind("spi-w 02", 0) == 0) commands.push_back(line);
  EXPECT_EQ(commands, (std::vector<std::string>{"spi-w 02 00 01 F0", "spi-w 02 00 02 00",
                                                "spi-w 02 00 02 20"}));
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), h.Memory().begin() + 0x1F0));
}

}  // namespace
}  // namespace burnwell::protocol
