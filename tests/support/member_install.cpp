#include "support/member_install.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "common/registry.h"
#include "support/scoped_root.h"
#include "platform/odbc_config.h"
#include "platform/odbc_statement.h"
#include "server/data/data_source.h"
#include "server/data/database.h"
#include "server/data/sql_script.h"

namespace fs = std::filesystem;

namespace qn::test {

namespace {

constexpr const char* kAreaFiles[] = {"QNACCOUN", "QNAUDIT", "QNCHAT", "QNDB",
                                      "QNFILE",   "QNMAIL",  "QNRMSG"};
constexpr const char* kPgDataSource = "Quillnet Member Tests PostgreSQL";

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string PgAttributes() {
  return "Servername=" + Env("QN_TEST_PG_HOST") + ";Port=" + Env("QN_TEST_PG_PORT") +
         ";UID=" + Env("QN_TEST_PG_USER") + ";PWD=" + Env("QN_TEST_PG_PASSWORD");
}

std::string PgConnect(const std::string& database) {
  return "Driver={" + std::string(kPostgresDriverName) + "};Database=" + database + ";" +
         PgAttributes();
}

std::string SchemaDir() { return std::string(QN_SOURCE_DIR) + "/data"; }

}  // namespace

const char* StorageModeName(StorageMode mode) {
  return mode == StorageMode::Access ? "MSAccess" : "MSSQL";
}

bool PostgresTestServerAvailable() { return !Env("QN_TEST_PG_HOST").empty(); }

const fs::path& MemberInstall::Root() {
  return qn::test::ProcessRoot("qn-members");
}

MemberInstall::~MemberInstall() {
  if (pgDatabase_.empty()) return;
  try {
    CDatabase admin;
    admin.OpenEx(PgConnect("postgres"));
    admin.ExecuteSQL("DROP DATABASE IF EXISTS " + pgDatabase_ + " WITH (FORCE)");
  } catch (const std::exception&) {
  }
}

bool MemberInstall::Create(StorageMode mode, uint16_t port, std::string* error) {
  mode_ = mode;
  Root();
  try {
    if (!EnsureOdbcSetup()) {
      *error = "cannot write the ODBC configuration";
      return false;
    }
    CQuillnetRegistry registry;
    registry.WriteDWORD("General", "Port", port);
    registry.WriteString("General", "ODBCType", StorageModeName(mode));
    if (mode == StorageMode::Access) {
      qn::odbc::WriteDataSource(kServerDataSource, kSqliteDriverName, {});
      const fs::path dir = Root() / "var/lib/quillnet";
      for (const char* area : kAreaFiles) {
        const fs::path file = dir / (std::string(area) + ".MDB");
        for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(file.string() + suffix);
        CDatabase db;
        db.OpenEx("Driver={" + std::string(kSqliteDriverName) + "};Database=" + file.string());
        RunSqlScript(db, ReadScriptFile(SchemaDir() + "/schema-sqlite/" + area + ".sql"));
        // As scripts/create-databases makes them: the owner's only, and so
        // the side files the server's driver makes beside them.
        fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
      }
      return true;
    }
    if (!PostgresTestServerAvailable()) {
      *error = "no PostgreSQL test server (QN_TEST_PG_HOST)";
      return false;
    }
    static std::atomic<int> counter{0};
    pgDatabase_ = "qnm_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    {
      CDatabase admin;
      admin.OpenEx(PgConnect("postgres"));
      admin.ExecuteSQL("DROP DATABASE IF EXISTS " + pgDatabase_);
      admin.ExecuteSQL("CREATE DATABASE " + pgDatabase_);
    }
    {
      CDatabase db;
      db.OpenEx(PgConnect(pgDatabase_));
      RunSqlScript(db, ReadScriptFile(SchemaDir() + "/schema-postgresql.sql"));
    }
    qn::odbc::WriteDataSource(
        kPgDataSource, kPostgresDriverName,
        {{"Servername", Env("QN_TEST_PG_HOST")}, {"Port", Env("QN_TEST_PG_PORT")}});
    const std::string connect = "DSN=" + std::string(kPgDataSource) + ";Database=" + pgDatabase_ +
                                ";UID=" + Env("QN_TEST_PG_USER") +
                                ";PWD=" + Env("QN_TEST_PG_PASSWORD");
    registry.WriteString("General", "ODBCConnectString", connect.c_str());
    return true;
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
}

std::string MemberInstall::ConnectFor(const char* area) const {
  if (mode_ == StorageMode::Postgres) return PgConnect(pgDatabase_);
  return "Driver={" + std::string(kSqliteDriverName) + "};Database=" +
         (Root() / "var/lib/quillnet" / (std::string(area) + ".MDB")).string();
}

std::unique_ptr<CDatabase> MemberInstall::Open(const char* area) const {
  auto db = std::make_unique<CDatabase>();
  db->OpenEx(ConnectFor(area));
  return db;
}

void MemberInstall::Exec(const char* area, const std::string& sql) {
  CDatabase db;
  db.OpenEx(ConnectFor(area));
  db.ExecuteSQL(sql);
}

void MemberInstall::ExecAccount(const std::string& sql) { Exec("QNACCOUN", sql); }

std::string MemberInstall::Query(const char* area, const std::string& sql) {
  CDatabase db;
  db.OpenEx(ConnectFor(area));
  qn::odbc::Statement statement(db.Connection());
  statement.ExecuteDirect(RewriteSql(db.Dialect(), sql));
  if (!statement.Fetch()) return "";
  std::string text;
  statement.GetText(1, text);
  return text;
}

std::string MemberInstall::QueryAccount(const std::string& sql) { return Query("QNACCOUN", sql); }
std::string MemberInstall::QueryAudit(const std::string& sql) { return Query("QNAUDIT", sql); }

long MemberInstall::Count(const char* area, const std::string& sql) {
  return std::atol(Query(area, "SELECT COUNT(*) FROM (" + sql + ") AS counted").c_str());
}

long MemberInstall::CountAccount(const std::string& sql) { return Count("QNACCOUN", sql); }

void MemberInstall::SeedAccountDefaults(int32_t credits, int16_t rate, int16_t maxOnline) {
  const std::string t = TrueLiteral();
  ExecAccount("INSERT INTO Defaults (Credits, Rate, MaxOnline) VALUES (" + std::to_string(credits) +
              ", " + std::to_string(rate) + ", " + std::to_string(maxOnline) + ")");
  ExecAccount("INSERT INTO KeyChains (KeyChainID, KeyChain, IsDefault) VALUES (1, 'Members', " +
              t + ")");
  ExecAccount("INSERT INTO KeyChains (KeyChainID, KeyChain, IsDefault) VALUES (2, 'Staff', 0)");
  ExecAccount(
      "INSERT INTO Keys (KeyID, AppName, KeyName, Description, KeyCost) VALUES "
      "(1, 'chat', 'enter', 'Chat rooms', 0), (2, 'Files', 'Download', 'Downloads', 5), "
      "(3, 'files', 'upload', 'Uploads', 2), (4, 'Admin', 'Kick', 'Staff only', 0), "
      "(5, 'Games', 'Play', 'Games', 1)");
  ExecAccount("INSERT INTO Keys2Chains (KeyChainID, KeyID) VALUES (1, 1), (1, 2), (1, 3), (2, 4)");
}

}  // namespace qn::test
