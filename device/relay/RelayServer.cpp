#include "device/relay/RelayServer.h"

#include <algorithm>
#include <string_view>
#include <system_error>

#include "common/Bytes.h"
#include "device/RelayProtocol.h"
#include "wire/ScsiRequest.h"
#include "platform/IoFailure.h"
#include "platform/WinNames.h"

namespace burnwell::device::relay {

using wire::DecodePassThroughHeader;
using wire::EncodePassThroughHeader;
using wire::kDataOffset;
using wire::ScsiPassThroughHeader;
namespace {

RelayOutcome Failure() { return {{kReplyFailed}, false}; }

// The reply to a failed pass-through: a gone device is reported as such, so that the client
// stops instead of retrying.
RelayOutcome PassThroughFailure() {
  return {{platform::LastIoFailure() == platform::IoFailure::DeviceGone ? kReplyDeviceGone
                                                                        : kReplyFailed},
          false};
}
RelayOutcome CloseNow() { return {{}, true}; }

// A pass-through header the server will act on: a real CDB length, a defined direction, and
// sense and data areas inside the `size` bytes of the request.
bool HeaderIsSound(const ScsiPassThroughHeader& h, std::size_t size, bool checkDataArea) {
  return h.CdbLengthValid() && h.DirectionValid() && wire::SenseAreaInSensePart(h) &&
         (!checkDataArea || wire::DataAreaInDataPart(h, size));
}

}  // namespace

RelayOutcome RelayConnection::Handle(std::span<const std::uint8_t> message) {
  if (message.empty() || message.size() > kMaxMessageSize) return CloseNow();
  const std::uint8_t opcode = message[0];
  const auto payload = message.subspan(1);
  switch (static_cast<Opcode>(opcode)) {
    case Opcode::Open: return HandleOpen(payload);
    case Opcode::Close:
      if (!payload.empty()) return Failure();
      session_.reset();
      return {{kReplyOk}, true};
    case Opcode::PassThrough: return HandlePassThrough(payload);
    case Opcode::PassThroughDirect: return HandlePassThroughDirect(payload);
    default: break;
  }
  if (const auto code = DiskQueryCode(opcode)) return HandleDiskQuery(*code, payload);
  return Failure();
}

RelayOutcome RelayConnection::HandleOpen(std::span<const std::uint8_t> payload) {
  // One device per connection; the path is NUL-terminated and holds no other NUL.
  if (session_ || payload.size() < 2 || payload.back() != 0) return Failure();
  const std::string_view path(reinterpret_cast<const char*>(payload.data()), payload.size() - 1);
  if (path.size() > kMaxPathLength || path.find('\0') != std::string_view::npos) return Failure();
  session_ = backend_.Open(path);
  return session_ ? RelayOutcome{{kReplyOk}, false} : Failure();
}

RelayOutcome RelayConnection::HandlePassThrough(std::span<const std::uint8_t> payload) {
  if (!session_ || payload.size() < kDataOffset) return Failure();
  const ScsiPassThroughHeader header = DecodePassThroughHeader(payload);
  if (!HeaderIsSound(header, payload.size(), true)) return Failure();

  RelayOutcome outcome{std::vector<std::uint8_t>(1 + payload.size()), false};
  std::copy(payload.begin(), payload.end(), outcome.reply.begin() + 1);
  std::uint32_t returned = 0;
  platform::ClearIoFailure();
  if (!session_->IoControl(IOCTL_SCSI_PASS_THROUGH, payload, std::span(outcome.reply).subspan(1),
                           &returned))
    return PassThroughFailure();
  outcome.reply[0] = kReplyOk;
  return outcome;
}

RelayOutcome RelayConnection::HandlePassThroughDirect(std::span<const std::uint8_t> payload) {
  if (!session_ || payload.size() < kDataOffset) return Failure();
  ScsiPassThroughHeader header = DecodePassThroughHeader(payload);
  if (!HeaderIsSound(header, payload.size(), false)) return Failure();
  const std::uint32_t length = header.DataTransferLength;
  const bool dataIn = header.ReadsData();
  const std::uint32_t clientOffset = header.DataBufferOffset;
  if (length > kMaxDirectData) return Failure();
  if (payload.size() != kDataOffset + (dataIn ? 0 : length)) return Failure();

  // The device sees an ordinary pass-through with the data placed after the block.
  std::vector<std::uint8_t> request(kDataOffset + length, 0);
  std::copy(payload.begin(), payload.end(), request.begin());
  header.DataBufferOffset = kDataOffset;
  EncodePassThroughHeader(header, request);
  std::vector<std::uint8_t> updated = request;
  std::uint32_t returned = 0;
  platform::ClearIoFailure();
  if (!session_->IoControl(IOCTL_SCSI_PASS_THROUGH, request, updated, &returned))
    return PassThroughFailure();

  // The block goes back with the client's own data-buffer field; the data only when reading.
  wire::ScsiRequestView(updated).SetDataBufferOffset(clientOffset);
  const std::size_t replyData = dataIn ? length : 0;
  RelayOutcome outcome{std::vector<std::uint8_t>(1 + kDataOffset + replyData), false};
  outcome.reply[0] = kReplyOk;
  std::copy_n(updated.begin(), kDataOffset + replyData, outcome.reply.begin() + 1);
  return outcome;
}

RelayOutcome RelayConnection::HandleDiskQuery(std::uint32_t code,
                                              std::span<const std::uint8_t> payload) {
  if (!session_) return Failure();
  std::vector<std::uint8_t> out(payload.size(), 0);
  std::uint32_t returned = 0;
  if (!session_->IoControl(code, {}, out, &returned)) return Failure();
  const std::size_t valid = std::min<std::size_t>(returned, out.size());
  RelayOutcome outcome{std::vector<std::uint8_t>(1 + valid), false};
  outcome.reply[0] = kReplyOk;
  std::copy_n(out.begin(), valid, outcome.reply.begin() + 1);
  return outcome;
}

// One client connection and the thread that serves it.
struct RelayServer::Connection {
  // Values of waitingSince besides a time: a request is being served; the watchdog ended it.
  static constexpr std::int64_t kServing = -1;
  static constexpr std::int64_t kClosedIdle = -2;

