// The relay's device back end against an emulated bridge: it opens only the nodes its owner
// permits and passes on only the tool's own commands. The tool's commands are not written out
// here: the tool's real command routines and flash operations run against the emulator first,
// and every request they sent is then replayed through the back end.
#include "device/relay/DeviceIoBackend.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Bytes.h"
#include "common/MakerIds.h"
#include "platform/WinNames.h"
#include "protocol/FlashOperations.h"
#include "protocol/VendorCommands.h"
#include "sim/testing/EmulatorFixture.h"
#include "wire/ScsiRequest.h"

namespace burnwell::device::relay {
namespace {

using Bytes = std::vector<std::uint8_t>;
using wire::kDataOffset;
using wire::kSenseOffset;
using wire::SCSI_IOCTL_DATA_IN;
using wire::SCSI_IOCTL_DATA_OUT;
using wire::ScsiPassThroughHeader;
namespace spt = wire::spt;
using sim::testing::EmulatorFixture;

constexpr const char* kBridgeNode = "/dev/sg1";

// The emulator's device I/O, with every pass-through request kept.
class RecordingIo final : public platform::DeviceIo {
 public:
  explicit RecordingIo(platform::DeviceIo& inner) : inner_(inner) {}
  std::vector<Bytes> requests;

  platform::Handle Open(const char* path, std::uint32_t attributes) override {
    return inner_.Open(path, attributes);
  }
  bool IoControl(platform::Handle h, std::uint32_t code, const void* in, std::uint32_t inSize,
                 void* out, std::uint32_t outSize, std::uint32_t* returned) override {
    if (code == IOCTL_SCSI_PASS_THROUGH) {
      const auto* bytes = static_cast<const std::uint8_t*>(in);
      requests.emplace_back(bytes, bytes + inSize);
    }
    return inner_.IoControl(h, code, in, inSize, out, outSize, returned);
  }
  bool Read(platform::Handle h, void* b, std::uint32_t s, std::uint32_t* r) override {
    return inner_.Read(h, b, s, r);
  }
  bool Seek(platform::Handle h, std::int64_t o) override { return inner_.Seek(h, o); }
  bool Close(platform::Handle h) override { return inner_.Close(h); }
  platform::Handle OpenRelay() override { return platform::kInvalidHandle; }
  bool WriteMessage(platform::Handle, const void*, std::uint32_t, std::uint32_t*) override {
    return false;
  }
  bool ReadMessage(platform::Handle, void*, std::uint32_t, std::uint32_t*) override {
    return false;
  }

 private:
  platform::DeviceIo& inner_;
};

class DeviceIoBackendTest : public ::testing::Test {
 protected:
  DeviceIoBackendTest() { emu.Io().Attach("/dev/sg2", emu.SharedBridge()); }

  bool Send(RelaySession& session, const Bytes& request) {
    Bytes out = request;
    std::uint32_t returned = 0;
    return session.IoControl(IOCTL_SCSI_PASS_THROUGH, request, out, &returned);
  }

