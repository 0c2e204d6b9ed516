// The templates the build makes are their schema scripts plus the seed rows,
// one self-contained file each: a template that drifts from its script, or
// a script whose later additions step 5 cannot find, fails here.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/earlier_install.h"
#include "support/scoped_root.h"
#include "tools/dbsetup/core/installer_texts.h"
#include "tools/dbsetup/core/schema_scripts.h"
#include "tools/dbsetup/core/seed_records.h"

namespace qn::dbsetup::test {
namespace {

namespace fs = std::filesystem;
using qn::test::ExecSqlite;
using qn::test::SqliteRows;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Inserts the seed rows into an SQLite file with sqlite3.
class FileSeeds : public ISeedTarget {
 public:
  explicit FileSeeds(fs::path file) : file_(std::move(file)) {}
  int32_t Insert(const std::string& sql, bool wantKey) override {
    ExecSqlite(file_, sql);
    return wantKey ? std::stoi(qn::test::QuerySqlite(file_, "SELECT max(rowid) FROM " + TableOf(sql))) : 0;
  }

 private:
  static std::string TableOf(const std::string& sql) {
    const size_t start = sql.find("INTO ") + 5;
    return sql.substr(start, sql.find(' ', start) - start);
  }
  fs::path file_;
};

TEST(Templates, EachIsItsScriptWithItsSeedRowsInOneFile) {
  qn::test::ScopedRoot scratch;
  for (const char* stem : texts::kStems) {
    SCOPED_TRACE(stem);
    const fs::path made = fs::path(QN_TEMPLATE_DIR) / (std::string(stem) + ".NEW");
    ASSERT_TRUE(fs::exists(made));
    for (const char* suffix : {"-wal", "-shm", "-journal"}) EXPECT_FALSE(fs::exists(made.string() + suffix));

    const fs::path fresh = scratch.path() / (std::string(stem) + ".db");
    ExecSqlite(fresh, ReadAll(fs::path(QN_DATA_DIR) / "schema-sqlite" / (std::string(stem) + ".sql")));
    FileSeeds seeds(fresh);
    InsertSeedRows(seeds, -1, stem);

    const std::string schema = "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name";
    EXPECT_EQ(SqliteRows(made, schema), SqliteRows(fresh, schema));
    EXPECT_EQ(SqliteRows(made, "PRAGMA journal_mode"), std::vector<std::string>{"wal"});
    for (const std::string& table : TablesOfScript(ReadAll(fs::path(QN_DATA_DIR) / "schema-sqlite" /
                                                           (std::string(stem) + ".sql")))) {
      // Rows the database dates itself differ by the moment they were made.
      std::string columns;
      for (const std::string& column : SqliteRows(fresh, "SELECT name FROM pragma_table_info('" + table +
                                                             "') WHERE dflt_value NOT LIKE '%now%' "
                                                             "OR dflt_value IS NULL"))
        columns += (columns.empty() ? "" : ", ") + column;
      const std::string rows = "SELECT " + columns + " FROM " + table + " ORDER BY rowid";
      EXPECT_EQ(SqliteRows(made, rows), SqliteRows(fresh, rows)) << table;
    }
  }
  EXPECT_EQ(ReadAll(fs::path(QN_TEMPLATE_DIR) / "QNDATA.SQL"),
            ReadAll(fs::path(QN_DATA_DIR) / "schema-postgresql.sql"));
}

TEST(Templates, SeedRowsLinkByTheNumbersTheDatabaseGave) {
  // Keys start at 10 here: the links and the administrator's chains follow.
  qn::test::ScopedRoot scratch;
  const fs::path file = scratch.path() / "QNACCOUN.db";
  ExecSqlite(file, ReadAll(fs::path(QN_DATA_DIR) / "schema-sqlite/QNACCOUN.sql"));
  ExecSqlite(file, "INSERT INTO Keys (KeyID) VALUES (9); DELETE FROM Keys; "
                   "INSERT INTO KeyChains (KeyChainID) VALUES (20); DELETE FROM KeyChains;");
  FileSeeds seeds(file);
  InsertSeedRows(seeds, -1, "QNACCOUN");
  EXPECT_EQ(SqliteRows(file,
                       "SELECT c.KeyChain, k.KeyName FROM Keys2Chains l JOIN KeyChains c ON c.KeyChainID = "
                       "l.KeyChainID JOIN Keys k ON k.KeyID = l.KeyID ORDER BY 1, 2"),
            (std::vector<std::string>{"CHAT MASTER|Chat", "CHAT MASTER|Private", "FILE LIBRARY MASTER|File Receive",
                                      "FILE LIBRARY MASTER|File Send", "MAIL MASTER|Compose"}));
  EXPECT_EQ(SqliteRows(file, "SELECT MIN(KeyChainID) FROM UserID2KeyChain"), std::vector<std::string>{"21"});
  EXPECT_EQ(SqliteRows(file, "SELECT UserID, Password, Credits, RatePerHour, MaxTimeOnline FROM Accounts"),
            std::vector<std::string>{"Administrator|Plinkett|1000|0|-1"});
  EXPECT_EQ(SqliteRows(file, "SELECT DISTINCT IsDefault FROM KeyChains"), std::vector<std::string>{"-1"});
}

TEST(Templates, LaterAdditionsComeFromTheScriptsAsTheyStand) {
  const ProceduresStatements sqlite = ProceduresFromScript(kSqliteQndbScript);
  EXPECT_EQ(sqlite.addColumn, "ALTER TABLE Databases ADD COLUMN ODBCConnectString TEXT DEFAULT ''");
  ASSERT_EQ(sqlite.createTable.size(), 2u);
  EXPECT_EQ(sqlite.createTable[0].rfind("CREATE TABLE Procedures (", 0), 0u);
  EXPECT_EQ(sqlite.createTable[1], "CREATE INDEX Procedures_DatabaseName ON Procedures (DatabaseName)");
  const ProceduresStatements postgres = ProceduresFromScript(kPostgresScript);
  EXPECT_EQ(postgres.addColumn, "ALTER TABLE Databases ADD COLUMN ODBCConnectString varchar(250) DEFAULT ''");
  EXPECT_EQ(postgres.createTable.size(), 2u);
  EXPECT_THROW(ProceduresFromScript("CREATE TABLE Databases (DatabaseName TEXT);"), std::logic_error);
  // The embedded scripts are the files of data/.
  EXPECT_EQ(std::string(kPostgresScript), ReadAll(fs::path(QN_DATA_DIR) / "schema-postgresql.sql"));
}

}  // namespace
}  // namespace qn::dbsetup::test
