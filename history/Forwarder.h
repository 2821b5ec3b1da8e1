// Sends the rows a station keeps for the line's server, in their order, on a thread of its own,
// so that no unit waits on the network. While the server is away the rows wait in the station's
// file and go when it answers again; a row the server refuses for its own values is kept there,
// marked, and reported; nothing is dropped. A row is sent until the server has it and then
// leaves the outbox; sent twice (a program killed between the two), the server keeps it once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "history/ServerStore.h"

namespace burnwell::history {

class LocalStore;

class Forwarder {
 public:
  using Report = std::function<void(const std::string&)>;
  // Starts sending the rows that wait in the file at `store` for `url`. `connected` may hand
  // over a connection already made; report hears each change (the server away, back, a row
  // refused), on the forwarder's thread.
  Forwarder(std::filesystem::path store, std::string url, std::unique_ptr<ServerStore> connected,
            Report report);
  ~Forwarder();
  Forwarder(const Forwarder&) = delete;
  Forwarder& operator=(const Forwarder&) = delete;

  // A row was added: send it now rather than at the next look.
  void Wake();
  // Waits until everything added before the call has been sent, the server is found away, or
  // `limit` has passed. True when everything was sent.
  bool Drain(std::chrono::milliseconds limit);

 private:
  void Run();
  // Waits for a wake, a stop or the time given; false when stopping.
  bool Pause(std::chrono::milliseconds time);
  void Publish(bool clean, bool away);
  // Marks in the station's file what the server stored or refused of `units`; false when the
  // forwarder is to stop.
  bool Settle(LocalStore& local, const std::vector<StoredUnit>& units, ServerStore::Sent sent,
              std::size_t refused, const std::string& error);

  std::filesystem::path store_;
  std::string url_;
  std::string target_;
  std::unique_ptr<ServerStore> server_;
  Report report_;

  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::uint64_t wanted_ = 1;  // wakes asked for: the first look, at the start, counts as one
  std::uint64_t seen_ = 0;    // the wakes a look at the outbox has taken in
  std::uint64_t clean_ = 0;   // the wakes up to which the outbox was found empty
  bool away_ = false;         // the last try to reach the server failed
  std::thread thread_;
};

}  // namespace burnwell::history
