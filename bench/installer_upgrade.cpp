// The installer's speed: the upgrade of version 1.0 files (100,000 accounts
// with their LineNumbers rows, 1,000,000 audit rows) into new files, against
// sqlite3's own INSERT INTO ... SELECT of the same rows from the same files
// in the same run; the same upgrade into PostgreSQL; and a fresh
// installation's time in each storage mode.
//   installer_upgrade [--accounts N] [--audit N]
// Exit code 0 when the upgrade reaches at least 0.1 of the anchor's rows per
// second and each fresh installation takes under 2 seconds.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/paths.h"
#include "support/bench_flags.h"
#include "support/earlier_install.h"
#include "support/installer_run.h"
#include "support/member_install.h"
#include "tools/dbsetup/core/connect_text.h"
#include "tools/dbsetup/core/installer_databases.h"
#include "tools/dbsetup/core/installer_texts.h"
#include "tools/dbsetup/core/odbc_admin.h"

namespace fs = std::filesystem;
using namespace qn::dbsetup;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

class Sqlite {
 public:
  explicit Sqlite(const fs::path& file) {
    if (sqlite3_open(file.c_str(), &db_) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db_));
  }
  ~Sqlite() { sqlite3_close(db_); }
  void Exec(const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      const std::string text = message ? message : "failed";
      sqlite3_free(message);
      throw std::runtime_error(text);
    }
  }
  sqlite3* get() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

