#include "device/relay/RelayServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "common/Bytes.h"
#include "device/RelayProtocol.h"
#include "device/Transport.h"
#include "platform/DeviceIo.h"
#include "platform/PlatformState.h"
#include "platform/WinNames.h"
#include "tests/device/FakeDeviceIo.h"
#include "tests/support/TestSupport.h"

namespace burnwell::device::relay {

using wire::DecodePassThroughHeader;
using wire::ScsiPassThroughHeader;
using wire::ScsiRequest;
using wire::ScsiRequestReader;
using wire::ScsiRequestView;
namespace {

using test::Bytes;

// A device that answers every pass-through with ScsiStatus 1 and fills read data with 0xD5;
// geometry queries return 24 bytes of 0x33.
class FakeBackend : public RelayBackend {
 public:
  class Session : public RelaySession {
   public:
    explicit Session(FakeBackend& owner) : owner_(owner) {}
    ~Session() override { ++owner_.closes; }
    bool IoControl(std::uint32_t code, std::span<const std::uint8_t> in,
                   std::span<std::uint8_t> out, std::uint32_t* returned) override {
      std::lock_guard lock(owner_.mutex);
      owner_.codes.push_back(code);
      if (owner_.failIo) return false;
      if (code == IOCTL_SCSI_PASS_THROUGH) {
        EXPECT_EQ(in.size(), out.size());
        const ScsiRequestView answer(out);
        const auto h = answer.Header();
        answer.SetScsiStatus(1);
        if (h.ReadsData()) {
          std::ranges::fill(answer.DataArea(h), 0xD5);
        } else if (h.DataTransferLength) {
          const auto sent = ScsiRequestReader(in).DataArea(h);
          owner_.lastWrite.assign(sent.begin(), sent.end());
        }
        *returned = static_cast<std::uint32_t>(out.size());
        return true;
      }
      std::fill(out.begin(), out.end(), 0x33);
      *returned = owner_.claimedBytes ? owner_.claimedBytes : 24;
      return true;
    }

   private:
    FakeBackend& owner_;
  };

  std::unique_ptr<RelaySession> Open(std::string_view path, const RelayPeer&) override {
    std::lock_guard lock(mutex);
    paths.emplace_back(path);
    if (refuse) return nullptr;
    return std::make_unique<Session>(*this);
  }

