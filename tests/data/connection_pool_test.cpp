#include <gtest/gtest.h>

#include <filesystem>

#include "common/registry.h"
#include "data_fixture.h"
#include "platform/odbc_statement.h"
#include "server/data/connection_pool.h"

using namespace qn::test;

namespace {

TEST(PoolKey, AreaFilesCollapseToTheOneDatabase) {
  const std::string sql = "DSN=Quillnet Server;UID=sa;PWD=";
  const std::string file = DatabasePoolKey("DSN=Quillnet Server;DBQ=QNFILE.MDB", false, sql);
  EXPECT_EQ(file, "ODBC;DSN=Quillnet Server;DSN=Quillnet Server;UID=sa;PWD=");
  EXPECT_EQ(DatabasePoolKey("DSN=Quillnet Server;DBQ=QNMAIL.MDB", false, sql), file);
}

TEST(PoolKey, UserDataSourcesBorrowTheLoginInOneDatabaseMode) {
  EXPECT_EQ(DatabasePoolKey("DSN=Sales", false, "DSN=Quillnet Server;UID=sa;PWD="),
            "ODBC;DSN=Sales;UID=sa;PWD=");
  // Without a login there is nothing to lend.
  EXPECT_EQ(DatabasePoolKey("DSN=Sales", false, "DSN=Quillnet Server"), "ODBC;DSN=Sales");
}

TEST(PoolKey, AccessModeKeepsTheCallersText) {
  EXPECT_EQ(DatabasePoolKey("DSN=Sales", true, ""), "ODBC;DSN=Sales");
  EXPECT_EQ(DatabasePoolKey("DSN=Quillnet Server;DBQ=QNFILE.MDB", true, ""),
            "ODBC;DSN=Quillnet Server;DBQ=QNFILE.MDB");
}

TEST(PoolKey, MdbBeforeTheFileClauseDoesNotGarbleTheKey) {
  // A ".MDB" that stands before ";DBQ=" is no file name to cut.
  EXPECT_EQ(DatabasePoolKey("DSN=Quillnet Server;X=A.MDB;DBQ=QNFILE", false, "UID=u"),
            "ODBC;DSN=Quillnet Server;X=A.MDB;DBQ=QNFILE;UID=u");
}

class ConnectionPool : public DataTest {};

TEST_F(ConnectionPool, FirstCallOfTheProcessFindsOurDataSource) {
  // Under ctest this is the process's first ODBC call: the driver manager
  // must already see the installation's own configuration.
  Root();
  CQuillnetRegistry().WriteString("General", "ODBCType", "MSAccess");
  try {
    GetDatabase(AreaConnect("QNNONE"), false);
    FAIL() << "opened a missing area file";
  } catch (const CDBException& e) {
    EXPECT_NE(e.SqlState(), "IM002") << e.what();
  }
}

TEST_F(ConnectionPool, AccessAreaFileIsOneSharedConnection) {
  UseAccessFiles();
  CDatabase* first = GetDatabase(AreaConnect("QNFILE"), false);
  first->RecordsetOpened();  // the first request still reads
  CDatabase* second = GetDatabase(AreaConnect("QNFILE"), false);
  EXPECT_EQ(first, second);
  // Even the member module's reserved connection serves everybody here.
  CDatabase* reserved = GetDatabase(AreaConnect("QNACCOUN"), true);
  EXPECT_EQ(GetDatabase(AreaConnect("QNACCOUN"), false), reserved);
  EXPECT_NE(reserved, first);
  EXPECT_EQ(first->Dialect(), SqlDialect::SQLite);
  EXPECT_EQ(first->GetQueryTimeout(), 30);
  first->RecordsetClosed();
}

TEST_F(ConnectionPool, AccessTypeIsReadWithoutRegardToCase) {
  UseAccessFiles();
  CQuillnetRegistry().WriteString("General", "ODBCType", "msaccess");
  CQuillnetRegistry().WriteString("General", "ODBCConnectString", "DSN=Elsewhere;UID=x");
  ForgetDatabaseSettings();
  EXPECT_EQ(GetDatabase(AreaConnect("QNMAIL"), false)->Dialect(), SqlDialect::SQLite);
}

TEST_F(ConnectionPool, FailedOpenLeavesNoTraceAndIsTriedAgain) {
  UseAccessFiles();
  const auto file = Root() / "var/lib/quillnet/QNCHAT.MDB";
  std::filesystem::rename(file, file.string() + ".away");
  EXPECT_THROW(GetDatabase(AreaConnect("QNCHAT"), false), CDBException);
  // A missing area file is an error, not a new empty database.
  EXPECT_FALSE(std::filesystem::exists(file));
  std::filesystem::rename(file.string() + ".away", file);
  CDatabase* db = GetDatabase(AreaConnect("QNCHAT"), false);
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(db->IsOpen());
}

TEST_F(ConnectionPool, TermClosesEverythingAndALaterCallStartsAfresh) {
  UseAccessFiles();
  GetDatabase(AreaConnect("QNDB"), false);
  TermDatabasePool();
  InitDatabasePool();
  CDatabase* db = GetDatabase(AreaConnect("QNDB"), false);
  EXPECT_TRUE(db->IsOpen());
}

class ConnectionPoolPostgres : public DataTest {
 protected:
  // Tables whose statistics were refreshed, and the latest refresh.
  static std::pair<int, std::string> Analyzed(CDatabase* db) {
    qn::odbc::Statement s(db->Connection());
    s.ExecuteDirect(
        "SELECT count(*), coalesce(max(last_analyze)::text, '') FROM pg_stat_user_tables "
        "WHERE last_analyze IS NOT NULL");
    std::pair<int, std::string> result;
    if (s.Fetch()) {
      s.GetInt32(1, result.first);
      s.GetText(2, result.second);
    }
    return result;
  }
};

TEST_F(ConnectionPoolPostgres, AreasShareOneKeyAndBusyConnectionsAreNotHandedOut) {
  QN_REQUIRE_POSTGRES();
  CDatabase* file = GetDatabase(AreaConnect("QNFILE"), false);
  EXPECT_EQ(file->Dialect(), SqlDialect::PostgreSQL);
  EXPECT_EQ(file->GetQueryTimeout(), 30);
  const auto afterFirst = Analyzed(file);
  EXPECT_EQ(afterFirst.first, 24);

  // Free again: the next caller of any area gets the same connection.
  EXPECT_EQ(GetDatabase(AreaConnect("QNMAIL"), false), file);

  file->RecordsetOpened();
  CDatabase* mail = GetDatabase(AreaConnect("QNMAIL"), false);
  EXPECT_NE(mail, file);
  EXPECT_EQ(mail->GetQueryTimeout(), 30);
  EXPECT_EQ(Analyzed(mail).second, afterFirst.second) << "statistics ran again";
  file->RecordsetClosed();
}

TEST_F(ConnectionPoolPostgres, ReservedConnectionIsNeverHandedToAnybodyElse) {
  QN_REQUIRE_POSTGRES();
  CDatabase* reserved = GetDatabase(AreaConnect("QNACCOUN"), true);
  CDatabase* other = GetDatabase(AreaConnect("QNACCOUN"), false);
  EXPECT_NE(other, reserved);
  EXPECT_EQ(GetDatabase(AreaConnect("QNRMSG"), false), other);
  other->RecordsetOpened();
  CDatabase* third = GetDatabase(AreaConnect("QNFILE"), false);
  EXPECT_NE(third, reserved);
  EXPECT_NE(third, other);
  other->RecordsetClosed();
}

TEST_F(ConnectionPoolPostgres, MissingTableEndsTheStatisticsRefreshSilently) {
  QN_REQUIRE_POSTGRES();
  {
    CDatabase setup;
    setup.OpenEx(CQuillnetRegistry().ReadString("General", "ODBCConnectString", ""));
    setup.ExecuteSQL("DROP TABLE Defaults");
  }
  CDatabase* db = GetDatabase(AreaConnect("QNACCOUN"), false);
  // Accounts, AuditTrail, ChatRooms and Databases come before Defaults.
  EXPECT_EQ(Analyzed(db).first, 4);
}

TEST_F(ConnectionPoolPostgres, AConnectionWhoseServerWentIsOpenedAfreshAtItsNextUse) {
  QN_REQUIRE_POSTGRES();
  CDatabase* reserved = GetDatabase(AreaConnect("QNACCOUN"), true);
  CDatabase* shared = GetDatabase(AreaConnect("QNFILE"), false);
  const auto backend = [](CDatabase* db) {
    qn::odbc::Statement s(db->Connection());
    s.ExecuteDirect("SELECT pg_backend_pid()");
    int32_t pid = 0;
    if (s.Fetch()) s.GetInt32(1, pid);
    return pid;
  };
  const int32_t oldShared = backend(shared);
  const int32_t oldReserved = backend(reserved);
  {
    // What a restart of the database server does to every session.
    CDatabase admin;
    admin.OpenEx(CQuillnetRegistry().ReadString("General", "ODBCConnectString", ""));
    admin.ExecuteSQL("SELECT pg_terminate_backend(" + std::to_string(oldShared) +
                     "), pg_terminate_backend(" + std::to_string(oldReserved) + ")");
  }
  for (CDatabase* db : {shared, reserved}) {
    try {
      db->ExecuteSQL("SELECT 1");
      FAIL() << "a terminated session answered";
    } catch (const CDBException& e) {
      EXPECT_TRUE(qn::odbc::IsConnectionLost(e)) << e.SqlState() << " " << e.what();
    }
    EXPECT_TRUE(db->Connection().IsLost());
  }
  // The same objects come back working, on new sessions.
  EXPECT_EQ(GetDatabase(AreaConnect("QNMAIL"), false), shared);
  EXPECT_NE(backend(shared), oldShared);
  ReopenIfLost(reserved);
  EXPECT_NE(backend(reserved), oldReserved);
  EXPECT_EQ(reserved->GetQueryTimeout(), 30);
  // A connection a request still reads from is not pulled from under it.
  shared->Connection().MarkLost();
  shared->RecordsetOpened();
  ReopenIfLost(shared);
  EXPECT_TRUE(shared->Connection().IsLost());
  shared->RecordsetClosed();
}

}  // namespace
