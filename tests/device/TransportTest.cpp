#include "device/Transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "common/Bytes.h"
#include "wire/AtaPassThrough.h"
#include "device/RelayProtocol.h"
#include "platform/WinNames.h"
#include "tests/device/FakeDeviceIo.h"

namespace burnwell::device {

using wire::SCSI_IOCTL_DATA_IN;
using wire::SCSI_IOCTL_DATA_OUT;
using wire::ScsiPassThroughHeader;
using wire::ScsiRequest;
using wire::ScsiRequestView;
namespace {

using platform::ScopedOverride;
using test::Bytes;
using test::FakeDeviceIo;
using test::FakeSystem;

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDeviceLayerState();
    DeviceLayer().ntFlag = true;
  }
  void TearDown() override { ResetDeviceLayerState(); }

  // A request reading `length` bytes with a 10-byte CDB.
  static ScsiRequest ReadRequest(std::uint32_t length = 16) {
    return ScsiRequest::For({.cdb = {0xD0},
                             .cdbLength = 10,
                             .direction = wire::DataDirection::In,
                             .transferLength = length,
                             .timeoutSeconds = 3});
  }

  // A relay connection opened through the fake (reply 0 to the open message).
  platform::Handle OpenThroughRelay(const char* path = "\\\\?\\usbstor#disk") {
    io.replies.push_back({0});
    const platform::Handle h = RelayOpenDevice(path);
    io.written.clear();
    return h;
  }

  FakeDeviceIo io;
  FakeSystem system;
  ScopedOverride<platform::DeviceIo> ioGuard{&io};
  ScopedOverride<platform::System> systemGuard{&system};
};

// --- SendScsiCommand and its success rule ---------------------------------------------------

TEST_F(TransportTest, ScsiStatusZeroOrOneCompletesAnyOtherFails) {
  DeviceRecord record;
  record.Handle = 7;  // a device handle, not a relay connection
  std::uint8_t status = 0;
  io.onIoControl = [&](std::uint32_t code, std::uint8_t* b, std::uint32_t size) {
    EXPECT_EQ(code, IOCTL_SCSI_PASS_THROUGH);
    ScsiRequestView(std::span(b, size)).SetScsiStatus(status);
    return true;
  };
  ScsiRequest request = ReadRequest();
  for (std::uint8_t s : {0, 1}) {
    status = s;
    EXPECT_EQ(SendScsiCommand(record, request, 592), 1) << int(s);
  }
  for (std::uint8_t s : {2, 8, 0x18}) {
    status = s;
    EXPECT_EQ(SendScsiCommand(record, request, 592), 0) << int(s);
  }
  EXPECT_TRUE(io.written.empty());  // never relayed: the handle is not a relay connection
}

TEST_F(TransportTest, FailedIoControlFailsWhateverTheStatus) {
  DeviceRecord record;
  io.onIoControl = [](std::uint32_t, std::uint8_t*, std::uint32_t) { return false; };
  ScsiRequest request = ReadRequest();
  EXPECT_EQ(SendScsiCommand(record, request, 592), 0);
  std::uint32_t returned = 0;
  EXPECT_EQ(SendScsiCommandDirect(7, request, 592, &returned), 0);
}

TEST_F(TransportTest, DataPhaseLargerThanTheRequestIsRefusedBeforeTheDevice) {
  DeviceRecord record;
  io.onIoControl = [](std::uint32_t, std::uint8_t*, std::uint32_t) { return true; };
  ScsiRequest request = ReadRequest(513);  // the standard request holds 512 data bytes
  EXPECT_EQ(SendScsiCommand(record, request, 592), 0);
  ScsiRequest fits = ReadRequest(512);
  EXPECT_EQ(SendScsiCommand(record, fits, 600), 0);  // size beyond the buffer
  EXPECT_EQ(io.ioControlCalls, 0);
  EXPECT_EQ(SendScsiCommand(record, fits, 592), 1);
}

TEST_F(TransportTest, LongReadCarriesTheWholeBuffer) {
  DeviceRecord record;
  std::uint32_t seenSize = 0;
  io.onIoControl = [&](std::uint32_t, std::uint8_t* b, std::uint32_t size) {
    seenSize = size;
    b[size - 1] = 0xAB;
    return true;
  };
  ScsiRequest request(4096);
  ScsiRequest header = ReadRequest(4096);
  std::copy_n(header.Bytes().begin(), 80, request.Bytes().begin());
  ASSERT_EQ(SendScsiCommand(record, request, 80 + 4096), 1);
  EXPECT_EQ(seenSize, 80u + 4096u);
  EXPECT_EQ(request.Data()[4095], 0xAB);
}

