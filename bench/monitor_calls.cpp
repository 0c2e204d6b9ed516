// Calls to the server's Monitor object from other processes, against a real
// qnsvr32:
//
//   GetNbrConnections (dispatch ID 9) from 1 and from 8 client processes,
//   each creating its own object and calling in a loop; calls per second and
//   p50/p99 latency, beside a bare Unix-socket ping-pong between two
//   processes (one pair, 64-byte messages) measured in the same run, and the
//   ratio of the two.
//
//   monitor_calls [--seconds S]
//
// Also the server's own CPU time per call (user and system, from /proc), which
// says what a call costs the server whatever else the machine runs.
//
// Exit code 0 when the ratio is at least 0.5 with 1 client and 1.0 with 8.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/automation/class_registry.h"
#include "platform/automation/runtime.h"
#include "support/bench_flags.h"
#include "support/bench_support.h"

using qn::bench::Clock;
using qn::bench::Figures;
namespace automation = qn::automation;

namespace {

constexpr const char* kMonitor = "QuillnetServer.Monitor";
constexpr const char* kClsid = "{7DFB3D26-47E3-11CF-B5E0-00001D13DB37}";

bool WriteAll(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool ReadAll(int fd, void* data, size_t n) {
  char* p = static_cast<char*>(data);
  while (n > 0) {
    const ssize_t r = ::read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// One client process: its latencies in ms, written to `out` as a count and
// the values.
[[noreturn]] void CallerProcess(int out, Clock::time_point start, Clock::time_point end) {
  std::vector<double> latencies;
  automation::Ref<automation::IDispatch> monitor;
  if (automation::CreateObject(kMonitor, &monitor, 10000) == automation::kOk) {
    while (Clock::now() < start) {
    }
    std::vector<automation::Variant> none;
    automation::Variant result;
    while (Clock::now() < end) {
      const auto t0 = Clock::now();
      if (monitor->Invoke(9, automation::DISPATCH_METHOD, none, &result, nullptr) != automation::kOk)
        break;
      latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
  }
  const uint64_t n = latencies.size();
  WriteAll(out, &n, sizeof n);
  WriteAll(out, latencies.data(), n * sizeof(double));
  ::_exit(0);
}

Figures MonitorCalls(int clients, int seconds) {
  // All clients start together, once they have their objects.
  const auto start = Clock::now() + std::chrono::milliseconds(500);
  const auto end = start + std::chrono::seconds(seconds);
  std::vector<pid_t> pids;
  std::vector<int> pipes;
  for (int c = 0; c < clients; ++c) {
    int fds[2];
    if (::pipe(fds) != 0) break;
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      CallerProcess(fds[1], start, end);
    }
    ::close(fds[1]);
    pids.push_back(pid);
    pipes.push_back(fds[0]);
  }
  std::vector<double> all;
  long failures = 0;
  for (int fd : pipes) {
    uint64_t n = 0;
    if (!ReadAll(fd, &n, sizeof n) || n == 0) {
      ++failures;
    } else {
      std::vector<double> part(n);
      if (ReadAll(fd, part.data(), n * sizeof(double))) all.insert(all.end(), part.begin(), part.end());
    }
    ::close(fd);
  }
  for (pid_t pid : pids) ::waitpid(pid, nullptr, 0);
  Figures f = qn::bench::Summarise(all, seconds);
  f.failures = failures;
  return f;
}

// The anchor: one process sends 64 bytes, the other sends them back.
Figures PingPong(int seconds) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return {};
  const pid_t echo = ::fork();
  if (echo == 0) {
    ::close(pair[0]);
    char buf[64];
    while (ReadAll(pair[1], buf, sizeof buf) && WriteAll(pair[1], buf, sizeof buf)) {
    }
    ::_exit(0);
  }
  ::close(pair[1]);
  char buf[64];
  std::memset(buf, 'p', sizeof buf);
  std::vector<double> latencies;
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    const auto t0 = Clock::now();
    if (!WriteAll(pair[0], buf, sizeof buf) || !ReadAll(pair[0], buf, sizeof buf)) break;
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  ::close(pair[0]);
  ::waitpid(echo, nullptr, 0);
  return qn::bench::Summarise(latencies, seconds);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 5;
  qn::bench::ReadFlags(argc, argv, {{"--seconds", &seconds}});
  ::signal(SIGPIPE, SIG_IGN);

  qn::test::MemberInstall install;
  qn::test::ServerProcess server;
  const uint16_t port = qn::test::FindFreePort();
  if (!qn::bench::StartInstallation(install, server, qn::test::StorageMode::Access, port, 10)) return 2;
  automation::RegisterLocalServerClass(kMonitor, kClsid, "\"" QN_BIN_DIR "/qnsvr32\"");

  const int counts[] = {1, 8};
  Figures ours[2];
  double serverMicros[2];
  for (int i = 0; i < 2; ++i) {
    const double before = qn::bench::CpuSeconds(server.pid());
    ours[i] = MonitorCalls(counts[i], seconds);
    const double calls = ours[i].rps * seconds;
    serverMicros[i] = calls > 0 ? (qn::bench::CpuSeconds(server.pid()) - before) * 1e6 / calls : 0;
  }
  server.Stop();
  const Figures anchor = PingPong(seconds);

  std::printf("GetNbrConnections from client processes vs a Unix-socket ping-pong (%d s per run)\n",
              seconds);
  std::printf("%8s | %12s %9s %9s | %12s %9s %9s | %6s | %s\n", "clients", "calls/s", "p50 ms",
              "p99 ms", "pingpong/s", "p50 ms", "p99 ms", "ratio", "server us/call");
  bool met = true;
  const double targets[] = {0.5, 1.0};
  for (int i = 0; i < 2; ++i) {
    const double ratio = qn::bench::Ratio(ours[i].rps, anchor.rps);
    if (ratio < targets[i] || ours[i].failures > 0) met = false;
    std::printf("%8d | %12.0f %9.3f %9.3f | %12.0f %9.3f %9.3f | %6.2f | %.1f\n", counts[i],
                ours[i].rps, ours[i].p50Ms, ours[i].p99Ms, anchor.rps, anchor.p50Ms, anchor.p99Ms,
                ratio, serverMicros[i]);
    if (ours[i].failures > 0) std::printf("  %ld client processes failed\n", ours[i].failures);
  }
  return met ? 0 : 1;
}
