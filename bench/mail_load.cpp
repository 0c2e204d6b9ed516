// Load generator for the mail service against a real qnsvr32:
//
//   (a) letters per second: 50 logged-on members each posting "Email"
//       "MailLtr" (a 100-byte note, no attachment) to one member who is not
//       logged on, sending the next letter when the last one's reply has
//       ended, all driven by one thread through epoll; beside it
//       redis-benchmark's LPUSH of a 100-byte value onto one list with 50
//       clients;
//   (b) listed rows per second: 10 members with 1,000 unread letters each
//       fetch them at once with "GetMail" (schema, 1,000 rows, end, the rows
//       then marked read); the letters are made unread again between rounds,
//       outside the time measured; beside it redis-benchmark's LRANGE of a
//       1,000-element list with 10 clients, counted in elements.
//
//   Both in each storage mode (PostgreSQL when scripts/pg-test-server's
//   environment is present).
//
//   mail_load [--seconds S]
//
// Exit code 0 when every request succeeded.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/bench_flags.h"
#include "support/bench_support.h"
#include "support/mail_seed.h"

using qn::bench::Clock;
using qn::bench::Figures;
using qn::client::ProtocolClient;
using qn::test::MailSeed;
using qn::test::MemberInstall;
using qn::test::StorageMode;

namespace {

constexpr int kWriters = 50;
constexpr int kReaders = 10;
constexpr int kLettersPerReader = 1000;
const std::string kNote(100, 'n');

struct ListingFigures {
  double rowsPerSecond = 0;
  double msPerListing = 0;
  long failures = 0;
};

struct ModeFigures {
  Figures letters;
  ListingFigures listing;
};

// Rounds of kReaders listings at once until `seconds` of listing time.
ListingFigures ListingLoad(MailSeed& seed, uint16_t port, int seconds) {
  std::vector<ProtocolClient> readers(kReaders);
  if (!qn::bench::LogOnAll(readers, port, qn::bench::BenchUserId)) std::exit(2);
  ListingFigures figures;
  double listingSeconds = 0;
  long rows = 0;
  long listings = 0;
  while (listingSeconds < seconds) {
    seed.Exec("UPDATE MessageStore SET Received=0");
    std::vector<long> counted(kReaders, -1);
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int r = 0; r < kReaders; ++r) {
      threads.emplace_back([&, r] {
        ProtocolClient& client = readers[static_cast<size_t>(r)];
        if (!client.Request(9, "Email", "GetMail")) return;
        auto reply = qn::client::ReadTable(client, 9, 60000);
        if (reply && reply->ended && !reply->result) counted[static_cast<size_t>(r)] = static_cast<long>(reply->rawRows.size());
      });
    }
    for (auto& t : threads) t.join();
    listingSeconds += std::chrono::duration<double>(Clock::now() - start).count();
    for (long n : counted) {
      if (n != kLettersPerReader) ++figures.failures;
      else rows += n;
      ++listings;
    }
  }
  figures.rowsPerSecond = rows / listingSeconds;
  figures.msPerListing = 1000.0 * listingSeconds * kReaders / static_cast<double>(listings);
  return figures;
}

