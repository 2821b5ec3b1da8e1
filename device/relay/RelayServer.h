// The server side of the I/O relay: reads one message at a time from each client, validates
// it completely, hands it to a RelayBackend and sends one reply.
#pragma once

#include <atomic>
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

// Serves every client of a listener, one thread per connection, until Stop.
class RelayServer {
 public:
  RelayServer(RelayBackend& backend, std::unique_ptr<platform::RelayListener> listener);
  ~RelayServer();
  RelayServer(const RelayServer&) = delete;
  RelayServer& operator=(const RelayServer&) = delete;

  // Starts accepting in a background thread.
  void Start();
  // Stops accepting, ends every connection and waits for their threads.
  void Stop();
  // Serves one already-accepted channel on the calling thread until it closes.
  static void Serve(RelayBackend& backend, platform::RelayChannel& channel);

 private:
  struct Connection {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void AcceptLoop();
  void ReapFinishedConnections();  // with mutex_ held

  RelayBackend& backend_;
  std::unique_ptr<platform::RelayListener> listener_;
  std::thread acceptThread_;
  std::mutex mutex_;
  bool stopping_ = false;
  std::vector<std::shared_ptr<platform::RelayChannel>> channels_;
  std::vector<Connection> connections_;
};

// Starts a server at the relay's well-known place; nullptr when it cannot listen there.
std::unique_ptr<RelayServer> StartRelayServer(RelayBackend& backend);

}  // namespace burnwell::device::relay
