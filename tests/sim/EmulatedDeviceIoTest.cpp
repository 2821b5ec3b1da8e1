#include "sim/EmulatedDeviceIo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/Bytes.h"
#include "wire/AtaPassThrough.h"
#include "device/Transport.h"
#include "platform/WinNames.h"
#include "sim/testing/EmulatorFixture.h"

namespace burnwell::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::EmulatorFixture;

wire::ScsiRequest InfoRequest() {
  return wire::ScsiRequest::For({.cdb = {0xD0, 0, 0, 0, VID_MAKER >> 8, VID_MAKER & 0xFF},
                                 .cdbLength = 12,
                                 .direction = wire::DataDirection::In,
                                 .transferLength = 16,
                                 .targetId = 1});
}

TEST(EmulatorFixture, RecordReachesTheBridgeThroughTheToolsTransport) {
  BridgeConfig config = BridgeConfig::WithChip("SST25VF010A");
  config.productId = PID_A;
  config.firmwareVersion = 0x0A0B0C0D;
  EmulatorFixture emu(config);
  const auto record = emu.OpenRecord();
  EXPECT_EQ(record.ProductId, PID_A);
  EXPECT_EQ(record.CodeSize, 0xB800u);
  EXPECT_EQ(record.Byte11Set, 1u);
  EXPECT_EQ(record.ModeFlags, 0x10000u);
  EXPECT_EQ(record.PairMatch, 1u);
  EXPECT_EQ(record.FirmwareVersion, 0x0A0B0C0Du);
  EXPECT_EQ(device::DeviceLayer().table.count, 1u);

  auto request = InfoRequest();
  ASSERT_EQ(device::SendScsiCommand(record, request, 592), 1);
  EXPECT_EQ(LoadBe16(&request.Data()[2]), PID_A);
  EXPECT_EQ(emu.ScsiTrace().size(), 1u);
  EXPECT_EQ(emu.Clock().NowUs(), 300u) << "the default latency on the shared clock";
  platform::SleepMs(5);
  EXPECT_EQ(emu.Clock().NowUs(), 5300u) << "the platform clock is the virtual clock";
}

TEST(EmulatorFixture, EepromBridgesDecodeTheirKind) {
  EmulatorFixture small(BridgeConfig::WithEeprom(EepromKind::Small256));
  auto record = small.OpenRecord(false);
  EXPECT_EQ(record.Byte11Set, 0u);
  EXPECT_EQ(record.ModeFlags, 0x100u);
  EXPECT_EQ(device::DeviceLayer().table.count, 0u);
}

TEST(EmulatedDeviceIo, UnknownPathsAndClosedHandlesFail) {
  EmulatorFixture emu;
  EXPECT_EQ(emu.Io().Open("\\\\?\\nothing", 0), platform::kInvalidHandle);
  const auto handle = emu.Io().Open(emu.Path().c_str(), 0);
  ASSERT_NE(handle, platform::kInvalidHandle);
  EXPECT_EQ(emu.Io().OpenHandles(), 1u);
  EXPECT_TRUE(emu.Io().Close(handle));
  EXPECT_FALSE(emu.Io().Close(handle));
  auto request = InfoRequest();
  std::uint32_t returned = 0;
  EXPECT_FALSE(emu.Io().IoControl(handle, IOCTL_SCSI_PASS_THROUGH, request.Bytes().data(), 592,
                                  request.Bytes().data(), 592, &returned));
}

TEST(EmulatedDeviceIo, TransportLossFailsTheIoControl) {
  BridgeConfig config;
  config.faults.disconnectAfter = 0;
  EmulatorFixture emu(config);
  const auto record = emu.OpenRecord();
  auto request = InfoRequest();
  EXPECT_EQ(device::SendScsiCommand(record, request, 592), 0);
  EXPECT_EQ(emu.ScsiTrace().back().substr(emu.ScsiTrace().back().size() - 4), "FAIL");
}

