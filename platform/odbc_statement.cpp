#include "platform/odbc_statement.h"

#include "platform/odbc_error.h"

namespace qn::odbc {

namespace {

SQLCHAR* Text(const std::string& sql) {
  return reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str()));
}

}  // namespace

Statement::Statement(Connection& connection) : connection_(&connection) {
  Check(SQLAllocHandle(SQL_HANDLE_STMT, connection.Handle(), &stmt_), SQL_HANDLE_DBC,
        connection.Handle(), "SQLAllocHandle(STMT)");
}

Statement::~Statement() {
  if (stmt_ != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
}

void Statement::CheckServerCall(SQLRETURN rc, const char* context, bool noDataIsOk) {
  try {
    Check(rc, SQL_HANDLE_STMT, stmt_, context, noDataIsOk);
  } catch (const Error& e) {
    if (IsConnectionLost(e)) connection_->MarkLost();
    throw;
  }
}

void Statement::SetQueryTimeout(long seconds) {
  // Drivers that cannot time out report "option value changed"; that is fine.
  SQLSetStmtAttr(stmt_, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0);
}

void Statement::BindParams(std::vector<Param> params) {
  SQLFreeStmt(stmt_, SQL_RESET_PARAMS);
  params_ = std::move(params);
  indicators_.assign(params_.size(), 0);
  timestamps_.assign(params_.size(), SQL_TIMESTAMP_STRUCT{});
  Bind();
}

void Statement::Bind() {
  for (size_t i = 0; i < params_.size(); ++i) {
    Param& p = params_[i];
    SQLLEN& indicator = indicators_[i];
    SQLSMALLINT cType = SQL_C_CHAR;
    SQLULEN columnSize = 0;
    SQLSMALLINT digits = 0;
    SQLPOINTER data = nullptr;
    SQLLEN bufferLength = 0;
    std::visit(
        [&](auto& v) {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, std::monostate>) {
            indicator = SQL_NULL_DATA;
            columnSize = 1;
          } else if constexpr (std::is_same_v<T, int32_t>) {
            cType = SQL_C_SLONG, data = &v, columnSize = 10;
          } else if constexpr (std::is_same_v<T, int16_t>) {
            cType = SQL_C_SSHORT, data = &v, columnSize = 5;
          } else if constexpr (std::is_same_v<T, uint8_t>) {
            cType = SQL_C_UTINYINT, data = &v, columnSize = 3;
          } else if constexpr (std::is_same_v<T, float>) {
            cType = SQL_C_FLOAT, data = &v, columnSize = 7;
          } else if constexpr (std::is_same_v<T, double>) {
            cType = SQL_C_DOUBLE, data = &v, columnSize = 15;
          } else if constexpr (std::is_same_v<T, std::string>) {
            cType = SQL_C_CHAR;
            data = v.data();
            indicator = static_cast<SQLLEN>(v.size());
            bufferLength = static_cast<SQLLEN>(v.size());
            columnSize = v.empty() ? 1 : v.size();
          } else if constexpr (std::is_same_v<T, Timestamp>) {
            SQL_TIMESTAMP_STRUCT& ts = timestamps_[i];
            ts.year = static_cast<SQLSMALLINT>(v.year);
            ts.month = static_cast<SQLUSMALLINT>(v.month);
            ts.day = static_cast<SQLUSMALLINT>(v.day);
            ts.hour = static_cast<SQLUSMALLINT>(v.hour);
            ts.minute = static_cast<SQLUSMALLINT>(v.minute);
            ts.second = static_cast<SQLUSMALLINT>(v.second);
            ts.fraction = 0;
            cType = SQL_C_TYPE_TIMESTAMP, data = &ts, columnSize = 19;
            bufferLength = sizeof ts;
          } else {
            cType = SQL_C_BINARY;
            data = v.data();
            indicator = static_cast<SQLLEN>(v.size());
            bufferLength = static_cast<SQLLEN>(v.size());
            columnSize = v.empty() ? 1 : v.size();
          }
        },
        p.value);
    SQLSMALLINT sqlType = p.sqlType;
    if (std::holds_alternative<Timestamp>(p.value)) sqlType = SQL_TYPE_TIMESTAMP;
    SQLRETURN rc = SQLBindParameter(stmt_, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, cType,
                                    sqlType, columnSize, digits, data, bufferLength, &indicator);
    Check(rc, SQL_HANDLE_STMT, stmt_, "SQLBindParameter");
  }
}

void Statement::Prepare(const std::string& sql) {
  CloseCursor();
  CheckServerCall(SQLPrepare(stmt_, Text(sql), static_cast<SQLINTEGER>(sql.size())), "SQLPrepare");
}

void Statement::Execute() {
  CloseCursor();
  CheckServerCall(SQLExecute(stmt_), "SQLExecute", true);
  cursorOpen_ = true;
}

void Statement::ExecuteDirect(const std::string& sql) {
  CloseCursor();
  CheckServerCall(SQLExecDirect(stmt_, Text(sql), static_cast<SQLINTEGER>(sql.size())),
                  "SQLExecDirect", true);
  cursorOpen_ = true;
}

