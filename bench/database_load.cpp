// Load generator for the "Database" service against a real qnsvr32:
//
//   50 logged-on members search an operator table of 100,000 rows by an
//   indexed field (about 10 rows each: "Search" with a filter of the member
//   grammar), and change one row by its key ("Update" of one column); each
//   member sends its next request when the last has ended, all driven by one
//   thread through epoll. Requests per second with p50/p99, once for the
//   table on an SQLite file and once on PostgreSQL (when scripts/pg-test-
//   server's environment is present).
//
//   Beside each, in the same run, the same statements with the same values,
//   prepared and finished for every query on one thread as the server does:
//   the sqlite3 C API on the same file, and pgbench -n -c 1 -M prepared -f
//   on the same database. The ratios: targets search 0.25 (SQLite), 0.5
//   (PostgreSQL), update 0.15.
//
//   database_load [--seconds S]
//
// Exit code 0 when every ratio meets its target.
#include <signal.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/bench_flags.h"
#include "support/bench_support.h"
#include "support/database_seed.h"

using qn::bench::Clock;
using qn::bench::Figures;
using qn::client::ProtocolClient;
using qn::test::DatabaseSeed;
using qn::test::MemberInstall;
using qn::test::StorageMode;

namespace {

constexpr int kMembers = 50;
constexpr int kRows = 100000;
constexpr int kGroups = kRows / 10;

// The statements the server runs, in the SQLite dialect (PostgreSQL's drops
// the brackets).
constexpr const char* kSearchSql = "SELECT Items.[ItemID],Items.[Name],Items.[Qty] FROM Items WHERE Items.[Grp] = ?";
constexpr const char* kReadRowSql = "SELECT Items.[Qty],Items.[ItemID] FROM Items WHERE Items.ItemID=?";
constexpr const char* kWriteRowSql = "UPDATE Items SET [Qty]=? WHERE [ItemID]=?";

struct Target {
  const char* database;
  bool postgres;
  double searchTarget;
  double updateTarget;
};

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

void MakeTable(DatabaseSeed& seed, bool postgres) {
  seed.Exec(postgres, "CREATE TABLE Items (ItemID INTEGER PRIMARY KEY, Grp INTEGER, Name VARCHAR(40), Qty INTEGER)");
  seed.Exec(postgres, postgres ? "INSERT INTO Items SELECT i, i % 10000, 'item ' || i, 0 FROM generate_series(1, 100000) i"
                               : "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000) "
                                 "INSERT INTO Items SELECT i, i % 10000, 'item ' || i, 0 FROM n");
  seed.Exec(postgres, "CREATE INDEX Items_Grp ON Items (Grp)");
  seed.Exec(postgres, "ANALYZE Items");
}

void MakeCatalogue(MemberInstall& install, const DatabaseSeed& seed) {
  std::string databases = "('Items', '" + std::string(DatabaseSeed::kSqliteSource) +
                          "', '', 'Items.ItemID', -1, '', -1, '', 0, '')";
  if (seed.HasPostgres())
    databases += ", ('PgItems', '" + std::string(DatabaseSeed::kPostgresSource) + "', '', 'Items.ItemID', -1, '', -1, '', 0, 'Database=" +
                 seed.PostgresDatabase() + ";UID=" + Env("QN_TEST_PG_USER") + ";PWD=" + Env("QN_TEST_PG_PASSWORD") + "')";
  install.Exec("QNDB",
               "INSERT INTO Databases (DatabaseName, ODBCDataSource, Sort, PrimaryKeyField, ReadKeyID, ReadFilter, "
               "WriteKeyID, WriteFilter, IsQuickBase, ODBCConnectString) VALUES " + databases);
  std::string fields;
  for (const char* database : {"Items", "PgItems"})
    for (const char* field : {"Items.ItemID", "Items.Grp", "Items.Name", "Items.Qty"})
      fields += std::string(fields.empty() ? "" : ", ") + "('" + database + "', '" + field + "', -1)";
  install.Exec("QNDB", "INSERT INTO Fields (DatabaseName, FieldName, ReadKeyID) VALUES " + fields);
}

// The same values for the server and its anchors.
struct Values {
  std::vector<int> groups;
  std::vector<std::pair<int, int>> updates;  // key, new quantity
};

Values MakeValues() {
  std::mt19937 random(15);
  Values v;
  for (int i = 0; i < 1000; ++i) {
    v.groups.push_back(static_cast<int>(random() % kGroups));
    v.updates.emplace_back(1 + static_cast<int>(random() % kRows), static_cast<int>(random() % 1000000));
  }
  return v;
}

// ---- the anchors --------------------------------------------------------

// Runs `query` (one value index per call) for `seconds`; every statement is
// prepared, stepped to its end and finalized within the call.
Figures SqliteLoad(const std::string& file, int seconds, const std::function<bool(sqlite3*, size_t)>& query) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return {};
  sqlite3_busy_timeout(db, 10000);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  std::vector<double> latencies;
  long failures = 0;
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  for (size_t turn = 0; Clock::now() < end; ++turn) {
    const auto before = Clock::now();
    if (!query(db, turn)) ++failures;
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - before).count());
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  sqlite3_close(db);
  Figures f = qn::bench::Summarise(latencies, elapsed);
  f.failures = failures;
  return f;
}

