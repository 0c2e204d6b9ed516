// The two ends of a table copy: the rows of a version 1.0 table as its
// column table reads them, and a prepared INSERT into a current table that
// gives back the number the database gave each row.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/odbc_statement.h"
#include "server/data/database.h"
#include "tools/dbsetup/core/earlier_schema.h"

namespace qn::dbsetup {

using qn::odbc::Value;

class OldRows {
 public:
  // Runs SELECT of every column over the whole table. Throws CDBException.
  OldRows(CDatabase& database, const OldTable& table);
  // The next row into the values; false past the last one.
  bool Next();
  size_t Index(const char* column) const { return ColumnIndex(table_, column); }
  const Value& operator[](size_t index) const { return values_[index]; }
  // A number column's value; nullopt for NULL.
  std::optional<int32_t> Number(size_t index) const;
  // A text column's value; "" for NULL.
  std::string Text(size_t index) const;

 private:
  const OldTable& table_;
  qn::odbc::Statement statement_;
  std::vector<Value> values_;
};

enum class NewType { Text, Long, Short, Bool, Date, Double };

struct NewColumn {
  const char* name;
  NewType type;
};

class NewRows {
 public:
  // Prepares the INSERT of `columns`; `identity` names the key column the
  // database numbers ("" for none). Throws CDBException.
  NewRows(CDatabase& database, const char* table, std::vector<NewColumn> columns, const char* identity = "");
  ~NewRows();
  // One row, the values in column order (NULL as monostate, numbers as
  // int32_t, BOOL as any number); returns the row's new number, 0 without
  // an identity key. Throws CDBException.
  int32_t Insert(std::vector<Value> values);

 private:
  CDatabase& database_;
  std::vector<NewColumn> columns_;
  bool keyed_;
  bool returning_;
  int16_t storedTrue_;
  std::unique_ptr<qn::odbc::Statement> insert_;
};

}  // namespace qn::dbsetup
