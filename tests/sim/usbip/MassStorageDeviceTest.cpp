// The emulated bridge as a bulk-only mass-storage device, driven URB by URB the way a host's
// storage driver drives it: command wrapper, data stage, status wrapper, and the recovery a
// stall or a phase error asks for.
#include "sim/usbip/MassStorageDevice.h"

#include <gtest/gtest.h>

#include "common/Bytes.h"
#include "common/MakerIds.h"

namespace burnwell::sim::usbip {
namespace {

using Bytes = std::vector<std::uint8_t>;

class Host {
 public:
  explicit Host(BridgeConfig config = {})
      : bridge_(std::make_shared<EmulatedBridge>(WithoutLatency(std::move(config)), clock_)),
        device_(bridge_) {
    device_.Plug();
    EXPECT_EQ(Control(0x00, 0x09, 1, 0, 0).status, kStatusOk) << "SET_CONFIGURATION 1";
  }

  UrbCompletion Control(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                        std::uint16_t index, std::uint16_t length) {
    Urb urb = Next(0, (type & 0x80) != 0, length);
    urb.setup[setup::RequestType] = type;
    urb.setup[setup::Request] = request;
    StoreLe16(&urb.setup[setup::Value], value);
    StoreLe16(&urb.setup[setup::Index], index);
    StoreLe16(&urb.setup[setup::Length], length);
    return Only(device_.Submit(urb));
  }
  UrbCompletion ClearHalt(std::uint8_t address) { return Control(0x02, 0x01, 0, address, 0); }
  std::vector<UrbCompletion> OutAll(const Bytes& data) {
    Urb urb = Next(kBulkOutEndpoint, false, static_cast<std::uint32_t>(data.size()));
    urb.outData = data;
    return device_.Submit(urb);
  }
  UrbCompletion Out(const Bytes& data) { return Only(OutAll(data)); }
  std::vector<UrbCompletion> In(std::uint32_t length) {
    return device_.Submit(Next(kBulkInEndpoint, true, length));
  }

  static Bytes Wrapper(std::uint32_t tag, std::uint32_t length, bool in, const Bytes& cdb,
                       std::uint8_t lun = 0) {
    Bytes w(cbw::kSize, 0);
    StoreLe32(&w[cbw::Signature], cbw::kSignature);
    StoreLe32(&w[cbw::Tag], tag);
    StoreLe32(&w[cbw::DataTransferLength], length);
    w[cbw::Flags] = in ? 0x80 : 0x00;
    w[cbw::Lun] = lun;
    w[cbw::CbLength] = static_cast<std::uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), w.begin() + cbw::Cb);
    return w;
  }

  // One command as the host's driver runs it: a stalled stage is cleared and the status read.
  struct Exchange {
    std::int32_t dataStatus = kStatusOk;
    Bytes data;
    std::uint8_t status = 0xFF;
    std::uint32_t residue = 0;
    std::uint32_t tag = 0;
  };
  Exchange Run(const Bytes& cdb, bool in, std::uint32_t length, const Bytes& out = {},
               std::uint8_t lun = 0) {
    Exchange result;
    EXPECT_EQ(Out(Wrapper(0x1234, length, in, cdb, lun)).status, kStatusOk);
    if (length > 0 && in) {
      const auto done = Only(In(length));
      result.dataStatus = done.status;
      result.data = done.inData;
      if (done.status == kStatusStall) ClearHalt(0x81);
    } else if (length > 0) {
      result.dataStatus = Out(out).status;
      if (result.dataStatus == kStatusStall) ClearHalt(0x02);
    }
    const auto status = Only(In(13));
    if (status.status != kStatusOk || status.inData.size() != csw::kSize) return result;
    EXPECT_EQ(LoadLe32(&status.inData[csw::Signature]), csw::kSignature);
    result.tag = LoadLe32(&status.inData[csw::Tag]);
    result.residue = LoadLe32(&status.inData[csw::DataResidue]);
    result.status = status.inData[csw::Status];
    return result;
  }

  MassStorageDevice& Device() { return device_; }

 private:
  static BridgeConfig WithoutLatency(BridgeConfig config) {
    config.latencyUs = 0;
    return config;
  }
  Urb Next(std::uint8_t endpoint, bool in, std::uint32_t length) {
    Urb urb;
    urb.seqNum = ++seq_;
    urb.endpoint = endpoint;
    urb.in = in;
    urb.length = length;
    return urb;
  }
  static UrbCompletion Only(std::vector<UrbCompletion> done) {
    EXPECT_EQ(done.size(), 1u);
    return done.empty() ? UrbCompletion{0, 1, 0, {}} : done.front();
  }

