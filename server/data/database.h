// An open ODBC connection as the system's code sees it, and the exception
// its failures come in.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/odbc_connection.h"
#include "platform/odbc_error.h"
#include "platform/odbc_statement.h"
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
  // Runs a statement with parameters that returns no rows; each text is
  // prepared once per connection (a recordset's INSERT, UPDATE and DELETE
  // texts repeat, their values are parameters). Returns the rows touched.
  // Throws CDBException.
  long ExecuteCached(const std::string& sql, std::vector<qn::odbc::Param> params);

  // The identity key of the row this connection inserted last. Throws
  // CDBException.
  int32_t LastIdentity();
  qn::odbc::Connection& Connection() { return connection_; }

  // Recordsets register while open: a connection with any is busy.
  int OpenRecordsetCount() const { return openRecordsets_; }
  void RecordsetOpened() { ++openRecordsets_; }
  void RecordsetClosed() {
    if (openRecordsets_ > 0) --openRecordsets_;
  }

 private:
  qn::odbc::Connection connection_;
  std::unique_ptr<qn::odbc::Statement> lastIdentity_;
  std::map<std::string, std::unique_ptr<qn::odbc::Statement>> prepared_;
  SqlDialect dialect_ = SqlDialect::SQLite;
  long queryTimeout_ = 15;
  int openRecordsets_ = 0;
};
