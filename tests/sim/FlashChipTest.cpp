#include "sim/FlashChip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/ChipCatalog.h"

namespace burnwell::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One select-to-deselect transaction: write `out`, then read `readCount` bytes.
Bytes Transact(FlashChip& chip, const Bytes& out, std::size_t readCount = 0) {
  chip.Select();
  for (auto b : out) chip.Exchange(b);
  Bytes in;
  for (std::size_t i = 0; i < readCount; ++i) in.push_back(chip.Exchange(0xFF));
  chip.Deselect();
  return in;
}

class FlashChipTest : public ::testing::Test {
 protected:
  FlashChip Make(const char* name) { return FlashChip(*FindChip(name), clock); }
  void WaitReady(FlashChip& chip) {
    for (int i = 0; i < 100000 && (Transact(chip, {0x05}, 1)[0] & 1); ++i) clock.Spend(100);
  }
  void WriteEnable(FlashChip& chip) { Transact(chip, {0x06}); }
  void Program(FlashChip& chip, std::uint32_t address, const Bytes& data) {
    WriteEnable(chip);
    Bytes command = {0x02, static_cast<std::uint8_t>(address >> 16),
                     static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)};
    command.insert(command.end(), data.begin(), data.end());
    Transact(chip, command);
    WaitReady(chip);
  }
  Bytes Read(FlashChip& chip, std::uint32_t address, std::size_t n) {
    return Transact(chip,
                    {0x03, static_cast<std::uint8_t>(address >> 16),
                     static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)},
                    n);
  }
  void Erase(FlashChip& chip) {
    WriteEnable(chip);
    Transact(chip, {chip.Description().chipEraseOpcodes.front()});
    WaitReady(chip);
  }

  VirtualClock clock;
};

