// Load generator for the external services against a real qnsvr32:
//
//   "Run" with the steps "types:I4" and "row:I4=1" (a schema, a row, the
//   end) by 50 logged-on members, to the test plug-in in each form (the
//   in-process library and the local server, about six socket round trips a
//   request), and "Utility" "GetSystemTime" in the same run; each member
//   sends its next request when the last has ended, all driven by one thread
//   through epoll. Requests per second and p50/p99 latency, beside
//   redis-benchmark's ping_inline with 50 clients on a redis-server of its
//   own, and the ratios.
//
//   external_load [--seconds S] [--clients N]
//
// Exit code 0 when the ratios reach 0.6 in-process and 0.15 local.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/registry.h"
#include "support/bench_flags.h"
#include "support/bench_support.h"
#include "support/external_seed.h"

using qn::bench::BenchUserId;
using qn::bench::Figures;
using qn::client::ProtocolClient;
using qn::test::MemberInstall;
using qn::test::StorageMode;

namespace {

struct Options {
  int seconds = 5;
  int clients = 50;
};

Options Parse(int argc, char** argv) {
  Options o;
  qn::bench::ReadFlags(argc, argv, {{"--seconds", &o.seconds}, {"--clients", &o.clients}});
  return o;
}

Figures Load(uint16_t port, int clients, int seconds, const std::vector<uint8_t>& frame) {
  std::vector<ProtocolClient> connections(static_cast<size_t>(clients));
  if (!qn::bench::LogOnAll(connections, port, BenchUserId)) return {};
  return qn::bench::RequestLoad(connections, {frame}, seconds);
}

void PrintRow(const char* name, const Figures& f, const Figures& redis, const Figures& anchor) {
  std::printf("%-22s %10.0f %9.3f %9.3f %8ld | %6.2f %6.2f\n", name, f.rps, f.p50Ms, f.p99Ms, f.failures,
              qn::bench::Ratio(f.rps, redis.rps), qn::bench::Ratio(f.rps, anchor.rps));
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  ::signal(SIGPIPE, SIG_IGN);

  const std::string steps = qn::client::Params({"types:I4", "row:I4=1"});
  Figures inproc, local, systemTime;
  {
    MemberInstall install;
    qn::test::ServerProcess server;
    const uint16_t port = qn::test::FindFreePort();
    std::string error;
    if (!install.Create(StorageMode::Access, port, &error)) {
      std::fprintf(stderr, "installation: %s\n", error.c_str());
      return 2;
    }
    qn::bench::SeedMembers(install, options.clients, BenchUserId);
    if (!qn::test::InstallTestPlugin()) {
      std::fprintf(stderr, "the test plug-in could not be registered\n");
      return 2;
    }
    if (!server.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port)) {
      std::fprintf(stderr, "qnsvr32 did not start: %s\n", server.StderrText().c_str());
      return 2;
    }
    systemTime = Load(port, options.clients, options.seconds, qn::bench::RequestFrame(7, "Utility", "GetSystemTime"));
    inproc = Load(port, options.clients, options.seconds,
                  qn::bench::RequestFrame(7, qn::test::kInprocService, "Run", steps));
    local = Load(port, options.clients, options.seconds,
                 qn::bench::RequestFrame(7, qn::test::kLocalService, "Run", steps));
    server.Stop();
  }
  Figures redis;
  {
    qn::bench::RedisServer server;
    if (!server.Start()) return 2;
    redis = qn::bench::RedisBenchmarkFor(server.port(), "-t ping_inline", options.clients, options.seconds);
  }

  std::printf("External services, %d clients, %d s per run\n", options.clients, options.seconds);
  std::printf("%-22s %10s %9s %9s %8s | %6s %6s\n", "", "req/s", "p50 ms", "p99 ms", "failed", "/redis",
              "/time");
  std::printf("%-22s %10.0f %9.3f %9.3f %8s |\n", "redis ping_inline", redis.rps, redis.p50Ms, redis.p99Ms, "");
  PrintRow("Utility GetSystemTime", systemTime, redis, systemTime);
  PrintRow("Run, in-process", inproc, redis, systemTime);
  PrintRow("Run, local server", local, redis, systemTime);
  const bool met = qn::bench::Ratio(inproc.rps, redis.rps) >= 0.6 &&
                   qn::bench::Ratio(local.rps, redis.rps) >= 0.15 && inproc.failures == 0 &&
                   local.failures == 0;
  return met ? 0 : 1;
}
