#include "platform/odbc_error.h"

namespace qn::odbc {

Error::Error(std::string sqlState, long nativeCode, std::string message, std::string context)
    : std::runtime_error(context.empty() ? message : context + ": " + message),
      sqlState_(std::move(sqlState)),
      nativeCode_(nativeCode),
      driverText_(std::move(message)) {}

Error MakeError(SQLSMALLINT handleType, SQLHANDLE handle, const char* context) {
  SQLCHAR state[6] = "HY000";
  SQLINTEGER native = 0;
  SQLCHAR text[1024] = {0};
  SQLSMALLINT length = 0;
  std::string message;
  if (handle != SQL_NULL_HANDLE) {
    SQLRETURN rc = SQLGetDiagRec(handleType, handle, 1, state, &native, text, sizeof text, &length);
    if (SQL_SUCCEEDED(rc)) {
      message.assign(reinterpret_cast<char*>(text));
    } else {
      state[0] = 'H', state[1] = 'Y', state[2] = '0', state[3] = '0', state[4] = '0', state[5] = 0;
    }
  }
  if (message.empty()) message = "ODBC call failed without diagnostics";
  return Error(reinterpret_cast<char*>(state), native, message, context ? context : "");
}

bool IsConnectionLost(const Error& error) {
  const std::string& state = error.SqlState();
  return state.compare(0, 2, "08") == 0 || state == "57P01" || state == "57P02" ||
         state == "57P03";
}

void Check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const char* context,
           bool noDataIsOk) {
  if (SQL_SUCCEEDED(rc)) return;
  if (rc == SQL_NO_DATA && noDataIsOk) return;
  throw MakeError(handleType, handle, context);
}

}  // namespace qn::odbc
