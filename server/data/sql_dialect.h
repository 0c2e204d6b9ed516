// The two SQL dialects under the system's SQL: the per-area SQLite files and
// the one PostgreSQL database. Every rewrite of the system's SQL text for a
// database lives here.
#pragma once
#include <string>
#include <string_view>

enum class SqlDialect { SQLite, PostgreSQL };

// From the DBMS name a driver reports; anything but PostgreSQL is SQLite.
SqlDialect DialectFromDbmsName(std::string_view dbmsName);

// The system's SQL in the form the database takes: on PostgreSQL "[X]"
// becomes X and "UPDATE STATISTICS t" becomes "ANALYZE t" (SQLite takes
// brackets as they are). Quoted literals are never touched.
std::string RewriteSql(SqlDialect dialect, std::string_view sql);

// Whether a prepared SELECT without parameters can be run again: the SQLite
// driver does not start such a statement over when its last rows were not
// all read (it goes on where it stopped, holding the file's read snapshot).
bool ReusesStatementsWithoutParameters(SqlDialect dialect);

// How a TRUE BOOL column is stored: -1 in the per-area files, 1 in the one
// database, the values the system's filters compare with.
int StoredTrue(SqlDialect dialect);
