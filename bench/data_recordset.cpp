// Recordset throughput on a per-area SQLite file: a single-row read by key
// (Accounts by UserID) and an insert (AuditTrail), through the recordset
// layer over ODBC, against the same work through the sqlite3 C API on the
// same file in the same run, two ways: a statement prepared per operation,
// and one statement prepared once and reset between operations (the most
// one thread gets from the file). The same journal settings on both sides:
// WAL, synchronous NORMAL, busy timeout.
//
//   data_recordset [seconds per figure]     (default 2)
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/registry.h"
#include "server/data/connection_pool.h"
#include "server/data/database.h"
#include "server/data/schema_recordsets.h"
#include "server/data/sql_script.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kAccounts = 1000;
constexpr const char* kAccountColumns =
    "AccountNumber, Address1, Address2, BillingAddress1, BillingAddress2, BillingCity, "
    "BillingCompany, BillingCountry, BillingFirstName, BillingLastName, BillingState_Province, "
    "BillingZip, City, Company, Country, Credits, Dormant, FirstName, HomeEmail, InternetAlias, "
    "LastName, LastOn, LongProfile, MaxTimeOnline, Password, Phone, RatePerHour, ShortProfile, "
    "SignUpDate, State_Province, UserID, Zip";

volatile long g_sink = 0;

std::string UserId(int i) { return "member" + std::to_string(i); }

// Runs each operation for about `seconds` in all and returns operations per
// second of each. They take turns in ten slices, so that a change in the
// machine's load (it is shared) falls on each of them alike.
std::vector<double> Rates(double seconds, const std::vector<std::function<void(long)>>& ops) {
  constexpr int kSlices = 10;
  std::vector<long> counts(ops.size(), 0);
  std::vector<double> elapsed(ops.size(), 0.0);
  for (int slice = 0; slice < kSlices; ++slice) {
    for (size_t k = 0; k < ops.size(); ++k) {
      const auto start = Clock::now();
      double spent = 0;
      do {
        for (int i = 0; i < 50; ++i) ops[k](counts[k]++);
        spent = std::chrono::duration<double>(Clock::now() - start).count();
      } while (spent < seconds / kSlices);
      elapsed[k] += spent;
    }
  }
  std::vector<double> rates;
  for (size_t k = 0; k < ops.size(); ++k) rates.push_back(static_cast<double>(counts[k]) / elapsed[k]);
  return rates;
}

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

struct AccountRow {
  std::string text[32];
  long numbers[32] = {};
};

const std::string kReadSql = std::string("SELECT ") + kAccountColumns + " FROM Accounts WHERE UserID=?";
constexpr const char* kInsertSql =
    "INSERT INTO AuditTrail (UserID, AuditDate, AuditTime, ServiceName, KeyWord, Description, "
    "strAuditTime, dblAuditTime) VALUES (?,?,?,?,?,?,?,?)";

