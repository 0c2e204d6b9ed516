// An open ODBC connection as the system's code sees it, and the exception
// its failures come in.
#pragma once
#include <memory>
#include <string>

#include "platform/odbc_connection.h"
#include "platform/odbc_error.h"
#include "server/data/sql_dialect.h"

// A database failure: the SQLSTATE and the driver's text.
class CDBException : public qn::odbc::Error {
 public:
  explicit CDBException(const qn::odbc::Error& error) : qn::odbc::Error(error) {}
  CDBException(const std::string& sqlState, const std::string& message)
      : qn::odbc::Error(sqlState, 0, message, "") {}
};

class CDatabase {
 public:
  CDatabase();
  virtual ~CDatabase();
  CDatabase(const CDatabase&) = delete;
  CDatabase& operator=(const CDatabase&) = delete;

  // Opens the connection for a connect string in the system's form ("ODBC;"
  // prefix optional). Throws CDBException.
  void OpenEx(const std::string& connect);
  void Close();
  bool IsOpen() const { return connection_.IsOpen(); }

  // Runs a statement that returns no rows, after the dialect's rewrites.
  // Throws CDBException.
  void ExecuteSQL(const std::string& sql);

  // Seconds a statement may run; 0 is no limit.
  void SetQueryTimeout(long seconds) { queryTimeout_ = seconds; }
  long GetQueryTimeout() const { return queryTimeout_; }

  SqlDialect Dialect() const { return dialect_; }
  qn::odbc::Connection& Connection() { return connection_; }

  // Recordsets register while open: a connection with any is busy.
  int OpenRecordsetCount() const { return openRecordsets_; }
  void RecordsetOpened() { ++openRecordsets_; }
  void RecordsetClosed() {
    if (openRecordsets_ > 0) --openRecordsets_;
  }

 private:
  qn::odbc::Connection connection_;
  SqlDialect dialect_ = SqlDialect::SQLite;
  long queryTimeout_ = 15;
  int openRecordsets_ = 0;
};