ModeFigures MailLoad(StorageMode mode, int seconds) {
  MemberInstall install;
  qn::test::ServerProcess server;
  const uint16_t port = qn::test::FindFreePort();
  // bench0..bench49 write; bench50 receives; bench0..bench9 read.
  if (!qn::bench::StartInstallation(install, server, mode, port, kWriters + 1)) std::exit(2);
  MailSeed seed(install);
  install.ExecAccount(
      "INSERT INTO Keys (KeyID, AppName, KeyName, Description, KeyCost) VALUES (6, 'Mail', "
      "'Compose', 'Letters', 1)");
  for (int n = 0; n < kWriters; ++n)
    install.ExecAccount("INSERT INTO UserID2Keys (UserID, KeyID) VALUES ('" +
                        qn::bench::BenchUserId(n) + "', 6)");

  ModeFigures figures;
  {
    std::vector<ProtocolClient> writers(kWriters);
    if (!qn::bench::LogOnAll(writers, port, qn::bench::BenchUserId)) std::exit(2);
    const std::string recipient = qn::bench::BenchUserId(kWriters);
    figures.letters = qn::bench::RequestLoad(
        writers,
        {qn::bench::RequestFrame(
            3, "Email", "MailLtr",
            qn::client::Params({"A letter for the bench", kNote, "-", recipient}))},
        seconds);
  }
  seed.Exec("DELETE FROM MessageStore");
  for (int r = 0; r < kReaders; ++r)
    seed.AddLetters(qn::bench::BenchUserId(r), kLettersPerReader, kNote);
  figures.listing = ListingLoad(seed, port, seconds);
  server.Stop();
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 5;
  qn::bench::ReadFlags(argc, argv, {{"--seconds", &seconds}});
  ::signal(SIGPIPE, SIG_IGN);

  const ModeFigures sqlite = MailLoad(StorageMode::Access, seconds);
  ModeFigures postgres;
  const bool havePostgres = qn::test::PostgresTestServerAvailable();
  if (havePostgres) postgres = MailLoad(StorageMode::Postgres, seconds);

  Figures lpush, lrange;
  {
    qn::bench::RedisServer server;
    if (!server.Start()) return 2;
    lpush = qn::bench::RedisBenchmarkFor(server.port(), "LPUSH letters " + kNote, kWriters, seconds);
    std::vector<std::string> push = {"RPUSH", "mailbox"};
    for (int i = 0; i < kLettersPerReader; ++i) push.push_back(kNote);
    server.Call(push);
    lrange = qn::bench::RedisBenchmarkFor(server.port(), "LRANGE mailbox 0 999", kReaders, seconds);
  }

  std::printf("(a) MailLtr to one member, %d clients, %d s per run, vs redis LPUSH of %zu bytes\n",
              kWriters, seconds, kNote.size());
  std::printf("%-9s | %10s %9s %9s %8s | %6s\n", "storage", "letters/s", "p50 ms", "p99 ms",
              "failed", "ratio");
  const auto letters = [&](const char* name, const Figures& f) {
    std::printf("%-9s | %10.0f %9.3f %9.3f %8ld | %6.3f\n", name, f.rps, f.p50Ms, f.p99Ms,
                f.failures, qn::bench::Ratio(f.rps, lpush.rps));
  };
  letters("MSAccess", sqlite.letters);
  if (havePostgres) letters("MSSQL", postgres.letters);
  else std::printf("%-9s skipped (no QN_TEST_PG_HOST)\n", "MSSQL");
  std::printf("%-9s | %10.0f %9.3f %9.3f\n", "LPUSH", lpush.rps, lpush.p50Ms, lpush.p99Ms);

  const double elements = lrange.rps * kLettersPerReader;
  std::printf("\n(b) GetMail of %d letters, %d clients at once, vs redis LRANGE of %d elements\n",
              kLettersPerReader, kReaders, kLettersPerReader);
  std::printf("%-9s | %10s %12s %8s | %6s\n", "storage", "rows/s", "ms/listing", "failed", "ratio");
  const auto listing = [&](const char* name, const ListingFigures& f) {
    std::printf("%-9s | %10.0f %12.1f %8ld | %6.3f\n", name, f.rowsPerSecond, f.msPerListing,
                f.failures, qn::bench::Ratio(f.rowsPerSecond, elements));
  };
  listing("MSAccess", sqlite.listing);
  if (havePostgres) listing("MSSQL", postgres.listing);
  std::printf("%-9s | %10.0f %12.3f\n", "LRANGE", elements, lrange.p50Ms);

  const long failures = sqlite.letters.failures + sqlite.listing.failures +
                        postgres.letters.failures + postgres.listing.failures;
  return failures == 0 ? 0 : 1;
}
