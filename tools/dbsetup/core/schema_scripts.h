// The schema scripts the installer's additions come from: the build embeds
// data/schema-sqlite/QNDB.sql and data/schema-postgresql.sql, so what step 5
// adds to an older database is what a new one gets.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace qn::dbsetup {

extern const char* const kSqliteQndbScript;
extern const char* const kPostgresScript;

// What makes a database without Procedures current: the column
// Databases.ODBCConnectString as an ALTER TABLE, and the statements that
// create Procedures and its indexes, all as `script` has them.
struct ProceduresStatements {
  std::string addColumn;
  std::vector<std::string> createTable;
};
// Throws std::logic_error when the script lacks them.
ProceduresStatements ProceduresFromScript(std::string_view script);

// The tables a script creates, in its order.
std::vector<std::string> TablesOfScript(std::string_view script);

}  // namespace qn::dbsetup
