// What the data layer sends the database, counted per connection, in both
// storage modes: an insert reads its new key back only when asked (with the
// insert itself on PostgreSQL); an edit
// by filter writes without reading and writes nothing to a missing row; a
// logon's row and keys come in one statement and agree with the key query
// read alone; a row carried with a write (PostgreSQL) costs no statement of
// its own and never stops the write.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/helpers.h"
#include "data_fixture.h"
#include "server/core/logon_read.h"
#include "server/core/user.h"
#include "server/data/connection_pool.h"
#include "server/data/count_rows.h"
#include "server/data/schema_recordsets.h"

using namespace qn::test;

namespace {

class StatementCount : public BothModesTest {
 protected:
  static CDatabase* Area(const char* area) { return GetDatabase(AreaConnect(area), false); }
  // Statements `work` sent on `db`.
  template <class F>
  static long Costs(CDatabase* db, F&& work) {
    const long before = db->StatementCount();
    work();
    return db->StatementCount() - before;
  }
  static void Exec(CDatabase* db, const std::string& sql) { db->ExecuteSQL(sql); }
};

TEST_P(StatementCount, AnInsertReadsItsKeyBackOnlyWhenAsked) {
  CDatabase* db = Area("QNAUDIT");
  CAuditTrail_2 audit(db);
  audit.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
  const auto add = [&] {
    audit.AddNew();
    audit.m_UserID = "ann";
    ASSERT_TRUE(audit.Update());
  };
  EXPECT_EQ(Costs(db, add), 1);
  EXPECT_EQ(audit.GetInsertedKey(), 0);
  audit.WantInsertedKey();
  // PostgreSQL returns it from the insert itself.
  EXPECT_EQ(Costs(db, add), GetParam() == StorageMode::OneDatabase ? 1 : 2);
  const int32_t second = audit.GetInsertedKey();
  EXPECT_GT(second, 1);
  audit.Close();
  CAuditTrail_2 rows(db);
  rows.m_strFilter = "AuditTrailID=" + std::to_string(second);
  rows.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  ASSERT_FALSE(rows.IsEOF());
  EXPECT_EQ(rows.m_UserID, "ann");
}

TEST_P(StatementCount, AnEditByFilterWritesTheSetColumnsInOneStatementWithoutReading) {
  CDatabase* db = Area("QNACCOUN");
  Exec(db, "INSERT INTO Accounts (UserID, Password, City, Credits) VALUES ('Ann', 'pw', 'Old', 5)");
  const auto write = [&](const std::string& userId, const std::string& city) {
    CAccounts_2 row(db);
    row.m_strFilter = "UserID=" + SQLQuote(userId);
    row.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
    row.EditFiltered();
    row.m_City = city;
    row.SetFieldDirty(&row.m_City);
    row.m_Credits = 0;
    row.SetFieldDirty(&row.m_Credits);
    return row.Update();
  };
  bool found = false;
  // The filter compares as the databases compare user IDs.
  EXPECT_EQ(Costs(db, [&] { found = write("ANN", "New"); }), 1);
  EXPECT_TRUE(found);
  EXPECT_EQ(Costs(db, [&] { found = write("Nobody", "Else"); }), 1);
  EXPECT_FALSE(found);
  CAccounts_2 row(db);
  row.Open(CRecordset::snapshot, nullptr, CRecordset::readOnly);
  ASSERT_EQ(row.GetRecordCount(), 1);
  EXPECT_EQ(row.m_City, "New");
  EXPECT_EQ(row.m_Credits, 0);
  // Columns not set keep their values.
  EXPECT_EQ(row.m_Password, "pw");

  CAccounts_2 unfiltered(db);
  unfiltered.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
  EXPECT_THROW(unfiltered.EditFiltered(), CDBException);
}

TEST_P(StatementCount, ACarriedRowIsWrittenWithItsWriteOrAloneAfterIt) {
  CDatabase* db = Area("QNMAIL");
  const auto carried = [](const std::string& table, const std::string& who) {
    return std::make_tuple(table, std::vector<std::string>{"UserID", "KeyWord"},
                           std::vector<qn::odbc::Param>{{who, SQL_VARCHAR}, {std::string("k"), SQL_VARCHAR}});
  };
  const auto store = [&](const std::string& recipient, const std::string& auditTable) {
    CMessageStore_2 message(db);
    message.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
    message.AddNew();
    message.m_RecipID = recipient;
    auto [table, columns, values] = carried(auditTable, recipient);
    const bool joint = message.CarryInsert(table, columns, values);
    message.Update();
    return joint;
  };
  if (GetParam() == StorageMode::AreaFiles) {
    // Each area is a file of its own: nothing rides along.
    EXPECT_FALSE(store("Ann", "AuditTrail"));
    return;
  }
  bool joint = false;
  EXPECT_EQ(Costs(db, [&] { joint = store("Ann", "AuditTrail"); }), 1);
  EXPECT_TRUE(joint);
  // A row the database refuses leaves its write standing: the joint
  // statement, then the write and the row alone.
  EXPECT_EQ(Costs(db, [&] { store("Bob", "NoSuchTable"); }), 3);
  CDatabase* audit = Area("QNAUDIT");
  EXPECT_EQ(CountRows(audit, "AuditTrailID", "AuditTrail", "UserID='Ann' AND KeyWord='k'"), 1);
  EXPECT_EQ(CountRows(db, "MessageID", "MessageStore", "RecipID='Ann'"), 1);
  EXPECT_EQ(CountRows(db, "MessageID", "MessageStore", "RecipID='Bob'"), 1);

  // An edit by filter reports the rows it wrote, not the carried row.
  Exec(db, "INSERT INTO MessageStore (RecipID, Subject) VALUES ('Cy', 'old')");
  for (const char* recipient : {"Cy", "Nobody"}) {
    CMessageStore_2 edit(db);
    edit.m_strFilter = "RecipID=" + SQLQuote(recipient);
    edit.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
    edit.EditFiltered();
    edit.m_Subject = "new";
    auto [table, columns, values] = carried("AuditTrail", recipient);
    ASSERT_TRUE(edit.CarryInsert(table, columns, values));
    EXPECT_EQ(edit.Update(), std::string(recipient) == "Cy") << recipient;
  }
  EXPECT_EQ(CountRows(audit, "AuditTrailID", "AuditTrail", "KeyWord='k'"), 3);
}

TEST_P(StatementCount, ALogonReadsTheRowAndTheKeysInOneStatement) {
  CDatabase* db = Area("QNACCOUN");
  Exec(db, "INSERT INTO Accounts (UserID, Password, Credits, ShortProfile) VALUES ('O''Brien', 'pw', 7, 'hi')");
  Exec(db, "INSERT INTO Accounts (UserID, Password, Credits) VALUES ('Keyless', 'pw', 3)");
  Exec(db, "INSERT INTO Keys (KeyID, AppName, KeyName, Description, KeyCost) VALUES "
           "(1, 'mail', 'compose', 'd', 2), (2, 'Chat', 'chat', 'd', 0), (3, 'Chat', 'Sysop', 'd', 0), "
           "(4, 'File', 'send', 'd', 5)");
  Exec(db, "INSERT INTO KeyChains (KeyChainID, KeyChain, IsDefault) VALUES (1, 'Members', 0)");
  Exec(db, "INSERT INTO Keys2Chains (KeyChainID, KeyID) VALUES (1, 1), (1, 2), (1, 3)");
  Exec(db, "INSERT INTO UserID2KeyChain (UserID, KeyChainID) VALUES ('O''Brien', 1)");
  // A key both in the chain and given directly comes once.
  Exec(db, "INSERT INTO UserID2Keys (UserID, KeyID) VALUES ('O''Brien', 4), ('O''Brien', 2)");

  CLogonRead read(db);
  bool found = false;
  EXPECT_EQ(Costs(db, [&] { found = ReadLogonRow(db, "o'brien", read); }), 1);
  ASSERT_TRUE(found);
  EXPECT_TRUE(read.keysRead);
  EXPECT_EQ(read.row.m_UserID, "O'Brien");
  EXPECT_EQ(read.row.m_Credits, 7);
  EXPECT_EQ(read.row.m_ShortProfile, "hi");
  std::vector<std::string> joint;
  for (const CUserKey& key : read.keys)
    joint.push_back(key.m_strAppName + "/" + key.m_strKeyName + "/" + std::to_string(key.m_nKeyID));

  // The key query alone, as the member object reads it when the joint
  // statement fails.
  std::vector<std::string> alone;
  CKeys_2 keys(db);
  keys.Open(CRecordset::forwardOnly, BuildUserKeyQuery(SQLQuote("O'Brien")).c_str(), CRecordset::readOnly);
  for (; !keys.IsEOF(); keys.MoveNext())
    alone.push_back(CUserKey(keys.m_KeyID, keys.m_AppName, keys.m_KeyName, 0).m_strAppName + "/" +
                    CUserKey(keys.m_KeyID, keys.m_AppName, keys.m_KeyName, 0).m_strKeyName + "/" +
                    std::to_string(keys.m_KeyID));
  EXPECT_EQ(joint, alone);
  EXPECT_EQ(joint.size(), 4u);

  CLogonRead keyless(db);
  ASSERT_TRUE(ReadLogonRow(db, "keyless", keyless));
  EXPECT_TRUE(keyless.keys.empty());
  EXPECT_EQ(keyless.row.m_Credits, 3);
  CLogonRead nobody(db);
  EXPECT_FALSE(ReadLogonRow(db, "nobody", nobody));
}

QN_INSTANTIATE_BOTH_MODES(StatementCount);

}  // namespace
