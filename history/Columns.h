// The columns a unit's row has, in both stores (the station's SQLite file and the line's
// PostgreSQL database), each bound to where its value sits in the record's JSON object: the
// row is the record, column by column, and turns back into it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/UnitRecord.h"

namespace burnwell::history {

enum class ColumnKind { Text, Integer, Real, Time, Object };

struct Column {
  std::string_view name;
  std::string_view pointer;  // JSON pointer into ToJson(record)
  ColumnKind kind;
  bool required;  // never null
};

inline constexpr std::array<Column, 25> kColumns{{
    {"time", "/time", ColumnKind::Time, true},
    {"station", "/station", ColumnKind::Text, true},
    {"program", "/program", ColumnKind::Text, true},
    {"version", "/version", ColumnKind::Text, true},
    {"command", "/command", ColumnKind::Text, true},
    {"serial", "/bridge/serial", ColumnKind::Text, false},
    {"usb", "/bridge/usb", ColumnKind::Text, false},
    {"vid", "/bridge/vid", ColumnKind::Text, false},
    {"pid", "/bridge/pid", ColumnKind::Text, false},
    {"firmware", "/bridge/firmware", ColumnKind::Text, false},
    {"memory", "/bridge/memory", ColumnKind::Text, false},
    {"code_size", "/bridge/code_size", ColumnKind::Integer, false},
    {"file_name", "/file/name", ColumnKind::Text, false},
    {"file_type", "/file/type", ColumnKind::Text, false},
    {"file_checksum", "/file/checksum", ColumnKind::Text, false},
    {"file_product", "/file/product", ColumnKind::Text, false},
    {"file_code_length", "/file/code_length", ColumnKind::Integer, false},
    {"flash_before", "/flash_before", ColumnKind::Text, false},
    {"flash_after", "/flash_after", ColumnKind::Text, false},
    {"result", "/result", ColumnKind::Text, true},
    {"passes", "/passes", ColumnKind::Integer, true},
    {"error_text", "/error/text", ColumnKind::Text, false},
    {"error_code", "/error/code", ColumnKind::Integer, false},
    {"phase_seconds", "/phase_seconds", ColumnKind::Object, true},
    {"seconds", "/seconds", ColumnKind::Real, true},
}};

// The record's value for each column, in column order (null where the record has none).
std::vector<Json> ColumnValues(const UnitRecord& record);
// The record a row's values make (values in column order, as the store handed them back).
std::optional<UnitRecord> RecordFromColumns(const std::vector<Json>& values);
// "time, station, ..." for statements.
std::string ColumnList();

// What `history` asks for. Every set field narrows the rows; the newest come first.
struct HistoryFilter {
  std::optional<std::string> serial;
  std::optional<std::string> checksum;  // the file's checksum, as four hex digits
  std::optional<std::string> result;    // a result name
  std::optional<std::string> station;
  std::optional<std::string> since;  // UTC, as UtcNow writes it: rows at or after
  std::optional<std::string> until;  // rows before
  std::optional<std::size_t> limit;
};

// The WHERE clause (with " WHERE " when anything is asked) and its parameters in order.
// placeholder(n, kind) writes the statement's mark for the n-th parameter (from 1).
std::string WhereClause(const HistoryFilter& filter,
                        std::string (*placeholder)(int n, ColumnKind kind),
                        std::vector<std::string>& parameters);

// A row as a store keeps it: its number there, the store it was first written to and the record.
struct StoredUnit {
  std::int64_t id = 0;
  std::string origin;
  UnitRecord record;
};

}  // namespace burnwell::history
