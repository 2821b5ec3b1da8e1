#include "history/Columns.h"

namespace burnwell::history {

std::vector<Json> ColumnValues(const UnitRecord& record) {
  const Json json = ToJson(record);
  std::vector<Json> values;
  values.reserve(kColumns.size());
  for (const Column& column : kColumns) {
    const Json::json_pointer at{std::string(column.pointer)};
    values.push_back(json.contains(at) ? json.at(at) : Json(nullptr));
  }
  return values;
}

std::optional<UnitRecord> RecordFromColumns(const std::vector<Json>& values) {
  if (values.size() != kColumns.size()) return std::nullopt;
  Json json = Json::object();
  for (std::size_t i = 0; i < kColumns.size(); ++i) {
    if (values[i].is_null()) continue;
    json[Json::json_pointer{std::string(kColumns[i].pointer)}] = values[i];
  }
  return FromJson(json);
}

std::string ColumnList() {
  std::string list;
  for (const Column& column : kColumns) {
    if (!list.empty()) list += ", ";
    list += column.name;
  }
  return list;
}

std::string WhereClause(const HistoryFilter& filter,
                        std::string (*placeholder)(int n, ColumnKind kind),
                        std::vector<std::string>& parameters) {
  std::string where;
  auto add = [&](const std::optional<std::string>& value, const char* test, ColumnKind kind) {
    if (!value) return;
    parameters.push_back(*value);
    where += where.empty() ? " WHERE " : " AND ";
    where += test + placeholder(static_cast<int>(parameters.size()), kind);
  };
  add(filter.serial, "serial = ", ColumnKind::Text);
  add(filter.checksum, "file_checksum = ", ColumnKind::Text);
  add(filter.result, "result = ", ColumnKind::Text);
  add(filter.station, "station = ", ColumnKind::Text);
  add(filter.since, "time >= ", ColumnKind::Time);
  add(filter.until, "time < ", ColumnKind::Time);
  return where;
}

}  // namespace burnwell::history
