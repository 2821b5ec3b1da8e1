#include "sim/ChipCatalog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "protocol/FlashChipTable.h"
#include "sim/EmulatedBridge.h"
#include "sim/testing/EmulatorFixture.h"

namespace burnwell::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Transact(FlashChip* chip, const Bytes& out, std::size_t readCount) {
  Bytes in;
  chip->Select();
  for (auto b : out) chip->Exchange(b);
  for (std::size_t i = 0; i < readCount; ++i) in.push_back(chip->Exchange(0xFF));
  chip->Deselect();
  return in;
}

// Every model behind an emulated bridge is detected by the tool's own detection as the entry
// the catalog records for it; an empty socket is not identified.
TEST(ChipCatalog, EveryModelLeadsDetectionToItsOwnEntry) {
  for (const auto& description : ChipCatalog()) {
    sim::testing::EmulatorFixture emu(BridgeConfig::WithChip(description.name));
    device::DeviceRecord record = emu.OpenRecord();
    EXPECT_EQ(protocol::DetectFlash(record), protocol::StepCode::Ok) << description.name;
    EXPECT_EQ(record.FlashChipIndex, static_cast<std::uint32_t>(description.tableEntry))
        << description.name;
  }
  sim::testing::EmulatorFixture empty(BridgeConfig::WithChip(std::string(kAbsentChipName)));
  device::DeviceRecord record = empty.OpenRecord();
  EXPECT_NE(protocol::DetectFlash(record), protocol::StepCode::Ok) << "an empty socket";
}

TEST(ChipCatalog, AllFourteenEntriesAreCovered) {
  std::set<int> entries;
  for (const auto& d : ChipCatalog()) entries.insert(d.tableEntry);
  EXPECT_EQ(entries.size(), 14u);
  EXPECT_EQ(*entries.begin(), 0);
  EXPECT_EQ(*entries.rbegin(), 13);
}

struct ProbeAnswers {
  const char* model;
  Bytes jedec;  // 9F, 3 bytes read
  Bytes md90;   // 90 00 00 00, 4 bytes read
  Bytes sigAB;  // AB 00 00 00, 3 bytes read
  Bytes id15;   // 15, 2 bytes read
};

const std::vector<ProbeAnswers> kAnswers = {
    {"W25X40", {0xEF, 0x30, 0x13}, {0xEF, 0x12, 0xEF, 0x12}, {0x12, 0x12, 0x12}, {0xFF, 0xFF}},
    {"AT25F1024A", {0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}, {0x1F, 0x60}},
    {"MX25V8035F", {0xC2, 0x23, 0x14}, {0xC2, 0x13, 0xC2, 0x13}, {0x13, 0x13, 0x13}, {0xFF, 0xFF}},
    {"MX25L12805D", {0xC2, 0x20, 0x18}, {0xC2, 0x17, 0xC2, 0x17}, {0x17, 0x17, 0x17}, {0xFF, 0xFF}},
    {"MX25L1021E", {0xC2, 0x22, 0x11}, {0xC2, 0x10, 0xC2, 0x10}, {0x10, 0x10, 0x10}, {0xFF, 0xFF}},
    {"M25P16", {0x20, 0x20, 0x15}, {0xFF, 0xFF, 0xFF, 0xFF}, {0x14, 0x14, 0x14}, {0xFF, 0xFF}},
    {"W25X10", {0xEF, 0x30, 0x11}, {0xEF, 0x10, 0xEF, 0x10}, {0x10, 0x10, 0x10}, {0xFF, 0xFF}},
    {"EN25F80", {0x1C, 0x31, 0x14}, {0x1C, 0x13, 0x1C, 0x13}, {0x13, 0x13, 0x13}, {0xFF, 0xFF}},
    {"SST25VF010A", {0xFF, 0xFF, 0xFF}, {0xBF, 0x49, 0xBF, 0x49}, {0xBF, 0x49, 0xBF}, {0xFF, 0xFF}},
    {"Pm25LV010", {0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF}, {0x9D, 0x7F, 0x7C}, {0xFF, 0xFF}},
    {"M25P05", {0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF}, {0x05, 0x05, 0x05}, {0xFF, 0xFF}},
    {"MX25L3205D", {0xC2, 0x20, 0x16}, {0xC2, 0x15, 0xC2, 0x15}, {0x15, 0x15, 0x15}, {0xFF, 0xFF}},
    {"MX25L6405D", {0xC2, 0x20, 0x17}, {0xC2, 0x16, 0xC2, 0x16}, {0x16, 0x16, 0x16}, {0xFF, 0xFF}},
    {"MX25L1005", {0xC2, 0x20, 0x11}, {0xC2, 0x10, 0xC2, 0x10}, {0x10, 0x10, 0x10}, {0xFF, 0xFF}},
    {"Pm25LD010", {0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF}, {0x9D, 0x7F, 0x21}, {0xFF, 0xFF}},
    {"GD25Q40C", {0xC8, 0x40, 0x13}, {0xC8, 0x12, 0xC8, 0x12}, {0x12, 0x12, 0x12}, {0xFF, 0xFF}},
};

