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
//       when scripts/pg-test-server's environment is present).
//
//   member_load [--seconds S] [--logon-seconds L]
//
// Exit code 0 when the ratio with 50 clients is at least 0.7.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/member_install.h"
#include "support/protocol_client.h"
#include "support/server_process.h"

extern char** environ;

using Clock = std::chrono::steady_clock;
using qn::client::ProtocolClient;
using qn::test::MemberInstall;
using qn::test::StorageMode;

namespace {

struct Options {
  int seconds = 5;
  int logonSeconds = 10;
};


Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (flag == "--seconds") o.seconds = value;
    if (flag == "--logon-seconds") o.logonSeconds = value;
  }
  return o;
}

struct Figures {
  double rps = 0;
  double p50Ms = 0;
  double p99Ms = 0;
};

double Percentile(std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  return sorted[static_cast<size_t>(p * static_cast<double>(sorted.size() - 1))];
}

// ---- redis -----------------------------------------------------------------

pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return failed != 0 ? -1 : pid;
}

Figures RedisPingInline(uint16_t port, int clients, int requests) {
  const std::string command = "redis-benchmark -h 127.0.0.1 -p " + std::to_string(port) +
                              " -t ping_inline --csv -c " + std::to_string(clients) + " -n " +
                              std::to_string(requests) + " 2>/dev/null";
  Figures f;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return f;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    if (std::strncmp(line, "\"PING_INLINE\"", 13) != 0) continue;
    // "PING_INLINE","rps","avg","min","p50","p95","p99","max"
    std::vector<double> values;
    for (char* p = line; (p = std::strchr(p, ',')) != nullptr; ++p)
      values.push_back(std::atof(p + 2));
    if (values.size() >= 6) {
      f.rps = values[0];
      f.p50Ms = values[3];
      f.p99Ms = values[5];
    }
  }
  ::pclose(pipe);
  return f;
}

// ---- our server ---------------------------------------------------------------

std::string UserId(int n) { return "bench" + std::to_string(n); }

bool OpenAndLogOn(ProtocolClient& client, uint16_t port, const std::string& id) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    client.Close();
    if (!client.Connect(port) || !client.Hello()) return false;
    if (!client.Request(1, "Logon", "Logon", qn::client::Params({id, "pw"}))) return false;
    auto reply = qn::client::ReadTable(client, 1, 10000);
    if (!reply) return false;
    if (reply->ended && !reply->result) return true;
    // The same member's last connection is still being closed.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// One thread drives every connection through epoll, as redis-benchmark does,
// so that both servers meet the same kind of client.
Figures SystemTimeLoad(uint16_t port, int clients, int seconds) {
  std::vector<ProtocolClient> connections(static_cast<size_t>(clients));
  {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
      threads.emplace_back([&, c] {
        if (!OpenAndLogOn(connections[static_cast<size_t>(c)], port, UserId(c))) ++failures;
      });
    for (auto& t : threads) t.join();
    if (failures > 0) {
      std::fprintf(stderr, "  %d clients could not log on\n", failures.load());
      return {};
    }
  }
  const std::vector<uint8_t> packet = qn::EncodeRequestPacket({7, "Utility", "GetSystemTime", ""});
  std::vector<uint8_t> frame = {static_cast<uint8_t>(packet.size() & 0xFF),
                                static_cast<uint8_t>(packet.size() >> 8)};
  frame.insert(frame.end(), packet.begin(), packet.end());

  struct Conn {
    int fd;
    std::vector<uint8_t> in;
    Clock::time_point sent;
  };
  std::vector<Conn> conns;
  const int ep = ::epoll_create1(0);
  for (auto& c : connections) {
    const int fd = c.fd();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    conns.push_back({fd, {}, {}});
  }
  for (size_t i = 0; i < conns.size(); ++i) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, conns[i].fd, &ev);
  }
  std::vector<double> latencies;
  latencies.reserve(4'000'000);
  long failures = 0;
  auto send = [&](Conn& c) {
    c.sent = Clock::now();
    if (::send(c.fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
      ++failures;
  };
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  for (Conn& c : conns) send(c);
  std::vector<epoll_event> events(static_cast<size_t>(clients));
  uint8_t buffer[65536];
  while (Clock::now() < end && failures == 0) {
    const int n = ::epoll_wait(ep, events.data(), clients, 100);
    for (int e = 0; e < n; ++e) {
      Conn& c = conns[events[static_cast<size_t>(e)].data.u64];
      const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
      if (got <= 0) {
        if (got == 0 || (errno != EAGAIN && errno != EINTR)) ++failures;
        continue;
      }
      c.in.insert(c.in.end(), buffer, buffer + got);
      size_t at = 0;
      bool ended = false;
      while (c.in.size() - at >= 2) {
        const size_t length = c.in[at] | (c.in[at + 1] << 8);
        if (c.in.size() - at - 2 < length) break;
        const uint8_t type = length > 0 ? c.in[at + 2] : 0;
        if (type == qn::kPacketEnd) ended = true;
        if (type == qn::kPacketResult) ++failures;
        at += 2 + length;
      }
      c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(at));
      if (ended) {
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - c.sent).count());
        send(c);
      }
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(ep);
  for (auto& c : connections) c.Close();
  std::sort(latencies.begin(), latencies.end());
  Figures f;
  f.rps = static_cast<double>(latencies.size()) / elapsed;
  f.p50Ms = Percentile(latencies, 0.50);
  f.p99Ms = Percentile(latencies, 0.99);
  if (failures > 0) std::fprintf(stderr, "  %ld requests failed\n", failures);
  return f;
}

