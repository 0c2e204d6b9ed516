// The server manager's start, memory, idle CPU and state poll, each beside a
// bare Qt Widgets window measured in the same run:
//
//   (a) spawn to first paint and the resident set half a second later, of
//       the manager (the program's whole start: single-copy lock, event
//       source, settings, window, bitmaps; in a fresh root whose registry
//       has the sections a first run made) and of a bare 360x66 QWidget,
//       offscreen and on Xvfb when it is installed;
//   (b) CPU while idle for S seconds: the manager with the server stopped
//       and running (its animation turning every 150 ms), and a bare
//       360x66 window repainted every 150 ms;
//   (c) one state poll (GetServiceState of "QuillnetServer", installed in a
//       private root by qnsvr32 -install), stopped and running.
//
//   manager_start [--rounds N] [--idle-seconds S] [--polls N]
//
// Each measured program is this binary started again with "--child KIND"; it
// tells its first paint by a byte on descriptor 3. Exit code 0 when the
// manager's start takes at most 2 times the bare window's, its resident set
// at most 1.5 times, a poll under 1 ms, and idle CPU under 0.1 % of a core
// stopped and 1 % running.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/service_state.h"
#include "support/bench_flags.h"
#include "support/scoped_root.h"
#include "support/server_process.h"
#include "support/server_service.h"
#include "support/service_helpers.h"
#include "support/x_display.h"
#include "tools/manager/core/local_host.h"
#include "tools/manager/qt/manager_app.h"
#include "tools/manager/qt/manager_window.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kReportFd = 3;

void ReportPaint() {
  const char byte = 'P';
  if (::write(kReportFd, &byte, 1) != 1) std::_Exit(3);
}

// A bare window of the manager's size, optionally repainted like the
// animation.
class BareWindow : public QWidget {
 public:
  explicit BareWindow(bool repaint) {
    setFixedSize(360, 66);
    if (repaint) {
      connect(&timer_, &QTimer::timeout, this, [this] { update(); });
      timer_.start(150);
    }
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    if (painted_) return;
    painted_ = true;
    QTimer::singleShot(0, this, [] { ReportPaint(); });
  }

 private:
  QTimer timer_;
  bool painted_ = false;
};

// The service control as a running server shows it.
class RunningServices : public qn::manager::LocalServiceControl {
 public:
  uint32_t GetServiceState(const std::string&) override { return qn::manager::kStateRunning; }
};

int Child(const std::string& kind, int argc, char** argv) {
  if (kind == "manager") return qn::manager::RunManager(argc, argv, [] { ReportPaint(); });
  QApplication app(argc, argv);
  if (kind == "manager-running") {
    qn::manager::LocalManager local;
    RunningServices services;
    qn::manager::ManagerHost host = local.Host();
    host.services = &services;
    qn::manager::CManagerWindow window(host);
    window.onFirstPaint = [] { ReportPaint(); };
    window.show();
    return app.exec();
  }
  BareWindow window(kind == "bare-repaint");
  window.show();
  return app.exec();
}

struct Started {
  pid_t pid = -1;
  double toPaintMs = -1;
};

// Starts this program as `kind` on `platform` in `root`; waits for its first
// paint.
Started StartChild(const std::string& kind, const std::string& platform, const std::string& root) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.rfind("QN_ROOT=", 0) != 0 && entry.rfind("QT_QPA_PLATFORM=", 0) != 0) env.push_back(entry);
  }
  env.push_back("QN_ROOT=" + root);
  env.push_back("QT_QPA_PLATFORM=" + platform);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string self = "/proc/self/exe", flag = "--child", what = kind;
  char* argv[] = {self.data(), flag.data(), what.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], kReportFd);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  Started started;
  const auto begin = Clock::now();
  const int rc = ::posix_spawn(&started.pid, self.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    started.pid = -1;
    return started;
  }
  pollfd p{fds[0], POLLIN, 0};
  char byte;
  if (::poll(&p, 1, 60000) == 1 && ::read(fds[0], &byte, 1) == 1)
    started.toPaintMs = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
  ::close(fds[0]);
  return started;
}

void StopChild(pid_t pid) {
  ::kill(pid, SIGTERM);
  int status = 0;
  if (!qn::svctest::WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(10))) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
}

// User and system time of a process, in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t paren = text.rfind(')');
  if (paren == std::string::npos) return -1;
  std::istringstream fields(text.substr(paren + 2));
  std::string field;
  long user = 0, system = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) user = std::stol(field);
    if (i == 15) system = std::stol(field);
  }
  return user + system;
}

double Median(std::vector<double> values) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct StartFigures {
  double paintMs = -1;
  double rssKiB = -1;
};

namespace fs = std::filesystem;

// Runs the manager once in `root`: its first start creates its registry
// sections (a write of the registry file each), which later starts find.
// The registry it leaves.
fs::path RunOnce(const qn::test::ScopedRoot& root) {
  const Started child = StartChild("manager", "offscreen", root.path().string());
  if (child.pid > 0) StopChild(child.pid);
  return root.path() / "etc/quillnet/registry.reg";
}

