#include "data_fixture.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "common/registry.h"
#include "platform/odbc_config.h"
#include "server/data/connection_pool.h"
#include "server/data/data_source.h"
#include "server/data/sql_script.h"

namespace fs = std::filesystem;

namespace qn::test {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string PgServerAttributes() {
  return "Servername=" + Env("QN_TEST_PG_HOST") + ";Port=" + Env("QN_TEST_PG_PORT") +
         ";UID=" + Env("QN_TEST_PG_USER") + ";PWD=" + Env("QN_TEST_PG_PASSWORD");
}

constexpr const char* kPgDataSource = "Quillnet Test PostgreSQL";

void ResetPool() {
  TermDatabasePool();
  ForgetDatabaseSettings();
}

}  // namespace

std::string AreaConnect(const std::string& area) {
  return "DSN=Quillnet Server;DBQ=" + area + ".MDB";
}

fs::path DataTest::Root() {
  static const fs::path root = [] {
    char pattern[] = "/tmp/qn-data-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    setenv("QN_ROOT", pattern, 1);
    fs::create_directories(fs::path(pattern) / "var/lib/quillnet");
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(std::getenv("QN_ROOT"), ec);
    });
    return fs::path(pattern);
  }();
  return root;
}

void DataTest::TearDown() {
  ResetPool();
  if (!pgDatabase_.empty()) {
    CDatabase admin;
    admin.OpenEx("Driver={" + std::string(kPostgresDriverName) + "};Database=postgres;" +
                 PgServerAttributes());
    admin.ExecuteSQL("DROP DATABASE IF EXISTS " + pgDatabase_);
    pgDatabase_.clear();
  }
}

void DataTest::UseAccessFiles() {
  Root();
  ResetPool();
  ASSERT_TRUE(EnsureOdbcSetup());
  ASSERT_TRUE(qn::odbc::WriteDataSource(kServerDataSource, kSqliteDriverName, {}));
  CQuillnetRegistry().WriteString("General", "ODBCType", "MSAccess");
  const fs::path dir = Root() / "var/lib/quillnet";
  for (const char* area : kAreaFiles) {
    const fs::path file = dir / (std::string(area) + ".MDB");
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(file.string() + suffix);
    CDatabase db;
    db.OpenEx("Driver={" + std::string(kSqliteDriverName) + "};Database=" + file.string());
    const std::string script =
        ReadScriptFile(std::string(QN_DATA_DIR) + "/schema-sqlite/" + area + ".sql");
    ASSERT_FALSE(script.empty()) << area;
    RunSqlScript(db, script);
  }
}

std::string StorageModeName(const ::testing::TestParamInfo<StorageMode>& info) {
  return info.param == StorageMode::AreaFiles ? "SQLiteFiles" : "PostgreSQL";
}

void BothModesTest::SetUp() {
  if (GetParam() == StorageMode::AreaFiles) {
    UseAccessFiles();
  } else if (!UsePostgres()) {
    GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
  }
}

bool DataTest::PostgresAvailable() { return !Env("QN_TEST_PG_HOST").empty(); }

bool DataTest::UsePostgres() {
  if (!PostgresAvailable()) return false;
  Root();
  ResetPool();
  static std::atomic<int> counter{0};
  pgDatabase_ = "qn_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
  EXPECT_TRUE(EnsureOdbcSetup());
  {
    CDatabase admin;
    admin.OpenEx("Driver={" + std::string(kPostgresDriverName) + "};Database=postgres;" +
                 PgServerAttributes());
    admin.ExecuteSQL("DROP DATABASE IF EXISTS " + pgDatabase_);
    admin.ExecuteSQL("CREATE DATABASE " + pgDatabase_);
  }
  {
    CDatabase db;
    db.OpenEx("Driver={" + std::string(kPostgresDriverName) + "};Database=" + pgDatabase_ + ";" +
              PgServerAttributes());
    RunSqlScript(db, ReadScriptFile(std::string(QN_DATA_DIR) + "/schema-postgresql.sql"));
  }
  // A data source of its own: the driver manager keeps what it read of
  // "Quillnet Server" (the SQLite files) for the life of the process.
  EXPECT_TRUE(qn::odbc::WriteDataSource(
      kPgDataSource, kPostgresDriverName,
      {{"Servername", Env("QN_TEST_PG_HOST")}, {"Port", Env("QN_TEST_PG_PORT")}}));
  CQuillnetRegistry reg;
  reg.WriteString("General", "ODBCType", "MSSQL");
  const std::string connect = "DSN=" + std::string(kPgDataSource) + ";Database=" + pgDatabase_ +
                              ";UID=" + Env("QN_TEST_PG_USER") + ";PWD=" + Env("QN_TEST_PG_PASSWORD");
  reg.WriteString("General", "ODBCConnectString", connect.c_str());
  return true;
}

}  // namespace qn::test