// Connect, hello, log on, one account request, close; over and over.
double LogonsPerSecond(uint16_t port, int clients, int seconds) {
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
        const std::string id = UserId(c * kAccountsPerClient + (turn++ % kAccountsPerClient));
        if (!OpenAndLogOn(client, port, id)) {
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
  return static_cast<double>(cycles.load()) / elapsed;
}

bool StartInstallation(MemberInstall& install, qn::test::ServerProcess& server, StorageMode mode,
                       uint16_t port, int accounts) {
  std::string error;
  if (!install.Create(mode, port, &error)) {
    std::fprintf(stderr, "installation (%s): %s\n", qn::test::StorageModeName(mode), error.c_str());
    return false;
  }
  std::string values;
  for (int n = 0; n < accounts; ++n) {
    if (!values.empty()) values += ",";
    values += "('" + UserId(n) + "', 'pw', 1000000000, 0, -1)";
    if (n % 100 == 99 || n + 1 == accounts) {
      install.ExecAccount(
          "INSERT INTO Accounts (UserID, Password, Credits, RatePerHour, MaxTimeOnline) VALUES " +
          values);
      values.clear();
    }
  }
  if (!server.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port)) {
    std::fprintf(stderr, "qnsvr32 did not start: %s\n", server.StderrText().c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  ::signal(SIGPIPE, SIG_IGN);
  const int counts[] = {1, 50, 500};

  // (a) our side first, then redis, each alone on the machine.
  Figures ours[3];
  {
    MemberInstall install;
    qn::test::ServerProcess server;
    const uint16_t port = qn::test::FindFreePort();
    if (!StartInstallation(install, server, StorageMode::Access, port, 500)) return 2;
    for (int i = 0; i < 3; ++i) ours[i] = SystemTimeLoad(port, counts[i], options.seconds);
    server.Stop();
  }
  Figures redis[3];
  {
    const uint16_t port = qn::test::FindFreePort();
    const pid_t pid = Spawn({"redis-server", "--port", std::to_string(port), "--bind",
                             "127.0.0.1", "--save", "", "--appendonly", "no"});
    if (pid < 0) {
      std::fprintf(stderr, "redis-server did not start\n");
      return 2;
    }
    for (int i = 0; i < 200 && !qn::test::IsPortListening(port); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (int i = 0; i < 3; ++i) {
      // About as many seconds as our runs, judged by a short first run.
      const Figures probe = RedisPingInline(port, counts[i], counts[i] == 1 ? 5000 : 20000);
      const int requests = std::max(10000, static_cast<int>(probe.rps * options.seconds));
      redis[i] = RedisPingInline(port, counts[i], requests);
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
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

  // (b)
  std::printf("\nLogons per second, 50 clients (log on, GetCredits, close), %d s\n",
              options.logonSeconds);
  for (StorageMode mode : {StorageMode::Access, StorageMode::Postgres}) {
    if (mode == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable()) {
      std::printf("%-9s skipped (no QN_TEST_PG_HOST)\n", qn::test::StorageModeName(mode));
      continue;
    }
    MemberInstall install;
    qn::test::ServerProcess server;
    const uint16_t port = qn::test::FindFreePort();
    if (!StartInstallation(install, server, mode, port, 200)) return 2;
    const double rate = LogonsPerSecond(port, 50, options.logonSeconds);
    std::printf("%-9s %8.0f logons/s\n", qn::test::StorageModeName(mode), rate);
    server.Stop();
  }
  return ratio50 >= 0.7 ? 0 : 1;
}