  VirtualClock clock_;
  std::shared_ptr<EmulatedBridge> bridge_;
  MassStorageDevice device_;
  std::uint32_t seq_ = 0;
};

Bytes Vendor(std::uint8_t opcode, std::uint8_t b3 = 0) {
  return {opcode, 0, 0, b3, VID_MAKER >> 8, VID_MAKER & 0xFF, 0, 0, 0, 0, 0, 0};
}

TEST(MassStorageDevice, CommandOutcomesFollowTheBulkOnlyCases) {
  struct Case {
    const char* what;
    Bytes cdb;
    bool in;
    std::uint32_t hostLength;
    std::size_t dataBytes;  // delivered to the host (data-in)
    std::int32_t dataStatus;
    std::uint8_t status;
    std::uint32_t residue;
    std::uint8_t lun = 0;
  };
  const Case cases[] = {
      {"host and device agree", {0x12, 0, 0, 0, 36, 0}, true, 36, 36, kStatusOk, csw::kPassed, 0},
      {"device has less, ends with a short packet",
       {0x12, 0, 0, 0, 36, 0},
       true,
       64,
       36,
       kStatusOk,
       csw::kPassed,
       28},
      {"device has less, ends on a full packet: stall",
       {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0},
       true,
       1024,
       512,
       kStatusStall,
       csw::kPassed,
       512},
      {"bridge information", Vendor(0xD0), true, 16, 16, kStatusOk, csw::kPassed, 0},
      {"no data", {0x00, 0, 0, 0, 0, 0}, false, 0, 0, kStatusOk, csw::kPassed, 0},
      {"failed data-in command: stall, nothing processed",
       {0xC5, 0, 0, 0, 0, 0},
       true,
       16,
       0,
       kStatusStall,
       csw::kFailed,
       16},
      {"data out taken", Vendor(0xD5, 4), false, 4, 0, kStatusOk, csw::kPassed, 0},
      {"failed data-out command: nothing processed", Vendor(0xD5, 33), false, 33, 0, kStatusOk,
       csw::kFailed, 33},
      {"logical unit 1 does not exist: phase error",
       {0x00, 0, 0, 0, 0, 0},
       false,
       0,
       0,
       kStatusOk,
       csw::kPhaseError,
       0,
       1},
      {"logical unit 1, data expected: stall and phase error",
       {0x12, 0, 0, 0, 36, 0},
       true,
       36,
       0,
       kStatusStall,
       csw::kPhaseError,
       36,
       1},
  };
  for (const Case& c : cases) {
    Host host;
    const auto r = host.Run(c.cdb, c.in, c.hostLength, Bytes(c.in ? 0 : c.hostLength, 0x5A), c.lun);
    EXPECT_EQ(r.dataStatus, c.dataStatus) << c.what;
    if (c.in) {
      EXPECT_EQ(r.data.size(), c.dataBytes) << c.what;
    }
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(r.residue, c.residue) << c.what;
    EXPECT_EQ(r.tag, 0x1234u) << c.what;
  }
}

TEST(MassStorageDevice, AFailedCommandsSenseFollowsAndALostCommandIsAPhaseError) {
  BridgeConfig config;
  config.faults.failCommands.push_back({3, FailureKind::Transport});
  Host host(config);
  EXPECT_EQ(host.Run({0xC5, 0, 0, 0, 0, 0}, false, 0).status, csw::kFailed);
  const auto sense = host.Run({0x03, 0, 0, 0, 18, 0}, true, 18);
  ASSERT_EQ(sense.data.size(), 18u);
  EXPECT_EQ(sense.data[2], kSenseIllegalRequest);
  EXPECT_EQ(host.Run({0x00, 0, 0, 0, 0, 0}, false, 0).status, csw::kPhaseError)
      << "the bridge lost command 3";
  EXPECT_EQ(host.Run({0x00, 0, 0, 0, 0, 0}, false, 0).status, csw::kPassed);
}

