#include "tools/dbsetup/core/upgrade_rows.h"

#include <sql.h>
#include <sqlext.h>

#include "server/data/sql_dialect.h"

namespace qn::dbsetup {

namespace {

template <class Work>
auto Guard(Work work) {
  try {
    return work();
  } catch (const CDBException&) {
    throw;
  } catch (const qn::odbc::Error& e) {
    throw CDBException(e);
  }
}

std::string SelectOf(const OldTable& table) {
  std::string sql = "SELECT ";
  for (size_t i = 0; i < table.columns.size(); ++i) {
    if (i) sql += ", ";
    sql += "[" + std::string(table.columns[i].name) + "]";
  }
  return sql + " FROM [" + table.table + "]";
}

}  // namespace

OldRows::OldRows(CDatabase& database, const OldTable& table)
    : table_(table), statement_(database.Connection()), values_(table.columns.size()) {
  Guard([&] {
    statement_.ExecuteDirect(SelectOf(table));
    return 0;
  });
}

bool OldRows::Next() {
  return Guard([&] {
    if (!statement_.Fetch()) return false;
    for (size_t i = 0; i < table_.columns.size(); ++i) {
      const int column = static_cast<int>(i + 1);
      Value& value = values_[i];
      switch (table_.columns[i].kind) {
        case OldKind::T:
        case OldKind::M: {
          std::string text;
          if (statement_.GetText(column, text, table_.columns[i].kind == OldKind::T ? kOldTextWidth : 0))
            value = std::move(text);
          else
            value = std::monostate{};
          break;
        }
        case OldKind::L:
        case OldKind::I:
        case OldKind::Y:
        case OldKind::B: {
          int32_t number = 0;
          if (statement_.GetInt32(column, number)) value = number;
          else value = std::monostate{};
          break;
        }
        case OldKind::D: {
          qn::odbc::Timestamp time;
          if (statement_.GetTimestamp(column, time)) value = time;
          else value = std::monostate{};
          break;
        }
        case OldKind::F: {
          double number = 0;
          if (statement_.GetDouble(column, number)) value = number;
          else value = std::monostate{};
          break;
        }
      }
    }
    return true;
  });
}

std::optional<int32_t> OldRows::Number(size_t index) const {
  if (const int32_t* number = std::get_if<int32_t>(&values_[index])) return *number;
  return std::nullopt;
}

std::string OldRows::Text(size_t index) const {
  if (const std::string* text = std::get_if<std::string>(&values_[index])) return *text;
  return {};
}

NewRows::NewRows(CDatabase& database, const char* table, std::vector<NewColumn> columns, const char* identity)
    : database_(database),
      columns_(std::move(columns)),
      keyed_(identity != nullptr && *identity != 0),
      returning_(keyed_ && database.Dialect() == SqlDialect::PostgreSQL),
      storedTrue_(static_cast<int16_t>(StoredTrue(database.Dialect()))) {
  std::string names, markers;
  for (const NewColumn& column : columns_) {
    names += (names.empty() ? "" : ", ") + std::string(column.name);
    markers += markers.empty() ? "?" : ", ?";
  }
  std::string sql = "INSERT INTO " + std::string(table) + " (" + names + ") VALUES (" + markers + ")";
  // PostgreSQL tells the new number with the insert itself.
  if (returning_) sql += " RETURNING " + std::string(identity);
  Guard([&] {
    insert_ = std::make_unique<qn::odbc::Statement>(database.Connection());
    insert_->Prepare(sql);
    return 0;
  });
}

NewRows::~NewRows() = default;

int32_t NewRows::Insert(std::vector<Value> values) {
  std::vector<qn::odbc::Param> params(columns_.size());
  for (size_t i = 0; i < columns_.size(); ++i) {
    Value& value = values[i];
    qn::odbc::Param& param = params[i];
    const int32_t* number = std::get_if<int32_t>(&value);
    switch (columns_[i].type) {
      case NewType::Text:
        param.sqlType = SQL_VARCHAR;
        if (number) param.value = std::to_string(*number);
        else param.value = std::move(value);
        break;
      case NewType::Long:
        param.sqlType = SQL_INTEGER;
        param.value = std::move(value);
        break;
      case NewType::Short:
        param.sqlType = SQL_SMALLINT;
        if (number) param.value = static_cast<int16_t>(*number);
        else param.value = std::move(value);
        break;
      case NewType::Bool:
        param.sqlType = SQL_SMALLINT;
        if (number) param.value = static_cast<int16_t>(*number ? storedTrue_ : 0);
        else param.value = std::move(value);
        break;
      case NewType::Date:
        param.sqlType = SQL_TYPE_TIMESTAMP;
        param.value = std::move(value);
        break;
      case NewType::Double:
        param.sqlType = SQL_DOUBLE;
        param.value = std::move(value);
        break;
    }
  }
  return Guard([&] {
    insert_->BindParams(std::move(params));
    insert_->Execute();
    if (!keyed_) return 0;
    int32_t key = 0;
    if (returning_) {
      if (insert_->Fetch()) insert_->GetInt32(1, key);
      insert_->CloseCursor();
      return key;
    }
    return database_.LastIdentity();
  });
}

}  // namespace qn::dbsetup