// Binds, steps and copies out every column, as the recordset fills its
// members; the caller prepares and finalizes or resets.
void ReadWith(sqlite3_stmt* st, int i) {
  const std::string id = UserId(i % kAccounts);
  sqlite3_bind_text(st, 1, id.c_str(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
  AccountRow row;
  if (sqlite3_step(st) == SQLITE_ROW) {
    // Every column copied out, as the recordset fills its members.
    for (int c = 0; c < 32; ++c) {
      if (sqlite3_column_type(st, c) == SQLITE_TEXT) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
        row.text[c].assign(text, static_cast<size_t>(sqlite3_column_bytes(st, c)));
      } else {
        row.numbers[c] = sqlite3_column_int(st, c);
      }
    }
  }
  g_sink = g_sink + row.numbers[15];
}

void RawRead(sqlite3* db, int i) {
  sqlite3_stmt* st = nullptr;
  Check(sqlite3_prepare_v2(db, kReadSql.c_str(), -1, &st, nullptr), db, "prepare");
  ReadWith(st, i);
  sqlite3_finalize(st);
}

void ReusedRead(sqlite3_stmt* st, int i) {
  ReadWith(st, i);
  sqlite3_reset(st);
}

void InsertWith(sqlite3* db, sqlite3_stmt* st, int i) {
  const std::string id = UserId(i % kAccounts);
  sqlite3_bind_text(st, 1, id.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 2, "2026-12-08 12:00:00", -1, SQLITE_STATIC);
  sqlite3_bind_text(st, 3, "2026-12-08 12:00:00", -1, SQLITE_STATIC);
  sqlite3_bind_text(st, 4, "Logon", -1, SQLITE_STATIC);
  sqlite3_bind_text(st, 5, "Logon", -1, SQLITE_STATIC);
  sqlite3_bind_text(st, 6, "Member logged on", -1, SQLITE_STATIC);
  sqlite3_bind_text(st, 7, "12:00:00", -1, SQLITE_STATIC);
  sqlite3_bind_double(st, 8, 46000.5);
  Check(sqlite3_step(st), db, "insert");
  g_sink = g_sink + static_cast<long>(sqlite3_last_insert_rowid(db));
}

void RawInsert(sqlite3* db, int i) {
  sqlite3_stmt* st = nullptr;
  Check(sqlite3_prepare_v2(db, kInsertSql, -1, &st, nullptr), db, "prepare");
  InsertWith(db, st, i);
  sqlite3_finalize(st);
}

void ReusedInsert(sqlite3* db, sqlite3_stmt* st, int i) {
  InsertWith(db, st, i);
  sqlite3_reset(st);
}

void RecordsetRead(CDatabase* db, int i) {
  CAccounts_2 rs(db);
  rs.m_strFilter = "UserID='" + UserId(i % kAccounts) + "'";
  rs.Open(CRecordset::snapshot, nullptr, CRecordset::readOnly);
  g_sink = g_sink + rs.m_Credits;
  rs.Close();
}

void FillAudit(CAuditTrail_2& rs, int i) {
  rs.m_UserID = UserId(i % kAccounts);
  rs.m_AuditDate = 1796731200;
  rs.m_AuditTime = 1796731200;
  rs.m_ServiceName = "Logon";
  rs.m_KeyWord = "Logon";
  rs.m_Description = "Member logged on";
  rs.m_strAuditTime = "12:00:00";
  rs.m_dblAuditTime = 46000.5;
}

void RecordsetInsert(CDatabase* db, int i) {
  CAuditTrail_2 rs(db);
  rs.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
  rs.WantInsertedKey();
  rs.AddNew();
  FillAudit(rs, i);
  rs.Update();
  g_sink = g_sink + rs.GetInsertedKey();
  rs.Close();
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  char pattern[] = "/tmp/qn-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  setenv("QN_ROOT", pattern, 1);
  const std::filesystem::path dir = std::filesystem::path(pattern) / "var/lib/quillnet";
  std::filesystem::create_directories(dir);
  CQuillnetRegistry().WriteString("General", "ODBCType", "MSAccess");

  // The two area files from the installation scripts, seeded through the
  // recordsets.
  for (const char* area : {"QNACCOUN", "QNAUDIT"}) {
    CDatabase setup;
    setup.OpenEx("Driver={Quillnet SQLite3};Database=" + (dir / (std::string(area) + ".MDB")).string());
    RunSqlScript(setup, ReadScriptFile(std::string(QN_DATA_DIR) + "/schema-sqlite/" + area + ".sql"));
  }
  CDatabase* accounts = GetDatabase("DSN=Quillnet Server;DBQ=QNACCOUN.MDB", false);
  CDatabase* audit = GetDatabase("DSN=Quillnet Server;DBQ=QNAUDIT.MDB", false);
  {
    accounts->ExecuteSQL("BEGIN");
    CAccounts_2 rs(accounts);
    rs.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
    for (int i = 0; i < kAccounts; ++i) {
      rs.AddNew();
      rs.m_UserID = UserId(i);
      rs.m_FirstName = "First";
      rs.m_LastName = "Last";
      rs.m_Address1 = "1 Main Street";
      rs.m_City = "Springfield";
      rs.m_Credits = i;
      rs.m_LongProfile = std::string(400, 'p');
      rs.Update();
    }
    rs.Close();
    accounts->ExecuteSQL("COMMIT");
  }

  sqlite3* raw = nullptr;
  if (sqlite3_open_v2((dir / "QNACCOUN.MDB").c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
    return 1;
  sqlite3_exec(raw, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  sqlite3_busy_timeout(raw, 10000);
  sqlite3* rawAudit = nullptr;
  if (sqlite3_open_v2((dir / "QNAUDIT.MDB").c_str(), &rawAudit, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
    return 1;
  sqlite3_exec(rawAudit, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  sqlite3_busy_timeout(rawAudit, 10000);

  sqlite3_stmt* readStatement = nullptr;
  Check(sqlite3_prepare_v2(raw, kReadSql.c_str(), -1, &readStatement, nullptr), raw, "prepare");
  sqlite3_stmt* insertStatement = nullptr;
  Check(sqlite3_prepare_v2(rawAudit, kInsertSql, -1, &insertStatement, nullptr), rawAudit, "prepare");

  const std::vector<double> reads =
      Rates(seconds, {[&](long i) { RecordsetRead(accounts, static_cast<int>(i)); },
                      [&](long i) { RawRead(raw, static_cast<int>(i)); },
                      [&](long i) { ReusedRead(readStatement, static_cast<int>(i)); }});
  const std::vector<double> inserts =
      Rates(seconds, {[&](long i) { RecordsetInsert(audit, static_cast<int>(i)); },
                      [&](long i) { RawInsert(rawAudit, static_cast<int>(i)); },
                      [&](long i) { ReusedInsert(rawAudit, insertStatement, static_cast<int>(i)); }});
  const double readRs = reads[0], readRaw = reads[1], readReused = reads[2];
  const double insertRs = inserts[0], insertRaw = inserts[1], insertReused = inserts[2];

  std::printf("sqlite3 %s, %d accounts, %.1f s per figure\n", sqlite3_libversion(), kAccounts, seconds);
  std::printf("sqlite3 per op: prepared, run and finalized each time; reused: prepared once, reset\n");
  std::printf("%-26s %12s %14s %6s %14s %6s\n", "operation", "recordset/s", "sqlite3 per op", "ratio",
              "sqlite3 reused", "ratio");
  std::printf("%-26s %12.0f %14.0f %6.2f %14.0f %6.2f\n", "read Accounts by UserID", readRs, readRaw,
              readRs / readRaw, readReused, readRs / readReused);
  std::printf("%-26s %12.0f %14.0f %6.2f %14.0f %6.2f\n", "insert AuditTrail", insertRs, insertRaw,
              insertRs / insertRaw, insertReused, insertRs / insertReused);

  sqlite3_finalize(readStatement);
  sqlite3_finalize(insertStatement);
  sqlite3_close(raw);
  sqlite3_close(rawAudit);
  TermDatabasePool();
  std::error_code ec;
  std::filesystem::remove_all(pattern, ec);
  return 0;
}
