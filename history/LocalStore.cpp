#include "history/LocalStore.h"

#include <sqlite3.h>

#include <array>
#include <random>
#include <system_error>

#include "common/Hex.h"

namespace burnwell::history {
namespace {

// Marks the file as ours (PRAGMA application_id): "BWHL".
constexpr int kApplicationId = 0x4257484C;
// Another writer (a second station process on the same file) holds the lock at most this long.
constexpr int kBusyTimeoutMs = 15000;

// Each step brings a file from the version before it to its own (index 0: from none to 1).
constexpr std::array<const char*, kLocalSchemaVersion> kMigrations = {
    R"(CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
       CREATE TABLE units (
         id INTEGER PRIMARY KEY AUTOINCREMENT,
         time TEXT NOT NULL, station TEXT NOT NULL, program TEXT NOT NULL, version TEXT NOT NULL,
         command TEXT NOT NULL, serial TEXT, usb TEXT, vid TEXT, pid TEXT, firmware TEXT,
         memory TEXT, code_size INTEGER, file_name TEXT, file_type TEXT, file_checksum TEXT,
         file_product TEXT, file_code_length INTEGER, flash_before TEXT, flash_after TEXT,
         result TEXT NOT NULL, passes INTEGER NOT NULL, error_text TEXT, error_code INTEGER,
         phase_seconds TEXT NOT NULL, seconds REAL NOT NULL);
       CREATE INDEX units_serial ON units (serial);
       CREATE INDEX units_file_checksum ON units (file_checksum);
       CREATE INDEX units_time ON units (time);
       CREATE TABLE outbox (unit_id INTEGER PRIMARY KEY REFERENCES units (id),
                            target TEXT NOT NULL, rejected TEXT);)",
};

// One prepared statement, finalized on every way out.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK)
      statement_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  explicit operator bool() const { return statement_ != nullptr; }
  sqlite3_stmt* get() const { return statement_; }

  void Bind(int at, const Json& value) {
    if (value.is_string()) {
      const std::string& text = value.get_ref<const std::string&>();
      sqlite3_bind_text(statement_, at, text.c_str(), static_cast<int>(text.size()),
                        SQLITE_TRANSIENT);
    } else if (value.is_number_integer()) {
      sqlite3_bind_int64(statement_, at, value.get<std::int64_t>());
    } else if (value.is_number()) {
      sqlite3_bind_double(statement_, at, value.get<double>());
    } else if (value.is_null()) {
      sqlite3_bind_null(statement_, at);
    } else {
      Bind(at, Json(value.dump()));
    }
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return sqlite3_step(statement_); }
  // True when the statement was prepared and its next step gives `wanted` (SQLITE_ROW or
  // SQLITE_DONE); otherwise the database's error.
  bool StepsTo(int wanted, std::string& error) {
    return (statement_ && Step() == wanted) || Failed(error);
  }
  // Hands every row to `row`; false with the database's error when a step fails.
  template <typename Row>
  bool EachRow(std::string& error, const Row& row) {
    int step = SQLITE_MISUSE;
    while (statement_ && (step = Step()) == SQLITE_ROW) row();
    return step == SQLITE_DONE || Failed(error);
  }

  Json Value(int at, ColumnKind kind) const {
    if (sqlite3_column_type(statement_, at) == SQLITE_NULL) return nullptr;
    switch (kind) {
      case ColumnKind::Integer: return sqlite3_column_int64(statement_, at);
      case ColumnKind::Real: return sqlite3_column_double(statement_, at);
      case ColumnKind::Object: return Json::parse(Text(at), nullptr, false);
      case ColumnKind::Text:
      case ColumnKind::Time: break;
    }
    return Text(at);
  }
  std::string Text(int at) const {
    const unsigned char* text = sqlite3_column_text(statement_, at);
    return text ? reinterpret_cast<const char*>(text) : "";
  }

 private:
  bool Failed(std::string& error) const {
    error = sqlite3_errmsg(db_);
    return false;
  }

  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

bool Execute(sqlite3* db, const char* sql, std::string& error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  error = message ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return false;
}

std::optional<std::int64_t> Number(sqlite3* db, const char* sql, std::string& error) {
  Statement statement(db, sql);
  if (!statement.StepsTo(SQLITE_ROW, error)) return std::nullopt;
  return sqlite3_column_int64(statement.get(), 0);
}

std::string NewOrigin() {
  std::random_device random;
  std::string origin;
  for (int i = 0; i < 4; ++i) origin += Hex(random(), 8);
  return origin;
}

std::optional<UnitRecord> RecordAt(const Statement& statement, int first) {
  std::vector<Json> values;
  values.reserve(kColumns.size());
  for (std::size_t i = 0; i < kColumns.size(); ++i)
    values.push_back(statement.Value(first + static_cast<int>(i), kColumns[i].kind));
  return RecordFromColumns(values);
}

// Rolls back a transaction that did not reach its commit.
class Transaction {
 public:
  Transaction(sqlite3* db, std::string& error) : db_(db) {
    begun_ = Execute(db, "BEGIN IMMEDIATE", error);
  }
  ~Transaction() {
    std::string ignored;
    if (begun_ && !committed_) Execute(db_, "ROLLBACK", ignored);
  }
  bool Begun() const { return begun_; }
  bool Commit(std::string& error) { return committed_ = Execute(db_, "COMMIT", error); }

