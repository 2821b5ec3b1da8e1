// The station's own history: one SQLite file, one row per unit. Every row is its own
// transaction, committed durably (write-ahead log, synchronous commits) before the caller goes
// on, so a program killed at any moment leaves whole rows or none. Rows meant for the line's
// server wait in the same file (the outbox) until the forwarder has sent them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/Columns.h"

struct sqlite3;

namespace burnwell::history {

// The layout of the file this program writes; an older file is brought forward on opening, a
// newer one is refused and left as it is.
inline constexpr int kLocalSchemaVersion = 1;

// A row waiting for a server: its number, the server (its URL without a password), the record,
// and why the server refused it when it did (such a row is kept and not sent again).
struct WaitingUnit {
  std::int64_t id = 0;
  std::string target;
  std::string rejected;
  UnitRecord record;
};

class LocalStore {
 public:
  enum class Mode { Write, Read };
  // Opens the file (Write creates it and its folder when missing). Nothing, and why in error,
  // when it cannot be used: not a database, another program's database, one written by a newer
  // Burnwell, unreadable, read-only for Write.
  static std::unique_ptr<LocalStore> Open(const std::filesystem::path& path, Mode mode,
                                          std::string& error);
  ~LocalStore();
  LocalStore(const LocalStore&) = delete;
  LocalStore& operator=(const LocalStore&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // This file's own identity, made when it was created: with a row's number it names the row
  // on every server it is sent to.
  const std::string& Origin() const { return origin_; }

  // Commits the record as a new row (and, with a target, its place in the outbox, in the same
  // transaction). The row's number, or nothing and why in error.
  std::optional<std::int64_t> Append(const UnitRecord& record, const std::string& target,
                                     std::string& error);

  // The rows the filter asks for, newest first; nothing and why in error when the query failed.
  std::optional<std::vector<StoredUnit>> Find(const HistoryFilter& filter, std::string& error);

  // Rows in the outbox, oldest first: for one target only when given; rejected ones only with
  // withRejected.
  std::optional<std::vector<WaitingUnit>> Waiting(const std::optional<std::string>& target,
                                                  bool withRejected, std::size_t limit,
                                                  std::string& error);
  // How many rows wait in the outbox (for one target when given), rejected ones or the others.
  std::optional<std::size_t> CountWaiting(const std::optional<std::string>& target, bool rejected,
                                          std::string& error);
  // The server holds these rows now: they leave the outbox (one transaction).
  bool MarkSent(const std::vector<std::int64_t>& ids, std::string& error);
  // The server refused the row for good: it stays, marked with why, and is not sent again.
  bool MarkRejected(std::int64_t id, const std::string& why, std::string& error);

 private:
  LocalStore(sqlite3* db, std::filesystem::path path) : db_(db), path_(std::move(path)) {}
  bool Prepare(Mode mode, std::string& error);

  sqlite3* db_;
  std::filesystem::path path_;
  std::string origin_;
};

}  // namespace burnwell::history
