// Recordset reads through statements prepared once per connection: the same
// rows as the statement as written, in both storage modes; a bounded cache;
// statements made stale by a schema change or refused by the database; a
// lost connection reported, not hidden.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "common/helpers.h"
#include "data_fixture.h"
#include "platform/odbc_statement.h"
#include "server/data/connection_pool.h"
#include "server/data/data_source.h"
#include "server/data/schema_recordsets.h"

using namespace qn::test;

namespace {

class PreparedReads : public BothModesTest {
 protected:
  static CDatabase* Area(const char* area) { return GetDatabase(AreaConnect(area), false); }
  bool OnPostgres() const { return GetParam() == StorageMode::OneDatabase; }

  static void AddAccount(CDatabase* db, const std::string& user, const std::string& first, int credits,
                         std::time_t lastOn) {
    CAccounts_2 rs(db);
    rs.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
    rs.AddNew();
    rs.m_UserID = user;
    rs.m_FirstName = first;
    rs.m_Credits = credits;
    rs.SetFieldDirty(&rs.m_Credits);
    rs.m_LastOn = lastOn;
    ASSERT_TRUE(rs.Update());
  }

  static void AddRoom(CDatabase* db, const std::string& room, int key) {
    CChatRooms_2 rs(db);
    rs.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
    rs.AddNew();
    rs.m_Room = room;
    rs.m_RoomKeyID = key;
    ASSERT_TRUE(rs.Update());
  }

  // UserID and FirstName of every row, through the recordset.
  static std::vector<std::string> ThroughRecordset(CDatabase* db, const std::string& filter,
                                                   const std::string& sort, unsigned type) {
    CAccounts_2 rs(db);
    rs.m_strFilter = filter;
    rs.m_strSort = sort;
    rs.Open(type, nullptr, CRecordset::readOnly);
    std::vector<std::string> rows;
    for (; !rs.IsEOF(); rs.MoveNext()) rows.push_back(rs.m_UserID + "|" + rs.m_FirstName);
    return rows;
  }

  // The same through the statement as written, run directly.
  static std::vector<std::string> AsWritten(CDatabase* db, const std::string& filter,
                                            const std::string& sort) {
    qn::odbc::Statement st(db->Connection());
    st.ExecuteDirect(RewriteSql(db->Dialect(), "SELECT [UserID], [FirstName] FROM [Accounts] WHERE " +
                                                   filter + " ORDER BY " + sort));
    std::vector<std::string> rows;
    while (st.Fetch()) {
      std::string user, first;
      st.GetText(1, user);
      st.GetText(2, first);
      rows.push_back(user + "|" + first);
    }
    return rows;
  }