// --- SendAtaCommand ---------------------------------------------------------------------------

TEST_F(TransportTest, AtaCommandSucceedsOnlyWithErrClear) {
  std::array<std::uint8_t, 40 + 512> block{};
  wire::EncodeAtaPassThroughHeader(wire::AtaPassThroughHeader{}, block);
  std::uint8_t status = 0x50;
  io.onIoControl = [&](std::uint32_t code, std::uint8_t* b, std::uint32_t size) {
    EXPECT_EQ(code, IOCTL_ATA_PASS_THROUGH);
    auto answered = wire::DecodeAtaPassThroughHeader(std::span(b, size));
    answered.CurrentTaskFile[wire::reg::Status] = status;
    wire::EncodeAtaPassThroughHeader(answered, std::span(b, size));
    return true;
  };
  std::uint32_t returned = 0;
  EXPECT_EQ(SendAtaCommand(5, block.data(), block.size(), &returned), 1);
  status = 0x51;
  EXPECT_EQ(SendAtaCommand(5, block.data(), block.size(), &returned), 0);
  EXPECT_EQ(SendAtaCommand(5, block.data(), 39, &returned), 0);  // no room for the registers
}

// --- RelayOpenDevice --------------------------------------------------------------------------

TEST_F(TransportTest, OpenSendsPathWithItsNulAndReturnsTheConnection) {
  io.replies.push_back({0});
  const platform::Handle h = RelayOpenDevice("dev0");
  ASSERT_NE(h, platform::kInvalidHandle);
  EXPECT_TRUE(IsRelayHandle(h));
  ASSERT_EQ(io.written.size(), 1u);
  EXPECT_EQ(io.written[0], (Bytes{0x00, 'd', 'e', 'v', '0', 0x00}));
  EXPECT_TRUE(io.openedPaths.empty());
  EXPECT_TRUE(DeviceLayer().useRelay);
}

TEST_F(TransportTest, RefusedOpenClosesTheConnectionItself) {
  for (Bytes reply : {Bytes{1}, Bytes{}}) {  // a refusal, and a reply of zero bytes
    io.written.clear();
    io.replies = {reply, {0}};
    const platform::Handle h = RelayOpenDevice("dev0");
    EXPECT_EQ(h, platform::kInvalidHandle);
    ASSERT_EQ(io.written.size(), 2u);
    EXPECT_EQ(io.written[1], Bytes{0x0F});
    EXPECT_EQ(io.closed.size(), 1u);
    io.closed.clear();
  }
}

TEST_F(TransportTest, NoRelayServiceClearsTheFlagForGood) {
  io.relayAvailable = false;
  const platform::Handle first = RelayOpenDevice("dev0");
  EXPECT_NE(first, platform::kInvalidHandle);
  EXPECT_FALSE(DeviceLayer().useRelay);
  io.relayAvailable = true;
  RelayOpenDevice("dev1");
  EXPECT_EQ(io.relayOpens, 1);  // never tried again
  EXPECT_EQ(io.openedPaths, (std::vector<std::string>{"dev0", "dev1"}));

  io.onIoControl = [](std::uint32_t, std::uint8_t*, std::uint32_t) { return true; };
  DeviceRecord record;
  record.Handle = first;
  ScsiRequest request = ReadRequest();
  EXPECT_EQ(SendScsiCommand(record, request, 592), 1);
  EXPECT_EQ(RelayCloseDevice(first), 1);
  EXPECT_TRUE(io.written.empty());
}

TEST_F(TransportTest, NonNtSystemOpensDirectlyAndClearsTheFlag) {
  system.nt = false;
  EXPECT_NE(RelayOpenDevice("dev0"), platform::kInvalidHandle);
  EXPECT_FALSE(DeviceLayer().useRelay);
  EXPECT_EQ(io.relayOpens, 0);
}

TEST_F(TransportTest, ConnectionOpenedBeforeTheFlagClearedStillClosesThroughTheRelay) {
  const platform::Handle relayed = OpenThroughRelay();
  io.relayAvailable = false;
  RelayOpenDevice("dev1");  // clears the flag
  ASSERT_FALSE(DeviceLayer().useRelay);
  io.replies.push_back({0});
  EXPECT_EQ(RelayCloseDevice(relayed), 1);
  ASSERT_EQ(io.written.size(), 1u);
  EXPECT_EQ(io.written[0], Bytes{0x0F});
  EXPECT_FALSE(IsRelayHandle(relayed));
}

