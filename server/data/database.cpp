#include "server/data/database.h"

#include "platform/odbc_statement.h"
#include "server/data/data_source.h"

CDatabase::CDatabase() = default;

CDatabase::~CDatabase() { Close(); }

void CDatabase::OpenEx(const std::string& connect) {
  if (!EnsureOdbcSetup())
    throw CDBException("HY000", "the ODBC configuration directory cannot be written");
  try {
    connection_.Open(TranslateConnectString(connect));
  } catch (const qn::odbc::Error& e) {
    throw CDBException(e);
  }
  dialect_ = DialectFromDbmsName(connection_.DbmsName());
}

void CDatabase::Close() { connection_.Close(); }

void CDatabase::ExecuteSQL(const std::string& sql) {
  if (!IsOpen()) throw CDBException("08003", "the database is not open");
  try {
    connection_.Execute(RewriteSql(dialect_, sql), queryTimeout_);
  } catch (const qn::odbc::Error& e) {
    throw CDBException(e);
  }
}