  static int32_t RoomKey(CDatabase* db, const char* sql, const std::string& filter) {
    CChatRooms_2 rs(db);
    rs.m_strFilter = filter;
    rs.Open(CRecordset::snapshot, sql, CRecordset::readOnly);
    return rs.IsEOF() ? -1 : rs.m_RoomKeyID;
  }
};

TEST_P(PreparedReads, RowsAreThoseOfTheStatementAsWritten) {
  CDatabase* db = Area("QNACCOUN");
  AddAccount(db, "bob", "Bob", 5, 0);
  AddAccount(db, "BOBBY", "bobby", -5, 1798000000);  // December 2026
  AddAccount(db, "o'neil", "\xd3na", 100, 1800000000);  // January 2027
  AddAccount(db, "J\xf6rg", "J\xf6rg", 0, 1700000000);
  AddAccount(db, "ann", "", 12, 0);
  struct Read {
    const char* filter;
    const char* sort;
  };
  const Read reads[] = {
      {"UserID='BOB'", "AccountNumber"},
      {"UserID LIKE 'bob%'", "UserID"},
      {"UserID IN ('ANN', 'o''neil')", "AccountNumber DESC"},
      {"Credits=-5 OR Credits = 100", "AccountNumber"},
      {"Credits>-10 AND Credits<=12", "Credits DESC, AccountNumber"},
      {"FirstName='J\xf6rg' OR FirstName='\xd3NA'", "AccountNumber"},
      {"LastOn>{ts '2026-12-31 23:59:59'}", "AccountNumber"},
      {"LastOn<{d '2027-01-01'}", "LastOn"},
      {"LastOn IS NULL AND Credits BETWEEN 0 AND 12", "UserID"},
      {"(FirstName>='a') AND (FirstName<='c')", "FirstName, AccountNumber"},
      {"Credits + 1 = 6 OR UserID = ''", "AccountNumber"},
  };
  for (int pass = 0; pass < 2; ++pass) {
    const long prepares = db->Stats().prepares;
    for (const Read& r : reads) {
      SCOPED_TRACE(r.filter);
      const std::vector<std::string> written = AsWritten(db, r.filter, r.sort);
      EXPECT_FALSE(written.empty());
      EXPECT_EQ(ThroughRecordset(db, r.filter, r.sort, CRecordset::snapshot), written);
      EXPECT_EQ(ThroughRecordset(db, r.filter, r.sort, CRecordset::forwardOnly), written);
    }
    // The second pass reuses what the first prepared.
    if (pass == 1) EXPECT_EQ(db->Stats().prepares, prepares);
  }
  EXPECT_EQ(db->Stats().refused, 0u);
  EXPECT_GE(db->Stats().cached, std::size(reads));
}

TEST_P(PreparedReads, CacheStaysWithinItsBoundUnderThousandsOfTexts) {
  CDatabase* db = Area("QNCHAT");
  AddRoom(db, "Lobby", 7);
  for (int i = 0; i < 2000; ++i) {
    CChatRooms_2 rs(db);
    rs.m_strFilter = "Room='lobby'";
    // A sort expression makes each text one of its own.
    rs.m_strSort = "RoomKeyID+" + std::to_string(i);
    rs.Open(CRecordset::snapshot, nullptr, CRecordset::readOnly);
    ASSERT_FALSE(rs.IsEOF()) << i;
    ASSERT_LE(db->Stats().cached, CDatabase::kStatementCacheLimit) << i;
  }
  EXPECT_EQ(db->Stats().cached, CDatabase::kStatementCacheLimit);
  if (OnPostgres()) {
    // The server lets go of the statements the cache let go of.
    qn::odbc::Statement st(db->Connection());
    st.ExecuteDirect("SELECT COUNT(*) FROM pg_prepared_statements");
    ASSERT_TRUE(st.Fetch());
    int32_t onServer = 0;
    st.GetInt32(1, onServer);
    EXPECT_GT(onServer, 0);
    EXPECT_LE(onServer, static_cast<int32_t>(CDatabase::kStatementCacheLimit) + 2);
  }
}

TEST_P(PreparedReads, StatementIsPreparedAfreshAfterTheTableChanges) {
  CDatabase* db = Area("QNCHAT");
  AddRoom(db, "Lobby", 7);
  // "*" takes every column: the statement's result changes with the table.
  const char* sql = "SELECT * FROM [ChatRooms]";
  EXPECT_EQ(RoomKey(db, sql, "Room='lobby'"), 7);
  const long prepares = db->Stats().prepares;
  EXPECT_EQ(RoomKey(db, sql, "Room='lobby'"), 7);
  EXPECT_EQ(db->Stats().prepares, prepares);
  db->ExecuteSQL("ALTER TABLE ChatRooms ADD COLUMN Topic INTEGER DEFAULT 0");
  EXPECT_EQ(RoomKey(db, sql, "Room='lobby'"), 7);
  EXPECT_EQ(RoomKey(db, sql, "Room='none'"), -1);
  // The kept statement fails once (its result has a column more) and is
  // prepared afresh, not given up for the statement as written.
  EXPECT_EQ(db->Stats().prepares, prepares + 1);
  EXPECT_EQ(db->Stats().refused, 0u);
  db->ExecuteSQL("DROP TABLE ChatRooms");
  db->ExecuteSQL("CREATE TABLE ChatRooms (Room TEXT, RoomKeyID INTEGER, MaxInRoom SMALLINT)");
  AddRoom(db, "Lobby", 9);
  EXPECT_EQ(RoomKey(db, sql, "Room='Lobby'"), 9);
  EXPECT_EQ(RoomKey(db, nullptr, "Room='Lobby'"), 9);
}

TEST_P(PreparedReads, FormTheDatabaseRefusesRunsAsWrittenAndIsNotTriedAgain) {
  CDatabase* db = Area("QNCHAT");
  AddRoom(db, "Lobby", 7);
  // A length inside a type is a constant to both databases.
  const std::string filter = "CAST(RoomKeyID AS VARCHAR(10))='7'";
  EXPECT_EQ(RoomKey(db, nullptr, filter), 7);
  EXPECT_EQ(db->Stats().refused, 1u);
  const long prepares = db->Stats().prepares;
  EXPECT_EQ(RoomKey(db, nullptr, filter), 7);
  EXPECT_EQ(db->Stats().prepares, prepares);
  // A statement that fails either way reports the failure as written.
  try {
    RoomKey(db, nullptr, "NoSuchColumn=1");
    FAIL() << "a filter on a missing column was read";
  } catch (const CDBException& e) {
    EXPECT_EQ(std::string(e.what()).find('?'), std::string::npos) << e.what();
  }
}

TEST_P(PreparedReads, ReadersOfOneTextShareTheConnectionAndLetGoOfTheFile) {
  CDatabase* db = Area("QNAUDIT");
  for (int i = 0; i < 3; ++i) {
    CAuditTrail_2 rs(db);
    rs.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
    rs.AddNew();
    rs.m_UserID = "amy";
    rs.m_Description = "row " + std::to_string(i);
    ASSERT_TRUE(rs.Update());
  }
  // Two cursors over the same text at once, walked in turns.
  CAuditTrail_2 a(db), b(db);
  a.m_strFilter = b.m_strFilter = "UserID='amy'";
  a.m_strSort = b.m_strSort = "AuditTrailID";
  a.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  b.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  std::vector<std::string> first, second;
  while (!a.IsEOF() || !b.IsEOF()) {
    if (!a.IsEOF()) first.push_back(a.m_Description), a.MoveNext();
    if (!b.IsEOF()) second.push_back(b.m_Description), b.MoveNext();
  }
  EXPECT_EQ(first, (std::vector<std::string>{"row 0", "row 1", "row 2"}));
  EXPECT_EQ(second, first);

  // A reader closed after one row leaves its statement idle in the cache;
  // it must not keep the file's read snapshot, or the log never shrinks.
  CAuditTrail_2 partial(db);
  partial.m_strFilter = "UserID='amy'";
  partial.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  ASSERT_FALSE(partial.IsEOF());
  partial.Close();
  if (OnPostgres()) return;
  CDatabase other;
  other.OpenEx("Driver={" + std::string(kSqliteDriverName) +
               "};Database=" + (Root() / "var/lib/quillnet/QNAUDIT.MDB").string());
  other.ExecuteSQL("INSERT INTO AuditTrail (UserID) VALUES ('bea')");
  qn::odbc::Statement checkpoint(other.Connection());
  checkpoint.ExecuteDirect("PRAGMA wal_checkpoint(TRUNCATE)");
  ASSERT_TRUE(checkpoint.Fetch());
  int32_t busy = -1;
  checkpoint.GetInt32(1, busy);
  EXPECT_EQ(busy, 0);
}

TEST_P(PreparedReads, LostConnectionIsReportedNotHidden) {
  if (!OnPostgres()) GTEST_SKIP() << "a file has no connection to lose";
  CDatabase* db = Area("QNCHAT");
  AddRoom(db, "Lobby", 7);
  EXPECT_EQ(RoomKey(db, nullptr, "Room='lobby'"), 7);
  int32_t pid = 0;
  {
    qn::odbc::Statement st(db->Connection());
    st.ExecuteDirect("SELECT pg_backend_pid()");
    ASSERT_TRUE(st.Fetch());
    st.GetInt32(1, pid);
  }
  // While the first is busy the pool hands out a second connection.
  db->RecordsetOpened();
  CDatabase* admin = Area("QNFILE");
  db->RecordsetClosed();
  ASSERT_NE(admin, db);
  admin->ExecuteSQL("SELECT pg_terminate_backend(" + std::to_string(pid) + ")");
  try {
    RoomKey(db, nullptr, "Room='lobby'");
    FAIL() << "read through a terminated connection";
  } catch (const CDBException& e) {
    const std::string state = e.SqlState();
    EXPECT_TRUE(state.rfind("08", 0) == 0 || state == "57P01") << state << " " << e.what();
  }
}

// The zone of the process for one test.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old, had_ = true;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_) setenv("TZ", old_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  std::string old_;
  bool had_ = false;
};

