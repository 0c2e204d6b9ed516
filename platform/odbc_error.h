// ODBC failures as exceptions: the SQLSTATE, the driver's native code and
// the driver's text of the first diagnostic record.
#pragma once
#include <sql.h>
#include <sqlext.h>

#include <stdexcept>
#include <string>

namespace qn::odbc {

class Error : public std::runtime_error {
 public:
  Error(std::string sqlState, long nativeCode, std::string message, std::string context);

  // Five characters ("42S02"); "HY000" when the driver gave none.
  const std::string& SqlState() const { return sqlState_; }
  long NativeCode() const { return nativeCode_; }
  // The driver's own text, without the context.
  const std::string& DriverText() const { return driverText_; }

 private:
  std::string sqlState_;
  long nativeCode_;
  std::string driverText_;
};

// Throws Error with the handle's diagnostics when `rc` is neither
// SQL_SUCCESS nor SQL_SUCCESS_WITH_INFO (nor SQL_NO_DATA when allowed).
void Check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const char* context,
           bool noDataIsOk = false);

// A failure after which the connection serves nothing more: SQLSTATE class
// 08 (connection exception) or the server's shutdown codes 57P01 to 57P03
// (PostgreSQL's administrator, crash and start-up shutdowns).
bool IsConnectionLost(const Error& error);

// Builds the exception from the first diagnostic record of the handle.
Error MakeError(SQLSMALLINT handleType, SQLHANDLE handle, const char* context);

}  // namespace qn::odbc
