#include "platform/odbc_connection.h"

#include <mutex>

#include "platform/odbc_error.h"
#include "platform/odbc_statement.h"

namespace qn::odbc {

namespace {

struct EnvironmentHolder {
  SQLHENV env = SQL_NULL_HENV;
  EnvironmentHolder() {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
      env = SQL_NULL_HENV;
      return;
    }
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  }
  ~EnvironmentHolder() {
    if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
  }
};

}  // namespace

SQLHENV SharedEnvironment() {
  static EnvironmentHolder holder;
  if (holder.env == SQL_NULL_HENV) throw Error("HY001", 0, "cannot allocate the ODBC environment", "");
  return holder.env;
}

// The handles are made at the first Open, so a process can still choose its
// configuration directory after constructing connection objects.
Connection::Connection() = default;

Connection::~Connection() {
  Close();
  if (dbc_ != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
}

void Connection::Open(const std::string& connectString) {
  Close();
  if (dbc_ == SQL_NULL_HDBC) {
    SQLHENV env = SharedEnvironment();
    Check(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc_), SQL_HANDLE_ENV, env, "SQLAllocHandle(DBC)");
  }
  SQLCHAR out[1024];
  SQLSMALLINT outLength = 0;
  SQLRETURN rc = SQLDriverConnect(dbc_, nullptr,
                                  reinterpret_cast<SQLCHAR*>(const_cast<char*>(connectString.c_str())),
                                  static_cast<SQLSMALLINT>(connectString.size()), out, sizeof out,
                                  &outLength, SQL_DRIVER_NOPROMPT);
  Check(rc, SQL_HANDLE_DBC, dbc_, "SQLDriverConnect");
  connected_ = true;
  lost_ = false;
  SQLCHAR name[128] = {0};
  SQLSMALLINT nameLength = 0;
  if (SQL_SUCCEEDED(SQLGetInfo(dbc_, SQL_DBMS_NAME, name, sizeof name, &nameLength)))
    dbmsName_.assign(reinterpret_cast<char*>(name));
}

void Connection::Close() {
  if (!connected_) return;
  SQLDisconnect(dbc_);
  connected_ = false;
  dbmsName_.clear();
}

void Connection::Execute(const std::string& sql, long timeoutSeconds) {
  Statement statement(*this);
  statement.SetQueryTimeout(timeoutSeconds);
  statement.ExecuteDirect(sql);
}

}  // namespace qn::odbc
