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

// kReplyOk, then `data`.
RelayOutcome Answer(std::span<const std::uint8_t> data) {
  RelayOutcome outcome{std::vector<std::uint8_t>(1 + data.size()), false};
  outcome.reply[0] = kReplyOk;
  std::ranges::copy(data, outcome.reply.begin() + 1);
  return outcome;
}

// A pass-through header the server will act on: a real CDB length, a defined direction, and
// sense and data areas inside the `size` bytes of the request.
bool HeaderIsSound(const ScsiPassThroughHeader& h, std::size_t size, bool checkDataArea) {
  return h.CdbLengthValid() && h.DirectionValid() && wire::SenseAreaInSensePart(h) &&
         (!checkDataArea || wire::DataAreaInDataPart(h, size));
}

}  // namespace

bool BridgeHolds::Take(const std::string& path, const void* holder) {
  std::lock_guard lock(mutex_);
  const auto [at, added] = holders_.try_emplace(path, holder);
  return added || at->second == holder;
}

void BridgeHolds::Release(const std::string& path, const void* holder) {
  std::lock_guard lock(mutex_);
  const auto at = holders_.find(path);
  if (at != holders_.end() && at->second == holder) holders_.erase(at);
}

void RelayConnection::CloseDevice() {
  session_.reset();  // closed before another connection may open it
  if (holds_ && !heldPath_.empty()) holds_->Release(heldPath_, this);
  heldPath_.clear();
}

RelayOutcome RelayConnection::Handle(std::span<const std::uint8_t> message) {
  if (message.empty() || message.size() > kMaxMessageSize) return CloseNow();
  const std::uint8_t opcode = message[0];
  const auto payload = message.subspan(1);
  switch (static_cast<Opcode>(opcode)) {
    case Opcode::Open: return HandleOpen(payload);
    case Opcode::Close:
      if (!payload.empty()) return Failure();
      CloseDevice();
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
  const std::string key(path);
  if (holds_ && !holds_->Take(key, this)) return {{kReplyBridgeBusy}, false};
  session_ = backend_.Open(path, peer_);
  if (!session_) {
    if (holds_) holds_->Release(key, this);
    return Failure();
  }
  heldPath_ = key;
  return {{kReplyOk}, false};
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
  return Answer(std::span(updated).first(kDataOffset + (dataIn ? length : 0)));
}

RelayOutcome RelayConnection::HandleDiskQuery(std::uint32_t code,
                                              std::span<const std::uint8_t> payload) {
  if (!session_) return Failure();
  std::vector<std::uint8_t> out(payload.size(), 0);
  std::uint32_t returned = 0;
  if (!session_->IoControl(code, {}, out, &returned)) return Failure();
  return Answer(std::span(out).first(std::min<std::size_t>(returned, out.size())));
}

// One client connection and the thread that serves it.
struct RelayServer::Connection {
  // Values of waitingSince besides a time: a request is being served; the watchdog ended it.
  static constexpr std::int64_t kServing = -1;
  static constexpr std::int64_t kClosedIdle = -2;

  explicit Connection(std::unique_ptr<platform::RelayChannel> c)
      : peer{c->PeerUser()}, channel(std::move(c)) {}

  const RelayPeer peer;
  // Reset by the connection's own thread when it ends (with the server's mutex held, so that
  // Stop and the watchdog never shut down a channel that is gone).
  std::unique_ptr<platform::RelayChannel> channel;
  std::thread thread;
  std::atomic<bool> done{false};
  // Whether the wait below is for the client to take a reply (else for its next request).
  // Set before waitingSince, read after it: a new wait is never judged by the old kind.
  std::atomic<bool> sending{false};
  // Since when (steady-clock ticks) the server has been waiting on the client, or one of the
  // values above.
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
                         RelayServerLimits limits, RefusalNote note)
    : backend_(backend), listener_(std::move(listener)), limits_(limits), note_(std::move(note)) {}

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

std::string RelayServer::RefusalFor(const RelayPeer& peer) const {
  if (connections_.size() >= limits_.maxConnections)
    return "refused: the relay is full (" + std::to_string(limits_.maxConnections) +
           " connections)";
  if (!peer.uid) return {};
  const std::size_t own =
      std::count_if(connections_.begin(), connections_.end(),
                    [&](const std::unique_ptr<Connection>& c) { return c->peer.uid == peer.uid; });
  if (own < limits_.PerUser()) return {};
  return "refused: this user holds " + std::to_string(own) + " connections, its share of " +
         std::to_string(limits_.maxConnections);
}

void RelayServer::AcceptLoop() {
  while (auto accepted = listener_->Accept()) {
    std::unique_lock lock(mutex_);
    if (stopping_) {
      accepted->Shutdown();
      break;
    }
    ReapFinishedConnections();
    const RelayPeer peer{accepted->PeerUser()};
    std::string refusal = RefusalFor(peer);
    if (refusal.empty()) {
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
        ++counts_.accepted;
        connections_.push_back(std::move(connection));
        continue;
      } catch (const std::system_error&) {
        refusal = "refused: no thread to serve it";
        accepted = std::move(served.channel);
      }
    }
    // Told at once, then closed: a client waiting for a slot would only hold a descriptor. The
    // reply fits an empty socket buffer, so it never waits.
    ++counts_.refusedOverLimit;
    lock.unlock();
    accepted->Send(std::vector<std::uint8_t>{kReplyRelayFull});
    accepted->Shutdown();
    if (note_) note_(peer, refusal);
  }
}

