// The wire-to-native conversion of the Windows pass-through requests, through an injected
// DeviceIoControl (Wine has no device that answers pass-through).
#include "platform/win32/DeviceIoNative.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/Bytes.h"
#include "platform/Clock.h"
#include "platform/GoneSettle.h"
#include "wire/AtaPassThrough.h"
#include "wire/ScsiRequest.h"

#include <winioctl.h>
#include <ntddscsi.h>

namespace burnwell::platform {
namespace {

std::vector<std::uint8_t> WireRequest(std::uint8_t dataIn, std::uint32_t length) {
  auto request = wire::ScsiRequest::For({.cdb = {0xD4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xEE},
                                         .cdbLength = 12,
                                         .direction = wire::DataDirection{dataIn},
                                         .transferLength = length,
                                         .timeoutSeconds = 9,
                                         .targetId = 1,
                                         .lun = 2});
  request.Data()[0] = 0x31;
  return std::vector<std::uint8_t>(request.Bytes().begin(), request.Bytes().end());
}

wire::ScsiPassThroughHeader WireHeader(const std::vector<std::uint8_t>& request) {
  return wire::DecodePassThroughHeader(request);
}

TEST(NativeScsiPassThrough, NativeHeaderCarriesTheFieldsAtItsOwnOffsets) {
  auto wire = WireRequest(0 /* out */, 4);
  std::vector<std::uint8_t> native;
  DWORD seenCode = 0;
  auto call = [&](HANDLE, DWORD code, void* buffer, DWORD size, DWORD* got) -> BOOL {
    seenCode = code;
    native.assign(static_cast<std::uint8_t*>(buffer), static_cast<std::uint8_t*>(buffer) + size);
    *got = size;
    return TRUE;
  };
  ASSERT_TRUE(NativeScsiPassThrough(nullptr, wire.data(), 592, wire.data(), 592, nullptr, call));
  EXPECT_EQ(seenCode, 0x4D004u);
  SCSI_PASS_THROUGH header;
  ASSERT_GE(native.size(), sizeof header);
  std::memcpy(&header, native.data(), sizeof header);
  EXPECT_EQ(header.Length, sizeof(SCSI_PASS_THROUGH));
  if (sizeof(void*) == 8) {
    EXPECT_EQ(sizeof(SCSI_PASS_THROUGH), 56u);
    EXPECT_EQ(LoadLe64(native.data() + 24), header.DataBufferOffset);  // ULONG_PTR at 24
    EXPECT_EQ(LoadLe32(native.data() + 32), header.SenseInfoOffset);
    EXPECT_EQ(native[36], 0xD4);  // Cdb at 36
  }
  EXPECT_EQ(header.TargetId, 1);
  EXPECT_EQ(header.Lun, 2);
  EXPECT_EQ(header.CdbLength, 12);
  EXPECT_EQ(header.DataIn, 0);
  EXPECT_EQ(header.DataTransferLength, 4u);
  EXPECT_EQ(header.TimeOutValue, 9u);
  EXPECT_EQ(header.Cdb[11], 0xEE);
  EXPECT_EQ(native[header.DataBufferOffset], 0x31);  // the data to send went along
  EXPECT_GE(header.DataBufferOffset, header.SenseInfoOffset + 32);
  EXPECT_EQ(native.size(), header.DataBufferOffset + 4);
}

TEST(NativeScsiPassThrough, StatusSenseAndDataComeBackInWireLayout) {
  auto wire = WireRequest(1 /* in */, 16);
  auto call = [](HANDLE, DWORD, void* buffer, DWORD, DWORD* got) -> BOOL {
    SCSI_PASS_THROUGH header;
    std::memcpy(&header, buffer, sizeof header);
    auto* b = static_cast<std::uint8_t*>(buffer);
    header.ScsiStatus = 2;
    header.SenseInfoLength = 18;
    header.DataTransferLength = 10;
    b[header.SenseInfoOffset] = 0x70;
    b[header.DataBufferOffset] = 0x99;
    std::memcpy(buffer, &header, sizeof header);
    *got = 0;
    return TRUE;
  };
  ASSERT_TRUE(NativeScsiPassThrough(nullptr, wire.data(), 592, wire.data(), 592, nullptr, call));
  EXPECT_EQ(WireHeader(wire).ScsiStatus, 2);
  EXPECT_EQ(WireHeader(wire).SenseInfoLength, 18);
  EXPECT_EQ(wire[48], 0x70);
  EXPECT_EQ(wire[80], 0x99);
  EXPECT_EQ(WireHeader(wire).DataTransferLength, 10u);
  EXPECT_EQ(WireHeader(wire).DataBufferOffset, 80u);  // the wire offsets stay
}

TEST(NativeScsiPassThrough, FailureAndBadRequestsLeaveTheRequestAlone) {
  int calls = 0;
  auto failing = [&](HANDLE, DWORD, void*, DWORD, DWORD*) -> BOOL {
    ::SetLastError(ERROR_INVALID_FUNCTION);  // a refusal, which says nothing of the device
    return ++calls, FALSE;
  };
  auto wire = WireRequest(1 /* in */, 16);
  const auto before = wire;
  EXPECT_FALSE(
      NativeScsiPassThrough(nullptr, wire.data(), 592, wire.data(), 592, nullptr, failing));
  EXPECT_EQ(wire, before);
  auto tooLong = WireRequest(1 /* in */, 513);
  EXPECT_FALSE(
      NativeScsiPassThrough(nullptr, tooLong.data(), 592, tooLong.data(), 592, nullptr, failing));
  EXPECT_EQ(calls, 1);
}

// A clock whose sleeps take no time.
struct VirtualTime final : Clock {
  std::uint64_t nowUs = 0;
  void SleepMs(std::uint32_t ms) override { nowUs += std::uint64_t{ms} * 1000; }
  std::uint64_t NowUs() override { return nowUs; }
};

// The command in flight when a bridge is pulled may end with a general device error: TEST UNIT
// READY probes look whether the device is going away, and the caller still sees the error.
TEST(NativeScsiPassThrough, AGeneralErrorLooksWhetherTheDeviceIsGone) {
  struct Case {
    DWORD probeError;  // 0: the probe succeeds
    IoFailure expected;
    int probes;  // -1: until the settle time ran out
  };
  const Case cases[] = {{ERROR_DEVICE_NOT_CONNECTED, IoFailure::DeviceGone, 1},
                        {0, IoFailure::CommandFailed, 1},
                        {ERROR_GEN_FAILURE, IoFailure::CommandFailed, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.probeError);
    ClearIoFailure();
    VirtualTime time;
    ScopedOverride<Clock> clock(&time);
    int calls = 0;
    std::vector<std::uint8_t> probeCdb;
    auto call = [&](HANDLE, DWORD, void* buffer, DWORD, DWORD*) -> BOOL {
      if (calls++ == 0) {
        ::SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
      }
      SCSI_PASS_THROUGH probe{};
      std::memcpy(&probe, buffer, sizeof probe);
      probeCdb.assign(probe.Cdb, probe.Cdb + probe.CdbLength);
      if (c.probeError == 0) return TRUE;
      ::SetLastError(c.probeError);
      return FALSE;
    };
    auto wire = WireRequest(1 /* in */, 16);
    EXPECT_FALSE(NativeScsiPassThrough(nullptr, wire.data(), 592, wire.data(), 592, nullptr, call));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(LastIoFailure(), c.expected);
    EXPECT_EQ(probeCdb, std::vector<std::uint8_t>(6, 0));
    if (c.probes >= 0) {
      EXPECT_EQ(calls - 1, c.probes);
    } else {
      EXPECT_GE(time.nowUs, std::uint64_t{kGoneSettleMs} * 1000);
    }
  }
  ClearIoFailure();
}

TEST(NativeAtaPassThrough, TaskFilesAndDataTravelBothWays) {
  std::vector<std::uint8_t> wire(40 + 512, 0);
  wire::AtaPassThroughHeader sent;
  sent.AtaFlags = 2;
  sent.DataTransferLength = 512;
  sent.TimeOutValue = 300;
  sent.DataBufferOffset = 40;
  sent.CurrentTaskFile[wire::reg::Command] = 0xEC;
  wire::EncodeAtaPassThroughHeader(sent, wire);
  auto call = [](HANDLE, DWORD code, void* buffer, DWORD size, DWORD* got) -> BOOL {
    EXPECT_EQ(code, 0x4D02Cu);
    ATA_PASS_THROUGH_EX header;
    std::memcpy(&header, buffer, sizeof header);
    EXPECT_EQ(header.Length, sizeof(ATA_PASS_THROUGH_EX));
    EXPECT_EQ(header.CurrentTaskFile[6], 0xEC);
    EXPECT_EQ(header.TimeOutValue, 300u);
    EXPECT_EQ(size, header.DataBufferOffset + 512);
    header.CurrentTaskFile[6] = 0x51;
    header.CurrentTaskFile[0] = 0x04;
    static_cast<std::uint8_t*>(buffer)[header.DataBufferOffset + 511] = 0x77;
    std::memcpy(buffer, &header, sizeof header);
    *got = size;
    return TRUE;
  };
  if (sizeof(void*) == 8) {
    EXPECT_EQ(sizeof(ATA_PASS_THROUGH_EX), 48u);
  }
  ASSERT_TRUE(NativeAtaPassThrough(nullptr, wire.data(), 552, wire.data(), 552, nullptr, call));
  const wire::AtaPassThroughHeader answered = wire::DecodeAtaPassThroughHeader(wire);
  EXPECT_EQ(answered.CurrentTaskFile[wire::reg::Status], 0x51);
  EXPECT_EQ(answered.CurrentTaskFile[wire::reg::Error], 0x04);
  EXPECT_EQ(wire[40 + 511], 0x77);
}

}  // namespace
}  // namespace burnwell::platform
