#include "history/ServerStore.h"

#include <libpq-fe.h>

#include <array>
#include <cstdlib>
#include <regex>

namespace burnwell::history {
namespace {

// Only one station at a time makes or changes the tables (pg_advisory_xact_lock's key).
constexpr const char* kLayoutLock = "SELECT pg_advisory_xact_lock(4779876463781990220)";

// Each step brings the tables from the version before it to its own (index 0: from none to 1).
constexpr std::array<const char*, kServerSchemaVersion> kMigrations = {
    R"(CREATE TABLE burnwell_units (
         id bigserial PRIMARY KEY,
         origin text NOT NULL, local_id bigint NOT NULL,
         received timestamptz NOT NULL DEFAULT now(),
         time timestamptz NOT NULL, station text NOT NULL, program text NOT NULL,
         version text NOT NULL, command text NOT NULL, serial text, usb text, vid text, pid text,
         firmware text, memory text, code_size bigint, file_name text, file_type text,
         file_checksum text, file_product text, file_code_length bigint, flash_before text,
         flash_after text, result text NOT NULL, passes integer NOT NULL, error_text text,
         error_code integer, phase_seconds jsonb NOT NULL, seconds double precision NOT NULL,
         UNIQUE (origin, local_id));
       CREATE INDEX burnwell_units_serial ON burnwell_units (serial);
       CREATE INDEX burnwell_units_file_checksum ON burnwell_units (file_checksum);
       CREATE INDEX burnwell_units_time ON burnwell_units (time);)",
};

// A result cleared on every way out.
struct Result {
  PGresult* result;
  explicit Result(PGresult* r) : result(r) {}
  ~Result() { PQclear(result); }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  ExecStatusType Status() const { return PQresultStatus(result); }
  bool Ok() const { return Status() == PGRES_COMMAND_OK || Status() == PGRES_TUPLES_OK; }
  std::string State() const {
    const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    return state ? state : "";
  }
};

std::string ErrorOf(pg_conn* connection) {
  std::string text = PQerrorMessage(connection);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

bool Execute(pg_conn* connection, const char* sql, std::string& error) {
  Result result(PQexec(connection, sql));
  if (result.Ok()) return true;
  error = ErrorOf(connection);
  return false;
}

// The statement's mark for a parameter, cast to its column's type.
std::string Placeholder(int n, ColumnKind kind) {
  const std::string mark = "$" + std::to_string(n);
  switch (kind) {
    case ColumnKind::Integer: return mark + "::bigint";
    case ColumnKind::Real: return mark + "::double precision";
    case ColumnKind::Time: return mark + "::timestamptz";
    case ColumnKind::Object: return mark + "::jsonb";
    case ColumnKind::Text: break;
  }
  return mark;
}

// A column as text in the answer: times in the records' own UTC form.
std::string Selected(const Column& column) {
  if (column.kind == ColumnKind::Time)
    return std::string("to_char(") + column.name.data() +
           " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
  if (column.kind == ColumnKind::Object) return std::string(column.name) + "::text";
  return std::string(column.name);
}

std::optional<std::string> AsText(const Json& value) {
  if (value.is_null()) return std::nullopt;
  if (value.is_string()) return value.get<std::string>();
  return value.dump();
}

Json FromText(const char* text, ColumnKind kind) {
  switch (kind) {
    case ColumnKind::Integer: return std::strtoll(text, nullptr, 10);
    case ColumnKind::Real: return std::strtod(text, nullptr);
    case ColumnKind::Object: return Json::parse(text, nullptr, false);
    case ColumnKind::Text:
    case ColumnKind::Time: break;
  }
  return std::string(text);
}

// A row the server refuses for its own values (a value out of range, a broken constraint),
// rather than a server that cannot take rows now.
bool RowRefused(const std::string& state) {
  return state.rfind("22", 0) == 0 || state.rfind("23", 0) == 0;
}

}  // namespace

std::string UrlWithoutPassword(const std::string& url) {
  // user:password@ in the authority, and a password= parameter.
  static const std::regex authority(R"(^([a-zA-Z]+://[^/@:]*):[^/@]*@)");
  static const std::regex parameter(R"(([?&]password=)[^&]*)");
  return std::regex_replace(std::regex_replace(url, authority, "$1@"), parameter, "$1");
}

std::unique_ptr<ServerStore> ServerStore::Connect(const std::string& url, std::string& error) {
  // The URL's own settings come later and win over these defaults.
  // A server that stops answering mid-statement is given up after 10 s rather than waited on.
  const char* keys[] = {"connect_timeout", "tcp_user_timeout", "application_name", "dbname",
                        nullptr};
  const char* values[] = {"5", "10000", "burnwell", url.c_str(), nullptr};
  pg_conn* connection = PQconnectdbParams(keys, values, 1);
  if (connection == nullptr) {
    error = "out of memory";
    return nullptr;
  }
  std::unique_ptr<ServerStore> store(new ServerStore(connection));
  if (PQstatus(connection) != CONNECTION_OK) {
    error = ErrorOf(connection);
    return nullptr;
  }
  PQsetNoticeProcessor(
      connection, [](void*, const char*) {}, nullptr);
  if (!store->Prepare(error)) return nullptr;
  return store;
}

ServerStore::~ServerStore() { PQfinish(connection_); }