StartFigures MeasureStart(const std::string& kind, const std::string& platform, int rounds,
                          const fs::path& registry) {
  std::vector<double> times, rss;
  for (int i = 0; i < rounds; ++i) {
    qn::test::ScopedRoot root;
    fs::create_directories(root.path() / "etc/quillnet");
    fs::copy_file(registry, root.path() / "etc/quillnet/registry.reg");
    const Started child = StartChild(kind, platform, root.path().string());
    if (child.pid <= 0) continue;
    if (child.toPaintMs >= 0) {
      times.push_back(child.toPaintMs);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      rss.push_back(qn::test::ResidentBytes(child.pid) / 1024.0);
    }
    StopChild(child.pid);
  }
  return {Median(times), Median(rss)};
}

double IdleCpuPercent(const std::string& kind, const std::string& platform, int seconds) {
  qn::test::ScopedRoot root;
  const Started child = StartChild(kind, platform, root.path().string());
  if (child.pid <= 0 || child.toPaintMs < 0) return -1;
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const long before = CpuTicks(child.pid);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const long after = CpuTicks(child.pid);
  StopChild(child.pid);
  return 100.0 * static_cast<double>(after - before) / (static_cast<double>(::sysconf(_SC_CLK_TCK)) * seconds);
}

double PollMicros(int polls) {
  const auto begin = Clock::now();
  unsigned long sum = 0;
  for (int i = 0; i < polls; ++i) sum += GetServiceState("QuillnetServer");
  const double us = std::chrono::duration<double, std::micro>(Clock::now() - begin).count() / polls;
  return sum == 0 ? -1 : us;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--child") == 0) {
    int childArgc = 1;
    return Child(argv[2], childArgc, argv);
  }
  int rounds = 7, idleSeconds = 20, polls = 20000;
  qn::bench::ReadFlags(argc, argv, {{"--rounds", &rounds}, {"--idle-seconds", &idleSeconds}, {"--polls", &polls}});
  std::printf("load average before: %s\n", LoadAverage().c_str());
  bool ok = true;

  std::vector<std::string> platforms{"offscreen"};
  qn::test::XDisplay x;
  if (qn::test::XDisplay::ToolsAvailable() && x.Start()) platforms.push_back("xcb");

  std::printf("\n(a) spawn to first paint, median of %d; resident set half a second later\n", rounds);
  std::printf("%-10s %-9s %12s %12s\n", "platform", "program", "paint ms", "RSS KiB");
  {
  qn::test::ScopedRoot ranOnce;
  const fs::path registry = RunOnce(ranOnce);
  for (const std::string& platform : platforms) {
    const StartFigures bare = MeasureStart("bare", platform, rounds, registry);
    const StartFigures manager = MeasureStart("manager", platform, rounds, registry);
    std::printf("%-10s %-9s %12.1f %12.0f\n", platform.c_str(), "bare", bare.paintMs, bare.rssKiB);
    std::printf("%-10s %-9s %12.1f %12.0f\n", platform.c_str(), "qnman32", manager.paintMs, manager.rssKiB);
    const double timeRatio = manager.paintMs / bare.paintMs, rssRatio = manager.rssKiB / bare.rssKiB;
    std::printf("%-10s ratios: time %.2f (target 2), RSS %.2f (target 1.5)\n", platform.c_str(), timeRatio, rssRatio);
    ok = ok && bare.paintMs > 0 && manager.paintMs > 0 && timeRatio <= 2.0 && rssRatio <= 1.5;
  }
  }

  const std::string idlePlatform = platforms.back();
  std::printf("\n(b) CPU while idle for %d s on %s, %% of one core\n", idleSeconds, idlePlatform.c_str());
  const double stopped = IdleCpuPercent("manager", idlePlatform, idleSeconds);
  const double running = IdleCpuPercent("manager-running", idlePlatform, idleSeconds);
  const double anchor = IdleCpuPercent("bare-repaint", idlePlatform, idleSeconds);
  std::printf("qnman32, server stopped           %6.2f %% (target 0.1)\n", stopped);
  std::printf("qnman32, server running           %6.2f %% (target 1)\n", running);
  std::printf("bare window repainted every 150 ms %6.2f %%\n", anchor);
  ok = ok && stopped >= 0 && stopped < 0.1 && running >= 0 && running < 1.0;

  std::printf("\n(c) one state poll of \"QuillnetServer\", mean of %d\n", polls);
  {
    qn::test::ServerService server;
    std::string error;
    if (!server.Install(&error)) {
      std::printf("install failed: %s\n", error.c_str());
      ok = false;
    } else {
      const double stoppedUs = PollMicros(polls);
      const bool started = server.Start();
      const double runningUs = started ? PollMicros(polls) : -1;
      std::printf("stopped %8.1f us, running %8.1f us (target 1000)\n", stoppedUs, runningUs);
      ok = ok && stoppedUs > 0 && stoppedUs < 1000 && runningUs > 0 && runningUs < 1000;
      qn::svctest::RunProgram({std::string(QN_BIN_DIR) + "/qnsvr32", "-stop"}, std::chrono::seconds(60));
    }
  }
  std::printf("\nload average after: %s\n%s\n", LoadAverage().c_str(), ok ? "targets met" : "targets missed");
  return ok ? 0 : 1;
}
