#include "sim/Faults.h"

#include <gtest/gtest.h>

#include "BridgeRequests.h"
#include "common/Bytes.h"

namespace burnwell::sim {
namespace {

FaultPlan Plan(const char* planText) {
  std::string error;
  auto plan = ParseFaultPlan(planText, &error);
  EXPECT_TRUE(plan) << planText << ": " << error;
  return plan.value_or(FaultPlan{});
}

TEST(FaultPlanText, ParsesEveryKind) {
  auto plan = Plan(
      "fail:3,fail:0x10:check,fail-opcode:0xD6:check,fail-opcode:208,corrupt-read:2,"
      "drop-writes,stuck-busy,forget-marker,disconnect:40");
  ASSERT_EQ(plan.failCommands.size(), 2u);
  EXPECT_EQ(plan.failCommands[0].commandNumber, 3u);
  EXPECT_EQ(plan.failCommands[0].kind, FailureKind::Transport);
  EXPECT_EQ(plan.failCommands[1].commandNumber, 16u);
  EXPECT_EQ(plan.failCommands[1].kind, FailureKind::CheckCondition);
  ASSERT_EQ(plan.failOpcodes.size(), 2u);
  EXPECT_EQ(plan.failOpcodes[0].opcode, 0xD6);
  EXPECT_EQ(plan.failOpcodes[1].opcode, 0xD0);
  EXPECT_EQ(plan.corruptReads, std::vector<std::uint64_t>{2});
  EXPECT_TRUE(plan.dropWrites && plan.stuckBusy && plan.forgetMarker);
  EXPECT_EQ(plan.disconnectAfter, 40u);
  EXPECT_TRUE(Plan("").Empty());
}

TEST(FaultPlanText, RejectsMalformedPlansWithAReason) {
  for (const char* bad :
       {"fail", "fail:", "fail:0", "fail:x", "fail:3:maybe", "fail-opcode:0x1FF", "corrupt-read:0",
        "disconnect:5:check", "stuck-busy:1", "explode", "fail:3,,drop-writes", "fail:-1"}) {
    std::string error;
    EXPECT_FALSE(ParseFaultPlan(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

class FaultTest : public ::testing::Test {
 protected:
  EmulatedBridge& Make(const char* planText,
                       BridgeConfig config = BridgeConfig::WithChip("MX25L1005")) {
    config.faults = Plan(planText);
    bridge = std::make_unique<EmulatedBridge>(std::move(config), clock);
    return *bridge;
  }
  Result Info() { return Send(*bridge, Vendor(0xD0), true, 16); }
  Bytes Spi(const Bytes& out, std::size_t in) {
    Send(*bridge, Vendor(0xD3), false, 0, {}, 16);
    if (!out.empty())
      Send(*bridge, Vendor(0xD5, 0, 0, static_cast<std::uint8_t>(out.size())), false, out.size(),
           out);
    Bytes got;
    if (in) got = Send(*bridge, Vendor(0xD6, 0, 0, static_cast<std::uint8_t>(in)), true, in).data;
    Send(*bridge, Vendor(0xD4), false, 0, {}, 16);
    return got;
  }
  void WaitReady() {
    for (int i = 0; i < 10000 && (Spi({0x05}, 1)[0] & 1); ++i) clock.Spend(1000);
  }
  VirtualClock clock;
  std::unique_ptr<EmulatedBridge> bridge;
};

TEST_F(FaultTest, FailTheNthCommandByTransportOrCheckCondition) {
  Make("fail:2,fail:3:check");
  EXPECT_EQ(Info().outcome, CommandOutcome::Completed);
  EXPECT_EQ(Info().outcome, CommandOutcome::TransportFailure);
  auto third = Info();
  EXPECT_EQ(third.outcome, CommandOutcome::Completed);
  EXPECT_EQ(third.status, kScsiCheckCondition);
  EXPECT_EQ(third.senseKey, kSenseHardwareError);
  EXPECT_EQ(Info().status, kScsiGood);
}

TEST_F(FaultTest, FailEveryCommandOfAnOpcodeWithoutCarryingItOut) {
  Make("fail-opcode:0xD4:check");
  Send(*bridge, Vendor(0xD3), false, 0, {}, 16);
  EXPECT_EQ(Send(*bridge, Vendor(0xD4), false, 0, {}, 16).status, kScsiCheckCondition);
  EXPECT_TRUE(bridge->ChipSelected()) << "the failed deselect did not happen";
  EXPECT_EQ(Send(*bridge, Vendor(0xD4), false, 0, {}, 16).status, kScsiCheckCondition);
  EXPECT_EQ(Info().status, kScsiGood);
}

TEST_F(FaultTest, CorruptTheNthReadOnly) {
  Make("corrupt-read:2");
  const auto clean = Info().data;
  Send(*bridge, Vendor(0xD3), false, 0, {}, 16);  // moves no data: not counted
  const auto corrupted = Info().data;
  EXPECT_EQ(corrupted[0], static_cast<std::uint8_t>(~clean[0]));
  EXPECT_TRUE(std::equal(clean.begin() + 1, clean.end(), corrupted.begin() + 1));
  EXPECT_EQ(Info().data, clean);
}

TEST_F(FaultTest, DroppedWritesReportSuccessAndStoreNothing) {
  Make("drop-writes");
  Spi({0x06}, 0);
  Spi({0x60}, 0);  // erase still works
  WaitReady();
  Spi({0x06}, 0);
  Spi({0x02, 0, 0, 0, 0x12}, 0);
  WaitReady();
  EXPECT_EQ(Spi({0x03, 0, 0, 0}, 1), Bytes{0xFF});

  Make("drop-writes", BridgeConfig::WithEeprom(EepromKind::Small256));
  const std::uint8_t before = bridge->Memory()[0x20];
  EXPECT_EQ(Send(*bridge, Vendor(0xD1, 1, 0, 0x20), false, 1, {static_cast<std::uint8_t>(~before)})
                .status,
            kScsiGood);
  EXPECT_EQ(bridge->Memory()[0x20], before);
}

TEST_F(FaultTest, StuckBusyChipNeverBecomesReady) {
  Make("stuck-busy");
  clock.Spend(3'600'000'000ull);
  EXPECT_EQ(Spi({0x05}, 1)[0] & 1, 1);
  EXPECT_EQ(Spi({0x9F}, 3), (Bytes{0xFF, 0xFF, 0xFF}));
}

TEST_F(FaultTest, ForgetfulMemoryLosesTheMarkerBytes) {
  Make("forget-marker");
  Spi({0x06}, 0);
  Spi({0x60}, 0);
  WaitReady();
  Spi({0x06}, 0);
  Spi({0x02, 0, 0, 0x0A, 0x01, 0x5A, 0x12, 0x34, 0x02}, 0);
  WaitReady();
  EXPECT_EQ(Spi({0x03, 0, 0, 0x0A}, 5), (Bytes{0x01, 0xFF, 0xFF, 0xFF, 0x02}));

  Make("forget-marker", BridgeConfig::WithEeprom(EepromKind::Large64k));
  Send(*bridge, Vendor(0xD1, 3, 0, 11), false, 3, {0x00, 0x00, 0x00});
  EXPECT_EQ(Send(*bridge, Vendor(0xD2, 3, 0, 11), true, 3).data,
            (Bytes{0x5A, bridge->Memory()[12], bridge->Memory()[13]}))
      << "the factory marker stays";
}

TEST_F(FaultTest, DisconnectAfterNCommandsFailsEveryLaterCommand) {
  Make("disconnect:2");
  EXPECT_EQ(Info().outcome, CommandOutcome::Completed);
  EXPECT_EQ(Info().outcome, CommandOutcome::Completed);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Info().outcome, CommandOutcome::Disconnected);
}

}  // namespace
}  // namespace burnwell::sim
