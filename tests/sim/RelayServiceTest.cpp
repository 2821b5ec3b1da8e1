#include "sim/RelayService.h"

#include <gtest/gtest.h>

#include "common/Bytes.h"
#include "device/DeviceRecord.h"
#include "device/Transport.h"
#include "device/relay/RelayServer.h"
#include "platform/System.h"
#include "platform/WinNames.h"
#include "tests/support/TestSupport.h"

namespace burnwell::sim {
namespace {

class RootedSystem final : public platform::System {
 public:
  std::filesystem::path root;
  bool IsWindowsNt() override { return true; }
  void SetLastSystemError(std::uint32_t code) override { last = code; }
  std::uint32_t LastSystemError() override { return last; }
  std::filesystem::path SystemRoot() override { return root; }
  std::uint32_t last = 0;
};

wire::ScsiRequest Request(std::initializer_list<std::uint8_t> cdb, bool in, std::uint32_t length,
                          std::uint8_t cdbLength = 12) {
  wire::ScsiCommand command{.cdbLength = cdbLength,
                            .direction = in ? wire::DataDirection::In : wire::DataDirection::Out,
                            .transferLength = length,
                            .targetId = 1};
  std::copy(cdb.begin(), cdb.end(), command.cdb.begin());
  return wire::ScsiRequest::For(command);
}

constexpr std::uint8_t kSigHi = VID_MAKER >> 8;
constexpr std::uint8_t kSigLo = VID_MAKER & 0xFF;

class RelayServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device::ResetDeviceLayerState();
    device::DeviceLayer().ntFlag = true;
    system.root = temp.Path();
  }
  void TearDown() override { device::ResetDeviceLayerState(); }

  test::TempDir temp;
  RootedSystem system;
  platform::ScopedOverride<platform::System> systemGuard{&system};
  RealTimeClock clock;
};

TEST_F(RelayServeTest, AClientOfTheRelayDrivesTheEmulatedFlashEndToEnd) {
  BridgeConfig config = BridgeConfig::WithChip("GD25Q40C");
  config.latencyUs = 0;
  auto bridge = std::make_shared<EmulatedBridge>(config, clock);
  std::ostringstream spi;
  bridge->SetSpiTrace(&spi);
  EmulatorRelayBackend backend(bridge);
  auto server = device::relay::StartRelayServer(backend);
  ASSERT_NE(server, nullptr);

  device::DeviceRecord record;
  record.Handle = device::RelayOpenDevice("/dev/sg7");
  ASSERT_NE(record.Handle, platform::kInvalidHandle);
  ASSERT_TRUE(device::IsRelayHandle(record.Handle));

  auto info = Request({0xD0, 0, 0, 0, kSigHi, kSigLo}, true, 16);
  ASSERT_EQ(device::SendScsiCommand(record, info, 592), 1);
  EXPECT_EQ(info.Data()[11], 1);

  auto select = Request({0xD3, 0, 0, 0, kSigHi, kSigLo}, false, 0, 16);
  auto write = Request({0xD5, 0, 0, 1, kSigHi, kSigLo}, false, 1);
  write.Data()[0] = 0x9F;
  auto read = Request({0xD6, 0, 0, 3, kSigHi, kSigLo}, true, 3);
  auto deselect = Request({0xD4, 0, 0, 0, kSigHi, kSigLo}, false, 0, 16);
  ASSERT_EQ(device::SendScsiCommand(record, select, 592), 1);
  ASSERT_EQ(device::SendScsiCommand(record, write, 592), 1);
  ASSERT_EQ(device::SendScsiCommand(record, read, 592), 1);
  ASSERT_EQ(device::SendScsiCommand(record, deselect, 592), 1);
  EXPECT_EQ(read.Data()[0], 0xC8);
  EXPECT_EQ(read.Data()[2], 0x13);

  auto illegal = Request({0xD7, 0, 0, 0, kSigHi, kSigLo}, false, 0);
  EXPECT_EQ(device::SendScsiCommand(record, illegal, 592), 0) << "CHECK CONDITION is a failure";

  std::uint8_t geometry[24] = {};
  std::uint32_t returned = 0;
  EXPECT_EQ(device::RelayDeviceIoControl(record.Handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0,
                                         geometry, sizeof geometry, &returned),
            1);
  EXPECT_EQ(LoadLe32(&geometry[20]), 512u);

  EXPECT_EQ(device::RelayCloseDevice(record.Handle), 1);
  server->Stop();
  EXPECT_EQ(backend.OpensServed(), 1u);
  EXPECT_EQ(spi.str(), "9F > C8 40 13\n");
}

}  // namespace
}  // namespace burnwell::sim