// --- RelayDeviceIoControl ---------------------------------------------------------------------

TEST_F(TransportTest, UnsupportedCodeFailsWithoutWriting) {
  const platform::Handle h = OpenThroughRelay();
  std::array<std::uint8_t, 64> out{};
  std::uint32_t returned = 0;
  EXPECT_EQ(
      RelayDeviceIoControl(h, IOCTL_ATA_PASS_THROUGH, out.data(), 64, out.data(), 64, &returned),
      0);
  EXPECT_EQ(RelayDeviceIoControl(h, IOCTL_SCSI_MINIPORT, out.data(), 64, out.data(), 64, &returned),
            0);
  EXPECT_TRUE(io.written.empty());
}

TEST_F(TransportTest, PassThroughCarriesTheRequestAndCopiesTheReplyOverIt) {
  const platform::Handle h = OpenThroughRelay();
  DeviceRecord record;
  record.Handle = h;
  ScsiRequest request = ReadRequest();
  Bytes reply(1 + 592, 0);
  std::copy(request.Bytes().begin(), request.Bytes().end(), reply.begin() + 1);
  ScsiRequestView(std::span(reply).subspan(1)).SetScsiStatus(1);
  reply[1 + 80] = 0x5A;
  io.replies.push_back(reply);
  ASSERT_EQ(SendScsiCommand(record, request, 592), 1);
  ASSERT_EQ(io.written.size(), 1u);
  EXPECT_EQ(io.written[0].size(), 593u);
  EXPECT_EQ(io.written[0][0], 0x01);
  EXPECT_EQ(io.written[0][1], 44);  // the request itself follows the opcode
  EXPECT_EQ(request.Data()[0], 0x5A);
}

TEST_F(TransportTest, NonzeroStatusFailsAndCopiesNothing) {
  const platform::Handle h = OpenThroughRelay();
  DeviceRecord record;
  record.Handle = h;
  ScsiRequest request = ReadRequest();
  const Bytes before(request.Bytes().begin(), request.Bytes().end());
  Bytes reply(1 + 592, 0xEE);
  reply[0] = 0x01;
  io.replies.push_back(reply);
  EXPECT_EQ(SendScsiCommand(record, request, 592), 0);
  EXPECT_EQ(Bytes(request.Bytes().begin(), request.Bytes().end()), before);
}

TEST_F(TransportTest, PassThroughReplyWithoutTheHeaderIsNoCompletion) {
  const platform::Handle h = OpenThroughRelay();
  DeviceRecord record;
  record.Handle = h;
  ScsiRequest request = ReadRequest();
  io.replies.push_back({0, 44});  // status ok, then only one byte of the request
  EXPECT_EQ(SendScsiCommand(record, request, 592), 0);
}

TEST_F(TransportTest, ZeroByteReplyIsAFailureNotASuccess) {
  const platform::Handle h = OpenThroughRelay();
  std::array<std::uint8_t, 24> geometry{};
  std::uint32_t returned = 1234;
  io.replies.push_back({});
  EXPECT_EQ(RelayDeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, geometry.data(), 24,
                                 &returned),
            0);
  EXPECT_EQ(returned, 1234u);
}

TEST_F(TransportTest, ReplyLongerThanExpectedFailsWithoutOverrun) {
  const platform::Handle h = OpenThroughRelay();
  std::array<std::uint8_t, 24 + 8> geometry{};
  std::uint32_t returned = 0;
  io.replies.push_back(Bytes(1 + 24 + 8, 0));
  EXPECT_EQ(RelayDeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, geometry.data(), 24,
                                 &returned),
            0);
  EXPECT_EQ(geometry[24], 0);
}

TEST_F(TransportTest, ShortWriteFailsAfterTheReplyIsRead) {
  const platform::Handle h = OpenThroughRelay();
  std::array<std::uint8_t, 24> geometry{};
  std::uint32_t returned = 0;
  io.shortWriteBy = 1;
  io.replies.push_back(Bytes(25, 0));
  EXPECT_EQ(RelayDeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, geometry.data(), 24,
                                 &returned),
            0);
  EXPECT_TRUE(io.replies.empty());  // the reply was consumed, keeping the channel in step
}