 private:
  sqlite3* db_;
  bool begun_ = false;
  bool committed_ = false;
};

}  // namespace

std::unique_ptr<LocalStore> LocalStore::Open(const std::filesystem::path& path, Mode mode,
                                             std::string& error) {
  std::error_code failed;
  if (mode == Mode::Read && !std::filesystem::exists(path, failed)) {
    error = "no history at " + path.string() + " (nothing has been recorded there)";
    return nullptr;
  }
  if (mode == Mode::Write && path.has_parent_path()) {
    std::filesystem::create_directories(path.parent_path(), failed);
    if (failed) {
      error = "cannot make the folder " + path.parent_path().string() + ": " + failed.message();
      return nullptr;
    }
  }
  sqlite3* db = nullptr;
  const int flags =
      mode == Mode::Write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
  if (sqlite3_open_v2(path.string().c_str(), &db, flags, nullptr) != SQLITE_OK) {
    error = "cannot open the history " + path.string() + ": " +
            (db ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<LocalStore> store(new LocalStore(db, path));
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  std::string why;
  if (!store->Prepare(mode, why)) {
    error = "the history " + path.string() + " cannot be used: " + why;
    return nullptr;
  }
  return store;
}

LocalStore::~LocalStore() { sqlite3_close(db_); }

bool LocalStore::Prepare(Mode mode, std::string& error) {
  const auto application = Number(db_, "PRAGMA application_id", error);
  const auto version = Number(db_, "PRAGMA user_version", error);
  const auto tables = Number(db_, "SELECT count(*) FROM sqlite_master", error);
  if (!application || !version || !tables) {
    // sqlite3_open_v2 opens lazily: a file it may not read or create fails only here.
    const int code = sqlite3_errcode(db_) & 0xFF;
    error = code == SQLITE_NOTADB || code == SQLITE_CORRUPT
                ? "it is not a database, or it is damaged (" + error + ")"
                : "it cannot be opened (" + error + ")";
    return false;
  }
  const bool fresh = *application == 0 && *version == 0 && *tables == 0;
  if (!fresh && *application != kApplicationId) {
    error = "it is another program's database, not a Burnwell history; it was left unchanged";
    return false;
  }
  if (*version > kLocalSchemaVersion) {
    error = "it was written by a newer Burnwell (history layout " + std::to_string(*version) +
            "; this program knows layouts up to " + std::to_string(kLocalSchemaVersion) +
            "); it was left unchanged";
    return false;
  }
  if (mode == Mode::Read) {
    if (fresh) {
      error = "nothing has been recorded in it yet";
      return false;
    }
    if (*version < kLocalSchemaVersion) {
      error = "it was written by an older Burnwell; recording once with this one brings it forward";
      return false;
    }
  } else {
    // Durable commits: the write-ahead log is synced at every commit.
    {
      Statement journal(db_, "PRAGMA journal_mode=WAL");
      if (!journal || journal.Step() != SQLITE_ROW || journal.Text(0) != "wal") {
        error = std::string("the write-ahead log cannot be used: ") + sqlite3_errmsg(db_);
        return false;
      }
    }
    if (!Execute(db_, "PRAGMA synchronous=FULL", error)) return false;
    if (*version < kLocalSchemaVersion) {
      Transaction transaction(db_, error);
      if (!transaction.Begun()) return false;
      // Another process may have brought it forward meanwhile.
      const auto now = Number(db_, "PRAGMA user_version", error);
      if (!now) return false;
      for (auto step = *now; step < kLocalSchemaVersion; ++step)
        if (!Execute(db_, kMigrations[static_cast<std::size_t>(step)], error)) return false;
      if (*now == 0) {
        Statement origin(db_, "INSERT INTO meta (key, value) VALUES ('origin', ?)");
        origin.Bind(1, NewOrigin());
        if (!origin.StepsTo(SQLITE_DONE, error)) return false;
      }
      const std::string stamp = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                                "; PRAGMA user_version=" + std::to_string(kLocalSchemaVersion);
      if (!Execute(db_, stamp.c_str(), error) || !transaction.Commit(error)) return false;
    }
  }
  Statement origin(db_, "SELECT value FROM meta WHERE key = 'origin'");
  if (!origin || origin.Step() != SQLITE_ROW) {
    error = std::string("it has no identity (") + sqlite3_errmsg(db_) + ")";
    return false;
  }
  origin_ = origin.Text(0);
  return true;
}

std::optional<std::int64_t> LocalStore::Append(const UnitRecord& record, const std::string& target,
                                               std::string& error) {
  Transaction transaction(db_, error);
  if (!transaction.Begun()) return std::nullopt;
  std::string marks;
  for (std::size_t i = 0; i < kColumns.size(); ++i) marks += i == 0 ? "?" : ", ?";
  Statement insert(db_, "INSERT INTO units (" + ColumnList() + ") VALUES (" + marks + ")");
  const std::vector<Json> values = ColumnValues(record);
  for (std::size_t i = 0; i < values.size(); ++i) insert.Bind(static_cast<int>(i + 1), values[i]);
  if (!insert.StepsTo(SQLITE_DONE, error)) return std::nullopt;
  const std::int64_t id = sqlite3_last_insert_rowid(db_);
  if (!target.empty()) {
    Statement outbox(db_, "INSERT INTO outbox (unit_id, target) VALUES (?, ?)");
    outbox.Bind(1, id);
    outbox.Bind(2, target);
    if (!outbox.StepsTo(SQLITE_DONE, error)) return std::nullopt;
  }
  if (!transaction.Commit(error)) return std::nullopt;
  return id;
}

std::optional<std::vector<StoredUnit>> LocalStore::Find(const HistoryFilter& filter,
                                                        std::string& error) {
  std::vector<std::string> parameters;
  std::string sql = "SELECT units.id, " + ColumnList() + " FROM units" +
                    WhereClause(
                        filter, [](int, ColumnKind) -> std::string { return "?"; }, parameters) +
                    " ORDER BY time DESC, id DESC";
  if (filter.limit) sql += " LIMIT " + std::to_string(*filter.limit);
  Statement query(db_, sql);
  for (std::size_t i = 0; i < parameters.size(); ++i)
    query.Bind(static_cast<int>(i + 1), parameters[i]);
  std::vector<StoredUnit> units;
  const bool read = query.EachRow(error, [&] {
    if (auto record = RecordAt(query, 1))
      units.push_back({sqlite3_column_int64(query.get(), 0), origin_, std::move(*record)});
  });
  if (!read) return std::nullopt;
  return units;
}

std::optional<std::vector<WaitingUnit>> LocalStore::Waiting(
    const std::optional<std::string>& target, bool withRejected, std::size_t limit,
    std::string& error) {
  std::string sql = "SELECT units.id, outbox.target, outbox.rejected, " + ColumnList() +
                    " FROM outbox JOIN units ON units.id = outbox.unit_id WHERE 1";
  if (target) sql += " AND outbox.target = ?";
  if (!withRejected) sql += " AND outbox.rejected IS NULL";
  sql += " ORDER BY units.id LIMIT " + std::to_string(limit);
  Statement query(db_, sql);
  if (target) query.Bind(1, *target);
  std::vector<WaitingUnit> units;
  const bool read = query.EachRow(error, [&] {
    if (auto record = RecordAt(query, 3)) {
      units.push_back(
          {sqlite3_column_int64(query.get(), 0), query.Text(1), query.Text(2), std::move(*record)});
    }
  });
  if (!read) return std::nullopt;
  return units;
}

std::optional<std::size_t> LocalStore::CountWaiting(const std::optional<std::string>& target,
                                                    bool rejected, std::string& error) {
  std::string sql = std::string("SELECT count(*) FROM outbox WHERE rejected IS ") +
                    (rejected ? "NOT NULL" : "NULL");
  if (target) sql += " AND target = ?";
  Statement query(db_, sql);
  if (target) query.Bind(1, *target);
  if (!query.StepsTo(SQLITE_ROW, error)) return std::nullopt;
  return static_cast<std::size_t>(sqlite3_column_int64(query.get(), 0));
}

bool LocalStore::MarkSent(const std::vector<std::int64_t>& ids, std::string& error) {
  Transaction transaction(db_, error);
  if (!transaction.Begun()) return false;
  Statement remove(db_, "DELETE FROM outbox WHERE unit_id = ?");
  for (const std::int64_t id : ids) {
    remove.Bind(1, id);
    if (!remove.StepsTo(SQLITE_DONE, error)) return false;
    sqlite3_reset(remove.get());
  }
  return transaction.Commit(error);
}

bool LocalStore::MarkRejected(std::int64_t id, const std::string& why, std::string& error) {
  Statement mark(db_, "UPDATE outbox SET rejected = ? WHERE unit_id = ?");
  mark.Bind(1, why.empty() ? std::string("refused") : why);
  mark.Bind(2, id);
  return mark.StepsTo(SQLITE_DONE, error);
}

}  // namespace burnwell::history
