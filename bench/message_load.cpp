// Load generator for the message folders against a real qnsvr32:
//
//   50 logged-on members, each alternating "Message" "GetMessageFolders" of
//   the whole 21-folder tree (three top-level folders, two below each, two
//   below those) and "GetMessageHeaders" of a folder of 20 messages, each
//   sending its next request when the last has ended, all driven by one
//   thread through epoll; requests per second with p50/p99, in each storage
//   mode (PostgreSQL when scripts/pg-test-server's environment is present).
//   Beside it, redis-benchmark's LRANGE of a 20-element list with 50 clients
//   on a redis-server this program starts, and the ratio of the two.
//
//   message_load [--seconds S]
//
// Exit code 0 when the ratio with the per-area SQLite files is at least 0.1.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/bench_flags.h"
#include "support/bench_support.h"
#include "support/message_seed.h"

using qn::bench::Figures;
using qn::client::ProtocolClient;
using qn::test::MemberInstall;
using qn::test::MessageSeed;
using qn::test::StorageMode;

namespace {

constexpr int kClients = 50;
constexpr double kTarget = 0.1;

// The tree of 21 folders; the FolderID of the one holding 20 messages.
int32_t SeedFolders(MemberInstall& install) {
  MessageSeed seed(install);
  int32_t busy = 0;
  for (int top = 0; top < 3; ++top) {
    const int32_t t = seed.AddFolder("Topic " + std::to_string(top), -1);
    for (int mid = 0; mid < 2; ++mid) {
      const int32_t m = seed.AddFolder("Forum " + std::to_string(mid), t);
      for (int leaf = 0; leaf < 2; ++leaf) seed.AddFolder("Board " + std::to_string(leaf), m);
      if (busy == 0) busy = m;
    }
  }
  for (int i = 0; i < 20; ++i) {
    char date[32];
    std::snprintf(date, sizeof date, "2020-03-%02d 12:00:00", i + 1);
    seed.AddMessage(busy, "Message title number " + std::to_string(i), qn::bench::BenchUserId(i),
                    date, "body");
  }
  return busy;
}

Figures MessageLoad(StorageMode mode, int seconds) {
  MemberInstall install;
  qn::test::ServerProcess server;
  const uint16_t port = qn::test::FindFreePort();
  if (!qn::bench::StartInstallation(install, server, mode, port, kClients)) std::exit(2);
  const int32_t folder = SeedFolders(install);
  std::vector<ProtocolClient> connections(kClients);
  if (!qn::bench::LogOnAll(connections, port, qn::bench::BenchUserId)) std::exit(2);
  const Figures figures = qn::bench::RequestLoad(
      connections,
      {qn::bench::RequestFrame(1, "Message", "GetMessageFolders", ""),
       qn::bench::RequestFrame(2, "Message", "GetMessageHeaders", std::to_string(folder))},
      seconds);
  server.Stop();
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 5;
  qn::bench::ReadFlags(argc, argv, {{"--seconds", &seconds}});
  ::signal(SIGPIPE, SIG_IGN);

  Figures sqlite = MessageLoad(StorageMode::Access, seconds);
  Figures postgres;
  const bool havePostgres = qn::test::PostgresTestServerAvailable();
  if (havePostgres) postgres = MessageLoad(StorageMode::Postgres, seconds);

  const std::optional<Figures> anchor = qn::bench::RedisListRangeFor(kClients, seconds);
  if (!anchor) return 2;
  const Figures redis = *anchor;

  std::printf("GetMessageFolders (21 folders) / GetMessageHeaders (20 messages), %d clients, "
              "%d s per run, vs redis LRANGE of 20 elements\n",
              kClients, seconds);
  std::printf("%-9s | %10s %9s %9s %8s | %6s\n", "storage", "req/s", "p50 ms", "p99 ms",
              "failed", "ratio");
  const auto line = [&](const char* name, const Figures& f) {
    std::printf("%-9s | %10.0f %9.3f %9.3f %8ld | %6.3f\n", name, f.rps, f.p50Ms, f.p99Ms,
                f.failures, qn::bench::Ratio(f.rps, redis.rps));
  };
  line("MSAccess", sqlite);
  if (havePostgres) line("MSSQL", postgres);
  else std::printf("%-9s skipped (no QN_TEST_PG_HOST)\n", "MSSQL");
  std::printf("%-9s | %10.0f %9.3f %9.3f\n", "LRANGE", redis.rps, redis.p50Ms, redis.p99Ms);
  return qn::bench::Ratio(sqlite.rps, redis.rps) >= kTarget && sqlite.failures == 0 ? 0 : 1;
}
