// RAII over the ODBC environment and connection handles.
#pragma once
#include <sql.h>
#include <sqlext.h>

#include <string>

namespace qn::odbc {

// The process-wide environment handle (ODBC 3 behaviour), made on first use
// and freed at exit after every connection.
SQLHENV SharedEnvironment();

class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // SQLDriverConnect without prompting; throws Error and stays closed on
  // failure.
  void Open(const std::string& connectString);
  void Close();
  bool IsOpen() const { return connected_; }
  // A statement failed in a way that leaves the connection unusable
  // (IsConnectionLost); only a new Open clears it.
  bool IsLost() const { return lost_; }
  void MarkLost() { lost_ = true; }

  // The DBMS name the driver reports ("SQLite", "PostgreSQL").
  const std::string& DbmsName() const { return dbmsName_; }
  // Runs a statement that returns no rows.
  void Execute(const std::string& sql, long timeoutSeconds = 0);

  SQLHDBC Handle() const { return dbc_; }

 private:
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  bool connected_ = false;
  bool lost_ = false;
  std::string dbmsName_;
};

}  // namespace qn::odbc
