#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/odbc_config.h"
#include "platform/odbc_connection.h"
#include "platform/odbc_error.h"
#include "platform/odbc_statement.h"

namespace fs = std::filesystem;
using namespace qn::odbc;

namespace {

constexpr const char* kSqliteDriver = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";

class OdbcLayer : public ::testing::Test {
 protected:
  // The driver manager keeps its first configuration directory for the whole
  // process, so the suite shares one.
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/qn-odbc-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_TRUE(UseConfigDirectory(dir_ / "odbc"));
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void SetUp() override {
    std::error_code ec;
    fs::remove(dir_ / "t.db", ec);
  }
  std::string FileConnect() const {
    return "Driver=" + std::string(kSqliteDriver) + ";Database=" + (dir_ / "t.db").string();
  }
  static inline fs::path dir_;
};

TEST_F(OdbcLayer, ParametersAndTypedReadsRoundTrip) {
  Connection c;
  c.Open(FileConnect());
  EXPECT_EQ(c.DbmsName(), "SQLite");
  c.Execute("CREATE TABLE t (a INTEGER, b TEXT, c DOUBLE, d TIMESTAMP, e BLOB, f SMALLINT)");
  Statement insert(c);
  insert.Prepare("INSERT INTO t VALUES (?,?,?,?,?,?)");
  std::string memo(32765, 'x');
  memo[0] = '\'';
  memo[100] = '"';
  insert.BindParams({{int32_t{-7}, SQL_INTEGER},
                     {memo, SQL_LONGVARCHAR},
                     {2.5, SQL_DOUBLE},
                     {Timestamp{2026, 2, 28, 23, 59, 58}, SQL_TYPE_TIMESTAMP},
                     {std::vector<uint8_t>{0, 1, 255}, SQL_VARBINARY},
                     {int16_t{-1}, SQL_SMALLINT}});
  insert.Execute();
  EXPECT_EQ(insert.RowCount(), 1);
  insert.BindParams({{std::monostate{}, SQL_INTEGER},
                     {std::monostate{}, SQL_VARCHAR},
                     {std::monostate{}, SQL_DOUBLE},
                     {std::monostate{}, SQL_TYPE_TIMESTAMP},
                     {std::monostate{}, SQL_VARBINARY},
                     {std::monostate{}, SQL_SMALLINT}});
  insert.Execute();

  Statement select(c);
  select.ExecuteDirect("SELECT a, b, c, d, e, f FROM t ORDER BY a DESC");
  ASSERT_EQ(select.ColumnCount(), 6);
  ASSERT_TRUE(select.Fetch());
  int32_t a = 0, f = 0;
  std::string b;
  double cval = 0;
  Timestamp d;
  std::vector<uint8_t> e;
  EXPECT_TRUE(select.GetInt32(1, a));
  EXPECT_TRUE(select.GetText(2, b));
  EXPECT_TRUE(select.GetDouble(3, cval));
  EXPECT_TRUE(select.GetTimestamp(4, d));
  EXPECT_TRUE(select.GetBytes(5, e));
  EXPECT_TRUE(select.GetInt32(6, f));
  EXPECT_EQ(a, -7);
  EXPECT_EQ(b, memo);
  EXPECT_EQ(cval, 2.5);
  EXPECT_EQ(d.year, 2026);
  EXPECT_EQ(d.day, 28);
  EXPECT_EQ(d.second, 58);
  EXPECT_EQ(e, (std::vector<uint8_t>{0, 1, 255}));
  EXPECT_EQ(f, -1);

  ASSERT_TRUE(select.Fetch());
  b = "stale";
  a = 9;
  EXPECT_FALSE(select.GetInt32(1, a));
  EXPECT_FALSE(select.GetText(2, b));
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, "");
  EXPECT_FALSE(select.Fetch());
}

TEST_F(OdbcLayer, TextIsCutToTheBoundWidth) {
  Connection c;
  c.Open(FileConnect());
  c.Execute("CREATE TABLE t (b TEXT)");
  Statement insert(c);
  insert.Prepare("INSERT INTO t VALUES (?)");
  insert.BindParams({{std::string(10000, 'q'), SQL_LONGVARCHAR}});
  insert.Execute();
  Statement select(c);
  select.ExecuteDirect("SELECT b FROM t");
  ASSERT_TRUE(select.Fetch());
  std::string b;
  select.GetText(1, b, 255);
  EXPECT_EQ(b.size(), 255u);
}

TEST_F(OdbcLayer, FailuresCarrySqlStateAndDriverText) {
  Connection c;
  c.Open(FileConnect());
  try {
    c.Execute("SELECT * FROM NoSuchTable");
    FAIL() << "no exception";
  } catch (const Error& e) {
    EXPECT_EQ(e.SqlState().size(), 5u);
    EXPECT_NE(e.DriverText().find("NoSuchTable"), std::string::npos) << e.DriverText();
  }
  // The connection stays usable after a failed statement.
  c.Execute("CREATE TABLE t (a INTEGER)");

  Connection bad;
  EXPECT_THROW(bad.Open("DSN=NoSuchDataSource"), Error);
  EXPECT_FALSE(bad.IsOpen());
}

TEST_F(OdbcLayer, DataSourcesAndDriversLiveInTheGivenDirectory) {
  ASSERT_TRUE(RegisterDriver("Test SQLite", kSqliteDriver));
  ASSERT_TRUE(WriteDataSource("Test Source", "Test SQLite",
                              {{"Database", (dir_ / "dsn.db").string()}}));
  EXPECT_EQ(ReadDataSourceAttribute("Test Source", "Database"), (dir_ / "dsn.db").string());
  std::ifstream ini(dir_ / "odbc" / "odbc.ini");
  std::stringstream text;
  text << ini.rdbuf();
  EXPECT_NE(text.str().find("[Test Source]"), std::string::npos);

  Connection c;
  c.Open("DSN=Test Source");
  c.Execute("CREATE TABLE t (a INTEGER)");
  EXPECT_TRUE(fs::exists(dir_ / "dsn.db"));
}

}  // namespace