TEST(ChipCatalog, EachModelAnswersEveryProbeOpcodeAsItsDatasheetSays) {
  VirtualClock clock;
  ASSERT_EQ(kAnswers.size(), ChipCatalog().size()) << "a model without a row here";
  for (const auto& row : kAnswers) {
    auto description = FindChip(row.model);
    ASSERT_TRUE(description) << row.model;
    FlashChip chip(*description, clock);
    EXPECT_EQ(Transact(&chip, {0x9F}, 3), row.jedec) << row.model;
    EXPECT_EQ(Transact(&chip, {0x90, 0, 0, 0}, 4), row.md90) << row.model;
    EXPECT_EQ(Transact(&chip, {0xAB, 0, 0, 0}, 3), row.sigAB) << row.model;
    EXPECT_EQ(Transact(&chip, {0x15}, 2), row.id15) << row.model;
    if (description->manufacturerId) {
      EXPECT_EQ(Transact(&chip, {0x90, 0, 0, 1}, 2), (Bytes{row.md90[1], row.md90[0]}))
          << row.model << ": address 1 gives the device ID first";
    }
  }
}

// The chip table and the catalog are written apart, each from the datasheets: every region
// erase of a model's table entry is one the model knows, and the model's typical times lie
// within what its entry gives the family (typical to maximal).
TEST(ChipCatalog, ErasesAndProgramTimesAgreeWithTheChipTable) {
  for (const auto& model : ChipCatalog()) {
    SCOPED_TRACE(model.name);
    const protocol::FlashChipDescriptor& entry =
        protocol::FlashChip(static_cast<std::uint32_t>(model.tableEntry));
    const auto within = [](std::uint32_t us, const protocol::BusyTime& time) {
      return time.typicalUs <= us && us <= time.maximumUs;
    };
    EXPECT_TRUE(within(model.pageProgramUs, entry.programTime));
    for (const auto field : protocol::kRegionErases) {
      const protocol::RegionErase& erase = entry.*field;
      if (!erase.Present()) continue;
      const auto known = std::find_if(
          model.regionErases.begin(), model.regionErases.end(),
          [&](const EraseCommand& e) { return e.opcode == erase.opcode && e.size == erase.size; });
      ASSERT_NE(known, model.regionErases.end()) << "erase " << int{erase.opcode};
      EXPECT_TRUE(within(known->timeUs, erase.time)) << "erase " << int{erase.opcode};
    }
  }
}

TEST(ChipCatalog, FindsModelsByNameIgnoringCase) {
  EXPECT_TRUE(FindChip("sst25vf010a"));
  EXPECT_FALSE(FindChip("W25Q80"));
  EXPECT_FALSE(FindChip(""));
  VirtualClock clock;
  EXPECT_THROW(EmulatedBridge(BridgeConfig::WithChip("NoSuchChip"), clock), std::invalid_argument);
}

TEST(ChipCatalog, ModelsAreConsistent) {
  for (const auto& d : ChipCatalog()) {
    SCOPED_TRACE(d.name);
    EXPECT_EQ(d.size & (d.size - 1), 0u) << "size is a power of two";
    EXPECT_GE(d.size, 0x100u + 0xB800u) << "holds a large product's firmware";
    EXPECT_FALSE(d.chipEraseOpcodes.empty());
    EXPECT_NE(d.blockProtectMask, 0);
    EXPECT_GT(d.chipEraseUs, 0u);
  }
}

}  // namespace
}  // namespace burnwell::sim
