// Fast transfers against the bridge emulator on every chip model: a whole image ends byte-exact
// after the erases that cover it, polls after programs and erases keep to the chip's times
// whatever the bridge's speed, one page program and one 4 KiB read are one chip selection each
// with their transfers inside,
// and the emulated chip keeps the rules they rely on (selection held across transfers, a page
// program wrapping inside its page, a read streaming across page and sector ends up to the end
// of the array).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/CoveringErase.h"
#include "protocol/FastTransfers.h"
#include "protocol/SpiTransactions.h"
#include "protocol/VendorCommands.h"
#include "sim/ChipCatalog.h"
#include "sim/testing/EmulatorFixture.h"

namespace burnwell::protocol {
namespace {

using sim::BridgeConfig;
using sim::testing::EmulatorFixture;

constexpr std::uint32_t kImageSize = 47360;  // configuration block plus the large main code

std::vector<std::uint8_t> TestImage(std::size_t size, unsigned seed = 3) {
  std::vector<std::uint8_t> image(size);
  for (std::size_t i = 0; i < size; ++i)
    image[i] = static_cast<std::uint8_t>((i * 131 + (i >> 8) * 7 + seed) & 0xFF);
  return image;
}

std::vector<std::string> ModelNames() {
  std::vector<std::string> names;
  for (const sim::ChipDescription& model : sim::ChipCatalog()) names.push_back(model.name);
  return names;
}

std::string Hex(std::uint8_t byte) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", byte);
  return text;
}

// The bytes of an SPI trace line written ("06", "02 00 01 00 ...") and read (after ">").
struct TraceLine {
  std::vector<std::string> written;
  std::size_t readCount = 0;
};

TraceLine Parse(const std::string& line) {
  TraceLine parsed;
  std::istringstream words(line);
  bool reading = false;
  for (std::string word; words >> word;) {
    if (word == ">")
      reading = true;
    else if (reading)
      ++parsed.readCount;
    else
      parsed.written.push_back(word);
  }
  return parsed;
}

// The trace without the status polls, each line as its opcode and its byte counts.
std::vector<std::string> Shape(const std::vector<std::string>& trace, std::uint8_t readStatus) {
  std::vector<std::string> shape;
  for (const std::string& line : trace) {
    const TraceLine parsed = Parse(line);
    if (parsed.written.empty() || parsed.written[0] == Hex(readStatus)) continue;
    std::string text = parsed.written[0] + " w" + std::to_string(parsed.written.size());
    if (parsed.readCount != 0) text += " r" + std::to_string(parsed.readCount);
    shape.push_back(text);
  }
  return shape;
}

class FastTransfersOnModel : public ::testing::TestWithParam<std::string> {
 protected:
  FastTransfersOnModel() : emu_(BridgeConfig::WithChip(GetParam())), record_(emu_.OpenRecord()) {
    EXPECT_EQ(DetectFlash(record_), StepCode::Ok);
  }
  const FlashChipDescriptor& Entry() const { return FlashChip(record_.FlashChipIndex); }
  bool AutoIncrement() const { return Entry().autoIncrementProgram.Present(); }
  std::uint32_t Size() { return static_cast<std::uint32_t>(emu_.Bridge().Memory().size()); }
  void EraseAll() {
    ASSERT_EQ(FlashIcpSwitch(record_, 0), FlashResult::Ok);
    ASSERT_EQ(FlashErase(record_, 0, 0), FlashResult::Ok);
  }

