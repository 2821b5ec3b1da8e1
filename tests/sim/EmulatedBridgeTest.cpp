#include "sim/EmulatedBridge.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "common/Bytes.h"
#include "wire/ScsiRequest.h"
#include "sim/FactoryImage.h"
#include "sim/testing/EmulatorFixture.h"
#include "BridgeRequests.h"

namespace burnwell::sim {
namespace {

template <class Edit>
BridgeConfig Config(Edit edit) {
  BridgeConfig config;
  edit(config);
  return config;
}

class BridgeTest : public ::testing::Test {
 protected:
  EmulatedBridge& Make(BridgeConfig config = {}) {
    bridge = std::make_unique<EmulatedBridge>(std::move(config), clock);
    return *bridge;
  }
  Bytes Spi(const Bytes& out, std::size_t in) {
    EXPECT_EQ(Send(*bridge, Vendor(0xD3), false, 0, {}, 16).status, kScsiGood);
    if (!out.empty()) {
      EXPECT_EQ(Send(*bridge, Vendor(0xD5, 0, 0, static_cast<std::uint8_t>(out.size())), false,
                     out.size(), out)
                    .status,
                kScsiGood);
    }
    Bytes got;
    if (in) got = Send(*bridge, Vendor(0xD6, 0, 0, static_cast<std::uint8_t>(in)), true, in).data;
    EXPECT_EQ(Send(*bridge, Vendor(0xD4), false, 0, {}, 16).status, kScsiGood);
    return got;
  }
  VirtualClock clock;
  std::unique_ptr<EmulatedBridge> bridge;
};

TEST_F(BridgeTest, BridgeInformationCarriesIdentityMemoryKindAndPair) {
  auto& b = Make(Config([](BridgeConfig& c) {
    c.productId = PID_B;
    c.firmwareVersion = 0x11223344;
    c.pairBytes = {0x01, 0x02};
  }));
  auto r = Send(b, Vendor(0xD0), true, 16);
  ASSERT_EQ(r.status, kScsiGood);
  EXPECT_EQ(r.data, (Bytes{VID_MAKER >> 8, VID_MAKER & 0xFF, PID_B >> 8, PID_B & 0xFF, 0x11, 0x22,
                           0x33, 0x44, 0x01, 0x02, 0x00, 0x01, 0x01, 0x02, 0x00, 0x00}));
  auto& e = Make(Config([](BridgeConfig& c) {
    c.eeprom = EepromKind::Large64k;
    c.pairMismatch = true;
  }));
  r = Send(e, Vendor(0xD0), true, 512);
  EXPECT_EQ(r.data[10], 2);
  EXPECT_EQ(r.data[11], 0);
  EXPECT_NE(r.data[13], r.data[9]);
}

TEST_F(BridgeTest, VendorCommandsWithoutTheSignatureOrTooLongAreIllegal) {
  auto& b = Make();
  auto cdb = Vendor(0xD0);
  cdb[5] ^= 1;
  EXPECT_EQ(Send(b, cdb, true, 16).status, kScsiCheckCondition);
  EXPECT_EQ(Send(b, cdb, true, 16).senseKey, kSenseIllegalRequest);
  EXPECT_EQ(Send(b, Vendor(0xD5, 0, 0, 33), false, 33, Bytes(33, 0)).status, kScsiCheckCondition);
  EXPECT_EQ(Send(b, Vendor(0xD6, 0, 0, 33), true, 33).status, kScsiCheckCondition);
  EXPECT_EQ(Send(b, Vendor(0xD6, 0, 0, 32), true, 32).status, kScsiGood);
  EXPECT_EQ(Send(b, Vendor(0xD2, 33, 0, 0), true, 33).senseKey, kSenseIllegalRequest);
  EXPECT_EQ(Send(b, Vendor(0xD7), false, 0).senseKey, kSenseIllegalRequest);
  EXPECT_EQ(Send(b, Vendor(0xDA), false, 0).senseKey, kSenseIllegalRequest);
  EXPECT_EQ(Send(b, {0xC5}, false, 0).senseKey, kSenseIllegalRequest);
  EXPECT_EQ(Send(b, Vendor(0xD6, 0, 0, 8), false, 8).status, kScsiCheckCondition)
      << "wrong direction";
}

TEST_F(BridgeTest, SpiCommandsReachTheChipOnlyInsideASelection) {
  auto& b = Make(BridgeConfig::WithChip("MX25L1005"));
  EXPECT_EQ(Spi({0x9F}, 3), (Bytes{0xC2, 0x20, 0x11}));
  EXPECT_EQ(Send(b, Vendor(0xD6, 0, 0, 2), true, 2).data, (Bytes{0xFF, 0xFF})) << "not selected";
  EXPECT_EQ(Send(b, Vendor(0xD4), false, 0, {}, 16).status, kScsiGood)
      << "a second deselect is harmless";
  EXPECT_EQ(Spi({0x03, 0x00, 0x00, 0x0B}, 3)[0], 0x5A) << "factory marker at offset 11";
}

TEST_F(BridgeTest, FactoryImageHoldsBlockCodeAndAValidMarker) {
  auto& b = Make(Config([](BridgeConfig& c) {
    c.productId = PID_A;
    c.serial = "SN42";
  }));
  auto memory = b.Memory();
  EXPECT_EQ(LoadLe16(&memory[0]), VID_MAKER);
  EXPECT_EQ(LoadLe16(&memory[4]), PID_A);
  EXPECT_EQ(memory[10], 0x40);
  std::vector<std::uint8_t> copy(memory.begin(), memory.end());
  EXPECT_EQ(memory[11], 0x5A);
  EXPECT_EQ(LoadBe16(&memory[12]), MainCodeChecksum(copy, 0xB800));
  // Descriptor 3 (after 4 + 50 + 32 bytes of descriptors 0..2) holds the serial number.
  EXPECT_EQ(memory[102], 2 + 2 * 4);
  EXPECT_EQ(memory[103], 3);
  EXPECT_EQ(memory[104], 'S');
  EXPECT_EQ(memory[110], '2');
  EXPECT_EQ(memory[0x100 + 0xB800], 0xFF);
}

TEST_F(BridgeTest, EepromCommandsAddressTheEeprom) {
  auto& b = Make(BridgeConfig::WithEeprom(EepromKind::Small256));
  EXPECT_EQ(Send(b, Vendor(0xD1, 4, 0x01, 0x06), false, 4, {1, 2, 3, 4}).status, kScsiGood);
  const Bytes factory(b.Memory().begin() + 2, b.Memory().begin() + 6);
  auto r = Send(b, Vendor(0xD2, 8, 0x01, 0x00), true, 8);
  EXPECT_EQ(r.data, (Bytes{3, 4, factory[0], factory[1], factory[2], factory[3], 1, 2}))
      << "the write wrapped inside its 8-byte page; the high address byte is ignored";
  auto& f = Make(BridgeConfig::WithChip("MX25L1005"));
  EXPECT_EQ(Send(f, Vendor(0xD2, 8, 0, 0), true, 8).status, kScsiCheckCondition)
      << "no EEPROM fitted";
}

TEST_F(BridgeTest, InquiryAndAtaIdentify) {
  auto& b = Make(Config([](BridgeConfig& c) { c.firmwareVersion = 0x105; }));
  auto r = Send(b, {0x12, 0, 0, 0, 36}, true, 36);
  ASSERT_EQ(r.status, kScsiGood);
  EXPECT_EQ(std::string(r.data.begin() + 8, r.data.begin() + 36), "TESSALINUSB-SATA Bridge 0105");
  EXPECT_EQ(Send(b, {0x12, 0, 0x80, 0, 36}, true, 36).status, kScsiCheckCondition)
      << "page without EVPD";
  r = Send(b, {0x12, 1, 0x80, 0, 64}, true, 64);
  EXPECT_EQ(r.data[1], 0x80);

  Bytes ata = {0xD8, 0x15, 0,    0,   VID_MAKER >> 8, VID_MAKER & 0xFF, 0, 0, 2, 0, 0, 0,
               0,    0,    0xA0, 0xEC};
  r = Send(b, ata, true, 512, {}, 16);
  ASSERT_EQ(r.status, kScsiGood);
  EXPECT_EQ(LoadBe16(&r.data[40]), VID_MAKER);
  EXPECT_EQ(LoadBe16(&r.data[42]), PID_C);
  std::uint8_t sum = 0;
  for (auto byte : r.data) sum = static_cast<std::uint8_t>(sum + byte);
  EXPECT_EQ(sum, 0) << "IDENTIFY integrity word";
  ata[15] = 0x25;
  EXPECT_EQ(Send(b, ata, true, 512, {}, 16).senseKey, kSenseAbortedCommand);
}

TEST_F(BridgeTest, IdentificationBlockAppearsOnlyAfterTheFourReservedReadsInOrder) {
  auto& b = Make(Config([](BridgeConfig& c) { c.productId = PID_D; }));
  auto read10 = [&](std::uint32_t lba) {
    Bytes cdb = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    StoreBe32(&cdb[2], lba);
    return Send(b, cdb, true, 512, {}, 10);
  };
  const std::uint32_t base = 0xFF0000;
  const std::array<std::uint32_t, 4> sequence = {base + (VID_MAKER >> 8), base + (VID_MAKER & 0xFF),
                                                 base + (PID_B >> 8), base + (PID_B & 0xFF)};
  EXPECT_EQ(LoadBe16(&read10(0x600000).data[2]), 0) << "without the sequence";
  for (auto lba : sequence) ASSERT_EQ(read10(lba).status, kScsiGood);
  auto r = read10(0x600000);
  EXPECT_EQ(LoadBe16(&r.data[2]), VID_MAKER);
  EXPECT_EQ(LoadBe16(&r.data[4]), PID_D);
  EXPECT_EQ(LoadBe16(&read10(0x600000).data[2]), 0) << "the unlock is used up";

  read10(sequence[1]);
  read10(sequence[0]);
  read10(sequence[2]);
  read10(sequence[3]);
  EXPECT_EQ(LoadBe16(&read10(0x600000).data[2]), 0) << "wrong order";
  EXPECT_EQ(read10(kDriveBlocks).status, kScsiCheckCondition);
}

TEST_F(BridgeTest, EveryCommandCostsTheLatency) {
  auto& b = Make(Config([](BridgeConfig& c) { c.latencyUs = 250; }));
  Send(b, Vendor(0xD0), true, 16);
  Send(b, Vendor(0xD7), false, 0);
  EXPECT_EQ(clock.NowUs(), 500u);
  EXPECT_EQ(b.CommandCount(), 2u);
}

TEST_F(BridgeTest, TracesFollowTheLineFormats) {
  auto& b = Make(BridgeConfig::WithChip("MX25L1005"));
  std::ostringstream scsi, spi;
  b.SetScsiTrace(&scsi);
  b.SetSpiTrace(&spi);
  Spi({0x9F}, 3);
  Send(b, Vendor(0xD3), false, 0, {}, 16);
  Send(b, Vendor(0xD4), false, 0, {}, 16);  // an empty transaction is not written
  Send(b, Vendor(0xD7), false, 0);
  Send(b, Vendor(0xD0), true, 40);
  ASSERT_EQ(VID_MAKER, 0x7E55);
  auto lines = testing::SplitLines(scsi.str());
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], "D3 00 00 00 7E 55 00 00 00 00 00 00 00 00 00 00 | none | GOOD");
  EXPECT_EQ(lines[1], "D5 00 00 01 7E 55 00 00 00 00 00 00 | out 9F | GOOD");
  EXPECT_EQ(lines[2], "D6 00 00 03 7E 55 00 00 00 00 00 00 | in C2 20 11 | GOOD");
  EXPECT_EQ(lines[6], "D7 00 00 00 7E 55 00 00 00 00 00 00 | none | CHECK");
  EXPECT_EQ(lines[7].substr(0, 49), "D0 00 00 00 7E 55 00 00 00 00 00 00 | in 7E 55 25");
  EXPECT_NE(lines[7].find(" 00 00 00 00 ... 40 | GOOD"), std::string::npos) << lines[7];
  EXPECT_EQ(testing::SplitLines(spi.str()), (std::vector<std::string>{"9F > C2 20 11"}));
}