TEST_F(TransportTest, AFailedExchangeEndsTheConnectionAndEveryLaterCallOnItFails) {
  // A reply that comes after its time limit must never be read as the answer to the next
  // request: the connection is given up at the first failed exchange.
  struct Failure {
    const char* name;
    std::function<void()> arrange;
  };
  const std::vector<Failure> failures = {
      {"the reply misses its time limit", [] {}},
      {"the request cannot be written", [this] { io.failWrites = true; }},
      {"the reply is longer than the reader's buffer",
       [this] { io.replies.push_back(Bytes(1 + 592 + 1, 0)); }},
  };
  for (const Failure& failure : failures) {
    SCOPED_TRACE(failure.name);
    const platform::Handle h = OpenThroughRelay();
    DeviceRecord record;
    record.Handle = h;
    ScsiRequest first = ReadRequest();
    failure.arrange();
    EXPECT_EQ(SendScsiCommand(record, first, 592), 0);
    io.failWrites = false;
    io.replies.clear();
    io.written.clear();

    // The late reply, well formed, arrives; the next command must not take it.
    ScsiRequest next = ReadRequest();
    Bytes late(1 + 592, 0);
    std::copy(next.Bytes().begin(), next.Bytes().end(), late.begin() + 1);
    late[1 + 80] = 0x5A;
    io.replies.push_back(late);
    EXPECT_EQ(SendScsiCommand(record, next, 592), 0);
    std::array<std::uint8_t, 24> geometry{};
    std::uint32_t returned = 0;
    EXPECT_EQ(RelayDeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, geometry.data(),
                                   24, &returned),
              0);
    EXPECT_NE(next.Data()[0], 0x5A);
    EXPECT_TRUE(io.written.empty());
    EXPECT_EQ(io.replies.size(), 1u);

    // Closing it sends nothing more and releases it once; the handle is no connection after.
    EXPECT_EQ(RelayCloseDevice(h), 0);
    EXPECT_TRUE(io.written.empty());
    EXPECT_EQ(std::count(io.closed.begin(), io.closed.end(), h), 1);
    EXPECT_FALSE(IsRelayHandle(h));
    io.replies.clear();
  }
}

