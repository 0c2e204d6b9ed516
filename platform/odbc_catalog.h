// The driver's catalogue: which ODBC functions a driver offers, and the
// column catalogue (SQLColumns) as a result set on a statement.
#pragma once
#include <sql.h>
#include <sqlext.h>

#include "platform/odbc_connection.h"
#include "platform/odbc_statement.h"

namespace qn::odbc {

// SQLGetFunctions for one function (SQL_API_SQLCOLUMNS ...); false when the
// driver does not offer it or cannot say.
bool SupportsFunction(Connection& connection, SQLUSMALLINT function);

// Runs SQLColumns on the statement; a null name is passed as null (every
// name). The rows are then read with Fetch and the Get functions, in the
// standard column order (TABLE_CAT, TABLE_SCHEM, TABLE_NAME, COLUMN_NAME,
// DATA_TYPE, TYPE_NAME, COLUMN_SIZE, BUFFER_LENGTH, DECIMAL_DIGITS,
// NUM_PREC_RADIX, NULLABLE, REMARKS, ...). Throws Error.
void Columns(Statement& statement, const char* catalog, const char* schema, const char* table,
             const char* column);

// Runs SQLTables on the statement with the given patterns (null: any); the
// rows have TABLE_CAT, TABLE_SCHEM, TABLE_NAME, TABLE_TYPE, REMARKS.
// Throws Error.
void Tables(Statement& statement, const char* catalog, const char* schema, const char* table,
            const char* type);

}  // namespace qn::odbc