// Version 1.0 files with `accounts` members (each with a LineNumbers row)
// and `audit` audit rows; the other tables empty.
void MakeOldFiles(const fs::path& dir, long accounts, long audit) {
  qn::test::MakeEarlierFiles(dir);
  {
    Sqlite db(dir / "QNACCOUN.MDB");
    db.Exec("BEGIN");
    sqlite3_stmt* account = nullptr;
    sqlite3_stmt* line = nullptr;
    sqlite3_prepare_v2(db.get(),
                       "INSERT INTO Accounts VALUES (?1, 'secret', 'First', 'Last', 'Company Ltd', '1 Long Road', "
                       "'Floor 2', 'City', 'State', '12345', 'Country', 'First', 'Last', 'Company Ltd', "
                       "'1 Long Road', 'Floor 2', 'City', 'State', '12345', 'Country', 'A short profile', "
                       "'A longer profile of a member, a few words about them', 1000, '1996-05-06 07:08:09', "
                       "?2, 0, 0, -1)",
                       -1, &account, nullptr);
    sqlite3_prepare_v2(db.get(), "INSERT INTO LineNumbers VALUES (?1, '555-0100', '555-0101', '555-0102', '')", -1,
                       &line, nullptr);
    for (long i = 0; i < accounts; ++i) {
      char id[32];
      std::snprintf(id, sizeof id, "member%07ld", i);
      sqlite3_bind_text(account, 1, id, -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(account, 2, i);
      sqlite3_step(account);
      sqlite3_reset(account);
      sqlite3_bind_text(line, 1, id, -1, SQLITE_TRANSIENT);
      sqlite3_step(line);
      sqlite3_reset(line);
    }
    sqlite3_finalize(account);
    sqlite3_finalize(line);
    db.Exec("COMMIT");
  }
  Sqlite db(dir / "QNAUDIT.MDB");
  db.Exec("BEGIN");
  sqlite3_stmt* row = nullptr;
  sqlite3_prepare_v2(db.get(),
                     "INSERT INTO AuditTrail (UserId, AuditDate, AuditTime, ServiceName, KeyWord, Description, "
                     "strAuditTime, dblAuditTime) VALUES (?1, '1996-05-06 00:00:00', '1899-12-30 07:08:09', "
                     "'Logon', 'Logon', 'User Logged On via 10.0.0.1', '07:08:09', 35191.297)",
                     -1, &row, nullptr);
  for (long i = 0; i < audit; ++i) {
    char id[32];
    std::snprintf(id, sizeof id, "member%07ld", i % (accounts ? accounts : 1));
    sqlite3_bind_text(row, 1, id, -1, SQLITE_TRANSIENT);
    sqlite3_step(row);
    sqlite3_reset(row);
  }
  sqlite3_finalize(row);
  db.Exec("COMMIT");
}

// An empty copy of a template (no seed rows).
void EmptyCopy(const fs::path& from, const fs::path& to) {
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  Sqlite db(to);
  db.Exec("DELETE FROM sqlite_sequence");
  sqlite3_stmt* tables = nullptr;
  sqlite3_prepare_v2(db.get(), "SELECT name FROM sqlite_master WHERE type = 'table' AND name <> 'sqlite_sequence'",
                     -1, &tables, nullptr);
  std::string deletes;
  while (sqlite3_step(tables) == SQLITE_ROW)
    deletes += "DELETE FROM \"" + std::string(reinterpret_cast<const char*>(sqlite3_column_text(tables, 0))) + "\";";
  sqlite3_finalize(tables);
  db.Exec(deletes);
}

// sqlite3 itself copying the same rows (the phone by a join on LineNumbers).
double AnchorSeconds(const fs::path& dir) {
  const auto began = Clock::now();
  {
    Sqlite db(dir / "QNACCOUN.ANC");
    db.Exec("PRAGMA synchronous=NORMAL; ATTACH '" + (dir / "QNACCOUN.MDB").string() + "' AS old; BEGIN;");
    db.Exec(
        "INSERT INTO Accounts (UserID, Password, FirstName, LastName, Company, Address1, Address2, City, "
        "State_Province, Zip, Country, BillingFirstName, BillingLastName, BillingCompany, BillingAddress1, "
        "BillingAddress2, BillingCity, BillingState_Province, BillingZip, BillingCountry, ShortProfile, LongProfile, "
        "Credits, Dormant, RatePerHour, MaxTimeOnline, SignUpDate, Phone) "
        "SELECT a.[UserId], a.[Password], a.[Firstname], a.[Lastname], a.[Company], a.[Address1], a.[Address2], "
        "a.[City], a.[State_Province], a.[Zip], a.[Country], a.[Billing First Name], a.[Billing Last Name], "
        "a.[Billing Company], a.[Billing Address1], a.[Billing Address2], a.[Billing City], "
        "a.[Billing State_Province], a.[Billing Zip], a.[Billing Country], a.[ShortProfile], a.[LongProfile], "
        "a.[Credits], a.[Dormant], a.[RatePerHour], a.[MaxTimeOnline], a.[SignupDate], l.[DayPhone] "
        "FROM old.[Accounts] a LEFT JOIN old.[LineNumbers] l ON l.[UserId] = a.[UserId] COLLATE NOCASE");
    db.Exec("COMMIT; DETACH old;");
  }
  Sqlite db(dir / "QNAUDIT.ANC");
  db.Exec("PRAGMA synchronous=NORMAL; ATTACH '" + (dir / "QNAUDIT.MDB").string() + "' AS old; BEGIN;");
  db.Exec(
      "INSERT INTO AuditTrail (UserID, AuditDate, AuditTime, ServiceName, KeyWord, Description, strAuditTime, "
      "dblAuditTime) SELECT [UserId], [AuditDate], [AuditTime], [ServiceName], [KeyWord], [Description], "
      "[strAuditTime], [dblAuditTime] FROM old.[AuditTrail]");
  db.Exec("COMMIT; DETACH old;");
  return Seconds(began);
}

class Quiet : public IUpgradeProgress {
 public:
  void Row(const char*, long, long) override { ++rows; }
  long rows = 0;
};

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  long accounts = 100000, audit = 1000000;
  qn::bench::ReadFlags(argc, argv, {{"--accounts", &accounts}, {"--audit", &audit}});
  const bool postgres = qn::test::PostgresTestServerAvailable();
  bool ok = true;
  try {
    const fs::path root = qn::test::MemberInstall::Root();
    const fs::path dir = root / "var/lib/quillnet";

    // Fresh installations, each installer in a process of its own.
    qn::test::ResetInstallation();
    qn::test::InstallerAnswers files;
    files.driverChoice = kAccessButton;
    const auto filesRun = qn::test::RunInstaller(files);
    std::printf("fresh installation, per-area files: %.3f s (ended %d)\n", filesRun.seconds,
                filesRun.ended.value_or(0));
    ok = ok && filesRun.ended == IDOK && filesRun.seconds < 2.0;
    if (postgres) {
      qn::test::ResetInstallation();
      qn::test::ScratchPgDatabase database;
      qn::test::InstallerAnswers sql;
      sql.driverChoice = kSqlServerButton;
      sql.boxes[texts::kSqlSetupQuestion] = IDYES;
      sql.params = qn::test::TestServerParams(database.name());
      const auto sqlRun = qn::test::RunInstaller(sql);
      std::printf("fresh installation, PostgreSQL: %.3f s (ended %d)\n", sqlRun.seconds, sqlRun.ended.value_or(0));
      ok = ok && sqlRun.ended == IDOK && sqlRun.seconds < 2.0;
    }

    // Version 1.0 files and the data sources of an upgrade into files.
    qn::test::ResetInstallation();
    auto began = Clock::now();
    MakeOldFiles(dir, accounts, audit);
    std::printf("made version 1.0 files: %ld accounts, %ld audit rows in %.1f s\n", accounts, audit, Seconds(began));
    LocalOdbcAdmin::Prepare();
    LocalOdbcAdmin odbc;
    const std::string programDir = dir.string() + "/";
    odbc.ConfigDataSource(kAddSystemDsn, texts::kAccessDriver,
                          AttributeList(texts::kAccessCoreAttributes, {programDir}));
    odbc.ConfigDataSource(kAddSystemDsn, texts::kAccessDriver,
                          AttributeList(texts::kAccessUpgradeAttributes, {programDir}));
    for (const char* stem : texts::kStems)
      fs::copy_file(dir / (std::string(stem) + ".NEW"), dir / (std::string(stem) + ".TMP"),
                    fs::copy_options::overwrite_existing);
    const double rows = static_cast<double>(accounts + audit);

    OdbcDatabaseWork work(programDir);
    Quiet progress;
    began = Clock::now();
    work.Upgrade({programDir, "MDB", "TMP"}, progress);
    const double ours = Seconds(began);

    for (const char* stem : {"QNACCOUN", "QNAUDIT"})
      EmptyCopy(dir / (std::string(stem) + ".NEW"), dir / (std::string(stem) + ".ANC"));
    const double anchor = AnchorSeconds(dir);
    const double ratio = anchor / ours;
    std::printf("upgrade into files: %.0f rows/s (%.2f s); sqlite3 INSERT ... SELECT: %.0f rows/s (%.2f s); "
                "upgrade/limit %.3f (target at least 0.1)\n",
                rows / ours, ours, rows / anchor, anchor, ratio);
    ok = ok && ratio >= 0.1;

    if (postgres) {
      qn::test::ScratchPgDatabase database;
      work.OpenTarget("", database.Connect());
      work.RunScript(ReadAll(dir / "QNDATA.SQL"));
      began = Clock::now();
      work.Upgrade({programDir, "MDB", ""}, progress);
      work.Commit();
      const double pg = Seconds(began);
      std::printf("upgrade into PostgreSQL: %.0f rows/s (%.2f s)\n", rows / pg, pg);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "installer_upgrade: %s\n", e.what());
    return 1;
  }
  return ok ? 0 : 1;
}