  std::mutex mutex;
  std::vector<std::string> paths;
  std::vector<std::uint32_t> codes;
  Bytes lastWrite;
  bool refuse = false;
  bool failIo = false;
  std::uint32_t claimedBytes = 0;
  std::atomic<int> closes{0};
};

Bytes PassThroughPayload(std::uint8_t dataIn, std::uint32_t length, std::size_t size = 592) {
  const ScsiRequest request = ScsiRequest::For(
      {.cdbLength = 10, .direction = wire::DataDirection{dataIn}, .transferLength = length});
  Bytes b(request.Bytes().begin(), request.Bytes().end());
  b.resize(size, 0);
  return b;
}

// A payload with its header edited.
template <typename Edit>
Bytes Edited(Bytes payload, Edit edit) {
  const ScsiRequestView view(payload);
  ScsiPassThroughHeader h = view.Header();
  edit(h);
  view.SetHeader(h);
  return payload;
}

// The updated request a pass-through reply carries after its status byte.
ScsiPassThroughHeader ReplyHeader(const Bytes& reply) {
  return DecodePassThroughHeader(std::span(reply).subspan(1));
}

Bytes Message(Opcode opcode, const Bytes& payload = {}) {
  Bytes m(1 + payload.size());
  m[0] = static_cast<std::uint8_t>(opcode);
  std::copy(payload.begin(), payload.end(), m.begin() + 1);
  return m;
}

Bytes OpenMessage(std::string_view path) {
  Bytes m(path.size() + 2, 0);  // opcode 0x00, the path, its NUL
  std::copy(path.begin(), path.end(), m.begin() + 1);
  return m;
}

const Bytes kFailed{kReplyFailed};

// --- validation of single messages ---------------------------------------------------------------

class RelayConnectionTest : public ::testing::Test {
 protected:
  FakeBackend backend;
  RelayConnection connection{backend};
};

TEST_F(RelayConnectionTest, OpenCarriesThePathAndOnlyOneDevicePerConnection) {
  EXPECT_EQ(connection.Handle(OpenMessage("/dev/sg1")).reply, Bytes{0});
  EXPECT_EQ(backend.paths, std::vector<std::string>{"/dev/sg1"});
  EXPECT_EQ(connection.Handle(OpenMessage("/dev/sg2")).reply, kFailed);
  EXPECT_EQ(backend.paths.size(), 1u);
}

TEST_F(RelayConnectionTest, MalformedOpensAreRefusedWithoutTheBackend) {
  EXPECT_EQ(connection.Handle(Bytes{0x00}).reply, kFailed);                  // nothing
  EXPECT_EQ(connection.Handle(Bytes{0x00, 0}).reply, kFailed);               // empty path
  EXPECT_EQ(connection.Handle(Bytes{0x00, 'a', 'b'}).reply, kFailed);        // no NUL
  EXPECT_EQ(connection.Handle(Bytes{0x00, 'a', 0, 'b', 0}).reply, kFailed);  // NUL inside
  EXPECT_EQ(connection.Handle(OpenMessage(std::string(260, 'p'))).reply, kFailed);
  EXPECT_TRUE(backend.paths.empty());
  backend.refuse = true;
  EXPECT_EQ(connection.Handle(OpenMessage("/dev/sg1")).reply, kFailed);
  EXPECT_FALSE(connection.HasDevice());
}

TEST_F(RelayConnectionTest, EmptyOversizeAndUnknownMessages) {
  const RelayOutcome empty = connection.Handle(Bytes{});
  EXPECT_TRUE(empty.reply.empty());
  EXPECT_TRUE(empty.closeConnection);
  const RelayOutcome oversize = connection.Handle(Bytes(kMaxMessageSize + 1, 0));
  EXPECT_TRUE(oversize.closeConnection);
  for (std::uint8_t opcode : {0x04, 0x0E, 0x10, 0x32, 0x36, 0xFF}) {
    const RelayOutcome unknown = connection.Handle(Bytes{opcode, 0, 0});
    EXPECT_EQ(unknown.reply, kFailed) << int(opcode);
    EXPECT_FALSE(unknown.closeConnection);
  }
}

TEST_F(RelayConnectionTest, IoBeforeOpenFails) {
  EXPECT_EQ(connection.Handle(Message(Opcode::PassThrough, PassThroughPayload(1, 16))).reply,
            kFailed);
  EXPECT_EQ(connection.Handle(Message(Opcode::GetDriveGeometry, Bytes(24))).reply, kFailed);
  EXPECT_TRUE(backend.codes.empty());
}

TEST_F(RelayConnectionTest, PassThroughRepliesWithTheUpdatedRequest) {
  connection.Handle(OpenMessage("d"));
  const RelayOutcome outcome =
      connection.Handle(Message(Opcode::PassThrough, PassThroughPayload(1, 16)));
  ASSERT_EQ(outcome.reply.size(), 593u);
  EXPECT_EQ(outcome.reply[0], 0);
  EXPECT_EQ(ReplyHeader(outcome.reply).ScsiStatus, 1);
  EXPECT_EQ(outcome.reply[1 + 80], 0xD5);
  EXPECT_EQ(outcome.reply[1 + 96], 0);
}

TEST_F(RelayConnectionTest, PassThroughWithInconsistentHeaderIsRefused) {
  connection.Handle(OpenMessage("d"));
  Bytes beyond = PassThroughPayload(1, 513);  // data area past the request
  Bytes shortOne = PassThroughPayload(1, 0, 79);
  Bytes noCdb = Edited(PassThroughPayload(1, 16), [](auto& h) { h.CdbLength = 0; });
  Bytes badDirection = PassThroughPayload(2, 16);
  Bytes senseInData = Edited(PassThroughPayload(1, 16), [](auto& h) { h.SenseInfoOffset = 70; });
  for (const Bytes& p : {beyond, shortOne, noCdb, badDirection, senseInData})
    EXPECT_EQ(connection.Handle(Message(Opcode::PassThrough, p)).reply, kFailed);
  EXPECT_TRUE(backend.codes.empty());
}

TEST_F(RelayConnectionTest, DirectLengthsMustMatchTheHeader) {
  connection.Handle(OpenMessage("d"));
  Bytes writeBlock = PassThroughPayload(0, 8, 80);
  Bytes writeMissingData = writeBlock;                // 8 data bytes announced, none sent
  Bytes readWithData = PassThroughPayload(1, 8, 88);  // reading sends no data
  Bytes tooLong = PassThroughPayload(0, kMaxDirectData + 1, 80);
  for (const Bytes& p : {writeMissingData, readWithData, tooLong})
    EXPECT_EQ(connection.Handle(Message(Opcode::PassThroughDirect, p)).reply, kFailed);
  EXPECT_TRUE(backend.codes.empty());

  Bytes write(88, 0);
  std::copy(writeBlock.begin(), writeBlock.end(), write.begin());
  for (int i = 0; i < 8; ++i) write[80 + i] = static_cast<std::uint8_t>(i + 1);
  const RelayOutcome written = connection.Handle(Message(Opcode::PassThroughDirect, write));
  EXPECT_EQ(written.reply.size(), 81u);  // block only when writing
  EXPECT_EQ(backend.lastWrite, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(RelayConnectionTest, DirectReadReturnsBlockWithTheClientsPointerField) {
  connection.Handle(OpenMessage("d"));
  Bytes block =
      Edited(PassThroughPayload(1, 32, 80), [](auto& h) { h.DataBufferOffset = 0x12345678; });
  const RelayOutcome outcome = connection.Handle(Message(Opcode::PassThroughDirect, block));
  ASSERT_EQ(outcome.reply.size(), 1u + 80u + 32u);
  EXPECT_EQ(ReplyHeader(outcome.reply).DataBufferOffset, 0x12345678u);
  EXPECT_EQ(ReplyHeader(outcome.reply).ScsiStatus, 1);
  EXPECT_EQ(outcome.reply[81], 0xD5);
}

TEST_F(RelayConnectionTest, DiskQueryNeverRepliesMoreThanWasAskedFor) {
  connection.Handle(OpenMessage("d"));
  backend.claimedBytes = 5000;  // a backend that overstates what it wrote
  const RelayOutcome outcome = connection.Handle(Message(Opcode::GetDriveGeometry, Bytes(24)));
  EXPECT_EQ(outcome.reply.size(), 25u);
  backend.failIo = true;
  EXPECT_EQ(connection.Handle(Message(Opcode::GetDriveLayoutEx, Bytes(24))).reply, kFailed);
}

TEST_F(RelayConnectionTest, CloseRepliesAndEndsTheConnection) {
  connection.Handle(OpenMessage("d"));
  EXPECT_EQ(connection.Handle(Bytes{0x0F, 0}).reply, kFailed);  // close carries nothing
  const RelayOutcome outcome = connection.Handle(Bytes{0x0F});
  EXPECT_EQ(outcome.reply, Bytes{0});
  EXPECT_TRUE(outcome.closeConnection);
  EXPECT_EQ(backend.closes, 1);
}

// --- the client against the server, in process ------------------------------------------------

class RelayEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDeviceLayerState();
    DeviceLayer().ntFlag = true;
    system.root = temp.Path();
    platform::PlatformLayer().relayReplyTimeoutMs = 5000;
  }
  void TearDown() override {
    platform::ResetPlatformState();
    ResetDeviceLayerState();
  }

  test::TempDir temp;
  test::FakeSystem system;
  platform::ScopedOverride<platform::System> systemGuard{&system};
};

TEST_F(RelayEndToEndTest, CommandsTravelThroughTheServerToTheBackend) {
  FakeBackend backend;
  auto server = StartRelayServer(backend);
  ASSERT_NE(server, nullptr);

  DeviceRecord first;
  first.Handle = RelayOpenDevice("/dev/sg4");
  ASSERT_NE(first.Handle, platform::kInvalidHandle);
  ASSERT_TRUE(IsRelayHandle(first.Handle));
  const platform::Handle second = RelayOpenDevice("/dev/sg5");  // its own connection
  ASSERT_NE(second, platform::kInvalidHandle);

  ScsiRequest request = ScsiRequest::For(
      {.cdbLength = 10, .direction = wire::DataDirection::In, .transferLength = 512});
  ASSERT_EQ(SendScsiCommand(first, request, 592), 1);
  EXPECT_EQ(request.Data()[511], 0xD5);

  std::array<std::uint8_t, 24> geometry{};
  std::uint32_t returned = 0;
  ASSERT_EQ(RelayDeviceIoControl(second, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, geometry.data(),
                                 24, &returned),
            1);
  EXPECT_EQ(returned, 24u);
  EXPECT_EQ(geometry[23], 0x33);

  std::vector<std::uint8_t> data(kMaxDirectData, 0x44);
  ScsiPassThroughDirect sptd;
  auto block = PassThroughPayload(0, kMaxDirectData, 80);
  std::copy(block.begin(), block.end(), sptd.block.begin());
  sptd.dataBuffer = data.data();
  ASSERT_EQ(RelayDeviceIoControl(first.Handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &sptd, sizeof sptd,
                                 &sptd, sizeof sptd, &returned),
            1);
  EXPECT_EQ(backend.lastWrite.size(), kMaxDirectData);

  EXPECT_EQ(RelayCloseDevice(first.Handle), 1);
  EXPECT_EQ(RelayCloseDevice(second), 1);
  server->Stop();
  EXPECT_EQ(backend.paths, (std::vector<std::string>{"/dev/sg4", "/dev/sg5"}));
  EXPECT_EQ(backend.closes, 2);
}

// One client per bridge: a second open of a bridge gets the busy reply until the first
// connection closes it or ends; a client turned away by a full relay is told so.
TEST_F(RelayEndToEndTest, BusyBridgeAndFullRelayAreToldToTheClient) {
  FakeBackend backend;
  RelayServerLimits limits;
  limits.maxConnections = 2;
  limits.maxPerUser = 2;
  auto server = StartRelayServer(backend, limits);
  ASSERT_NE(server, nullptr);
  // The server may take a moment to see a closed connection end; the bound only stops a wait
  // that would never succeed.
  const auto openOnceFree = [](const char* path) {
    platform::Handle h = RelayOpenDevice(path);
    for (int attempt = 0; attempt < 1000 && h == platform::kInvalidHandle &&
                          DeviceLayer().lastRelayRefusal.load() == RelayRefusal::RelayFull;
         ++attempt) {
      std::this_thread::yield();
      h = RelayOpenDevice(path);
    }
    return h;
  };

  const platform::Handle first = RelayOpenDevice("/dev/sg4");
  ASSERT_NE(first, platform::kInvalidHandle);
  const platform::Handle other = RelayOpenDevice("/dev/sg5");
  ASSERT_NE(other, platform::kInvalidHandle);
  // Both connections in use: the next client is turned away, and told why.
  EXPECT_EQ(RelayOpenDevice("/dev/sg6"), platform::kInvalidHandle);
  EXPECT_EQ(DeviceLayer().lastRelayRefusal.load(), RelayRefusal::RelayFull);
  EXPECT_TRUE(DeviceLayer().useRelay);
  EXPECT_GE(server->Counts().refusedOverLimit, 1u);

  // One client per bridge: the open bridge is busy for another connection...
  EXPECT_EQ(RelayCloseDevice(other), 1);
  EXPECT_EQ(openOnceFree("/dev/sg4"), platform::kInvalidHandle);
  EXPECT_EQ(DeviceLayer().lastRelayRefusal.load(), RelayRefusal::BridgeBusy);
  // ... until its connection closes it.
  EXPECT_EQ(RelayCloseDevice(first), 1);
  const platform::Handle again = openOnceFree("/dev/sg4");
  ASSERT_NE(again, platform::kInvalidHandle);
  EXPECT_EQ(DeviceLayer().lastRelayRefusal.load(), RelayRefusal::None);
  EXPECT_EQ(RelayCloseDevice(again), 1);
}

TEST_F(RelayEndToEndTest, RefusedOpenAndStoppedServer) {
  FakeBackend backend;
  backend.refuse = true;
  auto server = StartRelayServer(backend);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(RelayOpenDevice("/dev/sg4"), platform::kInvalidHandle);
  EXPECT_TRUE(DeviceLayer().useRelay);  // a refusal is not a missing relay

  backend.refuse = false;
  const platform::Handle h = RelayOpenDevice("/dev/sg4");
  ASSERT_NE(h, platform::kInvalidHandle);
  server->Stop();  // ends every connection
  std::array<std::uint8_t, 24> geometry{};
  std::uint32_t returned = 0;
  EXPECT_EQ(RelayDeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, geometry.data(), 24,
                                 &returned),
            0);
  EXPECT_EQ(RelayCloseDevice(h), 0);
}

TEST_F(RelayEndToEndTest, OversizeMessageEndsOnlyItsOwnConnection) {
  FakeBackend backend;
  auto server = StartRelayServer(backend);
  ASSERT_NE(server, nullptr);
  platform::DeviceIo& io = platform::Current<platform::DeviceIo>();
  const platform::Handle raw = io.OpenRelay();
  ASSERT_NE(raw, platform::kInvalidHandle);
  Bytes oversize(kMaxMessageSize + 1, 0);
  oversize[0] = 0x01;
  std::uint32_t written = 0;
  io.WriteMessage(raw, oversize.data(), static_cast<std::uint32_t>(oversize.size()), &written);
  std::uint8_t reply[8];
  std::uint32_t read = 0;
  EXPECT_FALSE(io.ReadMessage(raw, reply, sizeof reply, &read));  // closed, no reply
  io.Close(raw);

  const platform::Handle h = RelayOpenDevice("/dev/sg4");  // the server still serves others
  ASSERT_NE(h, platform::kInvalidHandle);
  EXPECT_EQ(RelayCloseDevice(h), 1);
}

TEST_F(RelayEndToEndTest, SecondServerAtTheSamePlaceIsRefused) {
  FakeBackend backend;
  auto server = StartRelayServer(backend);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(StartRelayServer(backend), nullptr);
}

// A server that answers every message with the next scripted reply (nothing: stay silent;
// a closing entry: drop the connection).
class ScriptedServer {
 public:
  struct Step {
    Bytes reply;
    bool silent = false;
    bool hangUp = false;
  };
  explicit ScriptedServer(std::vector<Step> steps) : steps_(std::move(steps)) {
    listener_ = platform::ListenForRelayClients();
    if (listener_) thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedServer() {
    if (listener_) listener_->Stop();
    if (channel_) channel_->Shutdown();
    if (thread_.joinable()) thread_.join();
  }
  bool Listening() const { return listener_ != nullptr; }

 private:
  void Run() {
    auto accepted = listener_->Accept();
    if (!accepted) return;
    channel_ = std::move(accepted);
    std::vector<std::uint8_t> message;
    for (const Step& step : steps_) {
      if (channel_->Receive(message, kMaxMessageSize) != platform::ReceiveResult::Message) return;
      if (step.hangUp) {
        channel_->Shutdown();
        return;
      }
      if (!step.silent) channel_->Send(step.reply);
    }
    while (channel_->Receive(message, kMaxMessageSize) == platform::ReceiveResult::Message) {
    }
  }

  std::vector<Step> steps_;
  std::unique_ptr<platform::RelayListener> listener_;
  std::shared_ptr<platform::RelayChannel> channel_;
  std::thread thread_;
};

TEST_F(RelayEndToEndTest, HostileOpenRepliesFail) {
  platform::PlatformLayer().relayReplyTimeoutMs =
      200;  // the close after a failed open meets silence
  const std::vector<ScriptedServer::Step> scripts[] = {
      {{Bytes{0, 0}}},      // longer than the one byte asked for
      {{Bytes{}}},          // zero bytes
      {{Bytes{2}}},         // refusal
      {{{}, false, true}},  // hang-up
  };
  for (const auto& script : scripts) {
    ScriptedServer server(script);
    ASSERT_TRUE(server.Listening());
    EXPECT_EQ(RelayOpenDevice("/dev/sg4"), platform::kInvalidHandle);
  }
}

TEST_F(RelayEndToEndTest, OversizeReplyFailsWithoutOverrun) {
  ScriptedServer server({{Bytes{0}}, {Bytes(1 + 24 + 100, 0)}});
  const platform::Handle h = RelayOpenDevice("/dev/sg4");
  ASSERT_NE(h, platform::kInvalidHandle);
  std::array<std::uint8_t, 24 + 100> geometry{};
  std::uint32_t returned = 0;
  EXPECT_EQ(RelayDeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, geometry.data(), 24,
                                 &returned),
            0);
  EXPECT_EQ(geometry[24], 0);
}

TEST_F(RelayEndToEndTest, SilentRelayTimesOut) {
  ScriptedServer server({{Bytes{0}}, {{}, true}});
  const platform::Handle h = RelayOpenDevice("/dev/sg4");
  ASSERT_NE(h, platform::kInvalidHandle);
  // Short only for the command that gets no answer: a loaded machine may answer the open late.
  platform::PlatformLayer().relayReplyTimeoutMs = 100;
  DeviceRecord record;
  record.Handle = h;
  ScsiRequest request = ScsiRequest::For(
      {.cdbLength = 10, .direction = wire::DataDirection::In, .transferLength = 16});
  EXPECT_EQ(SendScsiCommand(record, request, 592), 0);
}

TEST_F(RelayEndToEndTest, NoServerClearsTheFlagAndOpensDirectly) {
  test::WriteFile(temp / "node", std::string_view("x"));
  const platform::Handle h = RelayOpenDevice((temp / "node").string().c_str());
  EXPECT_FALSE(DeviceLayer().useRelay);
  ASSERT_NE(h, platform::kInvalidHandle);
  EXPECT_FALSE(IsRelayHandle(h));
  EXPECT_EQ(RelayCloseDevice(h), 1);
}

}  // namespace
}  // namespace burnwell::device::relay