TEST(EmulatedDeviceIo, IdeDiskAnswersAtaPassThroughIdentifyWithTheBridgeIds) {
  BridgeConfig config;
  config.productId = PID_E;
  EmulatorFixture emu(config, Presentation::IdeDisk);
  const auto handle = emu.Io().Open(emu.Path().c_str(), platform::kOpenAttributeSystem);
  Bytes block(40 + 4096, 0);
  wire::AtaPassThroughHeader identify;
  identify.AtaFlags = wire::ATA_FLAGS_DATA_IN;
  identify.DataTransferLength = 512;
  identify.DataBufferOffset = 40;
  identify.CurrentTaskFile[wire::reg::Command] = 0xEC;
  wire::EncodeAtaPassThroughHeader(identify, block);
  std::uint32_t returned = 0;
  ASSERT_EQ(device::SendAtaCommand(handle, block.data(), static_cast<std::uint32_t>(block.size()),
                                   &returned),
            1);
  EXPECT_EQ(LoadBe16(&block[40 + 40]), VID_MAKER);
  EXPECT_EQ(LoadBe16(&block[40 + 42]), PID_E);

  wire::AtaPassThroughHeader smart = identify;
  smart.CurrentTaskFile[wire::reg::Command] = 0xB0;  // SMART via ATA: not answered here
  wire::EncodeAtaPassThroughHeader(smart, block);
  EXPECT_EQ(device::SendAtaCommand(handle, block.data(), static_cast<std::uint32_t>(block.size()),
                                   &returned),
            0);
  Bytes smartIn(33, 0), out(528, 0);
  EXPECT_FALSE(emu.Io().IoControl(handle, SMART_RCV_DRIVE_DATA, smartIn.data(), 33, out.data(), 528,
                                  &returned))
      << "an IDE disk has no SMART pass-through here";
}

TEST(EmulatedDeviceIo, ScsiDiskAnswersSmartAndMiniportIdentify) {
  EmulatorFixture emu(BridgeConfig{}, Presentation::ScsiDisk);
  const auto handle = emu.Io().Open(emu.Path().c_str(), 0);
  std::uint32_t returned = 0;

  Bytes smartIn(33, 0), smartOut(528, 0);
  StoreLe32(&smartIn[0], 512);
  smartIn[4 + 1] = 1;
  smartIn[4 + 2] = 1;
  smartIn[4 + 5] = 0xA0;
  smartIn[4 + 6] = 0xEC;
  ASSERT_TRUE(emu.Io().IoControl(handle, SMART_RCV_DRIVE_DATA, smartIn.data(), 33, smartOut.data(),
                                 528, &returned));
  EXPECT_EQ(returned, 528u);
  EXPECT_EQ(LoadBe16(&smartOut[16 + 40]), VID_MAKER);
  EXPECT_EQ(LoadBe16(&smartOut[16 + 42]), PID_C);

  Bytes miniport(557, 0);
  StoreLe32(&miniport[0], 28);
  std::memcpy(&miniport[4], "SCSIDISK", 8);
  StoreLe32(&miniport[12], 10000);
  StoreLe32(&miniport[16], IOCTL_SCSI_MINIPORT_IDENTIFY);
  StoreLe32(&miniport[24], 529);
  miniport[28 + 4 + 6] = 0xEC;
  ASSERT_TRUE(emu.Io().IoControl(handle, IOCTL_SCSI_MINIPORT, miniport.data(), 60, miniport.data(),
                                 557, &returned));
  EXPECT_EQ(LoadBe16(&miniport[28 + 16 + 40]), VID_MAKER);
  std::memcpy(&miniport[4], "SCSIDISX", 8);
  EXPECT_FALSE(emu.Io().IoControl(handle, IOCTL_SCSI_MINIPORT, miniport.data(), 60, miniport.data(),
                                  557, &returned));
}

TEST(EmulatedDeviceIo, SectorZeroAndLayoutCarryTheSameDiskSignature) {
  EmulatorFixture emu;
  const auto handle = emu.Io().Open(emu.Path().c_str(), 0);
  ASSERT_TRUE(emu.Io().Seek(handle, 0));
  Bytes sector(512);
  std::uint32_t read = 0;
  ASSERT_TRUE(emu.Io().Read(handle, sector.data(), 512, &read));
  ASSERT_EQ(read, 512u);
  Bytes layout(1536, 0);
  std::uint32_t returned = 0;
  ASSERT_TRUE(emu.Io().IoControl(handle, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, layout.data(),
                                 1536, &returned));
  EXPECT_EQ(LoadLe32(&sector[440]), LoadLe32(&layout[8]));
  EXPECT_NE(LoadLe32(&layout[8]), 0u);
  EXPECT_FALSE(emu.Io().Seek(handle, -1));
}

}  // namespace
}  // namespace burnwell::sim
