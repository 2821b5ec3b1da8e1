// The line's shared history: the same rows in a PostgreSQL database that every station writes
// to, through libpq. A row is known there by the station file it was first written to (its
// origin) and its number in that file, so a row sent twice is stored once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/Columns.h"

struct pg_conn;

namespace burnwell::history {

// The layout of the server's tables this program writes; an older one is brought forward, a
// newer one is refused and left as it is.
inline constexpr int kServerSchemaVersion = 1;

// A URL for messages and for the outbox: the password, when the URL carries one, left out.
std::string UrlWithoutPassword(const std::string& url);

class ServerStore {
 public:
  // Connects (within a few seconds) and makes or checks the tables. Nothing, and why in error,
  // when the server cannot be reached, refuses the credentials, or holds a newer layout.
  static std::unique_ptr<ServerStore> Connect(const std::string& url, std::string& error);
  ~ServerStore();
  ServerStore(const ServerStore&) = delete;
  ServerStore& operator=(const ServerStore&) = delete;

  enum class Sent {
    Stored,       // the server holds the rows (some may have been there already)
    Rejected,     // the server refuses one of the rows itself (its values): see `refused`
    Unavailable,  // the server is away or cannot take rows now: send them again later
  };
  // Sends rows in one transaction. On Rejected, refused is the index of the first refused row
  // in `units`, and nothing was stored.
  Sent Send(const std::vector<StoredUnit>& units, std::size_t& refused, std::string& error);

  // The rows the filter asks for, newest first.
  std::optional<std::vector<StoredUnit>> Find(const HistoryFilter& filter, std::string& error);

  // The connection is still up.
  bool Usable() const;

 private:
  explicit ServerStore(pg_conn* connection) : connection_(connection) {}
  bool Prepare(std::string& error);

  pg_conn* connection_;
};

}  // namespace burnwell::history
