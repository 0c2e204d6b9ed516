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

// Rows of a table whose numbers nobody needs go in batches, one statement
// of many rows each: the drivers' cost is per statement (the SQLite driver
// prepares each one anew, psqlODBC makes a round trip).
class NewRows {
 public:
  // Prepares the INSERT of `columns`; `identity` names the key column the
  // database numbers ("" for none), whose numbers Insert returns. Throws
  // CDBException.
  NewRows(CDatabase& database, const char* table, std::vector<NewColumn> columns, const char* identity = "");
  ~NewRows();
  // One row, the values in column order (NULL as monostate, numbers as
  // int32_t, BOOL as any number); returns the row's new number with an
  // identity key (the row is then written at once), else 0. Throws
  // CDBException.
  int32_t Insert(std::vector<Value> values);
  // Writes the rows still waiting; callers finish every table with it.
  void Finish();

 private:
  std::string Statement(size_t rows) const;

  CDatabase& database_;
  std::string table_;
  std::vector<NewColumn> columns_;
  std::string identity_;
  bool returning_;
  int16_t storedTrue_;
  size_t batchRows_;
  std::unique_ptr<qn::odbc::Statement> insert_;  // of batchRows_ rows
  std::vector<qn::odbc::Param> pending_;
  size_t pendingRows_ = 0;
};

}  // namespace qn::dbsetup
