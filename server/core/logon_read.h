// What a logon reads of a member: the account row and the keys, in one
// statement, so that the logon service's checks and the member object that
// follows share one round trip to the database.
#pragma once
#include <list>
#include <string>

#include "server/core/user_key.h"
#include "server/data/schema_recordsets.h"

class CDatabase;

struct CLogonRead {
  explicit CLogonRead(CDatabase* database) : row(database) {}
  // The row's values; the recordset itself is closed.
  CAccounts_2 row;
  std::list<CUserKey> keys;
  // False when the row had to be read alone: the keys are still to be read.
  bool keysRead = false;
};

// Reads the account of `userId` and its keys; false when there is no such
// account. When the joint statement fails the row is read alone (a failing
// key query must not keep a member out). Throws CDBException when the row
// cannot be read.
bool ReadLogonRow(CDatabase* database, const std::string& userId, CLogonRead& out);

// The key query of a member without its ORDER BY, for a quoted user ID.
std::string UserKeySelect(const std::string& quotedUserId);

// Copies every column value of one account row buffer into another.
void CopyAccountRow(const CAccounts_2& from, CAccounts_2& to);
