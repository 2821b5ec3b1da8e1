// The flash operations against the bridge emulator: every chip model it carries, both EEPROM
// sizes, an empty socket and the emulator's faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "protocol/FlashChipTable.h"
#include "protocol/FlashOperations.h"
#include "sim/ChipCatalog.h"
#include "sim/testing/EmulatorFixture.h"

namespace burnwell::protocol {
namespace {

using sim::BridgeConfig;
using sim::testing::EmulatorFixture;

constexpr std::uint32_t kImageSize = 47360;  // configuration block plus the large main code

std::vector<std::uint8_t> TestImage(std::size_t size) {
  std::vector<std::uint8_t> image(size);
  for (std::size_t i = 0; i < size; ++i)
    image[i] = static_cast<std::uint8_t>((i * 131 + (i >> 8) * 7 + 3) & 0xFF);
  return image;
}

std::vector<std::string> ModelNames() {
  std::vector<std::string> names;
  for (const sim::ChipDescription& model : sim::ChipCatalog()) names.push_back(model.name);
  return names;
}

class EmulatedChipTest : public ::testing::TestWithParam<std::string> {};

TEST_P(EmulatedChipTest, DetectionPicksTheModelsEntry) {
  EmulatorFixture emu(BridgeConfig::WithChip(GetParam()));
  DeviceRecord record = emu.OpenRecord();
  ASSERT_NE(record.Byte11Set, 0u);
  ASSERT_EQ(DetectFlash(record), StepCode::Ok);
  EXPECT_EQ(record.FlashChipIndex,
            static_cast<std::uint32_t>(sim::FindChip(GetParam())->tableEntry));
  EXPECT_FALSE(emu.Bridge().ChipSelected());
}

TEST_P(EmulatedChipTest, WholeImageUpdateRoundTrips) {
  EmulatorFixture emu(BridgeConfig::WithChip(GetParam()));
  const DeviceRecord record = emu.OpenRecord();
  const std::vector<std::uint8_t> image = TestImage(kImageSize);
  ASSERT_EQ(FlashIcpSwitch(record, 0), FlashResult::Ok);
  ASSERT_EQ(FlashErase(record, 0, 0), FlashResult::Ok);
  ASSERT_EQ(FlashWrite(record, image.data(), 0, kImageSize, 0, 0), FlashResult::Ok);
  std::vector<std::uint8_t> back(kImageSize);
  ASSERT_EQ(FlashRead(record, back.data(), 0, kImageSize, 0, 0), FlashResult::Ok);
  ASSERT_EQ(FlashIcpSwitch(record, 1), FlashResult::Ok);
  const auto memory = emu.Bridge().Memory();
  ASSERT_GE(memory.size(), kImageSize);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
  EXPECT_EQ(back, image);
  // Erased space past the image is untouched.
  EXPECT_TRUE(std::all_of(memory.begin() + kImageSize, memory.end(),
                          [](std::uint8_t b) { return b == 0xFF; }));
  EXPECT_FALSE(emu.Bridge().Chip()->WriteEnabled());
}

TEST_P(EmulatedChipTest, ChipThatStaysBusyFailsTheEraseAfterOneHundredPolls) {
  BridgeConfig config = BridgeConfig::WithChip(GetParam());
  config.faults.stuckBusy = true;
  EmulatorFixture emu(config);
  const DeviceRecord record = emu.OpenRecord();
  // Detection's own poll already gives up: the chip cannot be used.
  EXPECT_EQ(FlashErase(record, 0, 0), FlashResult::FlashNotIdentified);
  EXPECT_EQ(emu.Clock().SleepCalls(), 100u + 100u);  // the probe's wait and the clean-up's
}

INSTANTIATE_TEST_SUITE_P(AllModels, EmulatedChipTest, ::testing::ValuesIn(ModelNames()),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::replace_if(
                               name.begin(), name.end(),
                               [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); },
                               '_');
                           return name;
                         });

