#include "platform/odbc_catalog.h"

#include <cstring>

#include "platform/odbc_error.h"

namespace qn::odbc {

namespace {

SQLCHAR* Name(const char* text) { return reinterpret_cast<SQLCHAR*>(const_cast<char*>(text)); }
SQLSMALLINT Length(const char* text) { return text ? static_cast<SQLSMALLINT>(std::strlen(text)) : 0; }

}  // namespace

bool SupportsFunction(Connection& connection, SQLUSMALLINT function) {
  SQLUSMALLINT supported = SQL_FALSE;
  if (!SQL_SUCCEEDED(SQLGetFunctions(connection.Handle(), function, &supported))) return false;
  return supported == SQL_TRUE;
}

void Columns(Statement& statement, const char* catalog, const char* schema, const char* table,
             const char* column) {
  statement.CloseCursor();
  const SQLRETURN rc = SQLColumns(statement.Handle(), Name(catalog), Length(catalog), Name(schema),
                                  Length(schema), Name(table), Length(table), Name(column),
                                  Length(column));
  Check(rc, SQL_HANDLE_STMT, statement.Handle(), "SQLColumns");
}

void Tables(Statement& statement, const char* catalog, const char* schema, const char* table,
            const char* type) {
  statement.CloseCursor();
  const SQLRETURN rc = SQLTables(statement.Handle(), Name(catalog), Length(catalog), Name(schema),
                                 Length(schema), Name(table), Length(table), Name(type), Length(type));
  Check(rc, SQL_HANDLE_STMT, statement.Handle(), "SQLTables");
}

}  // namespace qn::odbc