TEST(MassStorageDevice, AnInvalidCommandWrapperStallsBothEndpointsUntilResetRecovery) {
  Host host;
  Bytes bad = Host::Wrapper(7, 0, false, {0x00, 0, 0, 0, 0, 0});
  bad[cbw::Signature] ^= 0xFF;
  EXPECT_EQ(host.Out(bad).status, kStatusOk);
  EXPECT_EQ(host.In(13).at(0).status, kStatusStall);
  EXPECT_EQ(host.ClearHalt(0x81).status, kStatusOk);
  EXPECT_EQ(host.In(13).at(0).status, kStatusStall) << "clearing the halt alone does not end it";
  EXPECT_EQ(host.Out(Host::Wrapper(8, 0, false, {0x00, 0, 0, 0, 0, 0})).status, kStatusStall);

  EXPECT_EQ(host.Control(0x21, 0xFF, 0, 0, 0).status, kStatusOk) << "bulk-only mass storage reset";
  EXPECT_EQ(host.In(13).at(0).status, kStatusStall) << "the halts stay until cleared";
  host.ClearHalt(0x81);
  host.ClearHalt(0x02);
  const auto r = host.Run({0x00, 0, 0, 0, 0, 0}, false, 0);
  EXPECT_EQ(r.status, csw::kPassed);
  EXPECT_EQ(r.tag, 0x1234u);
}

TEST(MassStorageDevice, StandardRequestsDescribeAHighSpeedBulkOnlyDevice) {
  BridgeConfig config;
  config.productId = PID_A;
  config.serial = "SN-7";
  Host host(config);
  const auto device = host.Control(0x80, 0x06, 0x0100, 0, 64);
  ASSERT_EQ(device.inData.size(), 18u);
  EXPECT_EQ(LoadLe16(&device.inData[2]), 0x0200) << "USB 2.0";
  EXPECT_EQ(LoadLe16(&device.inData[8]), VID_MAKER);
  EXPECT_EQ(LoadLe16(&device.inData[10]), PID_A);
  const auto configuration = host.Control(0x80, 0x06, 0x0200, 0, 255);
  ASSERT_EQ(configuration.inData.size(), 32u);
  EXPECT_EQ((Bytes(configuration.inData.begin() + 14, configuration.inData.begin() + 17)),
            (Bytes{8, 6, 0x50}));
  EXPECT_EQ(configuration.inData[20], 0x81);
  EXPECT_EQ(LoadLe16(&configuration.inData[22]), 512);
  EXPECT_EQ(configuration.inData[27], 0x02);
  EXPECT_EQ(LoadLe16(&configuration.inData[29]), 512);
  EXPECT_EQ(host.Control(0x80, 0x06, 0x0200, 0, 9).inData.size(), 9u)
      << "the first 9 bytes when asked for 9";
  const auto serial = host.Control(0x80, 0x06, 0x0303, 0x0409, 255);
  EXPECT_EQ(serial.inData, (Bytes{10, 3, 'S', 0, 'N', 0, '-', 0, '7', 0}));
  EXPECT_EQ(host.Control(0xA1, 0xFE, 0, 0, 1).inData, Bytes{0}) << "GET_MAX_LUN: one unit";
  EXPECT_EQ(host.Control(0x80, 0x06, 0x0400, 0, 9).status, kStatusStall) << "no such descriptor";
  EXPECT_EQ(host.Control(0x02, 0x03, 0, 0x81, 0).status, kStatusOk) << "SET_FEATURE halt";
  EXPECT_EQ(host.Control(0x82, 0x00, 0, 0x81, 2).inData, (Bytes{1, 0}));
  host.ClearHalt(0x81);
  EXPECT_EQ(host.Control(0x82, 0x00, 0, 0x81, 2).inData, (Bytes{0, 0}));
}

TEST(MassStorageDevice, AnInTransferWithNothingToCarryWaitsAndCanBeUnlinked) {
  Host host;
  EXPECT_TRUE(host.In(13).empty()) << "no command yet: the device NAKs";
  EXPECT_TRUE(host.Device().Unlink(2));
  EXPECT_FALSE(host.Device().Unlink(2));
  EXPECT_TRUE(host.In(13).empty());
  // The transfer still waiting takes the status of the next command.
  const auto done = host.OutAll(Host::Wrapper(9, 0, false, {0x00, 0, 0, 0, 0, 0}));
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[0].seqNum, 4u) << "the command wrapper";
  EXPECT_EQ(done[1].seqNum, 3u) << "the IN transfer submitted before it";
  EXPECT_EQ(LoadLe32(&done[1].inData[csw::Tag]), 9u);
}

}  // namespace
}  // namespace burnwell::sim::usbip
