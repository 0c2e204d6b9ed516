// Load generator for the member services against a real qnsvr32:
//
//   (a) "Utility" "GetSystemTime" (one schema, one row, an end) by logged-on
//       members with 1, 50 and 500 concurrent clients, each sending its next
//       request when the last reply has ended, all driven by one thread
//       through epoll as redis-benchmark drives its clients; requests per
//       second and
//       p50/p99 latency, beside redis-benchmark's ping_inline with the same
//       client counts on a redis-server this program starts on a loopback
//       port, and the ratio of the two;
//   (b) logons per second with 50 concurrent clients (connect, hello, log
//       on, one account request, close), in each storage mode (PostgreSQL
//       when scripts/pg-test-server's environment is present), the
//       statements each cycle cost (from the tests' build of the server),
//       and the ratio of the two modes.
//
//   (c) system calls per request of each server over a steady 50-client
//       run of (a), counted by strace attached to it (skipped with
//       --syscall-seconds 0 or without strace);
//   (d) one item chosen on the command line (by default "Account"
//       "FindByUserID" over a range holding one member) with 50 clients in
//       the same run as (a), and its ratio to GetSystemTime with 50 clients;
//   (e) heap allocations per request of ours over a steady 50-client run of
//       (a), counted by a perf probe on malloc (skipped with
//       --alloc-seconds 0 or without perf).
//
//   member_load [--seconds S] [--logon-seconds L] [--syscall-seconds C]
//               [--alloc-seconds A] [--item SERVICE.ITEM] [--params P1,P2,...]
//
// Exit code 0 when the ratio with 50 clients is at least 0.7 and the item's
// ratio at least 0.2.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/bench_flags.h"
#include "support/bench_support.h"

using qn::bench::Clock;
using qn::bench::Figures;
using qn::bench::StartInstallation;
using qn::bench::BenchUserId;
using qn::client::ProtocolClient;
using qn::test::MemberInstall;
using qn::test::StorageMode;

