// The USB/IP server in process, against a small client speaking the protocol over loopback
// TCP: the device list, an import, URBs carrying a command wrapper round trip, an unlink, and
// the server dropping a device (what the importing kernel sees as an unplug).
#include "sim/usbip/UsbipServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/Bytes.h"
#include "common/MakerIds.h"

namespace burnwell::sim::usbip {
namespace {

using Bytes = std::vector<std::uint8_t>;

class Client {
 public:
  explicit Client(std::uint16_t port) {
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ =
        ::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~Client() { ::close(socket_); }

  bool Connected() const { return connected_; }
  void Send(const Bytes& bytes) {
    ASSERT_EQ(::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // Exactly n bytes, or what came before the server closed the connection or 5 s passed.
  Bytes Receive(std::size_t n) {
    Bytes bytes(n);
    std::size_t got = 0;
    while (got < n) {
      pollfd ready{socket_, POLLIN, 0};
      if (::poll(&ready, 1, 5000) <= 0) break;
      const ssize_t r = ::recv(socket_, bytes.data() + got, n - got, 0);
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
    bytes.resize(got);
    return bytes;
  }
  // True when nothing arrives within the time.
  bool Quiet(int ms) {
    pollfd ready{socket_, POLLIN, 0};
    return ::poll(&ready, 1, ms) == 0;
  }
  bool ClosedByServer() {
    pollfd ready{socket_, POLLIN, 0};
    if (::poll(&ready, 1, 5000) <= 0) return false;
    std::uint8_t byte = 0;
    return ::recv(socket_, &byte, 1, 0) == 0;
  }

  std::vector<ExportedDevice> DeviceList() {
    const auto request = EncodeOpHeader({kProtocolVersion, OP_REQ_DEVLIST, 0});
    Send(Bytes(request.begin(), request.end()));
    const Bytes head = Receive(devlist_reply::kHeaderSize);
    EXPECT_EQ(head.size(), devlist_reply::kHeaderSize);
    if (head.size() != devlist_reply::kHeaderSize) return {};
    EXPECT_EQ(DecodeOpHeader(head).code, OP_REP_DEVLIST);
    std::vector<ExportedDevice> devices;
    for (std::uint32_t i = 0; i < LoadBe32(&head[devlist_reply::DeviceCount]); ++i) {
      const Bytes record = Receive(device_record::kSize);
      devices.push_back(DecodeDeviceRecord(record));
      const Bytes interfaces =
          Receive(interface_record::kSize * record[device_record::NumInterfaces]);
      for (std::size_t at = 0; at < interfaces.size(); at += interface_record::kSize) {
        devices.back().interfaces.push_back(
            {interfaces[at], interfaces[at + 1], interfaces[at + 2]});
      }
    }
    return devices;
  }

  // The import reply's status, and the device it describes.
  std::uint32_t Import(const std::string& busId, ExportedDevice* device = nullptr) {
    Send(EncodeImportRequest(busId));
    const Bytes head = Receive(op::kSize);
    if (head.size() != op::kSize) return 0xFFFFFFFF;
    const OpHeader reply = DecodeOpHeader(head);
    EXPECT_EQ(reply.version, kProtocolVersion);
    EXPECT_EQ(reply.code, OP_REP_IMPORT);
    if (reply.status == kOpStatusOk) {
      const ExportedDevice described = DecodeDeviceRecord(Receive(device_record::kSize));
      if (device) *device = described;
    }
    return reply.status;
  }

  void Submit(std::uint32_t seq, std::uint8_t endpoint, bool in, std::uint32_t length,
              const Bytes& out = {}, std::array<std::uint8_t, 8> setup = {}) {
    UrbHeader header;
    header.command = USBIP_CMD_SUBMIT;
    header.seqNum = seq;
    header.devId = (1u << 16) | 2;
    header.direction = in ? USBIP_DIR_IN : USBIP_DIR_OUT;
    header.endpoint = endpoint;
    header.transferBufferLength = length;
    header.setup = setup;
    const auto bytes = EncodeUrbHeader(header);
    Bytes message(bytes.begin(), bytes.end());
    message.insert(message.end(), out.begin(), out.end());
    Send(message);
  }
  void Unlink(std::uint32_t seq, std::uint32_t victim) {
    UrbHeader header;
    header.command = USBIP_CMD_UNLINK;
    header.seqNum = seq;
    header.unlinkSeqNum = victim;
    const auto bytes = EncodeUrbHeader(header);
    Send(Bytes(bytes.begin(), bytes.end()));
  }
  // The next return message; for a returned IN submit pass `data`: its bytes follow.
  UrbHeader Return(Bytes* data = nullptr) {
    const Bytes head = Receive(urb::kSize);
    if (head.size() != urb::kSize) return UrbHeader{};
    UrbHeader header = DecodeUrbHeader(head);
    if (data) *data = header.command == USBIP_RET_SUBMIT ? Receive(header.actualLength) : Bytes{};
    return header;
  }

  // A control transfer on endpoint 0 and its data.
  Bytes Control(std::uint32_t seq, std::uint8_t type, std::uint8_t request, std::uint16_t value,
                std::uint16_t index, std::uint16_t length, std::int32_t* status = nullptr) {
    std::array<std::uint8_t, 8> setup{type, request};
    StoreLe16(&setup[2], value);
    StoreLe16(&setup[4], index);
    StoreLe16(&setup[6], length);
    Submit(seq, 0, (type & 0x80) != 0, length, {}, setup);
    Bytes data;
    const UrbHeader ret = Return(&data);
    EXPECT_EQ(ret.seqNum, seq);
    if (status) *status = ret.status;
    return data;
  }

 private:
  int socket_ = -1;
  bool connected_ = false;
};

Bytes CommandWrapper(std::uint32_t tag, std::uint32_t length, bool in, const Bytes& cdb) {
  Bytes w(cbw::kSize, 0);
  StoreLe32(&w[cbw::Signature], cbw::kSignature);
  StoreLe32(&w[cbw::Tag], tag);
  StoreLe32(&w[cbw::DataTransferLength], length);
  w[cbw::Flags] = in ? 0x80 : 0;
  w[cbw::CbLength] = static_cast<std::uint8_t>(cdb.size());
  std::copy(cdb.begin(), cdb.end(), w.begin() + cbw::Cb);
  return w;
}

class UsbipServerTest : public ::testing::Test {
 protected:
  void Serve(std::vector<BridgeConfig> configs, std::vector<std::string> busIds) {
    std::vector<ServedBridge> served;
    for (std::size_t i = 0; i < configs.size(); ++i) {
      configs[i].latencyUs = 0;
      bridges.push_back(std::make_shared<EmulatedBridge>(configs[i], clock));
      served.push_back({busIds[i], bridges.back()});
    }
    server = std::make_unique<UsbipServer>(served, 0, [this](const std::string& line) {
      std::lock_guard lock(logMutex);
      log.push_back(line);
    });
    server->Start();
  }
  // Imports 1-1 and configures it as the host's enumeration does.
  std::unique_ptr<Client> ImportAndConfigure() {
    auto client = std::make_unique<Client>(server->Port());
    EXPECT_EQ(client->Import("1-1"), kOpStatusOk);
    std::int32_t status = -1;
    client->Control(100, 0x00, 0x09, 1, 0, 0, &status);
    EXPECT_EQ(status, kStatusOk) << "SET_CONFIGURATION";
    return client;
  }

  VirtualClock clock;
  std::vector<std::shared_ptr<EmulatedBridge>> bridges;
  std::mutex logMutex;
  std::vector<std::string> log;
  // Last, so that it is destroyed first: its threads write to the log until it stops.
  std::unique_ptr<UsbipServer> server;
};

TEST_F(UsbipServerTest, DeviceListShowsEachBridgeAsABulkOnlyDeviceAndImportRefusesUnknownIds) {
  BridgeConfig second;
  second.productId = PID_E;
  Serve({BridgeConfig{}, second}, {"1-1", "2-3.1"});
  const auto devices = Client(server->Port()).DeviceList();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].busId, "1-1");
  EXPECT_EQ(devices[0].busNum, 1u);
  EXPECT_EQ(devices[0].idVendor, VID_MAKER);
  EXPECT_EQ(devices[0].idProduct, PID_C);
  EXPECT_EQ(devices[0].speed, kSpeedHigh);
  ASSERT_EQ(devices[0].interfaces.size(), 1u);
  EXPECT_EQ(devices[0].interfaces[0].interfaceClass, 8);
  EXPECT_EQ(devices[0].interfaces[0].subClass, 6);
  EXPECT_EQ(devices[0].interfaces[0].protocol, 0x50);
  EXPECT_EQ(devices[1].busId, "2-3.1");
  EXPECT_EQ(devices[1].busNum, 2u);
  EXPECT_EQ(devices[1].idProduct, PID_E);

  EXPECT_EQ(Client(server->Port()).Import("1-9"), kOpStatusError);
  ExportedDevice imported;
  Client first(server->Port());
  EXPECT_EQ(first.Import("2-3.1", &imported), kOpStatusOk);
  EXPECT_EQ(imported.busId, "2-3.1");
  EXPECT_EQ(imported.idProduct, PID_E);
  EXPECT_EQ(Client(server->Port()).Import("2-3.1"), kOpStatusError) << "imported already";
}

TEST_F(UsbipServerTest, ImportedDeviceCarriesInquiryAndAVendorCommandThroughWrappers) {
  BridgeConfig config;
  config.serial = "USBIP1";
  Serve({config}, {"1-1"});
  auto client = ImportAndConfigure();
  const Bytes device = client->Control(1, 0x80, 0x06, 0x0100, 0, 18);
  ASSERT_EQ(device.size(), 18u);
  EXPECT_EQ(LoadLe16(&device[8]), VID_MAKER);
  EXPECT_EQ(client->Control(2, 0x80, 0x06, 0x0303, 0x0409, 255),
            (Bytes{14, 3, 'U', 0, 'S', 0, 'B', 0, 'I', 0, 'P', 0, '1', 0}));
  EXPECT_EQ(client->Control(3, 0xA1, 0xFE, 0, 0, 1), Bytes{0}) << "GET_MAX_LUN";

  // INQUIRY, with the data and status transfers submitted before the device answers them.
  client->Submit(10, kBulkOutEndpoint, false, cbw::kSize,
                 CommandWrapper(0xA1, 36, true, {0x12, 0, 0, 0, 36, 0}));
  client->Submit(11, kBulkInEndpoint, true, 36);
  client->Submit(12, kBulkInEndpoint, true, csw::kSize);
  EXPECT_EQ(client->Return().seqNum, 10u);
  Bytes data;
  const UrbHeader inquiry = client->Return(&data);
  EXPECT_EQ(inquiry.seqNum, 11u);
  EXPECT_EQ(inquiry.status, kStatusOk);
  ASSERT_EQ(data.size(), 36u);
  EXPECT_EQ(std::string(data.begin() + 8, data.begin() + 16), "TESSALIN");
  EXPECT_EQ(client->Return(&data).seqNum, 12u);
  ASSERT_EQ(data.size(), csw::kSize);
  EXPECT_EQ(LoadLe32(&data[csw::Tag]), 0xA1u);
  EXPECT_EQ(data[csw::Status], csw::kPassed);

  // The bridge information command, one transfer at a time.
  const Bytes info = {0xD0, 0, 0, 0, VID_MAKER >> 8, VID_MAKER & 0xFF, 0, 0, 0, 0, 0, 0};
  client->Submit(13, kBulkOutEndpoint, false, cbw::kSize, CommandWrapper(0xA2, 16, true, info));
  EXPECT_EQ(client->Return().status, kStatusOk);
  client->Submit(14, kBulkInEndpoint, true, 16);
  client->Return(&data);
  ASSERT_EQ(data.size(), 16u);
  EXPECT_EQ(LoadBe16(&data[0]), VID_MAKER);
  EXPECT_EQ(LoadBe16(&data[2]), PID_C);
  client->Submit(15, kBulkInEndpoint, true, csw::kSize);
  client->Return(&data);
  EXPECT_EQ(data[csw::Status], csw::kPassed);
  EXPECT_EQ(bridges[0]->CommandCount(), 2u);
}

TEST_F(UsbipServerTest, AnUnlinkedTransferNeverCompletesAndADetachLooksLikeAnUnplug) {
  Serve({BridgeConfig{}}, {"1-1"});
  auto client = ImportAndConfigure();
  client->Submit(20, kBulkInEndpoint, true, csw::kSize);
  EXPECT_TRUE(client->Quiet(100)) << "nothing to send before a command";
  client->Unlink(21, 20);
  UrbHeader unlinked = client->Return();
  EXPECT_EQ(unlinked.command, USBIP_RET_UNLINK);
  EXPECT_EQ(unlinked.seqNum, 21u);
  EXPECT_EQ(unlinked.status, kStatusUnlinked);
  client->Unlink(22, 20);
  EXPECT_EQ(client->Return().status, kStatusOk) << "nothing left to unlink";

  client->Submit(23, kBulkOutEndpoint, false, cbw::kSize,
                 CommandWrapper(5, 0, false, {0, 0, 0, 0, 0, 0}));
  client->Submit(24, kBulkInEndpoint, true, csw::kSize);
  EXPECT_EQ(client->Return().seqNum, 23u);
  Bytes status;
  EXPECT_EQ(client->Return(&status).seqNum, 24u) << "no return for the unlinked transfer";
  EXPECT_EQ(status.size(), csw::kSize);

  EXPECT_TRUE(server->Detach("1-1"));
  EXPECT_TRUE(client->ClosedByServer());
  for (int i = 0; i < 100 && server->Imported() > 0; ++i) ::usleep(10'000);
  EXPECT_FALSE(server->Detach("1-1")) << "not imported any more";
  EXPECT_EQ(Client(server->Port()).Import("1-1"), kOpStatusOk) << "plugged in again";
}

TEST_F(UsbipServerTest, AFaultPlanDisconnectUnplugsTheDeviceForGood) {
  BridgeConfig config;
  config.faults.disconnectAfter = 1;
  Serve({config}, {"1-1"});
  auto client = ImportAndConfigure();
  client->Submit(30, kBulkOutEndpoint, false, cbw::kSize,
                 CommandWrapper(1, 0, false, {0, 0, 0, 0, 0, 0}));
  client->Submit(31, kBulkInEndpoint, true, csw::kSize);
  client->Return();
  Bytes status;
  client->Return(&status);
  ASSERT_EQ(status.size(), csw::kSize);
  EXPECT_EQ(status[csw::Status], csw::kPassed);
  client->Submit(32, kBulkOutEndpoint, false, cbw::kSize,
                 CommandWrapper(2, 0, false, {0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(client->ClosedByServer()) << "the second command finds the cable out";
  for (int i = 0; i < 100 && server->Imported() > 0; ++i) ::usleep(10'000);
  EXPECT_TRUE(Client(server->Port()).DeviceList().empty());
  EXPECT_EQ(Client(server->Port()).Import("1-1"), kOpStatusError);
  std::lock_guard lock(logMutex);
  EXPECT_NE(std::find(log.begin(), log.end(), "usbip: 1-1 unplugged by its fault plan"), log.end());
}

}  // namespace
}  // namespace burnwell::sim::usbip
