// Recordset throughput on a per-area SQLite file: a single-row read by key
// (Accounts by UserID) and an insert (AuditTrail), through the recordset
// layer over ODBC, against the same work through the sqlite3 C API on the
// same file in the same run (a statement prepared per operation, the same
// journal settings: WAL, synchronous NORMAL, busy timeout).
//
//   data_recordset [seconds per figure]     (default 2)
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

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

// Runs `op` for about `seconds` and returns operations per second.
template <class F>
double Rate(double seconds, F op) {
  const auto start = Clock::now();
  long count = 0;
  double elapsed = 0;
  do {
    for (int i = 0; i < 50; ++i) op(count++);
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < seconds);
  return static_cast<double>(count) / elapsed;
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

void RawRead(sqlite3* db, int i) {
  static const std::string sql =
      std::string("SELECT ") + kAccountColumns + " FROM Accounts WHERE UserID=?";
  sqlite3_stmt* st = nullptr;
  Check(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), db, "prepare");
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
  sqlite3_finalize(st);
  g_sink = g_sink + row.numbers[15];
}

void RawInsert(sqlite3* db, int i) {
  sqlite3_stmt* st = nullptr;
  Check(sqlite3_prepare_v2(db,
                           "INSERT INTO AuditTrail (UserID, AuditDate, AuditTime, ServiceName, "
                           "KeyWord, Description, strAuditTime, dblAuditTime) "
                           "VALUES (?,?,?,?,?,?,?,?)",
                           -1, &st, nullptr),
        db, "prepare");
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
  sqlite3_finalize(st);
  g_sink = g_sink + static_cast<long>(sqlite3_last_insert_rowid(db));
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

  const double readRaw = Rate(seconds, [&](long i) { RawRead(raw, static_cast<int>(i)); });
  const double readRs = Rate(seconds, [&](long i) { RecordsetRead(accounts, static_cast<int>(i)); });
  const double insertRaw = Rate(seconds, [&](long i) { RawInsert(rawAudit, static_cast<int>(i)); });
  const double insertRs = Rate(seconds, [&](long i) { RecordsetInsert(audit, static_cast<int>(i)); });

  std::printf("sqlite3 %s, %d accounts, %.1f s per figure\n", sqlite3_libversion(), kAccounts, seconds);
  std::printf("%-34s %12s %12s %8s\n", "operation", "recordset/s", "sqlite3/s", "ratio");
  std::printf("%-34s %12.0f %12.0f %8.2f\n", "read Accounts by UserID", readRs, readRaw, readRs / readRaw);
  std::printf("%-34s %12.0f %12.0f %8.2f\n", "insert AuditTrail", insertRs, insertRaw,
              insertRs / insertRaw);

  sqlite3_close(raw);
  sqlite3_close(rawAudit);
  TermDatabasePool();
  std::error_code ec;
  std::filesystem::remove_all(pattern, ec);
  return 0;
}
