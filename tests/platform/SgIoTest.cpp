// The pass-through I/O controls as SG_IO sees them, through an injected ioctl.
#include "platform/linux/DeviceIoSgIo.h"

#include <gtest/gtest.h>

#include <cerrno>

#include <array>
#include <cstring>
#include <vector>

#include "platform/Clock.h"
#include "platform/GoneSettle.h"
#include "wire/AtaPassThrough.h"
#include "wire/ScsiRequest.h"

namespace burnwell::platform::sgio {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A clock whose sleeps take no time: a failed transfer's settle runs at once.
struct VirtualTime final : Clock {
  std::uint64_t nowUs = 0;
  void SleepMs(std::uint32_t ms) override { nowUs += std::uint64_t{ms} * 1000; }
  std::uint64_t NowUs() override { return nowUs; }
};

// A ScsiRequest (wire layout) with a 10-byte CDB and `length` data bytes.
Bytes Request(std::uint8_t dataIn, std::uint32_t length, std::uint32_t timeoutSeconds = 3) {
  const auto request = wire::ScsiRequest::For({.cdb = {0xD0, 1, 2, 3, 4, 5, 6, 7, 8, 9},
                                               .cdbLength = 10,
                                               .direction = wire::DataDirection{dataIn},
                                               .transferLength = length,
                                               .timeoutSeconds = timeoutSeconds});
  return Bytes(request.Bytes().begin(), request.Bytes().end());
}

wire::ScsiPassThroughHeader Header(const Bytes& request) {
  return wire::DecodePassThroughHeader(request);
}

// The request with its header edited.
template <typename Edit>
Bytes Edited(Bytes request, Edit edit) {
  auto h = Header(request);
  edit(h);
  wire::EncodePassThroughHeader(h, request);
  return request;
}

struct Outcome {
  int result = 0;
  std::uint8_t status = 0;
  std::uint16_t host = 0;
  std::uint16_t driver = 0;
  int resid = 0;
  std::vector<std::uint8_t> sense;
  std::vector<std::uint8_t> data;  // written into the data area when reading
};

// An ioctl that records the header it was given and answers with `outcome`.
SgIoCall Answer(const Outcome& outcome, sg_io_hdr_t* seen = nullptr,
                std::vector<std::uint8_t>* cdb = nullptr,
                std::vector<std::uint8_t>* sent = nullptr) {
  return [=](int, sg_io_hdr_t& h) {
    if (seen) *seen = h;
    if (cdb) cdb->assign(h.cmdp, h.cmdp + h.cmd_len);
    if (sent && h.dxferp)
      sent->assign(static_cast<std::uint8_t*>(h.dxferp),
                   static_cast<std::uint8_t*>(h.dxferp) + h.dxfer_len);
    if (h.dxfer_direction == SG_DXFER_FROM_DEV && !outcome.data.empty())
      std::memcpy(h.dxferp, outcome.data.data(),
                  std::min<std::size_t>(outcome.data.size(), h.dxfer_len));
    if (!outcome.sense.empty())
      std::memcpy(h.sbp, outcome.sense.data(),
                  std::min<std::size_t>(outcome.sense.size(), h.mx_sb_len));
    h.sb_len_wr = static_cast<unsigned char>(outcome.sense.size());
    h.status = outcome.status;
    h.host_status = outcome.host;
    h.driver_status = outcome.driver;
    h.resid = outcome.resid;
    return outcome.result;
  };
}

TEST(SgIoScsiPassThrough, FillsTheHeaderFromTheRequest) {
  auto b = Request(wire::SCSI_IOCTL_DATA_IN, 16, 7);
  sg_io_hdr_t seen{};
  std::vector<std::uint8_t> cdb;
  std::uint32_t returned = 0;
  ASSERT_TRUE(ScsiPassThrough(3, b.data(), 592, b.data(), 592, &returned, Answer({}, &seen, &cdb)));
  EXPECT_EQ(seen.interface_id, 'S');
  EXPECT_EQ(seen.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(seen.dxfer_len, 16u);
  EXPECT_EQ(seen.cmd_len, 10);
  EXPECT_EQ(cdb, (std::vector<std::uint8_t>{0xD0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(seen.mx_sb_len, 32);
  EXPECT_EQ(seen.timeout, 7000u);  // seconds become milliseconds
}

TEST(SgIoScsiPassThrough, DirectionFollowsDataInAndLength) {
  sg_io_hdr_t seen{};
  auto out = Request(wire::SCSI_IOCTL_DATA_OUT, 4);
  out[80] = 0xAA;
  std::vector<std::uint8_t> sent;
  ASSERT_TRUE(ScsiPassThrough(3, out.data(), 592, out.data(), 592, nullptr,
                              Answer({}, &seen, nullptr, &sent)));
  EXPECT_EQ(seen.dxfer_direction, SG_DXFER_TO_DEV);
  EXPECT_EQ(sent, (std::vector<std::uint8_t>{0xAA, 0, 0, 0}));

  auto none = Request(wire::SCSI_IOCTL_DATA_OUT, 0);
  ASSERT_TRUE(ScsiPassThrough(3, none.data(), 592, none.data(), 592, nullptr, Answer({}, &seen)));
  EXPECT_EQ(seen.dxfer_direction, SG_DXFER_NONE);
  EXPECT_EQ(seen.dxferp, nullptr);
}

TEST(SgIoScsiPassThrough, StatusSenseAndDataComeBackInPlace) {
  auto b = Request(wire::SCSI_IOCTL_DATA_IN, 16);
  Outcome check;
  check.status = 2;
  check.driver = 0x08;  // sense present: still a completed transfer
  check.sense = {0x70, 0, 5};
  check.data = {0x5A};
  check.resid = 6;
  ASSERT_TRUE(ScsiPassThrough(3, b.data(), 592, b.data(), 592, nullptr, Answer(check)));
  EXPECT_EQ(Header(b).ScsiStatus, 2);
  EXPECT_EQ(b[48], 0x70);
  EXPECT_EQ(b[50], 5);
  EXPECT_EQ(Header(b).SenseInfoLength, 3);
  EXPECT_EQ(b[80], 0x5A);
  EXPECT_EQ(Header(b).DataTransferLength, 10u);

  Outcome one;
  one.status = 1;
  ASSERT_TRUE(ScsiPassThrough(3, b.data(), 592, b.data(), 592, nullptr, Answer(one)));
  EXPECT_EQ(Header(b).ScsiStatus, 1);
}

TEST(SgIoScsiPassThrough, IoctlHostAndDriverErrorsFail) {
  VirtualTime time;
  ScopedOverride<Clock> clock(&time);
  Outcome failedIoctl;
  failedIoctl.result = -1;
  Outcome host;
  host.host = 0x01;  // no connect
  Outcome driver;
  driver.driver = 0x06;  // time-out
  Outcome driverWithSense;
  driverWithSense.driver = 0x08 | 0x06;
  for (const Outcome& o : {failedIoctl, host, driver, driverWithSense}) {
    auto b = Request(wire::SCSI_IOCTL_DATA_IN, 16);
    const auto before = b;
    EXPECT_FALSE(ScsiPassThrough(3, b.data(), 592, b.data(), 592, nullptr, Answer(o)));
    EXPECT_EQ(b, before);  // a failed transfer leaves the request as it was
  }
}

// After an unplug every SG_IO on the open descriptor fails with ENODEV, but the command in
// flight may fail with a host error first: a failed transfer is followed by TEST UNIT READY
// probes until the device answers, is seen gone or silent, or the settle time has passed.
TEST(SgIoScsiPassThrough, AFailureSaysWhetherTheDeviceIsGone) {
  struct Failure {
    int result;
    int error;
    std::uint16_t host;
  };
  constexpr Failure kGone{-1, ENODEV, 0}, kNoConnect{0, 0, 0x01}, kTimedOut{-1, ETIMEDOUT, 0},
      kHostError{0, 0, 0x07}, kIoError{-1, EIO, 0}, kAnswered{0, 0, 0};
  struct Case {
    Failure command;
    Failure probe;  // every probe's answer
    IoFailure expected;
    int probes;  // how many probes were sent (-1: until the settle time ran out)
  };
  const Case cases[] = {
      {kGone, kGone, IoFailure::DeviceGone, 0},
      {{-1, ENXIO, 0}, kGone, IoFailure::DeviceGone, 0},
      {kNoConnect, kGone, IoFailure::DeviceGone, 0},
      {kTimedOut, kGone, IoFailure::NoAnswer, 0},  // the program's own deadline
      {kHostError, kGone, IoFailure::DeviceGone, 1},
      {kHostError, kNoConnect, IoFailure::DeviceGone, 1},
      {kIoError, kGone, IoFailure::DeviceGone, 1},
      {kHostError, kTimedOut, IoFailure::NoAnswer, 1},
      {kHostError, kAnswered, IoFailure::CommandFailed, 1},  // the bridge is there
      {kHostError, kHostError, IoFailure::CommandFailed, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.command.error << "/" << c.command.host << " then "
                                    << c.probe.error << "/" << c.probe.host);
    ClearIoFailure();
    VirtualTime time;
    ScopedOverride<Clock> clock(&time);
    auto b = Request(wire::SCSI_IOCTL_DATA_IN, 16);
    int calls = 0;
    std::vector<std::uint8_t> probeCdb;
    const SgIoCall call = [&](int, sg_io_hdr_t& h) {
      const Failure& answer = calls++ == 0 ? c.command : c.probe;
      if (calls > 1) probeCdb.assign(h.cmdp, h.cmdp + h.cmd_len);
      h.host_status = answer.host;
      errno = answer.error;
      return answer.result;
    };
    EXPECT_FALSE(ScsiPassThrough(3, b.data(), 592, b.data(), 592, nullptr, call));
    EXPECT_EQ(LastIoFailure(), c.expected);
    if (c.probes >= 0) {
      EXPECT_EQ(calls - 1, c.probes);
    } else {
      EXPECT_GE(time.nowUs, std::uint64_t{kGoneSettleMs} * 1000);
      EXPECT_LE(time.nowUs, std::uint64_t{kGoneSettleMs + kGoneLookIntervalMs} * 1000);
    }
    if (calls > 1) {
      EXPECT_EQ(probeCdb, std::vector<std::uint8_t>(6, 0));  // TEST UNIT READY
    }
  }
  ClearIoFailure();
}

TEST(SgIoScsiPassThrough, MalformedRequestsNeverReachTheDevice) {
  int calls = 0;
  SgIoCall count = [&](int, sg_io_hdr_t&) { return ++calls, 0; };
  auto tooLong = Request(wire::SCSI_IOCTL_DATA_IN, 513);
  EXPECT_FALSE(ScsiPassThrough(3, tooLong.data(), 592, tooLong.data(), 592, nullptr, count));
  auto noCdb = Edited(Request(wire::SCSI_IOCTL_DATA_IN, 16), [](auto& h) { h.CdbLength = 0; });
  EXPECT_FALSE(ScsiPassThrough(3, noCdb.data(), 592, noCdb.data(), 592, nullptr, count));
  auto bigCdb = Edited(Request(wire::SCSI_IOCTL_DATA_IN, 16), [](auto& h) { h.CdbLength = 17; });
  EXPECT_FALSE(ScsiPassThrough(3, bigCdb.data(), 592, bigCdb.data(), 592, nullptr, count));
  auto wrapping = Edited(Request(wire::SCSI_IOCTL_DATA_IN, 16),
                         [](auto& h) { h.DataBufferOffset = 0xFFFFFFF8; });
  EXPECT_FALSE(ScsiPassThrough(3, wrapping.data(), 592, wrapping.data(), 592, nullptr, count));
  EXPECT_FALSE(ScsiPassThrough(3, tooLong.data(), 40, tooLong.data(), 40, nullptr, count));
  EXPECT_EQ(calls, 0);
}

// --- ATA pass-through --------------------------------------------------------------------------

wire::AtaPassThroughHeader IdentifyHeader() {
  wire::AtaPassThroughHeader h;
  h.AtaFlags = wire::ATA_FLAGS_DATA_IN;
  h.DataTransferLength = 512;
  h.TimeOutValue = 300;
  h.DataBufferOffset = 40;
  h.CurrentTaskFile[wire::reg::SectorCount] = 1;
  h.CurrentTaskFile[wire::reg::Device] = 0xA0;
  h.CurrentTaskFile[wire::reg::Command] = 0xEC;  // IDENTIFY DEVICE
  return h;
}

Bytes Block(const wire::AtaPassThroughHeader& h) {
  Bytes b(40 + 512, 0);
  wire::EncodeAtaPassThroughHeader(h, b);
  return b;
}

Bytes IdentifyBlock() { return Block(IdentifyHeader()); }

wire::TaskFileRegisters Registers(const Bytes& block) {
  return wire::DecodeAtaPassThroughHeader(block).CurrentTaskFile;
}

TEST(SgIoAtaPassThrough, TaskFileBecomesAtaPassThrough16) {
  auto b = IdentifyBlock();
  sg_io_hdr_t seen{};
  std::vector<std::uint8_t> cdb;
  Outcome good;
  good.data = {0x40, 0x00};
  ASSERT_TRUE(AtaPassThrough(3, b.data(), b.size(), b.data(), b.size(), nullptr,
                             Answer(good, &seen, &cdb)));
  ASSERT_EQ(cdb.size(), 16u);
  EXPECT_EQ(cdb[0], 0x85);
  EXPECT_EQ(cdb[1], 4 << 1);  // PIO data-in, 28-bit
  EXPECT_EQ(cdb[2], 0x2E);    // CK_COND, from device, block units, count in sector count
  EXPECT_EQ(cdb[6], 1);
  EXPECT_EQ(cdb[13], 0xA0);
  EXPECT_EQ(cdb[14], 0xEC);
  EXPECT_EQ(seen.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(seen.dxfer_len, 512u);
  EXPECT_EQ(seen.timeout, 300000u);
  EXPECT_EQ(b[40], 0x40);
  EXPECT_EQ(Registers(b)[wire::reg::Status] & 1, 0);
}

TEST(SgIoAtaPassThrough, RegistersComeBackFromTheStatusDescriptor) {
  auto b = IdentifyBlock();
  Outcome aborted;
  aborted.status = 2;
  aborted.driver = 0x08;
  aborted.sense = std::vector<std::uint8_t>(8 + 14, 0);
  aborted.sense[0] = 0x72;
  aborted.sense[7] = 14;
  aborted.sense[8] = 0x09;
  aborted.sense[9] = 0x0C;
  aborted.sense[8 + 3] = 0x04;   // error: aborted
  aborted.sense[8 + 13] = 0x51;  // status: ERR
  ASSERT_TRUE(AtaPassThrough(3, b.data(), b.size(), b.data(), b.size(), nullptr, Answer(aborted)));
  EXPECT_EQ(Registers(b)[wire::reg::Error], 0x04);
  EXPECT_EQ(Registers(b)[wire::reg::Status], 0x51);
}

TEST(SgIoAtaPassThrough, CheckConditionWithoutRegistersReportsErr) {
  auto b = IdentifyBlock();
  Outcome bare;
  bare.status = 2;
  ASSERT_TRUE(AtaPassThrough(3, b.data(), b.size(), b.data(), b.size(), nullptr, Answer(bare)));
  EXPECT_EQ(Registers(b)[wire::reg::Status] & 1, 1);
}

TEST(SgIoAtaPassThrough, BadBlocksAndTransportErrorsFail) {
  VirtualTime time;
  ScopedOverride<Clock> clock(&time);
  int calls = 0;
  SgIoCall count = [&](int, sg_io_hdr_t&) { return ++calls, 0; };
  auto bothHeader = IdentifyHeader();
  bothHeader.AtaFlags = wire::ATA_FLAGS_DATA_IN | wire::ATA_FLAGS_DATA_OUT;
  auto both = Block(bothHeader);
  EXPECT_FALSE(
      AtaPassThrough(3, both.data(), both.size(), both.data(), both.size(), nullptr, count));
  auto outside = IdentifyBlock();
  EXPECT_FALSE(
      AtaPassThrough(3, outside.data(), 40 + 256, outside.data(), 40 + 256, nullptr, count));
  auto oddHeader = IdentifyHeader();
  oddHeader.DataTransferLength = 100;
  auto odd = Block(oddHeader);
  EXPECT_FALSE(AtaPassThrough(3, odd.data(), odd.size(), odd.data(), odd.size(), nullptr, count));
  EXPECT_EQ(calls, 0);

  Outcome host;
  host.host = 3;
  auto b = IdentifyBlock();
  EXPECT_FALSE(AtaPassThrough(3, b.data(), b.size(), b.data(), b.size(), nullptr, Answer(host)));
}

}  // namespace
}  // namespace burnwell::platform::sgio
