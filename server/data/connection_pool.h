// The connection pool: every service reaches its data through GetDatabase,
// which hands out an open connection for a connect string and keeps every
// connection it opened until the server stops.
#pragma once
#include <string>

#include "server/data/database.h"

class CPooledDatabase : public CDatabase {
 public:
  // Reserved for one caller for the rest of the run.
  bool exclusive = false;
  // The connect string it was opened with, to open it again.
  std::string key;
};

// An open pooled connection for `connect` (the system's form, without
// "ODBC;"). Callers never close or delete it. A failed open throws
// CDBException and leaves no trace in the pool.
// A connection whose statement lost the server (Connection().IsLost()) is
// closed and opened again here before it is handed out, so nothing of its
// old session survives; the request that met the loss had its error.
CDatabase* GetDatabase(const std::string& connect, bool exclusive);

// The same renewal for a connection its caller keeps (the member module's
// reserved one); throws CDBException when the open fails. A connection with
// open recordsets is left as it is.
void ReopenIfLost(CDatabase* database);

void InitDatabasePool();
// Closes every pooled connection. The server calls it after every module's
// stop, since modules still read and write as they stop.
void TermDatabasePool();

// The pool key `connect` maps to under the given storage mode (steps of
// GetDatabase before the look-up).
std::string DatabasePoolKey(const std::string& connect, bool isAccess,
                            const std::string& sqlConnect);

// Statements run on every pooled connection so far (CDatabase::StatementCount
// summed); a test or bench compares it before and after a request.
long PooledStatementCount();

// The storage mode is read once per process; tests that switch modes make
// the next GetDatabase read it again.
void ForgetDatabaseSettings();