TEST_F(FlashChipTest, ProgramWithoutWriteEnableChangesNothing) {
  auto chip = Make("MX25L1005");
  Transact(chip, {0x02, 0x00, 0x01, 0x00, 0x12, 0x34});
  EXPECT_EQ(Read(chip, 0x100, 2), (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(Transact(chip, {0x05}, 1)[0] & 0x03, 0) << "neither busy nor write-enabled";
}

TEST_F(FlashChipTest, ProgrammingOnlyClearsBitsSoOverprogrammingAnds) {
  auto chip = Make("MX25L1005");
  Program(chip, 0x10, {0xF0, 0x3C});
  Program(chip, 0x10, {0x0F, 0xFF});
  EXPECT_EQ(Read(chip, 0x10, 2), (Bytes{0x00, 0x3C}));
  Erase(chip);
  EXPECT_EQ(Read(chip, 0x10, 2), (Bytes{0xFF, 0xFF}));
}

TEST_F(FlashChipTest, PageProgramWrapsInsideItsPage) {
  auto chip = Make("M25P16");
  Program(chip, 0x1FE, {0x01, 0x02, 0x03, 0x04});
  EXPECT_EQ(Read(chip, 0x1FE, 2), (Bytes{0x01, 0x02}));
  EXPECT_EQ(Read(chip, 0x100, 2), (Bytes{0x03, 0x04}))
      << "bytes past the page end wrap to its start";
  EXPECT_EQ(Read(chip, 0x200, 1), (Bytes{0xFF})) << "the next page is untouched";
}

TEST_F(FlashChipTest, WriteEnableLatchIsClearedAfterEachWriteAndByWriteDisable) {
  auto chip = Make("MX25L1005");
  WriteEnable(chip);
  EXPECT_TRUE(Transact(chip, {0x05}, 1)[0] & 0x02);
  Transact(chip, {0x04});
  EXPECT_FALSE(Transact(chip, {0x05}, 1)[0] & 0x02);
  Program(chip, 0, {0x00});
  EXPECT_FALSE(chip.WriteEnabled());
  Transact(chip, {0x02, 0x00, 0x00, 0x01, 0x00});  // no second program without a new enable
  EXPECT_EQ(Read(chip, 0, 2), (Bytes{0x00, 0xFF}));
}

TEST_F(FlashChipTest, BlockProtectionIgnoresProgramAndErase) {
  auto chip = Make("MX25L1005");
  Program(chip, 0x00, {0x11});
  WriteEnable(chip);
  Transact(chip, {0x01, 0x0C});  // protect everything
  WaitReady(chip);
  EXPECT_EQ(chip.Status() & 0x0C, 0x0C);
  Program(chip, 0x01, {0x22});
  Erase(chip);
  EXPECT_EQ(Read(chip, 0x00, 2), (Bytes{0x11, 0xFF}));
  WriteEnable(chip);
  Transact(chip, {0x01, 0x00});  // unprotect
  WaitReady(chip);
  Erase(chip);
  EXPECT_EQ(Read(chip, 0x00, 1), (Bytes{0xFF}));
}

TEST_F(FlashChipTest, PartialProtectionCoversTheTopOfTheArrayOnly) {
  auto chip = Make("MX25L1005");  // 128 KiB, BP level 1 = upper 32 KiB
  WriteEnable(chip);
  Transact(chip, {0x01, 0x04});
  WaitReady(chip);
  Program(chip, 0x18000, {0x00});
  Program(chip, 0x17FFF, {0x00});
  EXPECT_EQ(Read(chip, 0x18000, 1), (Bytes{0xFF}));
  EXPECT_EQ(Read(chip, 0x17FFF, 1), (Bytes{0x00}));
  Erase(chip);
  EXPECT_EQ(Read(chip, 0x17FFF, 1), (Bytes{0x00}))
      << "chip erase is refused while any block is protected";
}

TEST_F(FlashChipTest, StatusWriteProtectBitLocksStatusOnlyWithWpAsserted) {
  auto chip = Make("MX25L1005");
  WriteEnable(chip);
  Transact(chip, {0x01, 0x8C});
  WaitReady(chip);
  chip.SetWriteProtectPin(true);
  WriteEnable(chip);
  Transact(chip, {0x01, 0x00});
  WaitReady(chip);
  EXPECT_EQ(chip.Status() & 0x8C, 0x8C) << "SRWD with WP# low locks the register";
  chip.SetWriteProtectPin(false);
  WriteEnable(chip);
  Transact(chip, {0x01, 0x00});
  WaitReady(chip);
  EXPECT_EQ(chip.Status() & 0x8C, 0);
}

TEST_F(FlashChipTest, BusyForTheModelledTimeAndPollsSeeIt) {
  auto chip = Make("MX25L3205D");  // chip erase: 25 s typical
  WriteEnable(chip);
  Transact(chip, {0x60});
  EXPECT_EQ(Transact(chip, {0x05}, 1)[0] & 0x01, 1);
  clock.Spend(24'999'000);
  EXPECT_EQ(Transact(chip, {0x05}, 1)[0] & 0x01, 1);
  EXPECT_EQ(Read(chip, 0, 1), (Bytes{0xFF})) << "a busy part does not answer reads";
  clock.Spend(1000);
  EXPECT_EQ(Transact(chip, {0x05}, 1)[0] & 0x01, 0);

  Program(chip, 0, {0x00});
  WriteEnable(chip);
  Transact(chip, {0x02, 0x00, 0x00, 0x01, 0x00});
  EXPECT_EQ(Transact(chip, {0x05}, 1)[0] & 0x01, 1);
  WriteEnable(chip);  // ignored while busy
  clock.Spend(chip.Description().pageProgramUs);
  EXPECT_EQ(Transact(chip, {0x05}, 1)[0] & 0x03, 0);
}

// Every sector and block erase of every model, as its datasheet describes it: nothing without
// write enable; with it, exactly its aligned unit reads 0xFF once the erase's time has passed
// (busy until then); nothing while block protection covers the unit.
TEST_F(FlashChipTest, EveryRegionEraseClearsExactlyItsAlignedUnitInItsTime) {
  for (const ChipDescription& model : ChipCatalog()) {
    for (const EraseCommand& erase : model.regionErases) {
      SCOPED_TRACE(model.name + " erase " + std::to_string(erase.opcode));
      FlashChip chip(model, clock);
      std::fill(chip.Memory().begin(), chip.Memory().end(), 0);
      const std::uint32_t unit = erase.size;  // the second unit, addressed in its middle
      const Bytes command = {erase.opcode, static_cast<std::uint8_t>((unit + unit / 2) >> 16),
                             static_cast<std::uint8_t>((unit + unit / 2) >> 8), 0};
      Transact(chip, command);
      EXPECT_EQ(chip.Memory()[unit], 0) << "no erase without write enable";

      WriteEnable(chip);
      Transact(chip, command);
      EXPECT_TRUE(chip.Busy());
      clock.Spend(erase.timeUs > 0 ? erase.timeUs - 1 : 0);
      EXPECT_EQ(chip.Busy(), erase.timeUs > 1);
      clock.Spend(1);
      EXPECT_FALSE(chip.Busy());
      const auto memory = chip.Memory();
      EXPECT_EQ(memory[unit - 1], 0);
      EXPECT_TRUE(std::all_of(memory.begin() + unit, memory.begin() + 2 * unit,
                              [](std::uint8_t b) { return b == 0xFF; }));
      if (2 * unit < memory.size()) {
        EXPECT_EQ(memory[2 * unit], 0);
      }

      chip.SetStatusForTest(0, model.blockProtectMask);  // every block protected
      std::fill(memory.begin(), memory.end(), 0);
      WriteEnable(chip);
      Transact(chip, command);
      EXPECT_EQ(memory[unit], 0) << "a protected unit is not erased";
      EXPECT_FALSE(chip.WriteEnabled());
    }
  }
}

TEST_F(FlashChipTest, ReadAndFastReadRunOnAcrossPages) {
  auto chip = Make("MX25L1005");
  Program(chip, 0xFF, {0x01});
  Program(chip, 0x100, {0x02});
  EXPECT_EQ(Read(chip, 0xFF, 2), (Bytes{0x01, 0x02}));
  EXPECT_EQ(Transact(chip, {0x0B, 0x00, 0x00, 0xFF, 0x00}, 2), (Bytes{0x01, 0x02}));
}

TEST_F(FlashChipTest, AutoIncrementProgramSequence) {
  auto chip = Make("SST25VF010A");
  WriteEnable(chip);
  Transact(chip, {0xAF, 0x00, 0x00, 0x0B, 0x5A});
  EXPECT_TRUE(chip.AutoIncrementActive());
  EXPECT_EQ(Transact(chip, {0x05}, 1)[0] & 0x41, 0x41) << "busy and in AAI mode";
  clock.Spend(100);
  Transact(chip, {0xAF, 0x12});
  clock.Spend(100);
  EXPECT_EQ(Read(chip, 0x0B, 1), (Bytes{0xFF})) << "reads are refused in AAI mode";
  Transact(chip, {0xAF, 0x34});
  clock.Spend(100);
  Transact(chip, {0x04});
  EXPECT_FALSE(chip.AutoIncrementActive());
  EXPECT_FALSE(chip.WriteEnabled());
  EXPECT_EQ(Read(chip, 0x0B, 4), (Bytes{0x5A, 0x12, 0x34, 0xFF}));
}

TEST_F(FlashChipTest, AutoIncrementNeedsWriteEnableAndPageProgramIsOneByteOnThatFamily) {
  auto chip = Make("SST25VF010A");
  Transact(chip, {0xAF, 0x00, 0x00, 0x00, 0x00});
  EXPECT_FALSE(chip.AutoIncrementActive());
  Program(chip, 0x20, {0x01, 0x02});
  EXPECT_EQ(Read(chip, 0x20, 2), (Bytes{0x01, 0xFF}));
}

TEST_F(FlashChipTest, EnableWriteStatusAllowsTheNextStatusWriteOnly) {
  auto chip = Make("SST25VF010A");
  Transact(chip, {0x50});
  Transact(chip, {0x01, 0x0C});
  EXPECT_EQ(chip.Status() & 0x0C, 0x0C);
  Transact(chip, {0x01, 0x00});
  EXPECT_EQ(chip.Status() & 0x0C, 0x0C) << "0x50 enables one status write";
  Transact(chip, {0x50});
  Transact(chip, {0x05}, 1);
  Transact(chip, {0x01, 0x00});
  EXPECT_EQ(chip.Status() & 0x0C, 0x0C) << "it must come immediately before";
  auto other = Make("MX25L1005");
  Transact(other, {0x50});
  Transact(other, {0x01, 0x0C});
  EXPECT_EQ(other.Status() & 0x0C, 0) << "parts without the command ignore it";
}

TEST_F(FlashChipTest, StatusWriteOfThreeBytesSetsBothRegisters) {
  auto chip = Make("GD25Q40C");
  WriteEnable(chip);
  Transact(chip, {0x01, 0x7E, 0x02});
  WaitReady(chip);
  EXPECT_EQ(Transact(chip, {0x05}, 1)[0], 0x7C) << "the latch bit is not writable";
  EXPECT_EQ(Transact(chip, {0x35}, 1)[0], 0x02);
  WriteEnable(chip);
  Transact(chip, {0x01, 0x00});
  WaitReady(chip);
  EXPECT_EQ(Transact(chip, {0x35}, 1)[0], 0x02) << "a two-byte write leaves register 2";
}

TEST_F(FlashChipTest, ChipEraseOpcodeOfTheOlderFamily) {
  auto chip = Make("AT25F1024A");
  Program(chip, 0, {0x00});
  WriteEnable(chip);
  Transact(chip, {0x60});
  WaitReady(chip);
  EXPECT_EQ(Read(chip, 0, 1), (Bytes{0x00})) << "0x60 is not this part's erase";
  WriteEnable(chip);
  Transact(chip, {0x62});
  WaitReady(chip);
  EXPECT_EQ(Read(chip, 0, 1), (Bytes{0xFF}));
}

TEST_F(FlashChipTest, FaultsStuckBusyDroppedProgramsAndForgetfulCells) {
  auto chip = Make("MX25L1005");
  chip.SetForgetfulRange(11, 13);
  Program(chip, 10, {0x01, 0x5A, 0x12, 0x34, 0x05});
  EXPECT_EQ(Read(chip, 10, 5), (Bytes{0x01, 0xFF, 0xFF, 0xFF, 0x05}));
  chip.SetDropPrograms(true);
  Program(chip, 0x40, {0x00});
  EXPECT_EQ(Read(chip, 0x40, 1), (Bytes{0xFF}));
  chip.SetStuckBusy(true);
  clock.Spend(1'000'000'000);
  EXPECT_EQ(Transact(chip, {0x05}, 1)[0] & 1, 1);
}

TEST_F(FlashChipTest, UnknownOpcodesAndBytesOutsideASelectionReadHigh) {
  auto chip = Make("M25P05");
  EXPECT_EQ(Transact(chip, {0x9F}, 3), (Bytes{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(chip.Exchange(0x05), 0xFF);
  EXPECT_EQ(Transact(chip, {0xAB, 0, 0, 0}, 2), (Bytes{0x05, 0x05}));
}

}  // namespace
}  // namespace burnwell::sim
