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

namespace {

// Rows per statement; SQLite takes at most 32,766 parameters a statement.
constexpr size_t kBatchRows = 64;

}  // namespace

NewRows::NewRows(CDatabase& database, const char* table, std::vector<NewColumn> columns, const char* identity)
    : database_(database),
      table_(table),
      columns_(std::move(columns)),
      identity_(identity ? identity : ""),
      returning_(!identity_.empty() && database.Dialect() == SqlDialect::PostgreSQL),
      storedTrue_(static_cast<int16_t>(StoredTrue(database.Dialect()))),
      batchRows_(identity_.empty() ? kBatchRows : 1) {
  Guard([&] {
    insert_ = std::make_unique<qn::odbc::Statement>(database.Connection());
    insert_->Prepare(Statement(batchRows_));
    return 0;
  });
  pending_.reserve(batchRows_ * columns_.size());
}

NewRows::~NewRows() = default;

std::string NewRows::Statement(size_t rows) const {
  std::string names, markers;
  for (const NewColumn& column : columns_) {
    names += (names.empty() ? "" : ", ") + std::string(column.name);
    markers += markers.empty() ? "?" : ", ?";
  }
  std::string sql = "INSERT INTO " + table_ + " (" + names + ") VALUES ";
  for (size_t row = 0; row < rows; ++row) sql += (row ? ", (" : "(") + markers + ")";
  // PostgreSQL tells the new number with the insert itself.
  if (returning_) sql += " RETURNING " + identity_;
  return sql;
}

int32_t NewRows::Insert(std::vector<Value> values) {
  for (size_t i = 0; i < columns_.size(); ++i) {
    Value& value = values[i];
    qn::odbc::Param param;
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
    pending_.push_back(std::move(param));
  }
  if (++pendingRows_ < batchRows_) return 0;
  return Guard([&] {
    insert_->BindParams(std::move(pending_));
    pending_.clear();
    pendingRows_ = 0;
    insert_->Execute();
    if (identity_.empty()) return 0;
    int32_t key = 0;
    if (returning_) {
      if (insert_->Fetch()) insert_->GetInt32(1, key);
      insert_->CloseCursor();
      return key;
    }
    return database_.LastIdentity();
  });
}

void NewRows::Finish() {
  if (pendingRows_ == 0) return;
  Guard([&] {
    qn::odbc::Statement rest(database_.Connection());
    rest.Prepare(Statement(pendingRows_));
    rest.BindParams(std::move(pending_));
    pending_.clear();
    pendingRows_ = 0;
    rest.Execute();
    return 0;
  });
}

}  // namespace qn::dbsetup