bool Step(sqlite3* db, const char* sql, const std::vector<int>& params) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) return false;
  for (size_t i = 0; i < params.size(); ++i) sqlite3_bind_int(statement, static_cast<int>(i + 1), params[i]);
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    for (int c = 0; c < sqlite3_column_count(statement); ++c) sqlite3_column_text(statement, c);
  }
  sqlite3_finalize(statement);
  return rc == SQLITE_DONE;
}

// pgbench with one client and prepared statements on the script; its
// transactions per second (p50 and p99 are not reported: the average
// latency stands in the p50 column).
Figures Pgbench(const DatabaseSeed& seed, const std::string& script, int seconds) {
  const std::string path = (MemberInstall::Root() / "bench.sql").string();
  std::ofstream(path) << script;
  const std::string out = qn::bench::RunCapture(
      "PGPASSWORD='" + Env("QN_TEST_PG_PASSWORD") + "' pgbench -n -c 1 -M prepared -f " + path + " -T " +
      std::to_string(seconds) + " -h '" + Env("QN_TEST_PG_HOST") + "' -p " + Env("QN_TEST_PG_PORT") + " -U " +
      Env("QN_TEST_PG_USER") + " " + seed.PostgresDatabase() + " 2>&1");
  Figures f;
  const size_t tps = out.find("tps = ");
  if (tps != std::string::npos) f.rps = std::atof(out.c_str() + tps + 6);
  const size_t latency = out.find("latency average = ");
  if (latency != std::string::npos) f.p50Ms = std::atof(out.c_str() + latency + 18);
  if (f.rps == 0) std::fprintf(stderr, "pgbench: %s\n", out.c_str());
  return f;
}

std::string Postgres(std::string sql) {
  std::string out;
  for (char c : sql)
    if (c != '[' && c != ']') out += c;
  return out;
}

