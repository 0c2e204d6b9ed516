// Every table written and read back through its recordset, in both storage
// modes.
#include <gtest/gtest.h>

#include "common/helpers.h"
#include "data_fixture.h"
#include "server/data/connection_pool.h"
#include "server/data/count_rows.h"
#include "server/data/schema_recordsets.h"

using namespace qn::test;

namespace {

class SchemaRoundTrip : public BothModesTest {
 protected:
  static CDatabase* Area(const char* area) { return GetDatabase(AreaConnect(area), false); }
};

// A value per column that tells the columns apart: text with quotes of both
// kinds, memos of their full bound length.
template <class R>
void Fill(R& rs, int seed) {
  int n = seed;
  for (const auto& c : R::Spec().columns) {
    ++n;
    if (std::string(R::Spec().identity) == std::string(c.name).substr(1, std::string(c.name).size() - 2))
      continue;
    std::visit(
        [&](auto member) {
          auto& value = rs.*member;
          using V = std::decay_t<decltype(value)>;
          if constexpr (std::is_same_v<V, std::string>) {
            if (c.type.width > 255) {
              value = std::string(c.type.width, 'm');
              value[0] = '\'';
              value[c.type.width - 1] = '"';
            } else {
              value = "it's \"" + std::string(c.name) + "\" " + std::to_string(n);
            }
          } else if constexpr (std::is_same_v<V, std::time_t>) {
            value = 1700000000 + n * 3600;
          } else if constexpr (std::is_same_v<V, double>) {
            value = n + 0.25;
          } else if (c.type.kind == FieldKind::Bool) {
            value = TRUE;
          } else {
            value = static_cast<V>(n);
          }
        },
        c.member);
  }
}

template <class R>
void ExpectSame(R& read, R& written, const char* table) {
  for (const auto& c : R::Spec().columns) {
    if (std::string(R::Spec().identity) == std::string(c.name).substr(1, std::string(c.name).size() - 2))
      continue;
    std::visit([&](auto member) { EXPECT_EQ(read.*member, written.*member) << table << c.name; },
               c.member);
  }
}

template <class R>
void RoundTrip(CDatabase* db) {
  R rs(db);
  rs.Open();
  rs.WantInsertedKey();
  ASSERT_TRUE(rs.IsEOF()) << R::ClassName();
  rs.AddNew();
  Fill(rs, 0);
  R expected(db);
  Fill(expected, 0);
  ASSERT_TRUE(rs.Update());
  const int32_t key = rs.GetInsertedKey();
  rs.Close();

  R read(db);
  read.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  ASSERT_FALSE(read.IsEOF()) << R::ClassName();
  ExpectSame(read, expected, R::ClassName());
  if (*R::Spec().identity) {
    EXPECT_GT(key, 0) << R::ClassName();
    R byKey(db);
    byKey.m_strFilter = std::string(R::Spec().identity) + "=" + std::to_string(key);
    byKey.Open();
    EXPECT_FALSE(byKey.IsEOF()) << R::ClassName();
  }
  read.MoveNext();
  EXPECT_TRUE(read.IsEOF());
}

TEST_P(SchemaRoundTrip, EveryTableWritesAndReadsBack) {
  CDatabase* accounts = Area("QNACCOUN");
  RoundTrip<CAccounts_2>(accounts);
  RoundTrip<CDefaults_2>(accounts);
  RoundTrip<CKeyChains_2>(accounts);
  RoundTrip<CKeys_2>(accounts);
  RoundTrip<CUserID2KeyChain_2>(accounts);
  RoundTrip<CKeys2Chains_2>(accounts);
  RoundTrip<CUserID2Keys_2>(accounts);
  RoundTrip<CAuditTrail_2>(Area("QNAUDIT"));
  RoundTrip<CChatRooms_2>(Area("QNCHAT"));
  CDatabase* catalogue = Area("QNDB");
  RoundTrip<CDatabases_2>(catalogue);
  RoundTrip<CFields_2>(catalogue);
  RoundTrip<CProcedures_2>(catalogue);
  CDatabase* files = Area("QNFILE");
  RoundTrip<CDirectories_2>(files);
  RoundTrip<CDownloads_2>(files);
  RoundTrip<CFiles_2>(files);
  RoundTrip<CFiles2Directories_2>(files);
  RoundTrip<CKeywords_2>(files);
  RoundTrip<CUploadOptions_2>(files);
  RoundTrip<CMessageStore_2>(Area("QNMAIL"));
  CDatabase* folders = Area("QNRMSG");
  RoundTrip<CFolders_2>(folders);
  RoundTrip<CMessages_2>(folders);
  RoundTrip<CMsgRead_2>(folders);
  RoundTrip<CResponses_2>(folders);
  RoundTrip<CResponseRead_2>(folders);
}

TEST_P(SchemaRoundTrip, UserIdMatchesWithoutRegardToCase) {
  CDatabase* db = Area("QNACCOUN");
  CAccounts_2 rs(db);
  rs.m_strFilter = "UserID=" + SQLQuote("nobody");
  rs.Open();
  EXPECT_TRUE(rs.IsEOF());
  rs.AddNew();
  rs.m_UserID = "Bob";
  ASSERT_TRUE(rs.Update());
  rs.Close();

  CAccounts_2 found(db);
  found.m_strFilter = "UserID='BOB'";
  found.Open();
  ASSERT_FALSE(found.IsEOF());
  EXPECT_EQ(found.m_UserID, "Bob");
  // Bracketed names in filters and sorts work on both databases.
  CAccounts_2 bracketed(db);
  bracketed.m_strFilter = "[Accounts].[UserID]='bob' AND [Password]=''";
  bracketed.m_strSort = "[UserID] DESC";
  bracketed.Open();
  EXPECT_FALSE(bracketed.IsEOF());
}

TEST_P(SchemaRoundTrip, MemberNamesAreSearchedWithoutRegardToCase) {
  CDatabase* db = Area("QNACCOUN");
  CAccounts_2 rs(db);
  rs.Open();
  for (const char* first : {"anne", "Bert", "Carl"}) {
    rs.AddNew();
    rs.m_UserID = first;
    rs.m_FirstName = first;
    rs.m_LastName = "Smith";
    rs.Update();
  }
  // The member search's filters: a name and a range of the other name.
  rs.m_strFilter = "(LastName=" + SQLQuote("SMITH") + ") AND (FirstName>=" + SQLQuote("a") +
                   ") AND (FirstName<=" + SQLQuote("bz") + ")";
  rs.m_strSort = "FirstName";
  rs.Requery();
  ASSERT_EQ(rs.GetRecordCount(), 2);
  EXPECT_EQ(rs.m_FirstName, "anne");
  rs.MoveNext();
  EXPECT_EQ(rs.m_FirstName, "Bert");
}

TEST_P(SchemaRoundTrip, TextLongerThanItsColumnIsStoredCutInBothModes) {
  CDatabase* db = Area("QNACCOUN");
  CAccounts_2 rs(db);
  rs.Open();
  rs.AddNew();
  rs.m_UserID = "long";
  rs.m_City = std::string(300, 'c');
  rs.m_LongProfile = std::string(40000, 'p');
  ASSERT_TRUE(rs.Update());
  rs.Requery();
  ASSERT_FALSE(rs.IsEOF());
  EXPECT_EQ(rs.m_City, std::string(255, 'c'));
  EXPECT_EQ(rs.m_LongProfile.size(), 32765u);
  EXPECT_EQ(CountRows(db, "UserID", "Accounts", "City='" + std::string(255, 'c') + "'"), 1);
}

TEST_P(SchemaRoundTrip, EightBitClientTextRoundTripsByteForByte) {
  // "José" and "Müller" as a Windows client sends them, and every high byte.
  const std::string user = "Jos\xE9";
  std::string all;
  for (int c = 0x80; c <= 0xFF; ++c) all += static_cast<char>(c);
  CDatabase* db = Area("QNACCOUN");
  CAccounts_2 rs(db);
  rs.Open();
  rs.AddNew();
  rs.m_UserID = user;
  rs.m_LastName = "M\xFCller";
  rs.m_LongProfile = all;
  ASSERT_TRUE(rs.Update());
  CAccounts_2 back(db);
  back.m_strFilter = "UserID=" + SQLQuote(user);
  back.Open();
  ASSERT_FALSE(back.IsEOF());
  EXPECT_EQ(back.m_UserID, user);
  EXPECT_EQ(back.m_LastName, "M\xFCller");
  EXPECT_EQ(back.m_LongProfile, all);
}

TEST_P(SchemaRoundTrip, TruthValueFilterOfTheModeFindsStoredTrue) {
  CDatabase* db = Area("QNACCOUN");
  CKeyChains_2 rs(db);
  rs.Open();
  rs.AddNew();
  rs.m_KeyChain = "Basic";
  rs.m_IsDefault = TRUE;
  rs.Update();
  rs.AddNew();
  rs.m_KeyChain = "Extra";
  rs.Update();
  rs.Close();

  CKeyChains_2 chosen(db);
  chosen.m_strFilter = GetParam() == StorageMode::AreaFiles ? "IsDefault=-1" : "IsDefault=1";
  ASSERT_EQ(SQLBoolLiteral(1), GetParam() == StorageMode::AreaFiles ? "-1" : "1");
  chosen.Open();
  ASSERT_FALSE(chosen.IsEOF());
  EXPECT_EQ(chosen.m_KeyChain, "Basic");
  EXPECT_EQ(chosen.m_IsDefault, TRUE);
  chosen.MoveNext();
  EXPECT_TRUE(chosen.IsEOF());
}

TEST_P(SchemaRoundTrip, EditWritesOnlyTheChangedColumns) {
  CDatabase* db = Area("QNACCOUN");
  CAccounts_2 rs(db);
  rs.Open();
  rs.AddNew();
  rs.m_UserID = "carol";
  rs.m_Phone = "111";
  rs.m_Credits = 10;
  rs.Update();
  rs.Requery();
  ASSERT_FALSE(rs.IsEOF());
  rs.Edit();
  rs.m_Credits = 20;
  // Somebody else changes another column meanwhile.
  db->ExecuteSQL("UPDATE [Accounts] SET Phone='222' WHERE UserID='carol'");
  EXPECT_TRUE(rs.Update());
  rs.Close();

  CAccounts_2 check(db);
  check.m_strFilter = "UserID='carol'";
  check.Open();
  EXPECT_EQ(check.m_Credits, 20);
  EXPECT_EQ(check.m_Phone, "222");
  // Nothing changed: nothing to write.
  check.Edit();
  EXPECT_FALSE(check.Update());
}

TEST_P(SchemaRoundTrip, RowsWithoutKeyAreEditedAndDeletedByTheirValues) {
  CDatabase* db = Area("QNACCOUN");
  CUserID2KeyChain_2 rs(db);
  rs.Open();
  for (int chain : {1, 2, 3}) {
    rs.AddNew();
    rs.m_UserID = "dave";
    rs.m_KeyChainID = chain;
    rs.Update();
  }
  rs.m_strSort = "KeyChainID";
  rs.Requery();
  EXPECT_EQ(rs.GetRecordCount(), 3);
  rs.MoveNext();
  rs.Delete();
  EXPECT_TRUE(rs.IsDeleted());
  rs.MoveNext();
  rs.Edit();
  rs.m_KeyChainID = 30;
  rs.Update();
  rs.Requery();
  EXPECT_EQ(rs.m_KeyChainID, 1);
  rs.MoveNext();
  EXPECT_EQ(rs.m_KeyChainID, 30);
  rs.MoveNext();
  EXPECT_TRUE(rs.IsEOF());
}

TEST_P(SchemaRoundTrip, InsertLeavesUnsetColumnsToTheDatabase) {
  CAuditTrail_2 rs(Area("QNAUDIT"));
  rs.Open();
  rs.WantInsertedKey();
  rs.AddNew();
  rs.m_UserID = "erin";
  rs.m_ServiceName = "Logon";
  ASSERT_TRUE(rs.Update());
  const int32_t first = rs.GetInsertedKey();
  rs.AddNew();
  rs.m_UserID = "erin";
  rs.Update();
  EXPECT_EQ(rs.GetInsertedKey(), first + 1);
  rs.m_strFilter = "AuditTrailID=" + std::to_string(first);
  rs.Requery();
  ASSERT_FALSE(rs.IsEOF());
  const std::time_t now = std::time(nullptr);
  EXPECT_NEAR(static_cast<double>(rs.m_AuditDate), static_cast<double>(now), 120.0);
  EXPECT_NE(rs.m_AuditTime, 0);
  EXPECT_EQ(rs.m_KeyWord, "");
}

// Adds a row with only `set` applied and reads it back.
template <class R, class F>
void AddAndReread(CDatabase* db, R& read, F set) {
  R rs(db);
  rs.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
  rs.AddNew();
  set(rs);
  ASSERT_TRUE(rs.Update()) << R::ClassName();
  rs.Close();
  read.Open();
  ASSERT_FALSE(read.IsEOF()) << R::ClassName();
}

TEST_P(SchemaRoundTrip, DatesLeftUnsetAreTheTimeOfTheInsert) {
  const double now = static_cast<double>(std::time(nullptr));
  CDatabase* folders = Area("QNRMSG");
  CMessages_2 message(folders);
  AddAndReread(folders, message, [](CMessages_2& r) { r.m_Title = "Hi"; });
  EXPECT_NEAR(static_cast<double>(message.m_Date), now, 120.0);
  EXPECT_TRUE(message.IsFieldNull(&message.m_LastRead));
  CResponses_2 response(folders);
  AddAndReread(folders, response, [](CResponses_2& r) { r.m_Title = "Re"; });
  EXPECT_NEAR(static_cast<double>(response.m_Date), now, 120.0);
  CMsgRead_2 msgRead(folders);
  AddAndReread(folders, msgRead, [](CMsgRead_2& r) { r.m_MsgID = 1; });
  EXPECT_NEAR(static_cast<double>(msgRead.m_Date), now, 120.0);
  // The row, without a key, is still named by its values, the date included.
  msgRead.Delete();
  EXPECT_EQ(CountRows(folders, "MsgID", "MsgRead", ""), 0);
  CResponseRead_2 responseRead(folders);
  AddAndReread(folders, responseRead, [](CResponseRead_2& r) { r.m_ResponseID = 1; });
  EXPECT_NEAR(static_cast<double>(responseRead.m_Date), now, 120.0);

  CMessageStore_2 mail(Area("QNMAIL"));
  AddAndReread(Area("QNMAIL"), mail, [](CMessageStore_2& r) { r.m_RecipID = "ann"; });
  EXPECT_NEAR(static_cast<double>(mail.m_DateSent), now, 120.0);
  EXPECT_EQ(mail.m_FileTitle, "-") << "a mail without attachment";
  EXPECT_EQ(mail.m_Received, FALSE);
  CDownloads_2 download(Area("QNFILE"));
  AddAndReread(Area("QNFILE"), download, [](CDownloads_2& r) { r.m_FileID = 1; });
  EXPECT_NEAR(static_cast<double>(download.m_DateDownloaded), now, 120.0);
  CFiles_2 file(Area("QNFILE"));
  AddAndReread(Area("QNFILE"), file, [](CFiles_2& r) { r.m_FileName = "a.txt"; });
  EXPECT_TRUE(file.IsFieldNull(&file.m_DateApproved)) << "not approved";
  CAccounts_2 account(Area("QNACCOUN"));
  AddAndReread(Area("QNACCOUN"), account, [](CAccounts_2& r) { r.m_UserID = "hal"; });
  EXPECT_NEAR(static_cast<double>(account.m_SignUpDate), now, 120.0);
  EXPECT_TRUE(account.IsFieldNull(&account.m_LastOn));
}

TEST_P(SchemaRoundTrip, ColumnsSetToNullAreLeftToTheDatabase) {
  // The services add rows with the keys and dates the database fills set to
  // null, as changed fields.
  CAuditTrail_2 audit(Area("QNAUDIT"));
  audit.m_strFilter = "AuditTrailID = 0";
  audit.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
  audit.WantInsertedKey();
  audit.AddNew();
  audit.SetFieldNull(&audit.m_AuditTrailID);
  audit.SetFieldNull(&audit.m_AuditDate);
  audit.m_UserID = "fay";
  ASSERT_TRUE(audit.Update());
  const int32_t key = audit.GetInsertedKey();
  EXPECT_GT(key, 0);
  audit.m_strFilter = "AuditTrailID=" + std::to_string(key);
  audit.Requery();
  ASSERT_FALSE(audit.IsEOF());
  EXPECT_EQ(audit.m_UserID, "fay");
  EXPECT_NEAR(static_cast<double>(audit.m_AuditDate), static_cast<double>(std::time(nullptr)), 120.0);

  CAccounts_2 account(Area("QNACCOUN"));
  account.m_strFilter = "UserID=" + SQLQuote("gus");
  account.Open();
  account.WantInsertedKey();
  account.AddNew();
  account.SetFieldNull(&account.m_AccountNumber);
  account.m_UserID = "gus";
  ASSERT_TRUE(account.Update());
  EXPECT_GT(account.GetInsertedKey(), 0);
}

TEST_P(SchemaRoundTrip, JoinedFilesCutTheLongDescription) {
  CDatabase* db = Area("QNFILE");
  CFiles_2 file(db);
  file.Open();
  file.WantInsertedKey();
  file.AddNew();
  file.m_FileName = "Report";
  file.m_LongDescription = std::string(1000, 'd');
  file.Update();
  const int32_t fileId = file.GetInsertedKey();
  CFiles2Directories_2 link(db);
  link.Open();
  link.AddNew();
  link.m_DirectoryID = 7;
  link.m_FileID = fileId;
  link.Update();

  CFiles_J_Files2Directories joined(db);
  joined.m_strFilter = "(Files2Directories.FileID=Files.FileID) AND (DirectoryID=7)";
  joined.Open();
  ASSERT_FALSE(joined.IsEOF());
  EXPECT_EQ(joined.m_FileID, fileId);
  EXPECT_EQ(joined.m_FileID2, fileId);
  EXPECT_EQ(joined.m_FileName, "Report");
  EXPECT_EQ(joined.m_LongDescription.size(), 255u);
  EXPECT_FALSE(joined.CanUpdate());
  file.Requery();
  EXPECT_EQ(file.m_LongDescription.size(), 1000u);
}

TEST_P(SchemaRoundTrip, NavigationAndOpenOptions) {
  CDatabase* db = Area("QNCHAT");
  CChatRooms_2 rs(db);
  rs.Open();
  EXPECT_TRUE(rs.IsBOF());
  EXPECT_TRUE(rs.IsEOF());
  for (const char* room : {"A", "B", "C"}) {
    rs.AddNew();
    rs.m_Room = room;
    rs.Update();
  }
  rs.m_strSort = "Room";
  rs.Requery();
  rs.MoveLast();
  EXPECT_EQ(rs.m_Room, "C");
  rs.MovePrev();
  EXPECT_EQ(rs.m_Room, "B");
  rs.MoveFirst();
  rs.MovePrev();
  EXPECT_TRUE(rs.IsBOF());
  rs.Close();
  EXPECT_EQ(db->OpenRecordsetCount(), 0);

  CChatRooms_2 forward(db);
  forward.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  EXPECT_EQ(db->OpenRecordsetCount(), 1);
  EXPECT_THROW(forward.MovePrev(), CDBException);
  EXPECT_THROW(forward.AddNew(), CDBException);
  int rows = 0;
  while (!forward.IsEOF()) {
    ++rows;
    forward.MoveNext();
  }
  EXPECT_EQ(rows, 3);

  CChatRooms_2 broken(db);
  broken.m_strFilter = "Room=";
  EXPECT_THROW(broken.Open(), CDBException);
  EXPECT_FALSE(broken.IsOpen());
  EXPECT_EQ(db->OpenRecordsetCount(), 1);
}

TEST_P(SchemaRoundTrip, RequeryTakesTheFilterAndSortSetSinceTheOpen) {
  CChatRooms_2 rs(Area("QNCHAT"));
  rs.m_strFilter = "Room = ''";
  rs.Open();
  for (const char* room : {"B", "A", "C"}) {
    rs.AddNew();
    rs.m_Room = room;
    rs.Update();
  }
  rs.Requery();
  EXPECT_TRUE(rs.IsEOF());
  rs.m_strFilter = "Room <> 'B'";
  rs.m_strSort = "Room DESC";
  rs.Requery();
  ASSERT_EQ(rs.GetRecordCount(), 2);
  EXPECT_EQ(rs.m_Room, "C");
  rs.MoveNext();
  EXPECT_EQ(rs.m_Room, "A");
}

TEST_P(SchemaRoundTrip, WalkingASnapshotWhileEditingVisitsEachRowOnce) {
  CDatabase* db = Area("QNACCOUN");
  CKeys_2 rs(db);
  rs.Open();
  for (int i = 0; i < 20; ++i) {
    rs.AddNew();
    rs.m_KeyName = "k" + std::to_string(i);
    rs.m_KeyCost = i;
    rs.Update();
  }
  rs.m_strSort = "KeyCost";
  rs.Requery();
  int visited = 0;
  while (!rs.IsEOF() && visited < 100) {
    rs.Edit();
    rs.m_KeyCost += 1000;  // moves the row behind every other one
    rs.Update();
    ++visited;
    rs.MoveNext();
  }
  EXPECT_EQ(visited, 20);
}

TEST_P(SchemaRoundTrip, WritesWhileAForwardOnlyCursorIsOpenOnTheConnection) {
  CDatabase* db = Area("QNFILE");
  CKeywords_2 add(db);
  add.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
  for (int i = 0; i < 5; ++i) {
    add.AddNew();
    add.m_FileID = i;
    add.m_Keyword = "word" + std::to_string(i);
    add.Update();
  }
  CKeywords_2 walk(db);
  walk.m_strSort = "KeywordID";
  walk.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  int seen = 0;
  while (!walk.IsEOF() && seen < 5) {
    // Another request writes on the shared connection between loop steps.
    add.AddNew();
    add.m_FileID = 100 + seen;
    add.Update();
    ++seen;
    walk.MoveNext();
  }
  EXPECT_EQ(seen, 5);
  walk.Close();
  EXPECT_EQ(CountRows(db, "KeywordID", "Keywords", ""), 10);
}

TEST_P(SchemaRoundTrip, AppendOnlyAddsAndReadsOnlyWhenAsked) {
  CDatabase* db = Area("QNMAIL");
  CMessageStore_2 rs(db);
  rs.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
  rs.WantInsertedKey();
  EXPECT_FALSE(rs.CanUpdate());
  for (const char* who : {"ann", "ben"}) {
    rs.AddNew();
    rs.m_RecipID = who;
    rs.m_Subject = "Hello";
    ASSERT_TRUE(rs.Update());
  }
  EXPECT_GT(rs.GetInsertedKey(), 0);
  // Asking for rows runs the query and sees what was added.
  EXPECT_FALSE(rs.IsEOF());
  rs.MoveLast();
  EXPECT_EQ(rs.GetRecordCount(), 2);
  EXPECT_THROW(rs.Edit(), CDBException);

  CMessageStore_2 bad(db);
  bad.m_strFilter = "NoSuchColumn=1";
  bad.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
  EXPECT_THROW(bad.IsEOF(), CDBException);
}

QN_INSTANTIATE_BOTH_MODES(SchemaRoundTrip);

}  // namespace
