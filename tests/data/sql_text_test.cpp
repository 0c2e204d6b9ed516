// The rewrites of the system's SQL for each database, the script splitter
// and the connect strings the drivers get.
#include <gtest/gtest.h>

#include "common/helpers.h"
#include "data_fixture.h"
#include "server/data/count_rows.h"
#include "server/data/connection_pool.h"
#include "server/data/data_source.h"
#include "server/data/sql_dialect.h"
#include "server/data/sql_script.h"

using namespace qn::test;

namespace {

TEST(SqlRewrite, BracketsGoOnPostgresOutsideLiteralsOnly) {
  EXPECT_EQ(RewriteSql(SqlDialect::PostgreSQL, "SELECT [UserID] FROM [Accounts] WHERE Zip='[1]'"),
            "SELECT UserID FROM Accounts WHERE Zip='[1]'");
  EXPECT_EQ(RewriteSql(SqlDialect::PostgreSQL, "X='it''s [a]' AND [B]=1"), "X='it''s [a]' AND B=1");
  EXPECT_EQ(RewriteSql(SqlDialect::SQLite, "SELECT [UserID] FROM [Accounts]"),
            "SELECT [UserID] FROM [Accounts]");
}

TEST(SqlRewrite, StatisticsBecomeAnalyze) {
  EXPECT_EQ(RewriteSql(SqlDialect::PostgreSQL, "UPDATE STATISTICS Accounts"), "ANALYZE Accounts");
  EXPECT_EQ(RewriteSql(SqlDialect::SQLite, "update  statistics [Files]"), "ANALYZE [Files]");
  EXPECT_EQ(RewriteSql(SqlDialect::PostgreSQL, "UPDATE StatisticsLog SET A=1"),
            "UPDATE StatisticsLog SET A=1");
}

TEST(SqlScript, SplitsAtSemicolonsOutsideLiteralsAndComments) {
  const auto parts = SplitSqlScript(
      "-- heading; with a semicolon\nCREATE TABLE a (x TEXT DEFAULT ';');\n\n  ;INSERT INTO a VALUES ('--');");
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_NE(parts[0].find("DEFAULT ';'"), std::string::npos);
  EXPECT_NE(parts[1].find("('--')"), std::string::npos);
}

TEST(ConnectTranslation, AreaFilesBecomeSqliteFilesInTheProgramDirectory) {
  const std::string text = TranslateConnectString("ODBC;DSN=Quillnet Server;DBQ=QNFILE.MDB");
  EXPECT_EQ(text.rfind("DSN=Quillnet Server;Database=/", 0), 0u) << text;
  EXPECT_NE(text.find("var/lib/quillnet/QNFILE.MDB;"), std::string::npos) << text;
  EXPECT_NE(text.find("JournalMode=WAL"), std::string::npos);
  EXPECT_NE(text.find("NoCreat=1"), std::string::npos);
  EXPECT_EQ(TranslateConnectString("DSN=Sales;UID=sa;PWD="), "DSN=Sales;UID=sa;PWD=");
  // The one-database string appended by the pool names the data source meant.
  EXPECT_EQ(TranslateConnectString("ODBC;DSN=Quillnet Server;DSN=Other;UID=u;PWD=p"),
            "DSN=Other;UID=u;PWD=p");
  // The login lent to a data source that has its own does not replace it.
  EXPECT_EQ(TranslateConnectString("ODBC;DSN=Sales;UID=bob;PWD=x;UID=sa;PWD="),
            "DSN=Sales;UID=bob;PWD=x");
  EXPECT_EQ(TranslateConnectString("ODBC;DSN=Sales;Database=s;UID=sa;PWD="),
            "DSN=Sales;Database=s;UID=sa;PWD=");
}

class SqlRewriteOnDatabases : public DataTest {
 protected:
  void Exercise() {
    CDatabase* db = GetDatabase(AreaConnect("QNACCOUN"), false);
    db->ExecuteSQL("INSERT INTO [Accounts] ([UserID], [Zip]) VALUES ('x', '[z]')");
    db->ExecuteSQL("UPDATE STATISTICS Accounts");
    db->ExecuteSQL("UPDATE [Accounts] SET [Zip]='[y]' WHERE [UserID]='X'");
    // A quoted client text stays one literal: a backslash escapes nothing.
    const std::string text = "z\\' OR 'a'='a";
    EXPECT_EQ(CountRows(db, "UserID", "Accounts", "UserID=" + SQLQuote(text)), 0);
    db->ExecuteSQL("INSERT INTO Accounts (UserID) VALUES (" + SQLQuote(text) + ")");
    EXPECT_EQ(CountRows(db, "UserID", "Accounts", "UserID=" + SQLQuote(text)), 1);
  }
};

TEST_F(SqlRewriteOnDatabases, SqliteTakesTheSystemsText) {
  UseAccessFiles();
  Exercise();
}

TEST_F(SqlRewriteOnDatabases, PostgresTakesTheSystemsText) {
  QN_REQUIRE_POSTGRES();
  Exercise();
}

}  // namespace