TEST_F(BridgeTest, AutoIncrementProgrammingThroughTheBridgeEndsWithAnExtraDeselect) {
  auto& b = Make(BridgeConfig::WithChip("SST25VF010A"));
  std::ostringstream spi;
  b.SetSpiTrace(&spi);
  Spi({0x06}, 0);
  Spi({0x60}, 0);
  clock.Spend(100'000);
  // Three bytes at offset 11: one 5-byte transaction with the first byte, then 2-byte ones.
  Spi({0x06}, 0);
  Spi({0xAF, 0x00, 0x00, 0x0B, 0x5A}, 0);
  Spi({0xAF, 0x12}, 0);
  Spi({0xAF, 0x34}, 0);
  EXPECT_EQ(Send(b, Vendor(0xD4), false, 0, {}, 16).status, kScsiGood);
  EXPECT_EQ(Spi({0x05}, 1)[0] & 0x41, 0x40)
      << "ready, still in auto-increment mode (the latch stays set until write disable)";
  Spi({0x04}, 0);
  EXPECT_EQ(Spi({0x03, 0x00, 0x00, 0x0A}, 5), (Bytes{0xFF, 0x5A, 0x12, 0x34, 0xFF}));
  EXPECT_EQ(testing::SplitLines(spi.str()),
            (std::vector<std::string>{"06", "60", "06", "AF 00 00 0B 5A", "AF 12", "AF 34",
                                      "05 > 42", "04", "03 00 00 0A > FF 5A 12 34 FF"}));
}

// What a disk driver sends when it binds the bridge's disk unit, answered as an empty disk
// without a write cache answers it: no CHECK CONDITION in the kernel's log.
TEST_F(BridgeTest, DiskDriverCommandsAreAnsweredLikeAnEmptyDisk) {
  struct Case {
    const char* what;
    Bytes cdb;
    std::size_t length;  // data-in bytes the driver asks for
    std::uint8_t status;
    Bytes answer;  // the first bytes of the answer (the rest of the buffer stays zero)
  };
  const Bytes caching = {0x08, 0x12, 0x00};
  auto join = [](Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  const Case cases[] = {
      {"TEST UNIT READY", {0x00, 0, 0, 0, 0, 0}, 0, kScsiGood, {}},
      {"PREVENT MEDIUM REMOVAL", {0x1E, 0, 0, 0, 1, 0}, 0, kScsiGood, {}},
      {"ALLOW MEDIUM REMOVAL", {0x1E, 0, 0, 0, 0, 0}, 0, kScsiGood, {}},
      {"SYNCHRONIZE CACHE(10)", {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, kScsiGood, {}},
      {"READ CAPACITY(10)",
       {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       8,
       kScsiGood,
       {0x00, 0xFF, 0xFF, 0xFF, 0, 0, 2, 0}},
      {"MODE SENSE(6) all pages, 192 bytes",
       {0x1A, 0, 0x3F, 0, 192, 0},
       192,
       kScsiGood,
       join({23, 0, 0, 0}, caching)},
      {"MODE SENSE(6) write protect probe, 4 bytes",
       {0x1A, 0, 0x3F, 0, 4, 0},
       192,
       kScsiGood,
       {23, 0, 0, 0, 0, 0}},
      {"MODE SENSE(6) caching page, DBD",
       {0x1A, 0x08, 0x08, 0, 64, 0},
       64,
       kScsiGood,
       join({23, 0, 0, 0}, caching)},
      {"MODE SENSE(6) changeable values",
       {0x1A, 0, 0x48, 0, 64, 0},
       64,
       kScsiGood,
       join({23, 0, 0, 0}, caching)},
      {"MODE SENSE(10) caching page",
       {0x5A, 0, 0x08, 0, 0, 0, 0, 0, 64, 0},
       64,
       kScsiGood,
       join({0, 26, 0, 0, 0, 0, 0, 0}, caching)},
      {"MODE SENSE(6) saved values", {0x1A, 0, 0xC8, 0, 64, 0}, 64, kScsiCheckCondition, {}},
      {"MODE SENSE(6) a page the bridge lacks",
       {0x1A, 0, 0x1C, 0, 64, 0},
       64,
       kScsiCheckCondition,
       {}},
      {"MODE SENSE(6) a subpage", {0x1A, 0, 0x08, 1, 64, 0}, 64, kScsiCheckCondition, {}},
      {"READ(10) of the partition table", {0x28, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 4096, kScsiGood, {}},
      {"READ(10) of ordinary sectors",
       {0x28, 0, 0, 0x12, 0x34, 0x56, 0, 0, 8, 0},
       4096,
       kScsiGood,
       Bytes(4096, 0)},
  };
  for (const Case& c : cases) {
    auto& b = Make();
    const auto r =
        Send(b, c.cdb, c.length > 0, c.length, {}, static_cast<std::uint8_t>(c.cdb.size()));
    EXPECT_EQ(r.status, c.status) << c.what;
    if (c.status != kScsiGood) {
      EXPECT_EQ(r.senseKey, kSenseIllegalRequest) << c.what;
      continue;
    }
    ASSERT_GE(r.data.size(), c.answer.size()) << c.what;
    EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + static_cast<std::ptrdiff_t>(c.answer.size())),
              c.answer)
        << c.what;
  }
  auto& b = Make();
  const auto sector0 = Send(b, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, true, 512, {}, 10);
  EXPECT_EQ(sector0.data[510], 0x55) << "an MBR without partitions";
  EXPECT_EQ(sector0.data[511], 0xAA);
  EXPECT_EQ(Bytes(sector0.data.begin() + 446, sector0.data.begin() + 510), Bytes(64, 0));
}

TEST_F(BridgeTest, RequestSenseReportsTheLastFailureOnceThenNoSense) {
  auto& b = Make();
  const Bytes requestSense = {0x03, 0, 0, 0, 18, 0};
  EXPECT_EQ(Send(b, {0xC5}, false, 0).status, kScsiCheckCondition);
  auto r = Send(b, requestSense, true, 18, {}, 6);
  ASSERT_EQ(r.status, kScsiGood);
  EXPECT_EQ(r.data[0], 0x70);
  EXPECT_EQ(r.data[2], kSenseIllegalRequest);
  EXPECT_EQ(r.data[12], 0x20) << "invalid operation code";
  r = Send(b, requestSense, true, 18, {}, 6);
  EXPECT_EQ(r.data[0], 0x70) << "fixed format";
  EXPECT_EQ(r.data[2], 0) << "NO SENSE once reported";
  EXPECT_EQ(r.data[7], 10);
}

TEST_F(BridgeTest, ADiskDriversBindingLeavesTheIdentificationReadsWorking) {
  auto& b = Make(Config([](BridgeConfig& c) { c.productId = PID_D; }));
  auto read10 = [&](std::uint32_t lba, std::uint16_t blocks) {
    Bytes cdb = {0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    StoreBe32(&cdb[2], lba);
    StoreBe16(&cdb[7], blocks);
    return Send(b, cdb, true, blocks * 512u, {}, 10);
  };
  Send(b, {0x00, 0, 0, 0, 0, 0}, false, 0, {}, 6);
  Send(b, {0x12, 0, 0, 0, 36, 0}, true, 36, {}, 6);
  Send(b, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 8, {}, 10);
  Send(b, {0x1A, 0, 0x3F, 0, 192, 0}, true, 192, {}, 6);
  Send(b, {0x1E, 0, 0, 0, 1, 0}, false, 0, {}, 6);
  read10(0, 8);
  const std::uint32_t base = 0xFF0000;
  for (std::uint32_t lba : {base + (VID_MAKER >> 8), base + (VID_MAKER & 0xFF), base + (PID_B >> 8),
                            base + (PID_B & 0xFF)}) {
    ASSERT_EQ(read10(lba, 1).status, kScsiGood);
  }
  EXPECT_EQ(LoadBe16(&read10(0x600000, 1).data[4]), PID_D);
}

}  // namespace
}  // namespace burnwell::sim