  EmulatorFixture emu_;
  DeviceRecord record_;
};

// The erases each model's update of the image uses: the cheapest cover by its table entry's
// typical times (the whole chip where the entry has no region erase).
const std::map<std::string, std::string> kImageErases = {
    {"W25X40", "the whole chip"},  {"AT25F1024A", "2 x 32 KiB"}, {"MX25V8035F", "1 x 64 KiB"},
    {"MX25L12805D", "1 x 64 KiB"}, {"MX25L1021E", "1 x 64 KiB"}, {"M25P16", "1 x 64 KiB"},
    {"W25X10", "1 x 64 KiB"},      {"EN25F80", "1 x 64 KiB"},    {"SST25VF010A", "2 x 32 KiB"},
    {"Pm25LV010", "2 x 32 KiB"},   {"M25P05", "2 x 32 KiB"},     {"MX25L3205D", "1 x 64 KiB"},
    {"MX25L6405D", "1 x 64 KiB"},  {"MX25L1005", "12 x 4 KiB"},  {"Pm25LD010", "2 x 32 KiB"},
    {"GD25Q40C", "1 x 64 KiB"},
};

// A whole image with fast transfers: the erases cover it, the image ends byte-exact, the rest of
// the erased units reads 0xFF, and everything past them keeps what it held.
TEST_P(FastTransfersOnModel, WholeImageUpdateErasesOnlyWhatItWritesAndEndsByteExact) {
  const std::uint32_t size = std::min(kImageSize, Size());
  const std::vector<std::uint8_t> image = TestImage(size);
  const std::vector<std::uint8_t> before = TestImage(Size(), 9);
  std::copy(before.begin(), before.end(), emu_.Bridge().Memory().begin());
  ASSERT_EQ(FlashIcpSwitch(record_, 0), FlashResult::Ok);
  ErasePlan plan;
  ASSERT_EQ(FlashEraseCovering(record_, 0, size, 0, 0, &plan), FlashResult::Ok);
  EXPECT_EQ(plan.Text(), kImageErases.at(GetParam()));
  TransferMode used = TransferMode::Classic;
  ASSERT_EQ(FlashWrite(record_, image.data(), 0, size, 0, 0, TransferMode::Fast, &used),
            FlashResult::Ok);
  EXPECT_EQ(used, TransferMode::Fast);
  std::vector<std::uint8_t> back(size);
  ASSERT_EQ(FlashRead(record_, back.data(), 0, size, 0, 0, TransferMode::Fast), FlashResult::Ok);
  ASSERT_EQ(FlashIcpSwitch(record_, 1), FlashResult::Ok);
  const auto memory = emu_.Bridge().Memory();
  const std::uint32_t erasedEnd = plan.wholeChip ? Size() : plan.End();
  ASSERT_GE(erasedEnd, size);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
  EXPECT_TRUE(std::all_of(memory.begin() + size, memory.begin() + erasedEnd,
                          [](std::uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(std::equal(memory.begin() + erasedEnd, memory.end(), before.begin() + erasedEnd));
  EXPECT_EQ(back, image);
  EXPECT_FALSE(emu_.Bridge().Chip()->WriteEnabled());
  EXPECT_FALSE(emu_.Bridge().ChipSelected());
}

// One page program (or, on the auto-increment chip, one sequence over two 32-byte pieces) and
// one 4 KiB read: each a single selection with all its transfers inside; write enable once
// before the program, and write disable only to end the auto-increment sequence (a page program
// clears the latch itself).
TEST_P(FastTransfersOnModel, PageProgramAndLongReadAreOneSelectionEach) {
  EraseAll();
  const std::uint32_t length = AutoIncrement() ? 64 : kProgramPageSize;
  const std::vector<std::uint8_t> data = TestImage(length);
  const std::uint8_t readStatus = Entry().readStatus.Opcode();
  emu_.ClearTraces();
  ASSERT_EQ(SpiProgramFlashFast(record_, data.data(), 0x100, length, record_.FlashChipIndex, 0, 0),
            StepCode::Ok);
  std::vector<std::string> expected = {Hex(Entry().writeEnable.Opcode()) + " w1"};
  if (AutoIncrement()) {
    const std::string program = Hex(Entry().autoIncrementProgram.Opcode());
    expected.push_back(program + " w5");
    expected.insert(expected.end(), length - 1, program + " w2");
    expected.push_back(Hex(Entry().writeDisable.Opcode()) + " w1");
  } else {
    expected.push_back(Hex(Entry().pageProgram.Opcode()) + " w" + std::to_string(4 + length));
  }
  EXPECT_EQ(Shape(emu_.SpiTrace(), readStatus), expected);

  emu_.ClearTraces();
  std::vector<std::uint8_t> back(kFastReadRun);
  ASSERT_EQ(SpiReadFlashFast(record_, back.data(), 0, kFastReadRun, record_.FlashChipIndex, 0, 0),
            StepCode::Ok);
  const SpiCommand& read = Entry().fastRead.Present() ? Entry().fastRead : Entry().readData;
  EXPECT_EQ(
      Shape(emu_.SpiTrace(), readStatus),
      std::vector<std::string>{Hex(read.Opcode()) + " w" + std::to_string(read.length) + " r4096"});
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin() + 0x100));
}

// The rules of the emulated chip: a read that runs on across page and sector ends up to the
// last byte of the array, and a page program longer than a page wrapping inside the page with
// later bytes replacing earlier ones.
TEST_P(FastTransfersOnModel, ChipStreamsReadsToTheArrayEndAndWrapsPagePrograms) {
  const std::uint32_t size = Size();
  const std::vector<std::uint8_t> contents = TestImage(size, 11);
  std::copy(contents.begin(), contents.end(), emu_.Bridge().Memory().begin());
  const std::uint32_t start =
      size - kFastReadRun - 0x90;  // mid-page, two runs, the last ends at the end
  std::vector<std::uint8_t> back(size - start);
  ASSERT_EQ(
      SpiReadFlashFast(record_, back.data(), start, size - start, record_.FlashChipIndex, 0, 0),
      StepCode::Ok);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), contents.begin() + start));

  if (AutoIncrement()) return;  // a byte-program chip has no page to wrap in
  EraseAll();
  const std::uint32_t page = 0x200;
  const std::vector<std::uint8_t> data = TestImage(300, 5);
  ASSERT_EQ(SetWriteEnable(record_, record_.FlashChipIndex, 1), StepCode::Ok);
  ASSERT_EQ(SpiChipSelect(record_, 1), CommandResult::Ok);
  const std::uint8_t command[4] = {Entry().pageProgram.Opcode(), 0, 0x02, 0x80};
  ASSERT_EQ(SpiWrite(record_, command, 4), CommandResult::Ok);
  for (std::size_t done = 0; done < data.size(); done += kMaxShortTransfer) {
    const auto n =
        static_cast<std::uint32_t>(std::min<std::size_t>(kMaxShortTransfer, data.size() - done));
    ASSERT_EQ(SpiWrite(record_, data.data() + done, n), CommandResult::Ok);
  }
  ASSERT_EQ(EndSpiTransaction(record_), StepCode::Ok);
  ASSERT_EQ(WaitFlashReady(record_, 1), StepCode::Ok);
  std::vector<std::uint8_t> expected(kProgramPageSize, 0xFF);
  for (std::size_t i = 0; i < data.size(); ++i) expected[(0x80 + i) % kProgramPageSize] = data[i];
  const auto memory = emu_.Bridge().Memory();
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), memory.begin() + page));
  EXPECT_EQ(memory[page - 1], 0xFF);
  EXPECT_EQ(memory[page + kProgramPageSize], 0xFF);
}