TEST_P(PreparedReads, DatesReadBackAsMktimeGivesThemAcrossChangesOfTheOffset) {
  if (!std::filesystem::exists("/usr/share/zoneinfo/Europe/Berlin")) GTEST_SKIP() << "no zone data";
  ScopedTimeZone zone("Europe/Berlin");
  CDatabase* db = Area("QNAUDIT");
  // Every 20 minutes from three hours before to three hours after the
  // changes of 2026 (29 March and 25 October, 01:00 UTC), the hour that
  // stands twice in the autumn included.
  std::vector<std::time_t> times;
  for (std::time_t change : {std::time_t{1774746000}, std::time_t{1792890000}})
    for (std::time_t t = change - 3 * 3600; t <= change + 3 * 3600; t += 1200) times.push_back(t);
  {
    CAuditTrail_2 rs(db);
    rs.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
    for (std::time_t t : times) {
      rs.AddNew();
      rs.m_UserID = "zed";
      rs.m_AuditDate = t;
      ASSERT_TRUE(rs.Update());
    }
  }
  CAuditTrail_2 rs(db);
  rs.m_strFilter = "UserID='zed'";
  rs.m_strSort = "AuditTrailID";
  rs.Open(CRecordset::snapshot, nullptr, CRecordset::readOnly);
  for (std::time_t t : times) {
    ASSERT_FALSE(rs.IsEOF());
    // Stored as the local time; read back as mktime reads that local time.
    std::tm local{};
    localtime_r(&t, &local);
    local.tm_isdst = -1;
    EXPECT_EQ(rs.m_AuditDate, std::mktime(&local)) << t;
    rs.MoveNext();
  }
  EXPECT_TRUE(rs.IsEOF());
}

QN_INSTANTIATE_BOTH_MODES(PreparedReads);

}  // namespace