namespace {

struct Options {
  int seconds = 5;
  int logonSeconds = 10;
  int syscallSeconds = 3;
  int allocSeconds = 3;
  // (d): the member bench7 alone in the range.
  std::string item = "Account.FindByUserID";
  std::string params = "bench7,bench7";
};

Options Parse(int argc, char** argv) {
  Options o;
  qn::bench::ReadFlags(argc, argv,
                      {{"--seconds", &o.seconds},
                       {"--logon-seconds", &o.logonSeconds},
                       {"--syscall-seconds", &o.syscallSeconds},
                       {"--alloc-seconds", &o.allocSeconds},
                       {"--item", &o.item},
                       {"--params", &o.params}});
  return o;
}

// (d): the request frame of the chosen item; its parameters are separated by
// commas on the command line.
std::vector<uint8_t> ItemFrame(const Options& o) {
  const size_t dot = o.item.find('.');
  const std::string service = o.item.substr(0, dot);
  const std::string item = dot == std::string::npos ? std::string() : o.item.substr(dot + 1);
  std::string params = o.params;
  std::replace(params.begin(), params.end(), ',', '\x01');
  return qn::bench::RequestFrame(7, service, item, params);
}

// `server` (when not 0): the process whose system calls are counted while
// the requests run. `frame`: the request, GetSystemTime when empty.
Figures SystemTimeLoad(uint16_t port, int clients, int seconds, pid_t server = 0,
                       qn::bench::SyscallCounts* syscalls = nullptr,
                       std::vector<uint8_t> frame = {}) {
  std::vector<ProtocolClient> connections(static_cast<size_t>(clients));
  if (!qn::bench::LogOnAll(connections, port, BenchUserId)) return {};
  if (frame.empty()) frame = qn::bench::RequestFrame(7, "Utility", "GetSystemTime");
  Figures figures;
  const auto load = [&] {
    figures = qn::bench::RequestLoad(connections, {frame}, seconds);
  };
  if (syscalls != nullptr)
    *syscalls = qn::bench::CountSyscalls(server, load);
  else
    load();
  return figures;
}

struct LogonFigures {
  double rate = 0;
  long cycles = 0;
};

// Connect, hello, log on, one account request, close; over and over.
LogonFigures LogonsPerSecond(uint16_t port, int clients, int seconds) {
  constexpr int kAccountsPerClient = 4;
  std::atomic<long> cycles{0};
  std::atomic<long> failures{0};
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      int turn = 0;
      while (Clock::now() < end) {
        ProtocolClient client;
        const std::string id = BenchUserId(c * kAccountsPerClient + (turn++ % kAccountsPerClient));
        if (!qn::bench::OpenAndLogOn(client, port, id)) {
          ++failures;
          continue;
        }
        if (!client.Request(2, "Account", "GetCredits")) continue;
        auto reply = qn::client::ReadTable(client, 2, 10000);
        if (reply && reply->ended) ++cycles;
        else ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  if (failures > 0) std::fprintf(stderr, "  %ld logon cycles failed\n", failures.load());
  return {static_cast<double>(cycles.load()) / elapsed, cycles.load()};
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  ::signal(SIGPIPE, SIG_IGN);
  const int counts[] = {1, 50, 500};

  // (a) our side first, then redis, each alone on the machine.
  Figures ours[3];
  Figures oursTraced;
  Figures item;
  qn::bench::SyscallCounts oursCalls;
  Figures oursProbed;
  long oursMallocs = -1;
  {
    MemberInstall install;
    qn::test::ServerProcess server;
    const uint16_t port = qn::test::FindFreePort();
    if (!StartInstallation(install, server, StorageMode::Access, port, 500)) return 2;
    for (int i = 0; i < 3; ++i) {
      ours[i] = SystemTimeLoad(port, counts[i], options.seconds);
      // (d) beside GetSystemTime's 50 clients.
      if (counts[i] == 50)
        item = SystemTimeLoad(port, 50, options.seconds, 0, nullptr, ItemFrame(options));
    }
    if (options.syscallSeconds > 0)
      oursTraced = SystemTimeLoad(port, 50, options.syscallSeconds, server.pid(), &oursCalls);
    if (options.allocSeconds > 0)
      oursMallocs = qn::bench::CountMallocs(server.pid(), [&] {
        oursProbed = SystemTimeLoad(port, 50, options.allocSeconds);
      });
    server.Stop();
  }
  Figures redis[3];
  qn::bench::SyscallCounts redisCalls;
  long redisTraced = 0;
  {
    qn::bench::RedisServer server;
    if (!server.Start()) return 2;
    for (int i = 0; i < 3; ++i)
      redis[i] = qn::bench::RedisBenchmarkFor(server.port(), "-t ping_inline", counts[i],
                                              options.seconds);
    if (options.syscallSeconds > 0) {
      // About as many requests as ours made under strace.
      redisTraced = std::max(10000L, oursTraced.count);
      redisCalls = qn::bench::CountSyscalls(server.pid(), [&] {
        qn::bench::RedisBenchmark(server.port(), "-t ping_inline", 50, static_cast<int>(redisTraced));
      });
    }
  }
  std::printf("GetSystemTime vs redis ping_inline (%d s per run)\n", options.seconds);
  std::printf("%8s | %12s %9s %9s | %12s %9s %9s | %6s\n", "clients", "ours req/s", "p50 ms",
              "p99 ms", "redis req/s", "p50 ms", "p99 ms", "ratio");
  double ratio50 = 0;
  for (int i = 0; i < 3; ++i) {
    const double ratio = redis[i].rps > 0 ? ours[i].rps / redis[i].rps : 0;
    if (counts[i] == 50) ratio50 = ratio;
    std::printf("%8d | %12.0f %9.3f %9.3f | %12.0f %9.3f %9.3f | %6.2f\n", counts[i], ours[i].rps,
                ours[i].p50Ms, ours[i].p99Ms, redis[i].rps, redis[i].p50Ms, redis[i].p99Ms,
                ratio);
  }

  // (d)
  const double itemRatio = ours[1].rps > 0 ? item.rps / ours[1].rps : 0;
  std::printf("\n%s (%s) vs GetSystemTime, 50 clients, %d s\n", options.item.c_str(),
              options.params.c_str(), options.seconds);
  std::printf("  %12.0f req/s  p50 %.3f ms  p99 %.3f ms  failures %ld  ratio %.2f\n", item.rps,
              item.p50Ms, item.p99Ms, item.failures, itemRatio);

  // (c)
  if (options.syscallSeconds > 0) {
    std::printf("\nSystem calls per request, 50 clients, strace -c -f on the server\n");
    std::printf("  ours  (%ld requests): %s\n", oursTraced.count,
                qn::bench::SyscallsPerRequest(oursCalls, oursTraced.count).c_str());
    std::printf("  redis (%ld requests): %s\n", redisTraced,
                qn::bench::SyscallsPerRequest(redisCalls, redisTraced).c_str());
  }

  // (e)
  if (options.allocSeconds > 0) {
    if (oursMallocs >= 0 && oursProbed.count > 0)
      std::printf("\nHeap allocations per request, 50 clients, perf probe on malloc: %.2f (%ld in %ld requests)\n",
                  static_cast<double>(oursMallocs) / static_cast<double>(oursProbed.count), oursMallocs,
                  oursProbed.count);
    else
      std::printf("\nHeap allocations per request: not measured (no perf probe)\n");
  }

  // (b)
  std::printf("\nLogons per second, 50 clients (log on, GetCredits, close), %d s\n",
              options.logonSeconds);
  double rates[2] = {0, 0};
  for (StorageMode mode : {StorageMode::Access, StorageMode::Postgres}) {
    if (mode == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable()) {
      std::printf("%-9s skipped (no QN_TEST_PG_HOST)\n", qn::test::StorageModeName(mode));
      continue;
    }
    MemberInstall install;
    qn::test::ServerProcess server;
    const uint16_t port = qn::test::FindFreePort();
    if (!StartInstallation(install, server, mode, port, 200, qn::bench::CountingServerProgram())) return 2;
    const long before = qn::bench::ServerStatements(port);
    const LogonFigures figures = LogonsPerSecond(port, 50, options.logonSeconds);
    // The last logoffs finish after their connections close.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long after = qn::bench::ServerStatements(port);
    rates[mode == StorageMode::Access ? 0 : 1] = figures.rate;
    std::printf("%-9s %8.0f logons/s", qn::test::StorageModeName(mode), figures.rate);
    if (before >= 0 && after >= 0 && figures.cycles > 0)
      std::printf(", %.2f statements per cycle", static_cast<double>(after - before) / figures.cycles);
    std::printf("\n");
    server.Stop();
  }
  if (rates[0] > 0 && rates[1] > 0)
    std::printf("MSSQL/MSAccess %.2f\n", qn::bench::Ratio(rates[1], rates[0]));
  return ratio50 >= 0.7 && itemRatio >= 0.2 ? 0 : 1;
}