void Print(const char* what, const Figures& ours, const Figures& anchor, double target) {
  std::printf("%-28s | %9.0f %8.3f %8.3f | %9.0f %8.3f %8.3f | %6.2f (target %.2f)\n", what, ours.rps, ours.p50Ms,
              ours.p99Ms, anchor.rps, anchor.p50Ms, anchor.p99Ms, qn::bench::Ratio(ours.rps, anchor.rps), target);
  if (ours.failures > 0 || anchor.failures > 0)
    std::printf("  failures: ours %ld, anchor %ld\n", ours.failures, anchor.failures);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 5;
  qn::bench::ReadFlags(argc, argv, {{"--seconds", &seconds}});
  ::signal(SIGPIPE, SIG_IGN);

  MemberInstall install;
  qn::test::ServerProcess server;
  DatabaseSeed seed(install);
  const uint16_t port = qn::test::FindFreePort();
  std::string error;
  if (!install.Create(StorageMode::Access, port, &error) || !seed.CreateDatabases(&error)) {
    std::fprintf(stderr, "installation: %s\n", error.c_str());
    return 2;
  }
  qn::bench::SeedMembers(install, kMembers, qn::bench::BenchUserId);
  MakeTable(seed, false);
  if (seed.HasPostgres()) MakeTable(seed, true);
  MakeCatalogue(install, seed);
  if (!server.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port)) {
    std::fprintf(stderr, "qnsvr32 did not start: %s\n", server.StderrText().c_str());
    return 2;
  }
  std::vector<ProtocolClient> connections(kMembers);

  const Values values = MakeValues();
  std::vector<Target> targets = {{"Items", false, 0.25, 0.15}};
  if (seed.HasPostgres()) targets.push_back({"PgItems", true, 0.5, 0.15});
  bool met = true;
  std::printf("%d members, %d rows, %d s per figure\n", kMembers, kRows, seconds);
  std::printf("%-28s | %9s %8s %8s | %9s %8s %8s | ratio\n", "", "ours/s", "p50 ms", "p99 ms", "anchor/s", "p50 ms",
              "p99 ms");
  for (const Target& t : targets) {
    std::vector<std::vector<uint8_t>> searches, updates;
    for (int g : values.groups)
      searches.push_back(qn::bench::RequestFrame(
          9, "Database", "Search",
          qn::client::Params({t.database, "Items.ItemID, Items.Name, Items.Qty", "Items.Grp = " + std::to_string(g), ""})));
    for (const auto& [key, qty] : values.updates)
      updates.push_back(qn::bench::RequestFrame(
          9, "Database", "Update",
          qn::client::Params({t.database, std::to_string(key), "Items.Qty=\"" + std::to_string(qty) + "\""})));
    // The load closes its connections: every run logs the members on anew.
    const auto load = [&](const std::vector<std::vector<uint8_t>>& frames) -> std::optional<Figures> {
      if (!qn::bench::LogOnAll(connections, port, qn::bench::BenchUserId)) return std::nullopt;
      // One request alone first: a refusal shows with its code.
      ProtocolClient& probe = connections[0];
      probe.SendRaw(frames.front());
      const auto reply = qn::client::ReadTable(probe, 9, 10000);
      if (!reply || reply->result) {
        std::fprintf(stderr, "%s: the first request failed (code 0x%04x)\n", t.database,
                     reply && reply->result ? *reply->result : 0);
        return std::nullopt;
      }
      return qn::bench::RequestLoad(connections, frames, seconds);
    };
    const auto ourSearch = load(searches);
    const auto ourUpdate = load(updates);
    if (!ourSearch || !ourUpdate) return 2;

    Figures anchorSearch, anchorUpdate;
    if (!t.postgres) {
      const std::string file = seed.SqliteFile().string();
      anchorSearch = SqliteLoad(file, seconds, [&](sqlite3* db, size_t turn) {
        return Step(db, kSearchSql, {values.groups[turn % values.groups.size()]});
      });
      anchorUpdate = SqliteLoad(file, seconds, [&](sqlite3* db, size_t turn) {
        const auto& [key, qty] = values.updates[turn % values.updates.size()];
        return Step(db, kReadRowSql, {key}) && Step(db, kWriteRowSql, {qty, key});
      });
    } else {
      anchorSearch = Pgbench(seed, "\\set g random(0, " + std::to_string(kGroups - 1) + ")\n" +
                                       Postgres(kSearchSql).replace(Postgres(kSearchSql).find('?'), 1, ":g") + ";\n",
                             seconds);
      std::string read = Postgres(kReadRowSql), write = Postgres(kWriteRowSql);
      read.replace(read.find('?'), 1, ":k");
      write.replace(write.find('?'), 1, ":v");
      write.replace(write.find('?'), 1, ":k");
      anchorUpdate = Pgbench(seed,
                             "\\set k random(1, " + std::to_string(kRows) + ")\n\\set v random(0, 999999)\n" + read +
                                 ";\n" + write + ";\n",
                             seconds);
    }
    const std::string name = t.postgres ? "PostgreSQL" : "SQLite";
    Print(("Search, " + name).c_str(), *ourSearch, anchorSearch, t.searchTarget);
    Print(("Update, " + name).c_str(), *ourUpdate, anchorUpdate, t.updateTarget);
    met = met && qn::bench::Ratio(ourSearch->rps, anchorSearch.rps) >= t.searchTarget &&
          qn::bench::Ratio(ourUpdate->rps, anchorUpdate.rps) >= t.updateTarget && ourSearch->failures == 0 &&
          ourUpdate->failures == 0;
  }
  server.Stop();
  return met ? 0 : 1;
}
