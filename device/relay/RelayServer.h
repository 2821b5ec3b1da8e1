// The server side of the I/O relay: reads one message at a time from each client, validates
// it completely, hands it to a RelayBackend and sends one reply.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "device/relay/RelayBackend.h"
#include "platform/RelayListener.h"

namespace burnwell::device::relay {

// What to do after one request.
struct RelayOutcome {
  std::vector<std::uint8_t> reply;  // empty: send nothing
  bool closeConnection = false;
};

// The bridges the connections of one server have open: one connection per bridge at a time.
// A bridge is named by the path its open message gave (the back ends serve each bridge under
// one path).
class BridgeHolds {
 public:
  // True when `holder` now holds `path` (or held it already); false when another one does.
  bool Take(const std::string& path, const void* holder);
  void Release(const std::string& path, const void* holder);

 private:
  std::mutex mutex_;
  std::map<std::string, const void*> holders_;
};

// One client connection's protocol state: the device its open message opened. Malformed
// requests (unknown opcode, lengths that do not match the header, oversize, I/O before an
// open) get a one-byte failure reply; an empty or oversize message ends the connection. With
// `holds`, an open of a bridge another connection has open gets the busy reply.
class RelayConnection {
 public:
  explicit RelayConnection(RelayBackend& backend, RelayPeer peer = {}, BridgeHolds* holds = nullptr)
      : backend_(backend), peer_(std::move(peer)), holds_(holds) {}
  ~RelayConnection() { CloseDevice(); }
  RelayConnection(const RelayConnection&) = delete;
  RelayConnection& operator=(const RelayConnection&) = delete;

  RelayOutcome Handle(std::span<const std::uint8_t> message);
  bool HasDevice() const { return session_ != nullptr; }

 private:
  RelayOutcome HandleOpen(std::span<const std::uint8_t> payload);
  RelayOutcome HandlePassThrough(std::span<const std::uint8_t> payload);
  RelayOutcome HandlePassThroughDirect(std::span<const std::uint8_t> payload);
  RelayOutcome HandleDiskQuery(std::uint32_t code, std::span<const std::uint8_t> payload);
  void CloseDevice();

  RelayBackend& backend_;
  RelayPeer peer_;
  BridgeHolds* holds_;
  std::unique_ptr<RelaySession> session_;
  std::string heldPath_;
};

// How many clients a server serves at once, and how long a client may keep a slot without
// taking part.
struct RelayServerLimits {
  // Connections beyond this many are answered "relay full" and closed as soon as accepted.
  std::size_t maxConnections = 128;
  // The most connections one user may have at once, so that no user can take every slot; 0
  // means a quarter of maxConnections (at least one).
  std::size_t maxPerUser = 0;
  // A connection that sends no request for this long is closed (a request being served does
  // not count as silence, however long the device takes; a reply the client does not read
  // does).
  std::chrono::milliseconds idleTimeout = std::chrono::minutes(10);
  // A reply the client has not taken within this long ends the connection.
  std::chrono::milliseconds sendTimeout = std::chrono::seconds(10);

  std::size_t PerUser() const {
    return maxPerUser != 0 ? maxPerUser : std::max<std::size_t>(1, maxConnections / 4);
  }
};

// What a server has done so far.
struct RelayServerCounts {
  std::uint64_t accepted = 0;          // connections served
  std::uint64_t refusedOverLimit = 0;  // answered "relay full" and closed: a limit was reached
  std::uint64_t closedIdle = 0;        // closed by the idle time-out
  std::uint64_t closedStuck = 0;       // closed: a reply was not taken in time
};

// Serves every client of a listener, one thread per connection (at most the limit's number),
// until Stop.
class RelayServer {
 public:
  RelayServer(RelayBackend& backend, std::unique_ptr<platform::RelayListener> listener,
              RelayServerLimits limits = {}, RefusalNote note = {});
  ~RelayServer();
  RelayServer(const RelayServer&) = delete;
  RelayServer& operator=(const RelayServer&) = delete;

  // Starts accepting in a background thread.
  void Start();
  // Stops accepting, ends every connection and waits for their threads.
  void Stop();

  RelayServerCounts Counts() const;

 private:
  struct Connection;

  void AcceptLoop();
  // Why a new connection of `peer` may not be served now; empty when it may. With mutex_ held.
  std::string RefusalFor(const RelayPeer& peer) const;
  void WatchIdleConnections();
  void ServeConnection(Connection& connection);
  void ReapFinishedConnections();  // with mutex_ held

  RelayBackend& backend_;
  std::unique_ptr<platform::RelayListener> listener_;
  const RelayServerLimits limits_;
  const RefusalNote note_;
  BridgeHolds holds_;
  std::thread acceptThread_;
  std::thread idleThread_;
  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::vector<std::unique_ptr<Connection>> connections_;
  RelayServerCounts counts_;
};

// Starts a server at the relay's well-known place; nullptr when it cannot listen there.
std::unique_ptr<RelayServer> StartRelayServer(RelayBackend& backend, RelayServerLimits limits = {},
                                              RefusalNote note = {});

}  // namespace burnwell::device::relay
