// How fast the guardian brings the server back, and what watching costs:
//
//   The watchdog in this process on its real hosts, its fixed times divided
//   by 10 (30 s -> 3 s, 100 s -> 10 s, 240 s -> 24 s; the stand-in's 30 s
//   for a stop's answer -> 3 s), SecCheckInterval and SecDelayBeforeCheck
//   1 s, against the real qnsvr32 run by the service control stand-in. The
//   server is killed (SIGKILL) and frozen (SIGSTOP) in turns, each time once
//   the restart throttle allows a restart, and the time from the signal
//   until a new server answers a hello and a Monitor call is measured by a
//   process of its own. Anchor: the same kill of `qnsvr32 -sa` run by a shell
//   loop that starts it again whenever it ends.
//
//   The real qnguard (stand-alone, at its own speed) probing each second:
//   its CPU time over a minute and its resident set, beside a shell loop
//   that sleeps a second at a time.
//
//   guardian_recovery [--rounds N] [--cpu-seconds S]
//
// Targets: a kill recovered within interval + pause + anchor + 1 s, a hang
// within call limit + stop limit + pause + 2 s; qnguard under 0.1 % of a core
// and under twice the shell loop's resident set. Exit code 0 when all hold.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "common/monitor_driver.h"
#include "common/registry.h"
#include "guardian/guardian_hosts.h"
#include "guardian/watchdog.h"
#include "platform/service_control.h"
#include "support/bench_flags.h"
#include "support/bench_support.h"
#include "support/server_service.h"
#include "support/service_helpers.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kDivisor = 10;
constexpr double kInterval = 1, kPause = 3, kCallLimit = 10, kStopLimit = 3;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// ---- The measuring process ------------------------------------------------------
// Forked before anything else runs, so that it has an automation runtime of
// its own: on each request it polls until a server greets and answers a
// Monitor call, and sends back the steady time at which it did.

[[noreturn]] void Prober(int in, int out, uint16_t port) {
  char request;
  while (::read(in, &request, 1) == 1) {
    for (;;) {
      qn::client::ProtocolClient client;
      bool greets = client.Connect(port, 500) && client.Hello(0, 9.99f, 500).has_value();
      if (greets) {
        CMonitorDriver driver;
        try {
          if (driver.CreateDispatch(1000ms)) {
            driver.GetNbrConnections();
            break;
          }
        } catch (const std::exception&) {
        }
      }
      std::this_thread::sleep_for(20ms);
    }
    const int64_t at = Clock::now().time_since_epoch().count();
    if (::write(out, &at, sizeof at) != sizeof at) break;
  }
  ::_exit(0);
}

