#include "protocol/FlashChipTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "ProtocolHarness.h"
#include "sim/FlashChip.h"

namespace burnwell::protocol {
namespace {

using test::ProtocolHarness;
using test::Strings;
using test::UnidentifiedChip;
using test::WithChip;

// --- The table -------------------------------------------------------------------------------

TEST(FlashChipTableTest, EveryEntryHasTheCommonCommands) {
  for (std::size_t i = 0; i < kFlashChipCount; ++i) {
    SCOPED_TRACE("entry " + std::to_string(i));
    const FlashChipDescriptor& chip = FlashChipTable[i];
    EXPECT_EQ(chip.writeEnable.opcode, 0x06);
    EXPECT_EQ(chip.writeDisable.opcode, 0x04);
    EXPECT_EQ(chip.readStatus.opcode, 0x05);
    EXPECT_EQ(chip.readStatus.extra, 1);
    EXPECT_EQ(chip.writeStatus.opcode, 0x01);
    EXPECT_EQ(chip.writeStatus.length, i == 13 ? 3 : 2);
    EXPECT_EQ(chip.readData.opcode, 0x03);
    EXPECT_EQ(chip.pageProgram.opcode, 0x02);
    EXPECT_TRUE(chip.chipErase.Present());
    EXPECT_TRUE(chip.readId.Present());
    EXPECT_EQ(chip.unprotectValue, 0);
    // Every poll that a routine sleeps is set, so no chip is polled in a tight loop.
    for (const SpiCommand* command : {&chip.writeEnable, &chip.readStatus, &chip.writeStatus,
                                      &chip.pageProgram, &chip.chipErase})
      EXPECT_GT(command->poll, 0);
  }
}

TEST(FlashChipTableTest, OnlyEntrySixProgramsByAutoIncrement) {
  for (std::size_t i = 0; i < kFlashChipCount; ++i) {
    SCOPED_TRACE("entry " + std::to_string(i));
    const FlashChipDescriptor& chip = FlashChipTable[i];
    EXPECT_EQ(chip.autoIncrementProgram.Present(), i == 6);
    EXPECT_EQ(chip.enableWriteStatus.Present(), i == 6);
  }
  const FlashChipDescriptor& sixth = FlashChipTable[6];
  EXPECT_EQ(sixth.autoIncrementProgram.opcode, 0xAF);
  EXPECT_EQ(sixth.autoIncrementProgram.length, 5);
  EXPECT_EQ(sixth.autoIncrementProgram.extra, 2);
  EXPECT_EQ(sixth.enableWriteStatus.opcode, 0x50);
}

TEST(FlashChipTableTest, CommandLengthsMatchTheirOpcodes) {
  // Bytes sent for each opcode: the opcode plus its address, dummy or value bytes.
  const std::map<std::uint16_t, std::vector<std::uint16_t>> lengths = {
      {0x06, {1}}, {0x04, {1}}, {0x05, {1}}, {0x01, {2, 3}}, {0x03, {4}}, {0x02, {4}}, {0x0B, {5}},
      {0x9F, {1}}, {0x90, {4}}, {0xAB, {4}}, {0x15, {1}},    {0x20, {4}}, {0x52, {4}}, {0xD8, {4}},
      {0x60, {1}}, {0x62, {1}}, {0xC7, {1}}, {0xB9, {1}},    {0x35, {1}}, {0xAF, {5}}, {0x50, {1}}};
  for (std::size_t i = 0; i < kFlashChipCount; ++i) {
    for (std::size_t s = 0; s < kDescriptorCommands.size(); ++s) {
      const SpiCommand& command = FlashChipTable[i].*kDescriptorCommands[s];
      if (!command.Present()) continue;
      SCOPED_TRACE("entry " + std::to_string(i) + " slot " + std::to_string(s));
      const auto it = lengths.find(command.opcode);
      ASSERT_NE(it, lengths.end()) << "unexpected opcode " << command.opcode;
      EXPECT_NE(std::find(it->second.begin(), it->second.end(), command.length), it->second.end());
    }
  }
}

// --- Classification --------------------------------------------------------------------------

TEST(FlashChipTableTest, ClassifiesAnswersByMakerAndDevice) {
  const FlashChipDescriptor& withRelease = FlashChipTable[2];
  const FlashChipDescriptor& withoutRelease = FlashChipTable[0];
  auto classify = [](std::array<std::uint8_t, 4> answer, const FlashChipDescriptor& probe) {
    return ClassifyFlashAnswer(answer, probe);
  };
  EXPECT_EQ(classify({0x1C, 0, 0, 0}, withRelease), 5);
  EXPECT_EQ(classify({0x1F, 0, 0, 0}, withRelease), 1);
  EXPECT_EQ(classify({0x20, 0, 0, 0}, withRelease), 4);
  EXPECT_EQ(classify({0xBF, 0, 0, 0}, withRelease), 6);
  EXPECT_EQ(classify({0xC8, 0, 0, 0}, withRelease), 13);
  EXPECT_EQ(classify({0x9D, 0x70, 0x00, 0}, withRelease), 12);  // bits are taken from b2
  EXPECT_EQ(classify({0x9D, 0x00, 0x70, 0}, withRelease), 7);
  EXPECT_EQ(classify({0x7F, 0x9D, 0x7F, 0}, withRelease), 7);
  EXPECT_EQ(classify({0x9D, 0x00, 0x60, 0}, withRelease), 12);
  EXPECT_EQ(classify({0xC2, 0x20, 0x11, 0}, withRelease), 11);
  EXPECT_EQ(classify({0xC2, 0x20, 0x16, 0}, withRelease), 9);
  EXPECT_EQ(classify({0xC2, 0x20, 0x17, 0}, withRelease), 10);
  EXPECT_EQ(classify({0xC2, 0x20, 0x18, 0}, withRelease), kNoMatch);
  EXPECT_EQ(classify({0xC2, 0x22, 0x00, 0}, withRelease), 3);
  EXPECT_EQ(classify({0xC2, 0x24, 0x00, 0}, withRelease), 2);
  // Bare device codes count only from a probe of a family without power-down release.
  EXPECT_EQ(classify({0x05, 0, 0, 0}, withRelease), kNoMatch);
  EXPECT_EQ(classify({0x10, 0, 0, 0}, withRelease), kNoMatch);
  EXPECT_EQ(classify({0x05, 0, 0, 0}, withoutRelease), 8);
  EXPECT_EQ(classify({0x10, 0, 0, 0}, withoutRelease), 4);
  EXPECT_EQ(classify({0xEF, 0x40, 0x16, 0}, withoutRelease), kNoMatch);
  EXPECT_EQ(classify({0xFF, 0xFF, 0xFF, 0}, withoutRelease), kNoMatch);
}

// --- Detection over the bus --------------------------------------------------------------------

// A bridge whose chip gives the answers a test sets on an otherwise unidentified chip.
class DetectFlashTest : public ::testing::Test {
 protected:
  static std::size_t Count(const ProtocolHarness& bench, const std::string& line) {
    const Strings trace = bench.Trace();
    return static_cast<std::size_t>(std::count(trace.begin(), trace.end(), line));
  }
};

TEST_F(DetectFlashTest, FirstProbeThatClassifiesStopsTheSearch) {
  sim::ChipDescription chip = UnidentifiedChip();
  chip.jedecId = {0xC8, 0x40, 0x13};
  ProtocolHarness h(WithChip(chip));
  DeviceRecord record = h.Record();
  record.FlashChipIndex = 5;
  ASSERT_EQ(DetectFlash(record), StepCode::Ok);
  EXPECT_EQ(record.FlashChipIndex, 13u);
  EXPECT_EQ(h.Trace(), (Strings{"select", "spi-w 9F", "spi-r 3", "deselect", "select", "spi-w 05",
                                "spi-r 1", "deselect"}));
  EXPECT_EQ(h.clock.sleeps.size(), 0u);
}

TEST_F(DetectFlashTest, ChipThatAnswersNothingIsNotIdentified) {
  ProtocolHarness h(WithChip(UnidentifiedChip()));
  DeviceRecord record = h.Record();
  record.FlashChipIndex = 5;
  EXPECT_EQ(DetectFlash(record), StepCode::NoChip);
  EXPECT_EQ(record.FlashChipIndex, 0u);
  EXPECT_EQ(Count(h, "spi-w 9F"), 10u);  // every one of the fourteen probes was tried
  EXPECT_EQ(Count(h, "spi-w 15"), 1u);
  EXPECT_EQ(Count(h, "spi-w 90 00 00 00"), 1u);
  EXPECT_EQ(Count(h, "spi-w AB 00 00 00"), 2u);
  EXPECT_EQ(Count(h, "spi-r 4"), 1u);  // entry 6's probe reads four bytes
}

TEST_F(DetectFlashTest, UnknownButPresentChipFallsBackToEntryZero) {
  sim::ChipDescription chip = UnidentifiedChip();
  chip.jedecId = {0x12, 0x34, 0x56};
  chip.productId15 = {0x12, 0x34};
  chip.manufacturerId = 0x12;
  chip.deviceId = 0x34;
  chip.signatureAnswer = sim::SignatureAnswer::Signature;
  chip.signature = {0x12, 0x34, 0x56};
  ProtocolHarness h(WithChip(chip));
  DeviceRecord record = h.Record();
  record.FlashChipIndex = 9;
  EXPECT_EQ(DetectFlash(record), StepCode::Ok);
  EXPECT_EQ(record.FlashChipIndex, 0u);
  EXPECT_EQ(Count(h, "spi-w 9F") + Count(h, "spi-w 15") + Count(h, "spi-w 90 00 00 00") +
                Count(h, "spi-w AB 00 00 00"),
            14u);
}

TEST_F(DetectFlashTest, LaterProbesWithOtherCommandsDecide) {
  // Not classified by the 0x9F probes: the 0x90 probe of entry 6 decides.
  sim::ChipDescription chip = UnidentifiedChip();
  chip.jedecId = {0xC2, 0x20, 0x18};
  chip.manufacturerId = 0xBF;
  chip.deviceId = 0x48;
  ProtocolHarness h(WithChip(chip));
  DeviceRecord record = h.Record();
  ASSERT_EQ(DetectFlash(record), StepCode::Ok);
  EXPECT_EQ(record.FlashChipIndex, 6u);
  EXPECT_EQ(h.Trace().back(), "deselect");
  EXPECT_EQ(Count(h, "spi-w 9F"), 5u);  // entries 0, 2, 3, 4, 5
}

TEST_F(DetectFlashTest, UnlistedMakerIsLeftToTheOlderIdCommand) {
  sim::ChipDescription chip = UnidentifiedChip();
  chip.jedecId = {0xEF, 0x40, 0x16};
  chip.productId15 = {0x1F, 0x65};
  ProtocolHarness h(WithChip(chip));
  DeviceRecord record = h.Record();
  ASSERT_EQ(DetectFlash(record), StepCode::Ok);
  EXPECT_EQ(record.FlashChipIndex, 1u);
  EXPECT_EQ(Count(h, "spi-w 9F"), 1u);
}

TEST_F(DetectFlashTest, SignatureProbeTellsTheTwoAbFamiliesApart) {
  auto detected = [](std::vector<std::uint8_t> signature) {
    sim::ChipDescription chip = UnidentifiedChip();
    chip.signatureAnswer = sim::SignatureAnswer::Signature;
    chip.signature = std::move(signature);
    ProtocolHarness h(WithChip(chip));
    DeviceRecord record = h.Record();
    EXPECT_EQ(DetectFlash(record), StepCode::Ok);
    return record.FlashChipIndex;
  };
  EXPECT_EQ(detected({0x9D, 0x70, 0x70}), 7u);
  EXPECT_EQ(detected({0x9D, 0x60, 0x60}), 12u);
}

TEST_F(DetectFlashTest, BareDeviceCodeOnTheFirstProbe) {
  sim::ChipDescription chip = UnidentifiedChip();
  chip.jedecId = {0x05, 0x00, 0x00};
  ProtocolHarness h(WithChip(chip));
  DeviceRecord record = h.Record();
  ASSERT_EQ(DetectFlash(record), StepCode::Ok);
  EXPECT_EQ(record.FlashChipIndex, 8u);
}

TEST_F(DetectFlashTest, FailedSelectReportsWriteEnableCodeAndSendsWriteDisable) {
  ProtocolHarness h;
  DeviceRecord record = h.Record();
  h.FailCommand(0);
  EXPECT_EQ(DetectFlash(record), StepCode::WriteEnable);
  EXPECT_EQ(h.Trace(), (Strings{"select", "select", "spi-w 04", "deselect", "select", "spi-w 05",
                                "spi-r 1", "deselect"}));
}

TEST_F(DetectFlashTest, FailedAnswerReadDeselectsThenDisablesWrites) {
  ProtocolHarness h;
  DeviceRecord record = h.Record();
  h.FailCommand(2);
  EXPECT_EQ(DetectFlash(record), StepCode::Read);
  const Strings expected = {"select",   "spi-w 9F", "spi-r 3",  "deselect", "select",  "spi-w 04",
                            "deselect", "select",   "spi-w 05", "spi-r 1",  "deselect"};
  EXPECT_EQ(h.Trace(), expected);
}

// --- Waiting for the chip --------------------------------------------------------------------

TEST_F(DetectFlashTest, ChipThatStaysBusyIsPolledExactlyOneHundredTimes) {
  sim::BridgeConfig config = WithChip(UnidentifiedChip());
  config.faults.stuckBusy = true;
  ProtocolHarness h(config);
  DeviceRecord record = h.Record();
  record.FlashChipIndex = 0;
  EXPECT_EQ(WaitFlashReady(record, 1000), StepCode::WaitReady);
  EXPECT_EQ(Count(h, "spi-w 05"), 100u);
  EXPECT_EQ(h.clock.sleeps, std::vector<std::uint32_t>(100, 1000));
  EXPECT_EQ(h.clock.NowUs(), 100'000'000u);  // a 1000 ms poll gives up after 100 seconds
}

TEST_F(DetectFlashTest, ReadyAfterBusyAnswersSleepsOnlyBetweenPolls) {
  sim::ChipDescription description = UnidentifiedChip();
  description.statusWriteUs = 20'000;  // busy at two polls 16 ms apart
  ProtocolHarness h(WithChip(description));
  DeviceRecord record = h.Record();
  // A status write started on the chip's own pins, outside the bridge's trace.
  sim::FlashChip& chip = h.Chip();
  for (const std::vector<std::uint8_t>& command : {std::vector<std::uint8_t>{0x06}, {0x01, 0x00}}) {
    chip.Select();
    for (std::uint8_t byte : command) chip.Exchange(byte);
    chip.Deselect();
  }
  EXPECT_EQ(WaitFlashReady(record, 16), StepCode::Ok);
  EXPECT_EQ(Count(h, "spi-w 05"), 3u);
  EXPECT_EQ(h.clock.sleeps, (std::vector<std::uint32_t>{16, 16}));
}

TEST_F(DetectFlashTest, FailedPollEndsTheWaitAndClosesTheTransaction) {
  ProtocolHarness h;
  DeviceRecord record = h.Record();
  h.FailCommand(1);  // the status-read command
  EXPECT_EQ(WaitFlashReady(record, 5), StepCode::WaitReady);
  EXPECT_EQ(h.Trace(), (Strings{"select", "spi-w 05", "deselect"}));
  EXPECT_TRUE(h.clock.sleeps.empty());
}

TEST_F(DetectFlashTest, RefusedDeselectIsTriedOnceMore) {
  // Left selected, the chip would take the next command as part of the status read.
  ProtocolHarness h;
  DeviceRecord record = h.Record();
  h.FailCommand(3);
  EXPECT_EQ(WaitFlashReady(record, 5), StepCode::WaitReady);
  EXPECT_EQ(h.Trace(), (Strings{"select", "spi-w 05", "spi-r 1", "deselect", "deselect"}));
  EXPECT_FALSE(h.Bridge().ChipSelected());
}

}  // namespace
}  // namespace burnwell::protocol
