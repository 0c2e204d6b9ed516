// RAII over an ODBC statement handle: parameters bound by value, typed reads
// of the current row's columns.
#pragma once
#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "platform/odbc_connection.h"

namespace qn::odbc {

struct Timestamp {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  bool operator==(const Timestamp&) const = default;
};

// A parameter value; monostate is SQL NULL.
using Value = std::variant<std::monostate, int32_t, int16_t, uint8_t, float, double, std::string,
                           Timestamp, std::vector<uint8_t>>;

struct Param {
  Value value;
  SQLSMALLINT sqlType = SQL_VARCHAR;  // the SQL type the driver is told
};

class Statement {
 public:
  explicit Statement(Connection& connection);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  void SetQueryTimeout(long seconds);
  // Binds copies of the values; they stay valid until the next BindParams.
  void BindParams(std::vector<Param> params);
  void Prepare(const std::string& sql);
  void Execute();
  void ExecuteDirect(const std::string& sql);

  // Moves to the next row; false past the last one.
  bool Fetch();
  void CloseCursor();
  int ColumnCount();
  std::string ColumnName(int column);
  // Rows touched by the last INSERT, UPDATE or DELETE (-1 if unknown).
  long RowCount();

  // Column numbers start at 1 and each column is read at most once per row,
  // in increasing order. Each returns false for NULL (the output is then
  // empty or 0). Text and bytes are cut to maxLength when it is not 0.
  bool GetText(int column, std::string& out, size_t maxLength = 0);
  bool GetInt32(int column, int32_t& out);
  bool GetDouble(int column, double& out);
  bool GetTimestamp(int column, Timestamp& out);
  bool GetBytes(int column, std::vector<uint8_t>& out, size_t maxLength = 0);

  SQLHSTMT Handle() const { return stmt_; }

 private:
  void Bind();
  // Check of a call that reaches the server: a failure that lost the
  // connection marks it.
  void CheckServerCall(SQLRETURN rc, const char* context, bool noDataIsOk = false);

  Connection* connection_;
  SQLHSTMT stmt_ = SQL_NULL_HSTMT;
  std::vector<Param> params_;
  std::vector<SQLLEN> indicators_;
  std::vector<SQL_TIMESTAMP_STRUCT> timestamps_;
  bool cursorOpen_ = false;
};

}  // namespace qn::odbc
