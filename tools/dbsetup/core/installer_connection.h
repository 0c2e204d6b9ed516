// How the installer opens its databases: the system's connect strings
// ("ODBC;DBQ=...MDB" with a data source name beside them) as our drivers
// take them, transactions, and the catalogue questions it asks.
#pragma once
#include <string>

#include "server/data/database.h"

namespace qn::dbsetup {

// The connect string for a data source name (may be empty) and a connect
// string of the system's. A DBQ file (relative names in `programDir`) is
// opened as it is: never created, its journal mode left alone.
std::string InstallerConnectString(const std::string& dataSource, const std::string& connect,
                                   const std::string& programDir);

// Opens `database` read-write without a statement time limit. Throws
// CDBException.
void OpenInstallerDatabase(CDatabase& database, const std::string& dataSource, const std::string& connect,
                           const std::string& programDir);

// Statements after this run in one transaction until EndTransaction.
void BeginTransaction(CDatabase& database);
void EndTransaction(CDatabase& database, bool commit);

// The catalogue lists the table, letter case aside.
bool TableExistsOn(CDatabase& database, const std::string& table);
// The table has the column, letter case aside.
bool ColumnExistsOn(CDatabase& database, const std::string& table, const std::string& column);

// SELECT Count(column) FROM [table]; throws CDBException.
long CountRows(CDatabase& database, const std::string& table, const std::string& column);

}  // namespace qn::dbsetup