  EmulatorFixture emu{sim::BridgeConfig::WithChip("M25P05"), sim::Presentation::MassStorage,
                      kBridgeNode};
  RecordingIo io{emu.Io()};
  platform::ScopedOverride<platform::DeviceIo> ioGuard{&io};
  std::vector<std::string> notes;
  DeviceIoBackend backend{[](std::string_view path) { return path == kBridgeNode; },
                          [this](const RelayPeer& peer, std::string_view text) {
                            notes.push_back(peer.Text() + ": " + std::string(text));
                          }};
  const RelayPeer peer{1000};
};

TEST_F(DeviceIoBackendTest, OpensOnlyThePermittedNodes) {
  const char* refused[] = {"/dev/sg2",    "/dev/sda", "/dev/../dev/sg1",
                           "/dev//sg1",   "dev/sg1",  "/dev/sg1/.",
                           "/dev/sg1/..", "/",        ""};
  for (const char* path : refused) EXPECT_EQ(backend.Open(path, peer), nullptr) << path;
  EXPECT_EQ(backend.RefusedOpens(), std::size(refused));
  EXPECT_EQ(notes.size(), std::size(refused));
  const std::size_t handlesBefore = emu.Io().OpenHandles();
  {
    const auto session = backend.Open(kBridgeNode, peer);
    EXPECT_NE(session, nullptr);
    EXPECT_EQ(emu.Io().OpenHandles(), handlesBefore + 1);
  }
  EXPECT_EQ(emu.Io().OpenHandles(), handlesBefore);  // the session closed its device

  EXPECT_TRUE(IsPlainNodePath("/dev/sg12"));
  EXPECT_FALSE(IsPlainNodePath("/dev/sg1/"));
}

TEST_F(DeviceIoBackendTest, ServesEveryCommandTheToolSends) {
  // What the tool sends to a bridge: discovery's identification, the device API's wake-up,
  // a whole flash update, and the EEPROM and identification-block commands.
  const DeviceRecord record = emu.OpenRecord();
  std::uint8_t buffer[512]{};
  ASSERT_EQ(protocol::ReadBridgeInfo(record, buffer, 16, 5), protocol::CommandResult::Ok);
  ASSERT_EQ(protocol::ScsiInquiry(record, 0, buffer, 36), protocol::CommandResult::Ok);
  EXPECT_EQ(protocol::ReadBridgeIdByLba(record, buffer), protocol::CommandResult::Ok);
  protocol::AtaTaskFile identify{};
  identify.read = 1;
  identify.length = 512;
  identify.device = 0xA0;
  identify.command = 0xEC;
  protocol::VendorAtaCommand(record, identify, buffer, sizeof buffer, 0, 1);
  protocol::EepromRead(record, 0x10, buffer, 32);
  protocol::EepromWrite(record, 0x10, buffer, 8);
  const Bytes image(1024, 0x5A);
  Bytes back(image.size());
  ASSERT_EQ(protocol::FlashIcpSwitch(record, 0), protocol::FlashResult::Ok);
  ASSERT_EQ(protocol::FlashErase(record, 0, 0), protocol::FlashResult::Ok);
  ASSERT_EQ(protocol::FlashWrite(record, image.data(), 0, 1024, 0, 0), protocol::FlashResult::Ok);
  ASSERT_EQ(protocol::FlashRead(record, back.data(), 0, 1024, 0, 0), protocol::FlashResult::Ok);
  ASSERT_EQ(protocol::FlashIcpSwitch(record, 1), protocol::FlashResult::Ok);
  const std::vector<Bytes> toolRequests = io.requests;
  ASSERT_GT(toolRequests.size(), 20u);

  auto session = backend.Open(kBridgeNode, peer);
  ASSERT_NE(session, nullptr);
  for (const Bytes& request : toolRequests) EXPECT_TRUE(Send(*session, request));
  EXPECT_EQ(backend.RefusedCommands(), 0u);
  EXPECT_EQ(io.requests.size(), 2 * toolRequests.size());  // every one reached the device
}

Bytes Request(std::initializer_list<std::uint8_t> cdb, std::uint8_t cdbLength, std::uint8_t dataIn,
              std::uint32_t length) {
  Bytes request(kDataOffset + std::max<std::uint32_t>(length, 512), 0);
  ScsiPassThroughHeader header;
  std::copy(cdb.begin(), cdb.end(), header.Cdb.begin());
  header.CdbLength = cdbLength;
  header.SenseInfoLength = 32;
  header.DataIn = dataIn;
  header.DataTransferLength = length;
  header.TimeOutValue = 0xFFFFFFFF;
  header.DataBufferOffset = kDataOffset;
  header.SenseInfoOffset = kSenseOffset;
  wire::EncodePassThroughHeader(header, request);
  return request;
}

TEST_F(DeviceIoBackendTest, RefusesOtherCommandsAndCountsThem) {
  auto session = backend.Open(kBridgeNode, peer);
  ASSERT_NE(session, nullptr);
  const Bytes refused[] = {
      Request({0x2A, 0, 0, 0, 0, 0, 0, 0, 1}, 10, SCSI_IOCTL_DATA_OUT, 512),  // WRITE(10)
      Request({0x85, 0x0D, 0x06}, 16, SCSI_IOCTL_DATA_OUT, 512),              // ATA PASS-THROUGH
      Request({0x04}, 6, SCSI_IOCTL_DATA_OUT, 0),                             // FORMAT UNIT
      Request({0x28, 0, 0, 0, 0, 0, 0, 0, 1}, 10, SCSI_IOCTL_DATA_IN, 512),   // READ(10) of block 0
      Request({0xD0}, 12, SCSI_IOCTL_DATA_IN, 16),                            // no signature
  };
  for (const Bytes& request : refused) EXPECT_FALSE(Send(*session, request));
  Bytes layout(64);
  std::uint32_t returned = 0;
  EXPECT_FALSE(session->IoControl(IOCTL_ATA_PASS_THROUGH, {}, layout, &returned));
  EXPECT_EQ(backend.RefusedCommands(), std::size(refused) + 1);
  EXPECT_TRUE(io.requests.empty());  // none reached the device
  EXPECT_NE(notes.back().find(kBridgeNode), std::string::npos);
  EXPECT_EQ(notes.back().rfind("uid 1000: ", 0), 0u);  // every refusal names the user

  // An allowed command goes on, its time-out capped at what a client waits at most.
  const std::uint8_t hi = VID_MAKER >> 8, lo = VID_MAKER & 0xFF;
  EXPECT_TRUE(Send(*session, Request({0xD0, 0, 0, 0, hi, lo}, 12, SCSI_IOCTL_DATA_IN, 16)));
  ASSERT_EQ(io.requests.size(), 1u);
  EXPECT_EQ(LoadLe32(io.requests[0].data() + spt::TimeOutValue), kMaxCommandTimeoutSeconds);
}

}  // namespace
}  // namespace burnwell::device::relay
