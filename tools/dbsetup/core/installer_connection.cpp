#include "tools/dbsetup/core/installer_connection.h"

#include <strings.h>

#include <cctype>

#include "platform/odbc_catalog.h"
#include "server/data/count_rows.h"
#include "server/data/data_source.h"

namespace qn::dbsetup {

namespace {

bool NameIs(const std::string& part, const char* name) {
  const size_t length = std::char_traits<char>::length(name);
  return part.size() > length && part[length] == '=' && strncasecmp(part.c_str(), name, length) == 0;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

void Check(SQLRETURN rc, CDatabase& database, const char* context) {
  try {
    qn::odbc::Check(rc, SQL_HANDLE_DBC, database.Connection().Handle(), context);
  } catch (const qn::odbc::Error& e) {
    throw CDBException(e);
  }
}

}  // namespace

std::string InstallerConnectString(const std::string& dataSource, const std::string& connect,
                                   const std::string& programDir) {
  std::string text = connect;
  if (text.size() >= 5 && strncasecmp(text.c_str(), "ODBC;", 5) == 0) text.erase(0, 5);
  std::string out;
  bool named = false, file = false;
  for (std::string part : SplitConnectAttributes(text)) {
    if (NameIs(part, "DSN")) named = true;
    if (NameIs(part, "DBQ")) {
      std::string path = part.substr(4);
      for (char& c : path)
        if (c == '\\') c = '/';
      if (path.empty() || path[0] != '/') path = programDir + path;
      part = "Database=" + path;
      file = true;
    }
    out += (out.empty() ? "" : ";") + part;
  }
  if (!named && !dataSource.empty()) out = "DSN=" + dataSource + (out.empty() ? "" : ";" + out);
  // Rows come from the file as they are fetched (StepAPI), not all at once.
  if (file) out += ";NoCreat=1;Timeout=10000;StepAPI=1;SyncPragma=NORMAL";
  return out;
}

void OpenInstallerDatabase(CDatabase& database, const std::string& dataSource, const std::string& connect,
                           const std::string& programDir) {
  database.OpenEx(InstallerConnectString(dataSource, connect, programDir));
  database.SetQueryTimeout(0);
}

void BeginTransaction(CDatabase& database) {
  Check(SQLSetConnectAttr(database.Connection().Handle(), SQL_ATTR_AUTOCOMMIT,
                          reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0),
        database, "SQLSetConnectAttr(AUTOCOMMIT)");
}

void EndTransaction(CDatabase& database, bool commit) {
  Check(SQLEndTran(SQL_HANDLE_DBC, database.Connection().Handle(), commit ? SQL_COMMIT : SQL_ROLLBACK), database,
        "SQLEndTran");
  Check(SQLSetConnectAttr(database.Connection().Handle(), SQL_ATTR_AUTOCOMMIT,
                          reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0),
        database, "SQLSetConnectAttr(AUTOCOMMIT)");
}

bool TableExistsOn(CDatabase& database, const std::string& table) {
  try {
    qn::odbc::Statement statement(database.Connection());
    qn::odbc::Tables(statement, nullptr, nullptr, nullptr, nullptr);
    std::string name;
    while (statement.Fetch()) {
      statement.GetText(3, name, 255);
      if (strcasecmp(name.c_str(), table.c_str()) == 0) return true;
    }
    return false;
  } catch (const qn::odbc::Error& e) {
    throw CDBException(e);
  }
}

bool ColumnExistsOn(CDatabase& database, const std::string& table, const std::string& column) {
  try {
    // psqlODBC compares catalogue names exactly and keeps unquoted names in
    // lower case; SQLite's driver takes them as written.
    for (const std::string& name : {table, Lower(table), Upper(table)}) {
      qn::odbc::Statement statement(database.Connection());
      qn::odbc::Columns(statement, nullptr, nullptr, name.c_str(), nullptr);
      std::string found;
      while (statement.Fetch()) {
        statement.GetText(4, found, 255);
        if (strcasecmp(found.c_str(), column.c_str()) == 0) return true;
      }
    }
    return false;
  } catch (const qn::odbc::Error& e) {
    throw CDBException(e);
  }
}

long CountRows(CDatabase& database, const std::string& table, const std::string& column) {
  CCount count(&database);
  count.m_expression = "Count(" + column + ")";
  count.m_table = "[" + table + "]";
  count.Open(CRecordset::snapshot, nullptr, CRecordset::readOnly);
  const long rows = count.m_count;
  count.Close();
  return rows;
}

}  // namespace qn::dbsetup
