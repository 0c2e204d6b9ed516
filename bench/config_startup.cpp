// Time to first paint and resident memory of qnconfig on a registry holding
// 1,000 advertisements, against a minimal Qt Widgets window (a dialog with a
// label and a button: this program run with --minimal-window), in the same
// run and on the same platform (Qt's offscreen platform). Each start is
// timed from the spawn to the end of the window's first paint, which a
// probe preloaded into both programs reports with the process's VmRSS at
// that moment (bench/probe/first_paint_probe.cpp). Runs alternate; medians.
//
//   config_startup [--runs N] [--ads N]    (defaults 20 and 1000)
//
// Exit code 0 when qnconfig's medians are within 2 times the minimal
// window's time and 1.3 times its memory.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <list>
#include <string>
#include <vector>

#include "bench/support/bench_flags.h"
#include "common/registry.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kTimeTarget = 2.0;
constexpr double kMemoryTarget = 1.3;

int MinimalWindow(int argc, char** argv) {
  QApplication app(argc, argv);
  QDialog dialog;
  dialog.setWindowTitle("Minimal");
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(new QLabel("A minimal Qt Widgets window."));
  layout->addWidget(new QPushButton("OK"));
  dialog.exec();
  return 0;
}

struct Start {
  double ms = 0;
  long rssKb = 0;
};

// Runs `argv` with the probe; false when it did not report a paint.
bool Measure(const std::vector<std::string>& argv, const std::string& probe, const std::string& root, Start& out) {
  int fds[2];
  if (::pipe(fds) != 0) return false;
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.rfind("QN_ROOT=", 0) != 0 && entry.rfind("QT_QPA_PLATFORM=", 0) != 0 &&
        entry.rfind("LD_PRELOAD=", 0) != 0)
      env.push_back(entry);
  }
  env.push_back("QN_ROOT=" + root);
  env.push_back("QT_QPA_PLATFORM=offscreen");
  env.push_back("LD_PRELOAD=" + probe);
  env.push_back("QN_PAINT_PROBE_FD=" + std::to_string(fds[1]));
  std::vector<char*> envp, args;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStrings = argv;
  for (auto& a : argStrings) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const auto start = Clock::now();
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return false;
  }
  std::string line;
  pollfd p{fds[0], POLLIN, 0};
  while (line.find('\n') == std::string::npos && ::poll(&p, 1, 60000) > 0) {
    char buffer[64];
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<size_t>(n));
  }
  out.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return std::sscanf(line.c_str(), "painted %ld", &out.rssKb) == 1;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--minimal-window") == 0) return MinimalWindow(argc, argv);
  int runs = 20, ads = 1000;
  qn::bench::ReadFlags(argc, argv, {{"--runs", &runs}, {"--ads", &ads}});
  const fs::path bin = fs::canonical("/proc/self/exe").parent_path();
  const std::string self = (bin / "config_startup").string();
  const std::string qnconfig = (bin / "qnconfig").string();
  const std::string probe = (bin / "libqn_first_paint_probe.so").string();

  char pattern[] = "/tmp/qn-config-startup-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 2;
  const std::string root = pattern;
  ::setenv("QN_ROOT", root.c_str(), 1);
  {
    std::list<std::string> lines;
    for (int i = 0; i < ads; ++i)
      lines.push_back("Application " + std::to_string(i) + "\tVendor " + std::to_string(i % 37) + "\t" +
                      std::to_string(i % 600));
    CAdvertiseMultiReg().SaveList(lines);
    CQuillnetRegistry registry;
    registry.WriteString("SMTP", "MailRelayAddress", "relay.example.org");
    registry.WriteString("SMTP", "PrimaryDomainName", "members.example.org");
    registry.WriteDWORD("Advertise", "Loop", 1);
  }

  std::vector<double> configMs, configRss, minimalMs, minimalRss;
  for (int i = 0; i < runs; ++i) {
    Start config, minimal;
    if (!Measure({qnconfig}, probe, root, config) || !Measure({self, "--minimal-window"}, probe, root, minimal)) {
      std::fprintf(stderr, "a start did not report its first paint\n");
      fs::remove_all(root);
      return 2;
    }
    configMs.push_back(config.ms);
    configRss.push_back(static_cast<double>(config.rssKb));
    minimalMs.push_back(minimal.ms);
    minimalRss.push_back(static_cast<double>(minimal.rssKb));
  }
  fs::remove_all(root);

  const double timeRatio = Median(configMs) / Median(minimalMs);
  const double rssRatio = Median(configRss) / Median(minimalRss);
  std::printf("%d starts each, %d advertisements, QT_QPA_PLATFORM=offscreen\n", runs, ads);
  std::printf("%-16s %18s %14s\n", "", "first paint (ms)", "VmRSS (KiB)");
  std::printf("%-16s %18.1f %14.0f\n", "qnconfig", Median(configMs), Median(configRss));
  std::printf("%-16s %18.1f %14.0f\n", "minimal window", Median(minimalMs), Median(minimalRss));
  std::printf("%-16s %18.2f %14.2f   (targets %.1f, %.1f)\n", "ratio", timeRatio, rssRatio, kTimeTarget,
              kMemoryTarget);
  return timeRatio <= kTimeTarget && rssRatio <= kMemoryTarget ? 0 : 1;
}