  explicit Connection(std::unique_ptr<platform::RelayChannel> c) : channel(std::move(c)) {}

  // Reset by the connection's own thread when it ends (with the server's mutex held, so that
  // Stop and the watchdog never shut down a channel that is gone).
  std::unique_ptr<platform::RelayChannel> channel;
  std::thread thread;
  std::atomic<bool> done{false};
  // Since when (steady-clock ticks) the client has been silent, or one of the values above.
  std::atomic<std::int64_t> waitingSince{kServing};
};

namespace {

using SteadyClock = std::chrono::steady_clock;

std::int64_t NowTicks() { return SteadyClock::now().time_since_epoch().count(); }

SteadyClock::time_point FromTicks(std::int64_t ticks) {
  return SteadyClock::time_point(SteadyClock::duration(ticks));
}

}  // namespace

RelayServer::RelayServer(RelayBackend& backend, std::unique_ptr<platform::RelayListener> listener,
                         RelayServerLimits limits)
    : backend_(backend), listener_(std::move(listener)), limits_(limits) {}

RelayServer::~RelayServer() { Stop(); }

void RelayServer::Start() {
  std::lock_guard lock(mutex_);
  if (acceptThread_.joinable() || stopping_ || !listener_) return;
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  idleThread_ = std::thread([this] { WatchIdleConnections(); });
}

void RelayServer::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (auto& connection : connections_)
      if (connection->channel) connection->channel->Shutdown();
  }
  stopped_.notify_all();
  if (listener_) listener_->Stop();
  if (acceptThread_.joinable()) acceptThread_.join();
  if (idleThread_.joinable()) idleThread_.join();
  // The accept thread has ended: no connection is added from here on.
  for (auto& connection : connections_)
    if (connection->thread.joinable()) connection->thread.join();
  connections_.clear();
}

RelayServerCounts RelayServer::Counts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

void RelayServer::ReapFinishedConnections() {
  // A long-running relay sees many connections: join the threads of those that have ended.
  std::erase_if(connections_, [](const std::unique_ptr<Connection>& connection) {
    if (!connection->done.load()) return false;
    connection->thread.join();
    return true;
  });
}

void RelayServer::AcceptLoop() {
  while (auto accepted = listener_->Accept()) {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      accepted->Shutdown();
      break;
    }
    ReapFinishedConnections();
    if (connections_.size() >= limits_.maxConnections) {
      // Closed at once: a client waiting for a slot would only hold a descriptor.
      ++counts_.refusedOverLimit;
      accepted->Shutdown();
      continue;
    }
    auto connection = std::make_unique<Connection>(std::move(accepted));
    Connection& served = *connection;
    try {
      served.thread = std::thread([this, &served] {
        ServeConnection(served);
        {
          // Close the connection now, not when the thread is joined.
          std::lock_guard ending(mutex_);
          served.channel->Shutdown();
          served.channel.reset();
        }
        served.done.store(true);
      });
    } catch (const std::system_error&) {
      // No thread to be had: the client is refused like one beyond the limit.
      ++counts_.refusedOverLimit;
      served.channel->Shutdown();
      continue;
    }
    ++counts_.accepted;
    connections_.push_back(std::move(connection));
  }
}

void RelayServer::WatchIdleConnections() {
  if (limits_.idleTimeout <= std::chrono::milliseconds::zero()) return;
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    ReapFinishedConnections();
    const SteadyClock::time_point now = SteadyClock::now();
    // A connection that turns silent after this pass has its deadline after the next one.
    SteadyClock::time_point next = now + limits_.idleTimeout;
    for (auto& connection : connections_) {
      std::int64_t since = connection->waitingSince.load();
      if (since < 0) continue;
      const SteadyClock::time_point deadline = FromTicks(since) + limits_.idleTimeout;
      if (deadline > now) {
        next = std::min(next, deadline);
      } else if (connection->waitingSince.compare_exchange_strong(since, Connection::kClosedIdle)) {
        ++counts_.closedIdle;
        if (connection->channel) connection->channel->Shutdown();
      }
    }
    stopped_.wait_until(lock, next, [this] { return stopping_; });
  }
}

void RelayServer::ServeConnection(Connection& served) {
  platform::RelayChannel& channel = *served.channel;  // reset only by this thread, after this
  RelayConnection connection(backend_);
  std::vector<std::uint8_t> message;
  while (true) {
    served.waitingSince.store(NowTicks());
    const auto received = channel.Receive(message, kMaxMessageSize);
    // The watchdog may have ended the connection while it was silent.
    std::int64_t since = served.waitingSince.load();
    if (since < 0 || !served.waitingSince.compare_exchange_strong(since, Connection::kServing))
      return;
    if (received != platform::ReceiveResult::Message) return;
    const RelayOutcome outcome = connection.Handle(message);
    if (!outcome.reply.empty() && !channel.Send(outcome.reply)) return;
    if (outcome.closeConnection) return;
  }
}

std::unique_ptr<RelayServer> StartRelayServer(RelayBackend& backend, RelayServerLimits limits) {
  auto listener = platform::ListenForRelayClients();
  if (!listener) return nullptr;
  auto server = std::make_unique<RelayServer>(backend, std::move(listener), limits);
  server->Start();
  return server;
}

}  // namespace burnwell::device::relay
