#include "server/core/logon_read.h"

#include "common/helpers.h"
#include "server/data/database.h"

namespace {

// The account row and the key rows of one member as one result: the row
// comes with empty key columns, each key with empty account columns.
class CAccountAndKeyRows : public CAccounts_2 {
 public:
  using CAccounts_2::CAccounts_2;
  void DoFieldExchange(CFieldExchange& fx) override {
    CAccounts_2::DoFieldExchange(fx);
    fx.Column("KeyID", FieldKind::Long, 0, &m_KeyID);
    fx.Column("AppName", FieldKind::Text, 255, &m_AppName);
    fx.Column("KeyName", FieldKind::Text, 255, &m_KeyName);
    fx.Column("KeyCost", FieldKind::Long, 0, &m_KeyCost);
  }
  int32_t m_KeyID = 0;
  std::string m_AppName;
  std::string m_KeyName;
  int32_t m_KeyCost = 0;
};

std::string AccountAndKeysQuery(const std::string& quotedUserId) {
  std::string columns, empties;
  for (const auto& column : CAccounts_2::Spec().columns) {
    if (!columns.empty()) {
      columns += ",";
      empties += ",";
    }
    columns += std::string("Accounts.") + column.name;
    empties += "NULL";
  }
  // The row has no application name and sorts at one end or the other
  // (the databases put NULL on different sides); the keys keep their order.
  return "SELECT " + columns +
         ",NULL AS KeyID,NULL AS AppName,NULL AS KeyName,NULL AS KeyCost FROM Accounts WHERE "
         "Accounts.UserID=" +
         quotedUserId + " UNION ALL SELECT " + empties +
         ",UserKeys.KeyID,UserKeys.AppName,UserKeys.KeyName,UserKeys.KeyCost FROM (" +
         UserKeySelect(quotedUserId) + ") UserKeys ORDER BY AppName, KeyName";
}

bool ReadRowAlone(CDatabase* database, const std::string& userId, CAccounts_2& row) {
  row.m_strFilter = "UserID=" + SQLQuote(userId);
  row.Open(CRecordset::snapshot, nullptr, CRecordset::readOnly);
  const bool found = !row.IsEOF();
  row.Close();
  return found;
}

}  // namespace

std::string UserKeySelect(const std::string& quotedUserId) {
  return "SELECT DISTINCT Keys.KeyID, Keys.AppName, Keys.KeyName, Keys.Description, Keys.KeyCost "
         "FROM Keys, KeyChains, Keys2Chains, UserID2KeyChain WHERE UserID2KeyChain.UserID=" +
         quotedUserId +
         " AND KeyChains.KeyChainID = UserID2KeyChain.KeyChainID AND Keys2Chains.KeyChainID = "
         "KeyChains.KeyChainID AND Keys.KeyID = Keys2Chains.KeyID UNION SELECT DISTINCT "
         "Keys.KeyID, Keys.AppName, Keys.KeyName, Keys.Description, Keys.KeyCost FROM Keys, "
         "UserID2Keys WHERE UserID2Keys.UserID=" +
         quotedUserId + " AND Keys.KeyID=UserID2Keys.KeyID";
}

void CopyAccountRow(const CAccounts_2& from, CAccounts_2& to) {
  for (const auto& column : CAccounts_2::Spec().columns)
    std::visit([&](auto member) { to.*member = from.*member; }, column.member);
}

bool ReadLogonRow(CDatabase* database, const std::string& userId, CLogonRead& out) {
  out.keys.clear();
  out.keysRead = false;
  bool found = false;
  try {
    CAccountAndKeyRows rows(database);
    rows.Open(CRecordset::forwardOnly, AccountAndKeysQuery(SQLQuote(userId)).c_str(),
              CRecordset::readOnly);
    for (; !rows.IsEOF(); rows.MoveNext()) {
      if (rows.IsFieldNull(&rows.m_UserID)) {
        out.keys.emplace_back(rows.m_KeyID, rows.m_AppName, rows.m_KeyName, rows.m_KeyCost);
      } else {
        CopyAccountRow(rows, out.row);
        found = true;
      }
    }
    rows.Close();
    out.keysRead = found;
  } catch (const CDBException&) {
    out.keys.clear();
    return ReadRowAlone(database, userId, out.row);
  }
  if (!found) out.keys.clear();
  return found;
}