TEST_F(TransportTest, DiskQueriesSendOutputSizeZeroBytesAndReturnTheAnswer) {
  const platform::Handle h = OpenThroughRelay();
  const std::pair<std::uint32_t, std::uint8_t> codes[] = {{IOCTL_DISK_GET_DRIVE_LAYOUT, 0x03},
                                                          {IOCTL_DISK_GET_DRIVE_GEOMETRY, 0x33},
                                                          {IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, 0x34},
                                                          {IOCTL_DISK_GET_DRIVE_LAYOUT_EX, 0x35}};
  for (auto [code, opcode] : codes) {
    io.written.clear();
    io.replies.push_back({0, 9, 8, 7});
    std::array<std::uint8_t, 16> out{};
    std::uint32_t returned = 0;
    ASSERT_EQ(RelayDeviceIoControl(h, code, nullptr, 0, out.data(), 16, &returned), 1);
    ASSERT_EQ(io.written.size(), 1u);
    EXPECT_EQ(io.written[0], Bytes({opcode, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(out[0], 9);
    EXPECT_EQ(out[2], 7);
    EXPECT_EQ(out[3], 0);
  }
}

// --- pass-through direct through the relay ------------------------------------------------------

class RelayDirectTest : public TransportTest {
 protected:
  ScsiPassThroughDirect Block(std::uint32_t length, std::uint8_t dataIn, std::uint8_t* data) {
    ScsiPassThroughDirect sptd;
    ScsiPassThroughHeader h = wire::HeaderFor(
        {.cdbLength = 12, .direction = wire::DataDirection{dataIn}, .transferLength = length});
    h.DataBufferOffset = 0xCAFEF00D;  // stands for the caller's pointer
    ScsiRequestView(sptd.block).SetHeader(h);
    sptd.dataBuffer = data;
    return sptd;
  }
};

TEST_F(RelayDirectTest, LargestDataPhaseFitsTheLimitAndOneMoreFailsWithoutWriting) {
  const platform::Handle h = OpenThroughRelay();
  std::vector<std::uint8_t> data(relay::kMaxDirectData + 1, 0x11);
  std::uint32_t returned = 0;
  auto tooLong = Block(relay::kMaxDirectData + 1, SCSI_IOCTL_DATA_OUT, data.data());
  EXPECT_EQ(RelayDeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &tooLong, sizeof tooLong,
                                 &tooLong, sizeof tooLong, &returned),
            0);
  EXPECT_TRUE(io.written.empty());

  auto largest = Block(relay::kMaxDirectData, SCSI_IOCTL_DATA_OUT, data.data());
  io.replies.push_back(Bytes(81, 0));
  EXPECT_EQ(RelayDeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &largest, sizeof largest,
                                 &largest, sizeof largest, &returned),
            1);
  ASSERT_EQ(io.written.size(), 1u);
  EXPECT_EQ(io.written[0].size(), relay::kMaxMessageSize);
  EXPECT_EQ(io.written[0][0], 0x02);
  EXPECT_EQ(io.written[0][81], 0x11);  // the data follows the 80-byte block
}

TEST_F(RelayDirectTest, ReadCopiesAtMostTheDataLengthAndKeepsTheCallersPointer) {
  const platform::Handle h = OpenThroughRelay();
  std::array<std::uint8_t, 16 + 4> data{};
  auto sptd = Block(16, SCSI_IOCTL_DATA_IN, data.data());
  // The request buffer is sized for 16 data bytes: a longer reply fails the read outright.
  Bytes overlong(1 + 80 + 20, 0x77);
  overlong[0] = 0;
  io.replies.push_back(overlong);
  std::uint32_t returned = 0;
  EXPECT_EQ(RelayDeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &sptd, sizeof sptd, &sptd,
                                 sizeof sptd, &returned),
            0);
  EXPECT_EQ(data[16], 0);
  ASSERT_EQ(io.written.size(), 1u);
  EXPECT_EQ(io.written[0].size(), 81u);  // reading: no data bytes in the request

  // A failed read ends its connection: the well-formed reply goes over a new one.
  const platform::Handle second = OpenThroughRelay();
  Bytes reply(1 + 80 + 16, 0x66);
  reply[0] = 0;
  ScsiRequestView(std::span(reply).subspan(1)).SetScsiStatus(0);
  io.replies.push_back(reply);
  ASSERT_EQ(RelayDeviceIoControl(second, IOCTL_SCSI_PASS_THROUGH_DIRECT, &sptd, sizeof sptd, &sptd,
                                 sizeof sptd, &returned),
            1);
  EXPECT_EQ(data[15], 0x66);
  EXPECT_EQ(data[16], 0);
  EXPECT_EQ(ScsiRequestView(sptd.block).Header().DataBufferOffset, 0xCAFEF00Du);
  EXPECT_EQ(sptd.block[0], 0x66);  // the rest of the block is the relay's
}

TEST_F(RelayDirectTest, ReplyWithoutTheWholeBlockFails) {
  const platform::Handle h = OpenThroughRelay();
  auto sptd = Block(0, SCSI_IOCTL_DATA_OUT, nullptr);
  io.replies.push_back(Bytes(40, 0));
  std::uint32_t returned = 0;
  EXPECT_EQ(RelayDeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &sptd, sizeof sptd, &sptd,
                                 sizeof sptd, &returned),
            0);
}

TEST_F(RelayDirectTest, DirectHandleCarriesTheBlockAsAPlainPassThrough) {
  std::array<std::uint8_t, 8> data{1, 2, 3, 4, 5, 6, 7, 8};
  auto sptd = Block(8, SCSI_IOCTL_DATA_IN, data.data());
  io.onIoControl = [](std::uint32_t code, std::uint8_t* b, std::uint32_t size) {
    EXPECT_EQ(code, IOCTL_SCSI_PASS_THROUGH);
    EXPECT_EQ(size, 88u);
    EXPECT_EQ(ScsiRequestView(std::span(b, size)).Header().DataBufferOffset, 80u);
    b[80] = 0xA0;
    return true;
  };
  std::uint32_t returned = 0;
  ASSERT_EQ(RelayDeviceIoControl(9, IOCTL_SCSI_PASS_THROUGH_DIRECT, &sptd, sizeof sptd, &sptd,
                                 sizeof sptd, &returned),
            1);
  EXPECT_EQ(data[0], 0xA0);
  EXPECT_EQ(ScsiRequestView(sptd.block).Header().DataBufferOffset, 0xCAFEF00Du);
}

}  // namespace
}  // namespace burnwell::device
