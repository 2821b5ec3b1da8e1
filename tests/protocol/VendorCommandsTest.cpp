#include "protocol/VendorCommands.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "ProtocolHarness.h"
#include "common/Bytes.h"
#include "common/MakerIds.h"
#include "wire/AtaPassThrough.h"
#include "platform/WinNames.h"

namespace burnwell::protocol {
namespace {

using test::ProtocolHarness;
using test::SentCommand;
using test::WithEeprom;

// A value no command records.
constexpr device::DeviceError kUntouched = static_cast<device::DeviceError>(0x12345678);

std::vector<std::uint8_t> Cdb(const SentCommand& command) {
  return {command.header.Cdb.begin(), command.header.Cdb.begin() + command.header.CdbLength};
}

// A bridge with the 64 KiB EEPROM; its SPI commands go through with nothing on the bus.
class VendorCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override { device::SetLastDeviceError(kUntouched); }
  const SentCommand& Last() { return h.io.commands.back(); }
  ProtocolHarness h{WithEeprom()};
  DeviceRecord record = h.Record();
};

// A bridge presented as an IDE or SCSI disk, with the IDENTIFY data of its drive.
struct DiskBench {
  explicit DiskBench(sim::Presentation presentation)
      : h(WithEeprom(), presentation), identify(h.Bridge().IdentifyData()) {}
  ProtocolHarness h;
  DeviceRecord record = h.Record();
  std::array<std::uint8_t, 512> identify;
};

// --- Command blocks -----------------------------------------------------------------------

TEST_F(VendorCommandsTest, Read10CarriesAddressAndBlockCountBigEndian) {
  std::vector<std::uint8_t> data(1024);
  ASSERT_EQ(ScsiRead10(record, 0x00123456, data.data(), 1024, 2), CommandResult::Ok);
  EXPECT_EQ(Cdb(Last()),
            (std::vector<std::uint8_t>{0x28, 0, 0x00, 0x12, 0x34, 0x56, 0, 0x00, 0x02, 0}));
  EXPECT_EQ(Last().header.DataIn, 1);
  EXPECT_EQ(Last().header.DataTransferLength, 1024u);
  EXPECT_EQ(Last().header.Lun, 2);
  EXPECT_EQ(Last().requestSize, 80u + 1024u);  // a long read gets a request of its own size
}

TEST_F(VendorCommandsTest, EveryRequestHasTheBridgeHeader) {
  std::array<std::uint8_t, 8> bytes{};
  ASSERT_EQ(SpiWrite(record, bytes.data(), 8), CommandResult::Ok);
  const auto& header = Last().header;
  EXPECT_EQ(header.Length, 44);
  EXPECT_EQ(header.PathId, 0);
  EXPECT_EQ(header.TargetId, 1);
  EXPECT_EQ(header.Lun, 0);
  EXPECT_EQ(header.SenseInfoLength, 32);
  EXPECT_EQ(header.DataBufferOffset, 80u);
  EXPECT_EQ(header.SenseInfoOffset, 48u);
  EXPECT_EQ(Last().requestSize, 592u);
}

TEST_F(VendorCommandsTest, EepromWriteCarriesLengthAddressSignatureAndData) {
  const std::array<std::uint8_t, 8> bytes = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(EepromWrite(record, 0x1234, bytes.data(), 8), CommandResult::Ok);
  EXPECT_EQ(Cdb(Last()), (std::vector<std::uint8_t>{0xD1, 0x08, 0x12, 0x34, VID_MAKER >> 8,
                                                    VID_MAKER & 0xFF, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Last().header.DataIn, 0);
  EXPECT_EQ(Last().dataOut, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  EXPECT_EQ(h.Memory()[0x1234 + 7], 8);
}

TEST_F(VendorCommandsTest, EepromReadAndSpiTransfersUseTheirOwnBytes) {
  std::array<std::uint8_t, 32> buffer{};
  ASSERT_EQ(EepromRead(record, 0xBEEF, buffer.data(), 5), CommandResult::Ok);
  EXPECT_EQ(Cdb(Last()), (std::vector<std::uint8_t>{0xD2, 5, 0xBE, 0xEF, VID_MAKER >> 8,
                                                    VID_MAKER & 0xFF, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Last().header.DataIn, 1);
  ASSERT_EQ(SpiWrite(record, buffer.data(), 32), CommandResult::Ok);
  EXPECT_EQ(Cdb(Last()), (std::vector<std::uint8_t>{0xD5, 0, 0, 32, VID_MAKER >> 8,
                                                    VID_MAKER & 0xFF, 0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(SpiRead(record, buffer.data(), 3), CommandResult::Ok);
  EXPECT_EQ(Cdb(Last()), (std::vector<std::uint8_t>{0xD6, 0, 0, 3, VID_MAKER >> 8, VID_MAKER & 0xFF,
                                                    0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Last().header.DataTransferLength, 3u);
}

TEST_F(VendorCommandsTest, ChipSelectUsesSixteenByteBlockWithoutData) {
  ASSERT_EQ(SpiChipSelect(record, 5), CommandResult::Ok);
  ASSERT_EQ(SpiChipSelect(record, 0), CommandResult::Ok);
  ASSERT_EQ(h.io.commands.size(), 2u);
  for (const auto& command : h.io.commands) {
    EXPECT_EQ(command.header.CdbLength, 16);
    EXPECT_EQ(command.header.DataIn, 0);
    EXPECT_EQ(command.header.DataTransferLength, 0u);
    EXPECT_EQ(command.header.Cdb[4], VID_MAKER >> 8);
    EXPECT_EQ(command.header.Cdb[5], VID_MAKER & 0xFF);
  }
  EXPECT_EQ(h.io.commands[0].header.Cdb[0], 0xD3);
  EXPECT_EQ(h.io.commands[1].header.Cdb[0], 0xD4);
}

TEST_F(VendorCommandsTest, InquirySetsVitalPageBitsOnlyForNonzeroPage) {
  std::array<std::uint8_t, 36> buffer{};
  ASSERT_EQ(ScsiInquiry(record, 0, buffer.data(), 36), CommandResult::Ok);
  EXPECT_EQ(Cdb(Last()), (std::vector<std::uint8_t>{0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(ScsiInquiry(record, 0x80, buffer.data(), 36), CommandResult::Ok);
  EXPECT_EQ(Cdb(Last()), (std::vector<std::uint8_t>{0x12, 0x01, 0x80, 0, 36, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(VendorCommandsTest, BridgeInfoAndAtaCarrierBlocks) {
  // The emulated drive aborts every data-out command; this one is taken.
  h.io.answer = [](const SentCommand& command, auto&, auto*) -> std::optional<std::uint8_t> {
    if (command.header.Cdb[0] == 0xD8 && command.header.Cdb[1] == 0x05) return 0;
    return std::nullopt;
  };
  std::array<std::uint8_t, 16> info{};
  ASSERT_EQ(ReadBridgeInfo(record, info.data(), 16, 5), CommandResult::Ok);
  EXPECT_EQ(Cdb(Last()), (std::vector<std::uint8_t>{0xD0, 0, 0, 0, VID_MAKER >> 8, VID_MAKER & 0xFF,
                                                    0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Last().header.DataTransferLength, 16u);

  AtaTaskFile task;
  task.read = 1;
  task.length = 1024;
  task.features = 0x11;
  task.count = 0x1234;  // only the low byte travels
  task.lbaLow = 0x21;
  task.lbaMid = 0x22;
  task.lbaHigh = 0x23;
  task.device = 0xA0;
  task.command = 0xEC;
  std::vector<std::uint8_t> buffer(1024);
  ASSERT_EQ(VendorAtaCommand(record, task, buffer.data(), 1024, 3, 1), CommandResult::Ok);
  EXPECT_EQ(Cdb(Last()),
            (std::vector<std::uint8_t>{0xD8, 0x15, 3, 0x11, VID_MAKER >> 8, VID_MAKER & 0xFF, 0, 0,
                                       0x04, 0x00, 0x34, 0x21, 0x22, 0x23, 0xA0, 0xEC}));
  EXPECT_EQ(Last().header.Lun, 3);
  EXPECT_EQ(Last().requestSize, 80u + 1024u);
  task.read = 0;
  task.length = 16;
  ASSERT_EQ(VendorAtaCommand(record, task, buffer.data(), 16, 0, 1), CommandResult::Ok);
  EXPECT_EQ(Last().header.Cdb[1], 0x05);
  EXPECT_EQ(Last().header.DataIn, 0);
  EXPECT_EQ(Last().requestSize, 592u);
}

// --- Time-outs -----------------------------------------------------------------------------

TEST_F(VendorCommandsTest, TimeOutsWithAnEmptyTable) {
  EXPECT_EQ(ShortCommandTimeout(), 3u);
  EXPECT_EQ(StandardCommandTimeout(), 30u);
  EXPECT_EQ(BridgeInfoTimeout(5), 5u);
  EXPECT_EQ(VendorAtaTimeout(1), 30u);  // a zero product falls back to 30
  EXPECT_EQ(AtaPassThroughTimeout(), 300u);
  ASSERT_EQ(SpiChipSelect(record, 1), CommandResult::Ok);
  EXPECT_EQ(Last().header.TimeOutValue, 3u);
}

TEST_F(VendorCommandsTest, TimeOutsGrowWithTheDeviceCount) {
  h.FillTable(3, true);
  EXPECT_EQ(ShortCommandTimeout(), 9u);
  EXPECT_EQ(StandardCommandTimeout(), 90u);
  EXPECT_EQ(BridgeInfoTimeout(30), 90u);
  EXPECT_EQ(VendorAtaTimeout(1), 3u);
  EXPECT_EQ(VendorAtaTimeout(0), 30u);
  EXPECT_EQ(AtaPassThroughTimeout(), 1200u);
  std::array<std::uint8_t, 512> block{};
  ASSERT_EQ(ScsiRead10(record, 0, block.data(), 512, 0), CommandResult::Ok);
  EXPECT_EQ(Last().header.TimeOutValue, 90u);
  ASSERT_EQ(EepromRead(record, 0, block.data(), 8), CommandResult::Ok);
  EXPECT_EQ(Last().header.TimeOutValue, 9u);
}

// --- Argument checks ---------------------------------------------------------------------

TEST_F(VendorCommandsTest, ShortTransfersAcceptThirtyTwoBytesAndRefuseMoreSilently) {
  std::array<std::uint8_t, 33> bytes{};
  EXPECT_EQ(SpiWrite(record, bytes.data(), 33), CommandResult::Failed);
  EXPECT_EQ(SpiRead(record, bytes.data(), 33), CommandResult::Failed);
  EXPECT_EQ(EepromWrite(record, 0, bytes.data(), 33), CommandResult::Failed);
  EXPECT_EQ(EepromRead(record, 0, bytes.data(), 33), CommandResult::Failed);
  EXPECT_TRUE(h.io.commands.empty());
  EXPECT_EQ(device::LastDeviceError(), kUntouched);
  EXPECT_EQ(SpiWrite(record, bytes.data(), 32), CommandResult::Ok);
  EXPECT_EQ(EepromRead(record, 0, bytes.data(), 32), CommandResult::Ok);
  EXPECT_EQ(h.io.commands.size(), 2u);
}

TEST_F(VendorCommandsTest, BridgeInfoLengthOutsideSixteenTo512RecordsItsCode) {
  std::vector<std::uint8_t> buffer(513);
  EXPECT_EQ(ReadBridgeInfo(record, buffer.data(), 15, 5), CommandResult::Failed);
  EXPECT_EQ(ReadBridgeInfo(record, buffer.data(), 513, 5), CommandResult::Failed);
  EXPECT_TRUE(h.io.commands.empty());
  EXPECT_EQ(device::LastDeviceError(), device::DeviceError::ReadBridgeInfo);
  EXPECT_EQ(ReadBridgeInfo(record, buffer.data(), 16, 5), CommandResult::Ok);
  EXPECT_EQ(ReadBridgeInfo(record, buffer.data(), 512, 5), CommandResult::Ok);
  EXPECT_EQ(h.io.commands.size(), 2u);
}

TEST_F(VendorCommandsTest, AtaCarrierRefusesABufferShorterThanTheTransfer) {
  AtaTaskFile task;
  task.read = 1;
  task.length = 512;
  std::vector<std::uint8_t> buffer(511);
  EXPECT_EQ(VendorAtaCommand(record, task, buffer.data(), 511, 0, 1), CommandResult::Failed);
  EXPECT_TRUE(h.io.commands.empty());
  EXPECT_EQ(device::LastDeviceError(), kUntouched);
}

TEST_F(VendorCommandsTest, Read10WithoutDestinationSendsNothingButRecordsItsCode) {
  EXPECT_EQ(ScsiRead10(record, 0, nullptr, 512, 0), CommandResult::Failed);
  EXPECT_TRUE(h.io.commands.empty());
  EXPECT_EQ(device::LastDeviceError(), device::DeviceError::ScsiRead10);
}

// --- Failure codes and copy-back ---------------------------------------------------------

TEST_F(VendorCommandsTest, EachRefusedCommandRecordsItsOwnCode) {
  sim::BridgeConfig config = WithEeprom();
  for (std::uint8_t opcode : {0xD0, 0xD8, 0x12, 0x28})
    config.faults.failOpcodes.push_back({opcode, sim::FailureKind::CheckCondition});
  ProtocolHarness refusing(config);
  const DeviceRecord record = refusing.Record();
  std::vector<std::uint8_t> buffer(512);
  AtaTaskFile task;
  task.length = 512;
  const std::vector<std::pair<std::function<CommandResult()>, device::DeviceError>> cases = {
      {[&] { return ReadBridgeInfo(record, buffer.data(), 16, 1); },
       device::DeviceError::ReadBridgeInfo},
      {[&] { return VendorAtaCommand(record, task, buffer.data(), 512, 0, 1); },
       device::DeviceError::VendorAtaCommand},
      {[&] { return ScsiInquiry(record, 0, buffer.data(), 36); }, device::DeviceError::ScsiInquiry},
      {[&] { return ScsiRead10(record, 0, buffer.data(), 512, 0); },
       device::DeviceError::ScsiRead10},
  };
  for (const auto& [call, code] : cases) {
    device::SetLastDeviceError(kUntouched);
    EXPECT_EQ(call(), CommandResult::Failed);
    EXPECT_EQ(device::LastDeviceError(), code);
  }
  const std::vector<std::pair<std::function<CommandResult()>, device::DeviceError>> vendor = {
      {[&] { return EepromWrite(record, 0, buffer.data(), 8); }, device::DeviceError::EepromWrite},
      {[&] { return EepromRead(record, 0, buffer.data(), 8); }, device::DeviceError::EepromRead},
      {[&] { return SpiChipSelect(record, 1); }, device::DeviceError::SpiChipSelect},
      {[&] { return SpiChipSelect(record, 0); }, device::DeviceError::SpiChipSelect},
      {[&] { return SpiWrite(record, buffer.data(), 8); }, device::DeviceError::SpiWrite},
      {[&] { return SpiRead(record, buffer.data(), 8); }, device::DeviceError::SpiRead},
  };
  for (const auto& [call, code] : vendor) {
    device::SetLastDeviceError(kUntouched);
    refusing.FailCommand(refusing.io.commands.size());
    EXPECT_EQ(call(), CommandResult::Failed);
    EXPECT_EQ(device::LastDeviceError(), code);
  }
}

TEST_F(VendorCommandsTest, SuccessNeverClearsTheLastError) {
  std::array<std::uint8_t, 4> bytes{};
  ASSERT_EQ(SpiWrite(record, bytes.data(), 4), CommandResult::Ok);
  EXPECT_EQ(device::LastDeviceError(), kUntouched);
}

TEST_F(VendorCommandsTest, FailedReadsLeaveTheDestinationAlone) {
  std::array<std::uint8_t, 8> buffer;
  buffer.fill(0x5A);
  h.FailCommand(0);
  EXPECT_EQ(SpiRead(record, buffer.data(), 8), CommandResult::Failed);
  EXPECT_EQ(buffer[0], 0x5A);
  h.FailCommand(1);
  EXPECT_EQ(EepromRead(record, 0, buffer.data(), 8), CommandResult::Failed);
  EXPECT_EQ(buffer[7], 0x5A);
}

TEST_F(VendorCommandsTest, InquiryAndAtaCarrierHandBackTheDataAreaWhateverTheOutcome) {
  // A device that fills the data area and still ends in CHECK CONDITION.
  h.io.answer = [](auto&, auto&, std::uint8_t* data) -> std::optional<std::uint8_t> {
    data[0] = 0x42;
    return 2;
  };
  std::array<std::uint8_t, 36> inquiry;
  inquiry.fill(0xEE);
  EXPECT_EQ(ScsiInquiry(record, 0, inquiry.data(), 36), CommandResult::Failed);
  EXPECT_EQ(inquiry[0], 0x42);
  EXPECT_EQ(inquiry[35], 0);  // zeroed before sending
  AtaTaskFile task;
  task.read = 1;
  task.length = 512;
  std::vector<std::uint8_t> buffer(512, 0xEE);
  EXPECT_EQ(VendorAtaCommand(record, task, buffer.data(), 512, 0, 1), CommandResult::Failed);
  EXPECT_EQ(buffer[0], 0x42);
  EXPECT_EQ(buffer[511], 0);
}

TEST_F(VendorCommandsTest, Read10NeverCopiesMoreThanAsked) {
  // A device (or relay) claiming a longer transfer than the request must not overrun the
  // caller's buffer; a shorter one copies only what it reports.
  h.io.answer = [](auto&, wire::ScsiPassThroughHeader& reply, std::uint8_t* data) {
    std::memset(data, 0x77, 512);
    reply.DataTransferLength = 4096;
    return std::optional<std::uint8_t>(0);
  };
  std::vector<std::uint8_t> buffer(512 + 16, 0xEE);
  ASSERT_EQ(ScsiRead10(record, 0, buffer.data(), 512, 0), CommandResult::Ok);
  EXPECT_EQ(buffer[511], 0x77);
  EXPECT_EQ(buffer[512], 0xEE);

  h.io.answer = [](auto&, wire::ScsiPassThroughHeader& reply, std::uint8_t* data) {
    std::memset(data, 0x66, 512);
    reply.DataTransferLength = 100;
    return std::optional<std::uint8_t>(0);
  };
  ASSERT_EQ(ScsiRead10(record, 0, buffer.data(), 512, 0), CommandResult::Ok);
  EXPECT_EQ(buffer[99], 0x66);
  EXPECT_EQ(buffer[100], 0x77);
}

// --- Choice of sender ----------------------------------------------------------------------

TEST_F(VendorCommandsTest, IdeDevicesGetNoScsiIdentificationCommands) {
  record.TransportKind = device::TransportKind::Ide;
  std::array<std::uint8_t, 512> buffer{};
  EXPECT_EQ(ScsiInquiry(record, 0, buffer.data(), 36), CommandResult::Failed);
  EXPECT_EQ(ReadBridgeInfo(record, buffer.data(), 16, 5), CommandResult::Failed);
  EXPECT_EQ(ScsiRead10(record, 0, buffer.data(), 512, 0), CommandResult::Failed);
  EXPECT_TRUE(h.io.commands.empty());
  EXPECT_EQ(h.system.lastError, ERROR_NOT_SUPPORTED);
  EXPECT_EQ(device::LastDeviceError(), kUntouched);
}

TEST_F(VendorCommandsTest, ScsiDevicesTakeTheDirectPassThrough) {
  // With the NT flag clear the normal sender takes the ASPI path, which has no adapter here:
  // only the direct pass-through reaches the device.
  device::DeviceLayer().ntFlag = false;
  std::array<std::uint8_t, 512> buffer{};
  EXPECT_EQ(ScsiInquiry(record, 0, buffer.data(), 36), CommandResult::Failed);
  record.TransportKind = device::TransportKind::Scsi;
  EXPECT_EQ(ScsiInquiry(record, 0, buffer.data(), 36), CommandResult::Ok);
  EXPECT_EQ(ReadBridgeInfo(record, buffer.data(), 16, 5), CommandResult::Ok);
  EXPECT_EQ(ScsiRead10(record, 0, buffer.data(), 512, 0), CommandResult::Ok);
  // The vendor commands always take the normal path.
  EXPECT_EQ(SpiChipSelect(record, 1), CommandResult::Failed);
}

// --- Identification through storage controls ------------------------------------------------

TEST_F(VendorCommandsTest, AtaPassThroughIdentifyBlockAndTextForm) {
  DiskBench disk(sim::Presentation::IdeDisk);
  const auto& identify = disk.identify;
  DeviceRecord record = disk.record;
  record.TransportKind = device::TransportKind::Ide;
  std::array<std::uint8_t, 514> text;
  text.fill(0xEE);
  ASSERT_EQ(IdentifyViaAtaPassThrough(record, text.data(), 0), CommandResult::Ok);
  ASSERT_EQ(disk.h.io.controls.size(), 1u);
  const test::SentControl& control = disk.h.io.controls[0];
  EXPECT_EQ(control.code, IOCTL_ATA_PASS_THROUGH);
  EXPECT_EQ(control.in.size(), 4136u);
  EXPECT_EQ(control.outSize, 4136u);
  const std::vector<std::uint8_t> seen(control.in.begin(), control.in.begin() + 40);
  EXPECT_EQ(LoadLe16(&seen[wire::apt::Length]), 40);
  EXPECT_EQ(LoadLe16(&seen[wire::apt::AtaFlags]), wire::ATA_FLAGS_DATA_IN);
  EXPECT_EQ(LoadLe32(&seen[wire::apt::DataTransferLength]), 512u);
  EXPECT_EQ(LoadLe32(&seen[wire::apt::TimeOutValue]), 300u);
  EXPECT_EQ(LoadLe32(&seen[wire::apt::DataBufferOffset]), 40u);
  EXPECT_EQ(seen[wire::apt::CurrentTaskFile + 6], 0xEC);
  EXPECT_EQ(text[0], identify[1]);  // each pair of bytes swapped
  EXPECT_EQ(text[1], identify[0]);
  EXPECT_EQ(text[510], identify[511]);
  EXPECT_EQ(text[512], 0);
  EXPECT_EQ(text[513], 0xEE);  // nothing past the terminator

  std::array<std::uint8_t, 512> raw{};
  ASSERT_EQ(IdentifyViaAtaPassThrough(record, raw.data(), 1), CommandResult::Ok);
  EXPECT_EQ(raw[0], identify[0]);
  EXPECT_EQ(raw[511], identify[511]);
}

TEST_F(VendorCommandsTest, AtaPassThroughIdentifyRefusals) {
  std::array<std::uint8_t, 513> text{};
  // Not an Ide device.
  EXPECT_EQ(IdentifyViaAtaPassThrough(record, text.data(), 0), CommandResult::Failed);
  EXPECT_EQ(h.system.lastError, ERROR_NOT_SUPPORTED);
  EXPECT_EQ(device::LastDeviceError(), kUntouched);
  record.TransportKind = device::TransportKind::Ide;
  h.system.nt = false;
  h.system.lastError = 0;
  EXPECT_EQ(IdentifyViaAtaPassThrough(record, text.data(), 0), CommandResult::Failed);
  EXPECT_EQ(h.system.lastError, ERROR_NOT_SUPPORTED);
  EXPECT_EQ(device::LastDeviceError(), device::DeviceError::VendorAtaCommand);
  EXPECT_TRUE(h.io.controls.empty());
  // A drive that ends IDENTIFY with its error bit set fails.
  h.system.nt = true;
  h.io.controlAnswer = [](std::uint32_t, const std::uint8_t*, std::uint32_t, std::uint8_t* out,
                          std::uint32_t) {
    out[wire::apt::StatusRegister] = 0x51;
    return true;
  };
  device::SetLastDeviceError(kUntouched);
  EXPECT_EQ(IdentifyViaAtaPassThrough(record, text.data(), 0), CommandResult::Failed);
  EXPECT_EQ(device::LastDeviceError(), device::DeviceError::VendorAtaCommand);
}

TEST_F(VendorCommandsTest, SmartIdentifyParametersAndAnswer) {
  DiskBench disk(sim::Presentation::ScsiDisk);
  DeviceRecord record = disk.record;
  record.TransportKind = device::TransportKind::Scsi;
  std::array<std::uint8_t, 512> data{};
  ASSERT_EQ(IdentifyViaSmart(record, data.data()), CommandResult::Ok);
  ASSERT_EQ(disk.h.io.controls.size(), 1u);
  const test::SentControl& control = disk.h.io.controls[0];
  EXPECT_EQ(control.code, SMART_RCV_DRIVE_DATA);
  EXPECT_EQ(control.outSize, 528u);
  EXPECT_FALSE(control.inPlace);
  const std::vector<std::uint8_t>& in = control.in;
  ASSERT_EQ(in.size(), 33u);
  EXPECT_EQ(LoadLe32(&in[0]), 512u);
  EXPECT_EQ(std::vector<std::uint8_t>(in.begin() + 4, in.begin() + 13),
            (std::vector<std::uint8_t>{0, 1, 1, 0, 0, 0xA0, 0xEC, 0, 0}));
  EXPECT_EQ(data[0], disk.identify[0]);
  EXPECT_EQ(data[511], disk.identify[511]);
}

TEST_F(VendorCommandsTest, MiniportIdentifyParametersAndAnswer) {
  DiskBench disk(sim::Presentation::ScsiDisk);
  DeviceRecord record = disk.record;
  record.TransportKind = device::TransportKind::Scsi;
  std::array<std::uint8_t, 512> data{};
  ASSERT_EQ(IdentifyViaMiniport(record, data.data()), CommandResult::Ok);
  ASSERT_EQ(disk.h.io.controls.size(), 1u);
  const test::SentControl& control = disk.h.io.controls[0];
  EXPECT_EQ(control.code, IOCTL_SCSI_MINIPORT);
  EXPECT_EQ(control.outSize, 557u);
  const std::vector<std::uint8_t>& in = control.in;
  ASSERT_EQ(in.size(), 60u);
  EXPECT_EQ(LoadLe32(&in[0]), 28u);
  EXPECT_EQ(std::string(in.begin() + 4, in.begin() + 12), "SCSIDISK");
  EXPECT_EQ(LoadLe32(&in[12]), 10000u);
  EXPECT_EQ(LoadLe32(&in[16]), 0x1B0501u);
  EXPECT_EQ(LoadLe32(&in[24]), 529u);
  EXPECT_EQ(in[28 + 4 + 6], 0xEC);
  EXPECT_EQ(data[0], disk.identify[0]);
}

TEST_F(VendorCommandsTest, SmartAndMiniportRefusalsAndFailedControls) {
  std::array<std::uint8_t, 512> data{};
  EXPECT_EQ(IdentifyViaSmart(record, data.data()), CommandResult::Failed);
  EXPECT_EQ(IdentifyViaMiniport(record, data.data()), CommandResult::Failed);
  EXPECT_TRUE(h.io.controls.empty());
  EXPECT_EQ(h.system.lastError, ERROR_NOT_SUPPORTED);
  record.TransportKind = device::TransportKind::Scsi;  // a mass-storage unit fails these controls
  EXPECT_EQ(IdentifyViaSmart(record, data.data()), CommandResult::Failed);
  EXPECT_EQ(IdentifyViaMiniport(record, data.data()), CommandResult::Failed);
  EXPECT_EQ(h.io.controls.size(), 2u);
  EXPECT_EQ(device::LastDeviceError(), kUntouched);
}

// --- Identification by block reads ---------------------------------------------------------

TEST_F(VendorCommandsTest, BridgeIdByLbaReadsTheReservedAddressesInOrder) {
  sim::BridgeConfig config = WithEeprom();
  config.productId = PID_B;
  ProtocolHarness bridgeB(config);
  const DeviceRecord record = bridgeB.Record();
  std::array<std::uint8_t, 512> id{};
  ASSERT_EQ(ReadBridgeIdByLba(record, id.data()), CommandResult::Ok);
  std::vector<std::uint32_t> addresses;
  for (const auto& command : bridgeB.io.commands) {
    EXPECT_EQ(command.header.Cdb[0], 0x28);
    EXPECT_EQ(LoadBe16(&command.header.Cdb[7]), 1);
    addresses.push_back(LoadBe32(&command.header.Cdb[2]));
  }
  EXPECT_EQ(addresses, (std::vector<std::uint32_t>{
                           0xFF0000u + (VID_MAKER >> 8), 0xFF0000u + (VID_MAKER & 0xFF),
                           0xFF0000u + (PID_B >> 8), 0xFF0000u + (PID_B & 0xFF), 0x600000u}));
  EXPECT_EQ(LoadBe16(&id[40]), VID_MAKER);
  EXPECT_EQ(LoadBe16(&id[42]), PID_B);
}

TEST_F(VendorCommandsTest, BridgeIdByLbaStopsAtTheFirstFailedRead) {
  h.FailCommand(2);
  std::array<std::uint8_t, 512> id;
  id.fill(0xEE);
  EXPECT_EQ(ReadBridgeIdByLba(record, id.data()), CommandResult::Failed);
  EXPECT_EQ(h.io.commands.size(), 3u);
  EXPECT_EQ(id[40], 0xEE);
}

}  // namespace
}  // namespace burnwell::protocol
