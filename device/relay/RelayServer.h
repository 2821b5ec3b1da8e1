// The server side of the I/O relay: reads one message at a time from each client, validates
// it completely, hands it to a RelayBackend and sends one reply.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
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

// One client connection's protocol state: the device its open message opened. Malformed
// requests (unknown opcode, lengths that do not match the header, oversize, I/O before an
// open) get a one-byte failure reply; an empty or oversize message ends the connection.
class RelayConnection {
 public:
  explicit RelayConnection(RelayBackend& backend) : backend_(backend) {}

  RelayOutcome Handle(std::span<const std::uint8_t> message);
  bool HasDevice() const { return session_ != nullptr; }

 private:
  RelayOutcome HandleOpen(std::span<const std::uint8_t> payload);
  RelayOutcome HandlePassThrough(std::span<const std::uint8_t> payload);
  RelayOutcome HandlePassThroughDirect(std::span<const std::uint8_t> payload);
  RelayOutcome HandleDiskQuery(std::uint32_t code, std::span<const std::uint8_t> payload);

  RelayBackend& backend_;
  std::unique_ptr<RelaySession> session_;
};

// How many clients a server serves at once, and how long a client may stay silent.
struct RelayServerLimits {
  // Connections beyond this many are closed as soon as they are accepted.
  std::size_t maxConnections = 128;
  // A connection that sends no request for this long is closed (a request being served does
  // not count as silence, however long the device takes).
  std::chrono::milliseconds idleTimeout = std::chrono::minutes(10);
};

// What a server has done so far.
struct RelayServerCounts {
  std::uint64_t accepted = 0;          // connections served
  std::uint64_t refusedOverLimit = 0;  // closed at once: the limit was reached
  std::uint64_t closedIdle = 0;        // closed by the idle time-out
};

// Serves every client of a listener, one thread per connection (at most the limit's number),
// until Stop.
class RelayServer {
 public:
  RelayServer(RelayBackend& backend, std::unique_ptr<platform::RelayListener> listener,
              RelayServerLimits limits = {});
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
  void WatchIdleConnections();
  void ServeConnection(Connection& connection);
  void ReapFinishedConnections();  // with mutex_ held

  RelayBackend& backend_;
  std::unique_ptr<platform::RelayListener> listener_;
  const RelayServerLimits limits_;
  std::thread acceptThread_;
  std::thread idleThread_;
  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::vector<std::unique_ptr<Connection>> connections_;
  RelayServerCounts counts_;
};

// Starts a server at the relay's well-known place; nullptr when it cannot listen there.
std::unique_ptr<RelayServer> StartRelayServer(RelayBackend& backend, RelayServerLimits limits = {});

}  // namespace burnwell::device::relay