TEST(EmulatedBridgeTest, EveryTableEntryHasAModel) {
  std::vector<bool> covered(kFlashChipCount, false);
  for (const sim::ChipDescription& model : sim::ChipCatalog())
    if (model.tableEntry >= 0 && model.tableEntry < static_cast<int>(kFlashChipCount))
      covered[static_cast<std::size_t>(model.tableEntry)] = true;
  for (std::size_t i = 0; i < kFlashChipCount; ++i) EXPECT_TRUE(covered[i]) << "entry " << i;
}

TEST(EmulatedBridgeTest, EmptySocketIsNotIdentified) {
  EmulatorFixture emu(BridgeConfig::WithChip(std::string(sim::kAbsentChipName)));
  const DeviceRecord record = emu.OpenRecord();
  std::vector<std::uint8_t> data(64);
  EXPECT_EQ(FlashIcpSwitch(record, 0), FlashResult::FlashNotIdentified);
  EXPECT_EQ(FlashErase(record, 0, 0), FlashResult::FlashNotIdentified);
  EXPECT_EQ(FlashRead(record, data.data(), 0, 64, 0, 0), FlashResult::FlashNotIdentified);
  EXPECT_EQ(FlashWrite(record, data.data(), 0, 64, 0, 0), FlashResult::FlashNotIdentified);
}

TEST(EmulatedBridgeTest, LargeEepromWholeImage) {
  EmulatorFixture emu(BridgeConfig::WithEeprom(sim::EepromKind::Large64k));
  const DeviceRecord record = emu.OpenRecord();
  ASSERT_EQ(record.Byte11Set, 0u);
  const std::vector<std::uint8_t> image = TestImage(kImageSize);
  ASSERT_EQ(FlashIcpSwitch(record, 0), FlashResult::Ok);
  ASSERT_EQ(FlashErase(record, 0, 0), FlashResult::Ok);
  const auto memory = emu.Bridge().Memory();
  EXPECT_TRUE(std::all_of(memory.begin(), memory.begin() + kEepromEraseSpan,
                          [](std::uint8_t b) { return b == 0; }));
  ASSERT_EQ(FlashWrite(record, image.data(), 0, kImageSize, 0, 0), FlashResult::Ok);
  std::vector<std::uint8_t> back(kImageSize);
  ASSERT_EQ(FlashRead(record, back.data(), 0, kImageSize, 0, 0), FlashResult::Ok);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
  EXPECT_EQ(back, image);
}

TEST(EmulatedBridgeTest, SmallEepromHoldsOnlyItsOwnSize) {
  EmulatorFixture emu(BridgeConfig::WithEeprom(sim::EepromKind::Small256));
  const DeviceRecord record = emu.OpenRecord();
  ASSERT_EQ(record.ModeFlags, 0x100u);
  const std::vector<std::uint8_t> image = TestImage(256);
  ASSERT_EQ(FlashErase(record, 0, 0), FlashResult::Ok);
  ASSERT_EQ(FlashWrite(record, image.data(), 0, 256, 0, 0), FlashResult::Ok);
  std::vector<std::uint8_t> back(256);
  ASSERT_EQ(FlashRead(record, back.data(), 0, 256, 0, 0), FlashResult::Ok);
  const auto memory = emu.Bridge().Memory();
  ASSERT_EQ(memory.size(), 256u);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
  EXPECT_EQ(back, image);
}

TEST(EmulatedBridgeTest, ReadingHundredBytesOnTheBus) {
  EmulatorFixture emu(BridgeConfig::WithChip("MX25L1005"));
  const DeviceRecord record = emu.OpenRecord();
  std::vector<std::uint8_t> data(100);
  emu.ClearTraces();
  ASSERT_EQ(FlashRead(record, data.data(), 0x10000, 100, 0, 0), FlashResult::Ok);
  std::vector<std::string> reads;
  for (const std::string& line : emu.SpiTrace())
    if (line.rfind("0B", 0) == 0) reads.push_back(line.substr(0, 14));
  EXPECT_EQ(reads, (std::vector<std::string>{"0B 01 00 00 00", "0B 01 00 20 00", "0B 01 00 40 00",
                                             "0B 01 00 60 00"}));
  const auto memory = emu.Bridge().Memory();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), memory.begin() + 0x10000));
}