INSTANTIATE_TEST_SUITE_P(AllModels, FastTransfersOnModel, ::testing::ValuesIn(ModelNames()),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::replace_if(
                               name.begin(), name.end(), [](char c) { return !std::isalnum(c); },
                               '_');
                           return name;
                         });

// A bridge that ends chip select by itself after two transfers cuts a long read short without an
// error of its own: the fast read must fail rather than hand back wrong bytes; classic reads work.
TEST(FastTransfers, ReadOnABridgeThatCannotHoldChipSelectFailsInsteadOfLying) {
  BridgeConfig config = BridgeConfig::WithChip("MX25L1005");
  config.selectionEndsAfterTransfers = 2;
  EmulatorFixture emu(config);
  DeviceRecord record = emu.OpenRecord();
  std::vector<std::uint8_t> back(8192);
  EXPECT_EQ(FlashRead(record, back.data(), 0, 8192, 0, 0, TransferMode::Fast),
            FlashResult::ReadFailed);
  ASSERT_EQ(FlashRead(record, back.data(), 0, 8192, 0, 0, TransferMode::Classic), FlashResult::Ok);
  const auto memory = emu.Bridge().Memory();
  EXPECT_TRUE(std::equal(back.begin(), back.end(), memory.begin()));
}

}  // namespace
}  // namespace burnwell::protocol

