#include "sim/usbip/UsbipServer.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/Hex.h"

namespace burnwell::sim::usbip {
namespace {

// A client gets this long to send its operation message; an imported device waits for ever.
constexpr int kOperationTimeoutSeconds = 10;
constexpr int kAcceptPollMs = 100;
// The largest transfer buffer a URB may carry; a larger one is a broken client.
constexpr std::uint32_t kMaxUrbLength = kMaxCommandData;

bool ReadAll(int socket, std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t got = ::recv(socket, data, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

bool WriteAll(int socket, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(socket, data, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

template <class Bytes>
bool WriteAll(int socket, const Bytes& bytes) {
  return WriteAll(socket, bytes.data(), bytes.size());
}

void SetReceiveTimeout(int socket, int seconds) {
  timeval limit{};
  limit.tv_sec = seconds;
  ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

// "BUS-PORT[.PORT...]": the bus number, or 0 when the ID is not of that form.
std::uint32_t BusNumberOf(const std::string& busId) {
  const auto dash = busId.find('-');
  if (dash == std::string::npos || dash == 0 || dash + 1 >= busId.size() ||
      busId.size() >= device_record::kBusIdSize) {
    return 0;
  }
  std::uint32_t bus = 0;
  for (std::size_t i = 0; i < dash; ++i) {
    if (busId[i] < '0' || busId[i] > '9' || bus > 1000) return 0;
    bus = bus * 10 + static_cast<std::uint32_t>(busId[i] - '0');
  }
  for (std::size_t i = dash + 1; i < busId.size(); ++i) {
    const char c = busId[i];
    if ((c < '0' || c > '9') && c != '.') return 0;
  }
  return bus;
}

}  // namespace

UsbipServer::UsbipServer(std::vector<ServedBridge> bridges, std::uint16_t port, Log log)
    : log_(std::move(log)) {
  std::uint32_t devNum = 2;  // address 1 is the root hub's
  for (ServedBridge& served : bridges) {
    const std::uint32_t bus = BusNumberOf(served.busId);
    if (bus == 0)
      throw std::invalid_argument("'" + served.busId + "' is no USB bus ID (BUS-PORT[.PORT...])");
    if (Find(served.busId))
      throw std::invalid_argument("bus ID " + served.busId + " is given twice");
    exports_.push_back(
        std::make_unique<Export>(served.busId, bus, devNum++, std::move(served.bridge)));
  }

  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0)
    throw std::runtime_error(std::string("cannot make a socket: ") + std::strerror(errno));
  const int yes = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 8) != 0) {
    const std::string why = std::strerror(errno);
    ::close(listener_);
    listener_ = -1;
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + why);
  }
  socklen_t length = sizeof address;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
}

UsbipServer::~UsbipServer() {
  Stop();
  if (listener_ >= 0) ::close(listener_);
}

void UsbipServer::Say(const std::string& line) {
  if (!log_) return;
  std::lock_guard lock(logMutex_);
  log_(line);
}

UsbipServer::Export* UsbipServer::Find(const std::string& busId) {
  for (auto& exported : exports_) {
    if (exported->busId == busId) return exported.get();
  }
  return nullptr;
}

void UsbipServer::Start() {
  if (acceptThread_.joinable() || stopping_.load()) return;
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

void UsbipServer::Stop() {
  stopping_.store(true);
  if (acceptThread_.joinable()) acceptThread_.join();
  std::list<Connection> ending;
  {
    std::lock_guard lock(mutex_);
    for (auto& exported : exports_) {
      if (exported->connection >= 0) exported->detachedByServer = true;
    }
    for (Connection& connection : connections_) {
      if (connection.socket >= 0) ::shutdown(connection.socket, SHUT_RDWR);
    }
    ending.splice(ending.end(), connections_);
  }
  for (Connection& connection : ending) {
    if (connection.thread.joinable()) connection.thread.join();
  }
}

bool UsbipServer::Detach(const std::string& busId) {
  std::lock_guard lock(mutex_);
  Export* exported = Find(busId);
  if (!exported || exported->connection < 0) return false;
  exported->detachedByServer = true;
  ::shutdown(exported->connection, SHUT_RDWR);
  return true;
}

std::size_t UsbipServer::Imported() const {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  for (const auto& exported : exports_) count += exported->connection >= 0 ? 1 : 0;
  return count;
}

void UsbipServer::AcceptLoop() {
  while (!stopping_.load()) {
    pollfd waiting{listener_, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, kAcceptPollMs);
    {
      std::lock_guard lock(mutex_);
      std::erase_if(connections_, [](Connection& connection) {
        if (!connection.finished.load()) return false;
        connection.thread.join();
        return true;
      });
    }
    if (ready <= 0) continue;
    const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket < 0) continue;
    std::lock_guard lock(mutex_);
    if (stopping_.load()) {
      ::close(socket);
      break;
    }
    Connection& connection = connections_.emplace_back();
    connection.socket = socket;
    connection.thread = std::thread([this, &connection] {
      Serve(connection);
      Close(connection);
      connection.finished.store(true);
    });
  }
}

void UsbipServer::Close(Connection& connection) {
  std::lock_guard lock(mutex_);
  ::close(connection.socket);
  connection.socket = -1;
}

void UsbipServer::Serve(Connection& connection) {
  const int socket = connection.socket;
  SetReceiveTimeout(socket, kOperationTimeoutSeconds);
  std::array<std::uint8_t, op::kSize> head{};
  if (!ReadAll(socket, head.data(), head.size())) return;
  const OpHeader request = DecodeOpHeader(head);

  if (request.code == OP_REQ_DEVLIST) {
    std::vector<ExportedDevice> devices;
    {
      std::lock_guard lock(mutex_);
      for (const auto& exported : exports_) {
        if (!exported->device.Unplugged()) {
          devices.push_back(
              exported->device.Describe(exported->busId, exported->busNum, exported->devNum));
        }
      }
    }
    WriteAll(socket, EncodeDeviceList(devices));
    return;
  }
  if (request.code != OP_REQ_IMPORT) {
    Say("usbip: closed a connection that began with unknown operation 0x" +
        Hex(request.code, 4, HexDigits::Upper));
    return;
  }

  std::array<std::uint8_t, import_request::kSize> importRequest{};
  std::copy(head.begin(), head.end(), importRequest.begin());
  if (!ReadAll(socket, importRequest.data() + op::kSize, importRequest.size() - op::kSize)) return;
  const std::string busId = DecodeImportBusId(importRequest);
  Export* exported = nullptr;
  std::string refusal;
  {
    std::lock_guard lock(mutex_);
    exported = Find(busId);
    if (!exported) {
      refusal = "no device " + busId;
    } else if (exported->device.Unplugged()) {
      refusal = busId + " has been unplugged";
    } else if (exported->connection >= 0) {
      refusal = busId + " is imported already";
    } else {
      exported->connection = socket;
      exported->detachedByServer = false;
    }
  }
  if (!refusal.empty()) {
    Say("usbip: refused an import: " + refusal);
    WriteAll(socket, EncodeImportReply(std::nullopt));
    return;
  }
  exported->device.Plug();
  const bool replied = WriteAll(socket, EncodeImportReply(exported->device.Describe(
                                            busId, exported->busNum, exported->devNum)));
  if (replied) {
    SetReceiveTimeout(socket, 0);
    const int yes = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    Say("usbip: " + busId + " imported");
    ServeImported(socket, *exported);
  }
  bool byServer = false;
  {
    std::lock_guard lock(mutex_);
    exported->connection = -1;
    byServer = exported->detachedByServer;
  }
  if (exported->device.Unplugged()) {
    Say("usbip: " + busId + " unplugged by its fault plan");
  } else if (byServer) {
    Say("usbip: " + busId + " detached");
  } else {
    Say("usbip: " + busId + " released by the client");
  }
}

void UsbipServer::ServeImported(int socket, Export& exported) {
  std::array<std::uint8_t, urb::kSize> head{};
  std::vector<std::uint8_t> reply;
  while (ReadAll(socket, head.data(), head.size())) {
    const UrbHeader header = DecodeUrbHeader(head);
    reply.clear();
    if (header.command == USBIP_CMD_SUBMIT) {
      const bool in = header.direction == USBIP_DIR_IN;
      if ((header.direction != USBIP_DIR_IN && header.direction != USBIP_DIR_OUT) ||
          header.endpoint > 15 || header.transferBufferLength > kMaxUrbLength ||
          (header.numberOfPackets != 0 && header.numberOfPackets != kNotIsochronous)) {
        Say("usbip: " + exported.busId + ": malformed submit, closing the connection");
        return;  // the stream cannot be followed further (no isochronous endpoint here)
      }
      Urb submitted;
      submitted.seqNum = header.seqNum;
      submitted.endpoint = static_cast<std::uint8_t>(header.endpoint);
      submitted.in = in;
      submitted.flags = header.transferFlags;
      submitted.length = header.transferBufferLength;
      submitted.setup = header.setup;
      if (!in) {
        submitted.outData.resize(header.transferBufferLength);
        if (!ReadAll(socket, submitted.outData.data(), submitted.outData.size())) return;
      }
      for (const UrbCompletion& done : exported.device.Submit(std::move(submitted))) {
        const auto bytes =
            EncodeReturnSubmit(done.seqNum, done.status, done.actualLength, done.inData);
        reply.insert(reply.end(), bytes.begin(), bytes.end());
      }
      if (exported.device.Unplugged()) return;  // no answer: the cable is out
    } else if (header.command == USBIP_CMD_UNLINK) {
      const bool unlinked = exported.device.Unlink(header.unlinkSeqNum);
      const auto bytes = EncodeReturnUnlink(header.seqNum, unlinked ? kStatusUnlinked : kStatusOk);
      reply.assign(bytes.begin(), bytes.end());
    } else {
      Say("usbip: " + exported.busId + ": unknown command, closing the connection");
      return;
    }
    if (!reply.empty() && !WriteAll(socket, reply)) return;
  }
}

}  // namespace burnwell::sim::usbip