void RelayServer::WatchIdleConnections() {
  const auto limitFor = [this](bool sending) {
    const bool idleBound = limits_.idleTimeout > std::chrono::milliseconds::zero();
    if (!sending) return idleBound ? std::optional(limits_.idleTimeout) : std::nullopt;
    return std::optional(idleBound ? std::min(limits_.idleTimeout, limits_.sendTimeout)
                                   : limits_.sendTimeout);
  };
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    ReapFinishedConnections();
    const SteadyClock::time_point now = SteadyClock::now();
    // A connection that starts waiting after this pass has its deadline after the next one.
    SteadyClock::time_point next =
        now + std::min<std::chrono::milliseconds>(limits_.sendTimeout, std::chrono::seconds(1));
    if (const auto idle = limitFor(false)) next = std::min(next, now + *idle);
    for (auto& connection : connections_) {
      std::int64_t since = connection->waitingSince.load();
      if (since < 0) continue;
      const bool sending = connection->sending.load();
      const std::optional<std::chrono::milliseconds> limit = limitFor(sending);
      if (!limit) continue;
      const SteadyClock::time_point deadline = FromTicks(since) + *limit;
      if (deadline > now) {
        next = std::min(next, deadline);
      } else if (connection->waitingSince.compare_exchange_strong(since, Connection::kClosedIdle)) {
        ++(sending ? counts_.closedStuck : counts_.closedIdle);
        if (connection->channel) connection->channel->Shutdown();
        if (sending && note_)
          note_(connection->peer, "closed a connection: it did not take its reply in time");
      }
    }
    stopped_.wait_until(lock, next, [this] { return stopping_; });
  }
}

namespace {

// The server starts waiting on the client: for its next request, or to take a reply.
void StartWaiting(std::atomic<bool>& sendingFlag, std::atomic<std::int64_t>& since, bool sending) {
  sendingFlag.store(sending);
  since.store(NowTicks());
}

// The wait is over; false when the watchdog ended the connection meanwhile.
bool StopWaiting(std::atomic<std::int64_t>& since, std::int64_t serving) {
  std::int64_t was = since.load();
  return was >= 0 && since.compare_exchange_strong(was, serving);
}

}  // namespace

void RelayServer::ServeConnection(Connection& served) {
  platform::RelayChannel& channel = *served.channel;  // reset only by this thread, after this
  RelayConnection connection(backend_, served.peer, &holds_);
  std::vector<std::uint8_t> message;
  while (true) {
    StartWaiting(served.sending, served.waitingSince, false);
    const auto received = channel.Receive(message, kMaxMessageSize);
    if (!StopWaiting(served.waitingSince, Connection::kServing)) return;
    if (received != platform::ReceiveResult::Message) return;
    const RelayOutcome outcome = connection.Handle(message);
    if (!outcome.reply.empty()) {
      StartWaiting(served.sending, served.waitingSince, true);
      const bool sent = channel.Send(outcome.reply);
      if (!StopWaiting(served.waitingSince, Connection::kServing) || !sent) return;
    }
    if (outcome.closeConnection) return;
  }
}

std::unique_ptr<RelayServer> StartRelayServer(RelayBackend& backend, RelayServerLimits limits,
                                              RefusalNote note) {
  auto listener = platform::ListenForRelayClients();
  if (!listener) return nullptr;
  auto server =
      std::make_unique<RelayServer>(backend, std::move(listener), limits, std::move(note));
  server->Start();
  return server;
}

}  // namespace burnwell::device::relay