namespace burnwell::protocol {
namespace {

std::size_t StatusPolls(const std::vector<std::string>& trace) {
  return static_cast<std::size_t>(std::count_if(
      trace.begin(), trace.end(), [](const auto& line) { return line.rfind("05", 0) == 0; }));
}

// At 0 us per command the polls after a page program keep to the chip's own times: at most
// three a page, and a chip that stays busy is given up after MaxBusyPolls polls, once its
// maximal time has been slept.
TEST(FastTransfers, PollsKeepToTheChipsTimesWhateverTheBridgesSpeed) {
  for (const sim::ChipDescription& model : sim::ChipCatalog()) {
    if (model.autoIncrementProgram) continue;
    SCOPED_TRACE(model.name);
    BridgeConfig config = BridgeConfig::WithChip(model.name);
    config.latencyUs = 0;
    EmulatorFixture emu(config);
    DeviceRecord record = emu.OpenRecord();
    ASSERT_EQ(DetectFlash(record), StepCode::Ok);
    const std::uint32_t chip = record.FlashChipIndex;
    const std::vector<std::uint8_t> data = TestImage(4 * kProgramPageSize);
    const auto length = static_cast<std::uint32_t>(data.size());
    ASSERT_EQ(FlashEraseCovering(record, 0, length, 0, 0), FlashResult::Ok);
    emu.ClearTraces();
    ASSERT_EQ(SpiProgramFlashFast(record, data.data(), 0, length, chip, 0, 0), StepCode::Ok);
    EXPECT_LE(StatusPolls(emu.SpiTrace()), 3u * 4);

    const BusyTime& programTime = FlashChip(chip).programTime;
    emu.Bridge().Chip()->SetStuckBusy(true);
    emu.ClearTraces();
    const std::uint64_t sleptBefore = emu.Clock().TotalSleptMs();
    EXPECT_EQ(WaitBusyTime(record, programTime), StepCode::WaitReady);
    EXPECT_EQ(StatusPolls(emu.SpiTrace()), static_cast<std::size_t>(MaxBusyPolls(programTime)));
    EXPECT_GE((emu.Clock().TotalSleptMs() - sleptBefore) * 1000, programTime.maximumUs);
  }
}

// A region erase that the chip does not finish within its datasheet's maximum, and one that the
// chip's block protection would refuse, fail the erase and leave the write-enable latch clear.
TEST(FastTransfers, SlowOrProtectedRegionErasesFailTheErase) {
  sim::ChipDescription slow = *sim::FindChip("MX25L1005");
  for (sim::EraseCommand& erase : slow.regionErases) erase.timeUs = 10'000'000;
  BridgeConfig slowConfig;
  slowConfig.chipModel = slow;
  EmulatorFixture emu(slowConfig);
  const DeviceRecord record = emu.OpenRecord();
  EXPECT_EQ(FlashEraseCovering(record, 0, 4096, 0, 0), FlashResult::EraseFailed);
  EXPECT_FALSE(emu.Bridge().Chip()->WriteEnabled());

  EmulatorFixture locked(BridgeConfig::WithChip("MX25L1005"));
  const DeviceRecord lockedRecord = locked.OpenRecord();
  ASSERT_EQ(FlashIcpSwitch(lockedRecord, 1), FlashResult::Ok);
  std::fill(locked.Bridge().Memory().begin(), locked.Bridge().Memory().end(), 0);
  EXPECT_EQ(FlashEraseCovering(lockedRecord, 0, 4096, 0, 0), FlashResult::EraseFailed);
  EXPECT_EQ(locked.Bridge().Memory()[0], 0);
  EXPECT_FALSE(locked.Bridge().Chip()->WriteEnabled());
}

}  // namespace
}  // namespace burnwell::protocol
