// Load generator for the user timer's pass against a real qnsvr32: N members
// charged at every tick (3,600 credits an hour, 15 a pass) are logged on, and
// one more member asks "Utility" "GetSystemTime" request after request while
// the passes come. A pass runs from the first charge the database shows to
// the last (the sum of the members' credits polled); printed per pass: its
// length, and the probe's requests that overlapped it (count, p50, p99,
// longest), beside the probe's figures in the seconds before it. In each
// storage mode (PostgreSQL when scripts/pg-test-server's environment is
// present).
//
//   timer_pass_load [--members N] [--passes P]     (defaults 2000 and 2)
//
// Exit code 0 when, with PostgreSQL, no request overlapping a pass took more
// than 50 ms.
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/odbc_statement.h"
#include "server/data/database.h"
#include "support/bench_flags.h"
#include "support/bench_support.h"

using qn::bench::Clock;
using qn::client::ProtocolClient;
using qn::test::MemberInstall;
using qn::test::StorageMode;

namespace {

constexpr int kChargePerPass = 15;  // 3,600 credits an hour
constexpr double kTargetMs = 50;

struct Options {
  int members = 2000;
  int passes = 2;
};

Options Parse(int argc, char** argv) {
  Options o;
  qn::bench::ReadFlags(argc, argv, {{"--members", &o.members}, {"--passes", &o.passes}});
  return o;
}

std::string MemberId(int n) { return "charged" + std::to_string(n); }

long long CreditsSum(CDatabase& db) {
  qn::odbc::Statement statement(db.Connection());
  statement.ExecuteDirect("SELECT SUM(Credits) FROM Accounts WHERE UserID LIKE 'charged%'");
  std::string sum;
  if (statement.Fetch()) statement.GetText(1, sum);
  return std::atoll(sum.c_str());
}

// The probe's requests, each with when it left and when its answer came.
class Probe {
 public:
  bool Start(uint16_t port) {
    if (!qn::bench::OpenAndLogOn(client_, port, "probe")) return false;
    thread_ = std::thread([this] { Run(); });
    return true;
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // Latencies in milliseconds of the requests answered after `from` and
  // sent before `to`.
  std::vector<double> Overlapping(Clock::time_point from, Clock::time_point to) {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<double> ms;
    for (const auto& [sent, answered] : asked_)
      if (answered >= from && sent <= to)
        ms.push_back(std::chrono::duration<double, std::milli>(answered - sent).count());
    return ms;
  }
  bool Failed() const { return failed_; }

 private:
  void Run() {
    const auto frame = qn::bench::RequestFrame(1, "Utility", "GetSystemTime");
    while (!stop_) {
      const Clock::time_point sent = Clock::now();
      if (!client_.SendRaw(frame)) break;
      const auto reply = qn::client::ReadTable(client_, 1, 60000);
      if (!reply || !reply->ended) break;
      std::lock_guard<std::mutex> guard(lock_);
      asked_.emplace_back(sent, Clock::now());
    }
    failed_ = !stop_;
  }

  ProtocolClient client_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};
  std::mutex lock_;
  std::vector<std::pair<Clock::time_point, Clock::time_point>> asked_;
};

struct Summary {
  size_t count = 0;
  double p50 = 0, p99 = 0, longest = 0;
};

Summary Summarise(std::vector<double> ms) {
  Summary s;
  if (ms.empty()) return s;
  std::sort(ms.begin(), ms.end());
  s.count = ms.size();
  s.p50 = ms[ms.size() / 2];
  s.p99 = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  s.longest = ms.back();
  return s;
}

// The longest answer that overlapped a pass; -1 when the run failed.
double RunMode(StorageMode mode, const Options& options) {
  MemberInstall install;
  qn::test::ServerProcess server;
  const uint16_t port = qn::test::FindFreePort();
  std::string error;
  if (!install.Create(mode, port, &error)) {
    std::fprintf(stderr, "installation (%s): %s\n", qn::test::StorageModeName(mode), error.c_str());
    return -1;
  }
  install.SeedAccountDefaults(0, 0, -1);
  for (int first = 0; first < options.members; first += 100) {
    std::string values;
    for (int n = first; n < std::min(options.members, first + 100); ++n)
      values += std::string(values.empty() ? "" : ",") + "('" + MemberId(n) + "', 'pw', 100000000, 3600, -1)";
    install.ExecAccount("INSERT INTO Accounts (UserID, Password, Credits, RatePerHour, MaxTimeOnline) VALUES " +
                        values);
  }
  install.ExecAccount(
      "INSERT INTO Accounts (UserID, Password, Credits, RatePerHour, MaxTimeOnline) VALUES ('probe', 'pw', "
      "1000, 0, -1)");
  if (!server.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port)) {
    std::fprintf(stderr, "qnsvr32 did not start: %s\n", server.StderrText().c_str());
    return -1;
  }
  std::vector<ProtocolClient> members(static_cast<size_t>(options.members));
  if (!qn::bench::LogOnAll(members, port, MemberId)) {
    std::fprintf(stderr, "  %s: not every member logged on\n", qn::test::StorageModeName(mode));
    return -1;
  }
  Probe probe;
  if (!probe.Start(port)) return -1;

  double longest = 0;
  // The database is watched through a connection of the bench's own.
  const std::unique_ptr<CDatabase> watch = install.Open("QNACCOUN");
  long long sum = CreditsSum(*watch);
  for (int pass = 1; pass <= options.passes; ++pass) {
    // Between passes: the sum stands still.
    for (long long again = -1; again != sum;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      again = sum;
      sum = CreditsSum(*watch);
    }
    const long long charged = sum - static_cast<long long>(kChargePerPass) * options.members;
    const Clock::time_point quiet = Clock::now();
    // A pass comes every 15 s; one that never ends is a failure.
    const Clock::time_point deadline = quiet + std::chrono::seconds(120);
    long long now = sum;
    while (now == sum && Clock::now() < deadline) now = CreditsSum(*watch);
    const Clock::time_point start = Clock::now();
    while (now > charged && Clock::now() < deadline) now = CreditsSum(*watch);
    if (now != charged) {
      std::fprintf(stderr, "  %s: the pass did not charge every member once\n", qn::test::StorageModeName(mode));
      return -1;
    }
    const Clock::time_point end = Clock::now();
    sum = now;
    const Summary before = Summarise(probe.Overlapping(quiet - std::chrono::seconds(5), quiet));
    const Summary during = Summarise(probe.Overlapping(start, end));
    longest = std::max(longest, during.longest);
    std::printf("%-9s pass %d: %7.1f ms | during: %5zu requests, p50 %6.3f, p99 %7.3f, longest %7.3f ms"
                " | before: p50 %6.3f, p99 %6.3f, longest %6.3f ms\n",
                qn::test::StorageModeName(mode), pass,
                std::chrono::duration<double, std::milli>(end - start).count(), during.count, during.p50,
                during.p99, during.longest, before.p50, before.p99, before.longest);
  }
  probe.Stop();
  server.Stop();
  return probe.Failed() ? -1 : longest;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  ::signal(SIGPIPE, SIG_IGN);
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  std::printf("Timer passes over %d charged members, GetSystemTime of one more member (ms)\n",
              options.members);
  RunMode(StorageMode::Access, options);
  if (!qn::test::PostgresTestServerAvailable()) {
    std::printf("MSSQL skipped (no QN_TEST_PG_HOST)\n");
    return 1;
  }
  const double longest = RunMode(StorageMode::Postgres, options);
  return longest >= 0 && longest <= kTargetMs ? 0 : 1;
}