TEST(EmulatedBridgeTest, LostCommandMidProgramFailsTheWriteAndLocksTheChip) {
  const std::vector<std::uint8_t> image = TestImage(64);
  std::uint64_t opened = 0;     // commands the record's opening sends
  std::uint64_t detection = 0;  // commands of the detection that starts the write
  std::uint64_t total = 0;      // commands of the whole write
  {
    EmulatorFixture clean(BridgeConfig::WithChip("MX25L1005"));
    DeviceRecord record = clean.OpenRecord();
    opened = clean.Bridge().CommandCount();
    ASSERT_EQ(DetectFlash(record), StepCode::Ok);
    detection = clean.Bridge().CommandCount() - opened;
    const std::uint64_t afterDetection = clean.Bridge().CommandCount();
    ASSERT_EQ(FlashWrite(record, image.data(), 0, 64, 0, 0), FlashResult::Ok);
    total = clean.Bridge().CommandCount() - afterDetection;
  }
  for (std::uint64_t lost = opened + detection + 1; lost <= opened + total; ++lost) {
    SCOPED_TRACE("lost command " + std::to_string(lost));
    BridgeConfig config = BridgeConfig::WithChip("MX25L1005");
    config.faults.failCommands.push_back({lost, sim::FailureKind::Transport});
    EmulatorFixture emu(config);
    const DeviceRecord record = emu.OpenRecord();
    EXPECT_EQ(FlashWrite(record, image.data(), 0, 64, 0, 0), FlashResult::ProgramFailed);
    EXPECT_FALSE(emu.Bridge().Chip()->WriteEnabled());
  }
}

TEST(EmulatedBridgeTest, DroppedProgramsAreCaughtByTheReadBack) {
  BridgeConfig config = BridgeConfig::WithChip("MX25L1005");
  config.faults.dropWrites = true;
  EmulatorFixture emu(config);
  const DeviceRecord record = emu.OpenRecord();
  const std::vector<std::uint8_t> image = TestImage(256);
  ASSERT_EQ(FlashIcpSwitch(record, 0), FlashResult::Ok);
  ASSERT_EQ(FlashErase(record, 0, 0), FlashResult::Ok);
  ASSERT_EQ(FlashWrite(record, image.data(), 0, 256, 0, 0), FlashResult::Ok);
  std::vector<std::uint8_t> back(256);
  ASSERT_EQ(FlashRead(record, back.data(), 0, 256, 0, 0), FlashResult::Ok);
  EXPECT_NE(back, image);
}

}  // namespace
}  // namespace burnwell::protocol

namespace burnwell::protocol {
namespace {

TEST(EmulatedBridgeTest, UnalignedWriteAcrossPageBoundaryKeepsEveryByte) {
  // Pieces that started 16 bytes before a 256-byte page end would wrap inside the page.
  EmulatorFixture emu(BridgeConfig::WithChip("MX25L1005"));
  const DeviceRecord record = emu.OpenRecord();
  ASSERT_EQ(FlashErase(record, 0, 0), FlashResult::Ok);
  const std::vector<std::uint8_t> image = TestImage(600);
  ASSERT_EQ(FlashWrite(record, image.data(), 0xF0, 600, 0, 0), FlashResult::Ok);
  const auto memory = emu.Bridge().Memory();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin() + 0xF0));
  EXPECT_TRUE(
      std::all_of(memory.begin(), memory.begin() + 0xF0, [](std::uint8_t b) { return b == 0xFF; }));
}

}  // namespace
}  // namespace burnwell::protocol