class ProberProcess {
 public:
  explicit ProberProcess(uint16_t port) {
    int toChild[2], fromChild[2];
    if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(toChild[1]);
      ::close(fromChild[0]);
      Prober(toChild[0], fromChild[1], port);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    request_ = toChild[1];
    answer_ = fromChild[0];
  }
  ~ProberProcess() {
    ::close(request_);
    ::close(answer_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // The time at which a server answered, after this call.
  Clock::time_point AwaitAnswer() {
    char go = 1;
    int64_t at = 0;
    if (::write(request_, &go, 1) != 1 || ::read(answer_, &at, sizeof at) != sizeof at) return {};
    return Clock::time_point(Clock::duration(at));
  }

 private:
  pid_t pid_ = -1;
  int request_ = -1, answer_ = -1;
};

// ---- Process figures -----------------------------------------------------------

// The first child of a process (the shell loop's server).
pid_t ChildOf(pid_t parent) {
  std::ifstream in("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
  pid_t child = 0;
  in >> child;
  return child;
}

std::string Summary(std::vector<double> values) {
  if (values.empty()) return "none";
  std::sort(values.begin(), values.end());
  char text[96];
  std::snprintf(text, sizeof text, "%.2f to %.2f s (median %.2f)", values.front(), values.back(),
                values[values.size() / 2]);
  return text;
}

// ---- The runs -------------------------------------------------------------------

std::vector<double> AnchorRecoveries(ProberProcess& prober, int rounds) {
  const std::string loop = std::string("while :; do '") + QN_BIN_DIR + "/qnsvr32' -sa; done";
  const pid_t shell = qn::bench::Spawn({"/bin/bash", "-c", loop});
  std::vector<double> times;
  prober.AwaitAnswer();
  for (int i = 0; i < rounds; ++i) {
    const pid_t server = ChildOf(shell);
    if (server <= 0) break;
    const auto killed = Clock::now();
    ::kill(server, SIGKILL);
    times.push_back(Seconds(prober.AwaitAnswer() - killed));
    std::this_thread::sleep_for(1s);
  }
  // Held, the loop starts nothing more; then its server and the loop end.
  ::kill(shell, SIGSTOP);
  const pid_t last = ChildOf(shell);
  if (last > 0) ::kill(last, SIGKILL);
  ::kill(shell, SIGKILL);
  ::waitpid(shell, nullptr, 0);
  qn::svctest::WaitUntil([last] { return !qn::svctest::ProcessAlive(last); }, 10s);
  return times;
}

struct Watched {
  std::vector<double> kills, hangs;
};

Watched WatchdogRecoveries(qn::test::ServerService& server, ProberProcess& prober, int rounds) {
  qn::svc::SetTimeouts(30s, std::chrono::milliseconds(static_cast<int>(kStopLimit * 1000)));
  CNTService service("QuillnetGuardian", nullptr, false, 7, 5000);
  guardian::CServiceClock clock(service, kDivisor);
  guardian::CServiceControlHost services;
  guardian::CMonitorProbe monitor(clock);
  guardian::CKickOffLauncher launcher(clock);
  guardian::CLogLines log;
  const auto began = Clock::now();
  std::thread watchdog([&] {
    guardian::CWatchdog w(guardian::WatchdogHosts{clock, services, monitor, launcher, log},
                          guardian::Settings{kDivisor, kDivisor, ""}, clock.Now());
    w.Run();
  });
  Watched watched;
  // The restart throttle: 24 s since the watchdog's start or its last restart.
  auto allowed = began + 25s;
  for (int i = 0; i < 2 * rounds; ++i) {
    std::this_thread::sleep_until(allowed);
    const pid_t pid = server.Pid();
    if (pid <= 0) break;
    const bool hang = i % 2 == 1;
    const auto signalled = Clock::now();
    ::kill(pid, hang ? SIGSTOP : SIGKILL);
    const auto answered = prober.AwaitAnswer();
    (hang ? watched.hangs : watched.kills).push_back(Seconds(answered - signalled));
    allowed = answered + 25s;
  }
  service.SetStopped();
  watchdog.join();
  qn::svc::SetTimeouts(30s, 30s);
  return watched;
}

struct Idle {
  double cpuShare = 0;
  uint64_t rss = 0, shellRss = 0;
};

Idle IdleCost(int seconds) {
  CQuillnetRegistry registry;
  registry.WriteDWORD("Guardian", "SecCheckInterval", 1);
  registry.WriteDWORD("Guardian", "SecDelayBeforeCheck", 0);
  const pid_t guardian = qn::bench::Spawn({QN_BIN_DIR "/qnguard", "-sa"});
  const pid_t shell = qn::bench::Spawn({"/bin/bash", "-c", "while sleep 1; do :; done"});
  // The first probe goes out after 30 s.
  std::this_thread::sleep_for(32s);
  const double before = qn::bench::CpuSeconds(guardian);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  Idle idle;
  idle.cpuShare = (qn::bench::CpuSeconds(guardian) - before) / seconds;
  idle.rss = qn::test::ResidentBytes(guardian);
  idle.shellRss = qn::test::ResidentBytes(shell);
  for (pid_t pid : {guardian, shell}) {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
  }
  return idle;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3, cpuSeconds = 60;
  qn::bench::ReadFlags(argc, argv, {{"--rounds", &rounds}, {"--cpu-seconds", &cpuSeconds}});
  ::signal(SIGPIPE, SIG_IGN);

  qn::test::ServerService server;
  std::string error;
  if (!server.Install(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  ProberProcess prober(server.port());

  const std::vector<double> anchor = AnchorRecoveries(prober, rounds);
  if (!server.Start()) {
    std::fprintf(stderr, "the server's service did not start\n");
    return 2;
  }
  const Watched watched = WatchdogRecoveries(server, prober, rounds);
  const Idle idle = IdleCost(cpuSeconds);

  std::vector<double> sortedAnchor = anchor;
  std::sort(sortedAnchor.begin(), sortedAnchor.end());
  const double anchorMedian = sortedAnchor.empty() ? 0 : sortedAnchor[sortedAnchor.size() / 2];
  const double killTarget = kInterval + kPause + anchorMedian + 1;
  const double hangTarget = kCallLimit + kStopLimit + kPause + 2;
  const auto worst = [](const std::vector<double>& v) {
    return v.empty() ? 1e9 : *std::max_element(v.begin(), v.end());
  };
  std::printf("recovery until a hello and a Monitor call answer (%d rounds each)\n", rounds);
  std::printf("  shell loop, kill -9:        %s\n", Summary(anchor).c_str());
  std::printf("  watchdog, kill -9:          %s (target %.2f s)\n", Summary(watched.kills).c_str(),
              killTarget);
  std::printf("  watchdog, SIGSTOP:          %s (target %.2f s)\n", Summary(watched.hangs).c_str(),
              hangTarget);
  std::printf("qnguard probing each second, %d s: CPU %.4f %% of a core (target 0.1 %%), "
              "RSS %.1f MiB, shell loop %.1f MiB (target under %.1f MiB)\n",
              cpuSeconds, idle.cpuShare * 100, idle.rss / 1048576.0, idle.shellRss / 1048576.0,
              2 * idle.shellRss / 1048576.0);
  const bool met = worst(watched.kills) <= killTarget && worst(watched.hangs) <= hangTarget &&
                   idle.cpuShare < 0.001 && idle.rss < 2 * idle.shellRss;
  std::printf("targets %s\n", met ? "met" : "missed");
  return met ? 0 : 1;
}