bool ServerStore::Usable() const { return PQstatus(connection_) == CONNECTION_OK; }

bool ServerStore::Prepare(std::string& error) {
  if (!Execute(connection_, "SET TIME ZONE 'UTC'", error)) return false;
  if (!Execute(connection_, "BEGIN", error)) return false;
  auto fail = [&] {
    std::string ignored;
    Execute(connection_, "ROLLBACK", ignored);
    return false;
  };
  if (!Execute(connection_, kLayoutLock, error) ||
      !Execute(connection_,
               "CREATE TABLE IF NOT EXISTS burnwell_meta (key text PRIMARY KEY, value text NOT "
               "NULL)",
               error))
    return fail();
  int version = 0;
  {
    Result current(
        PQexec(connection_, "SELECT value FROM burnwell_meta WHERE key = 'schema_version'"));
    if (!current.Ok()) {
      error = ErrorOf(connection_);
      return fail();
    }
    if (PQntuples(current.result) == 1) version = std::atoi(PQgetvalue(current.result, 0, 0));
  }
  if (version > kServerSchemaVersion) {
    error = "the server's tables were made by a newer Burnwell (history layout " +
            std::to_string(version) + "; this program knows layouts up to " +
            std::to_string(kServerSchemaVersion) + "); they were left unchanged";
    return fail();
  }
  for (int step = version; step < kServerSchemaVersion; ++step)
    if (!Execute(connection_, kMigrations[static_cast<std::size_t>(step)], error)) return fail();
  if (version < kServerSchemaVersion) {
    const std::string stamp = "INSERT INTO burnwell_meta (key, value) VALUES ('schema_version', '" +
                              std::to_string(kServerSchemaVersion) +
                              "') ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value";
    if (!Execute(connection_, stamp.c_str(), error)) return fail();
  }
  return Execute(connection_, "COMMIT", error) || fail();
}

ServerStore::Sent ServerStore::Send(const std::vector<StoredUnit>& units, std::size_t& refused,
                                    std::string& error) {
  std::string columns = "origin, local_id, " + ColumnList();
  std::string marks = "$1, $2::bigint";
  for (std::size_t i = 0; i < kColumns.size(); ++i)
    marks += ", " + Placeholder(static_cast<int>(i + 3), kColumns[i].kind);
  const std::string insert = "INSERT INTO burnwell_units (" + columns + ") VALUES (" + marks +
                             ") ON CONFLICT (origin, local_id) DO NOTHING";
  auto away = [&] {
    std::string ignored;
    if (Usable()) Execute(connection_, "ROLLBACK", ignored);
    return Sent::Unavailable;
  };
  if (!Execute(connection_, "BEGIN", error)) return away();
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::vector<std::optional<std::string>> texts;
    texts.push_back(units[i].origin);
    texts.push_back(std::to_string(units[i].id));
    for (const Json& value : ColumnValues(units[i].record)) texts.push_back(AsText(value));
    std::vector<const char*> parameters;
    for (const auto& text : texts) parameters.push_back(text ? text->c_str() : nullptr);
    Result result(PQexecParams(connection_, insert.c_str(), static_cast<int>(parameters.size()),
                               nullptr, parameters.data(), nullptr, nullptr, 0));
    if (result.Ok()) continue;
    error = ErrorOf(connection_);
    if (Usable() && RowRefused(result.State())) {
      std::string ignored;
      Execute(connection_, "ROLLBACK", ignored);
      refused = i;
      return Sent::Rejected;
    }
    return away();
  }
  if (!Execute(connection_, "COMMIT", error)) return away();
  return Sent::Stored;
}

std::optional<std::vector<StoredUnit>> ServerStore::Find(const HistoryFilter& filter,
                                                         std::string& error) {
  std::string select = "SELECT local_id, origin";
  for (const Column& column : kColumns) select += ", " + Selected(column);
  std::vector<std::string> parameters;
  select += " FROM burnwell_units" + WhereClause(filter, Placeholder, parameters) +
            " ORDER BY time DESC, id DESC";
  if (filter.limit) select += " LIMIT " + std::to_string(*filter.limit);
  std::vector<const char*> values;
  for (const std::string& parameter : parameters) values.push_back(parameter.c_str());
  Result result(PQexecParams(connection_, select.c_str(), static_cast<int>(values.size()), nullptr,
                             values.data(), nullptr, nullptr, 0));
  if (result.Status() != PGRES_TUPLES_OK) {
    error = ErrorOf(connection_);
    return std::nullopt;
  }
  std::vector<StoredUnit> units;
  const int rows = PQntuples(result.result);
  for (int row = 0; row < rows; ++row) {
    std::vector<Json> columns;
    for (std::size_t i = 0; i < kColumns.size(); ++i) {
      const int at = static_cast<int>(i) + 2;
      columns.push_back(PQgetisnull(result.result, row, at)
                            ? Json(nullptr)
                            : FromText(PQgetvalue(result.result, row, at), kColumns[i].kind));
    }
    if (auto record = RecordFromColumns(columns))
      units.push_back({std::strtoll(PQgetvalue(result.result, row, 0), nullptr, 10),
                       PQgetvalue(result.result, row, 1), std::move(*record)});
  }
  return units;
}

}  // namespace burnwell::history