bool Statement::Fetch() {
  SQLRETURN rc = SQLFetch(stmt_);
  if (rc == SQL_NO_DATA) return false;
  CheckServerCall(rc, "SQLFetch");
  return true;
}

void Statement::CloseCursor() {
  if (!cursorOpen_) return;
  SQLFreeStmt(stmt_, SQL_CLOSE);
  cursorOpen_ = false;
}

int Statement::ColumnCount() {
  SQLSMALLINT count = 0;
  CheckServerCall(SQLNumResultCols(stmt_, &count), "SQLNumResultCols");
  return count;
}

std::string Statement::ColumnName(int column) {
  SQLCHAR name[256] = {0};
  SQLSMALLINT length = 0, type = 0, digits = 0, nullable = 0;
  SQLULEN size = 0;
  Check(SQLDescribeCol(stmt_, static_cast<SQLUSMALLINT>(column), name, sizeof name, &length, &type,
                       &size, &digits, &nullable),
        SQL_HANDLE_STMT, stmt_, "SQLDescribeCol");
  return reinterpret_cast<char*>(name);
}

long Statement::RowCount() {
  SQLLEN count = -1;
  if (!SQL_SUCCEEDED(SQLRowCount(stmt_, &count))) return -1;
  return static_cast<long>(count);
}

bool Statement::GetText(int column, std::string& out, size_t maxLength) {
  out.clear();
  char buffer[4096];
  for (;;) {
    SQLLEN indicator = 0;
    SQLRETURN rc = SQLGetData(stmt_, static_cast<SQLUSMALLINT>(column), SQL_C_CHAR, buffer,
                              sizeof buffer, &indicator);
    if (rc == SQL_NO_DATA) break;
    Check(rc, SQL_HANDLE_STMT, stmt_, "SQLGetData(text)");
    if (indicator == SQL_NULL_DATA) return false;
    // With more to come the buffer is full less its terminating zero.
    size_t got = (indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(sizeof buffer))
                     ? sizeof buffer - 1
                     : static_cast<size_t>(indicator);
    out.append(buffer, got);
    if (rc == SQL_SUCCESS) break;
    if (maxLength != 0 && out.size() >= maxLength) break;
  }
  if (maxLength != 0 && out.size() > maxLength) out.resize(maxLength);
  return true;
}

bool Statement::GetInt32(int column, int32_t& out) {
  SQLINTEGER value = 0;
  SQLLEN indicator = 0;
  Check(SQLGetData(stmt_, static_cast<SQLUSMALLINT>(column), SQL_C_SLONG, &value, sizeof value,
                   &indicator),
        SQL_HANDLE_STMT, stmt_, "SQLGetData(integer)");
  out = indicator == SQL_NULL_DATA ? 0 : value;
  return indicator != SQL_NULL_DATA;
}

bool Statement::GetDouble(int column, double& out) {
  SQLDOUBLE value = 0;
  SQLLEN indicator = 0;
  Check(SQLGetData(stmt_, static_cast<SQLUSMALLINT>(column), SQL_C_DOUBLE, &value, sizeof value,
                   &indicator),
        SQL_HANDLE_STMT, stmt_, "SQLGetData(double)");
  out = indicator == SQL_NULL_DATA ? 0 : value;
  return indicator != SQL_NULL_DATA;
}

bool Statement::GetTimestamp(int column, Timestamp& out) {
  SQL_TIMESTAMP_STRUCT ts{};
  SQLLEN indicator = 0;
  Check(SQLGetData(stmt_, static_cast<SQLUSMALLINT>(column), SQL_C_TYPE_TIMESTAMP, &ts, sizeof ts,
                   &indicator),
        SQL_HANDLE_STMT, stmt_, "SQLGetData(timestamp)");
  out = Timestamp{};
  if (indicator == SQL_NULL_DATA) return false;
  out = Timestamp{ts.year, ts.month, ts.day, ts.hour, ts.minute, ts.second};
  return true;
}

bool Statement::GetBytes(int column, std::vector<uint8_t>& out, size_t maxLength) {
  out.clear();
  uint8_t buffer[4096];
  for (;;) {
    SQLLEN indicator = 0;
    SQLRETURN rc = SQLGetData(stmt_, static_cast<SQLUSMALLINT>(column), SQL_C_BINARY, buffer,
                              sizeof buffer, &indicator);
    if (rc == SQL_NO_DATA) break;
    Check(rc, SQL_HANDLE_STMT, stmt_, "SQLGetData(binary)");
    if (indicator == SQL_NULL_DATA) return false;
    size_t got = (indicator == SQL_NO_TOTAL || indicator > static_cast<SQLLEN>(sizeof buffer))
                     ? sizeof buffer
                     : static_cast<size_t>(indicator);
    out.insert(out.end(), buffer, buffer + got);
    if (rc == SQL_SUCCESS) break;
    if (maxLength != 0 && out.size() >= maxLength) break;
  }
  if (maxLength != 0 && out.size() > maxLength) out.resize(maxLength);
  return true;
}

}  // namespace qn::odbc
