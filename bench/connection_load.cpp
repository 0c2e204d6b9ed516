// Load generator: opens connections to a real qnsvr32 at a steady pace, takes
// each through the hello, holds them all idle (an empty frame now and then
// keeps them from the 90-second silence rule) and reports the server's
// resident memory per idle connection.
//
//   connection_load [--connections N] [--open-seconds S] [--hold-seconds H]
//
// The server runs in a private root on a free port; this process is the
// only client. Exit code 0 when every connection was held and the memory per
// idle connection stayed within 16 KB.
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/bench_flags.h"
#include "support/protocol_client.h"
#include "support/server_process.h"

using Clock = std::chrono::steady_clock;
using qn::client::ProtocolClient;

namespace {

constexpr uint64_t kTargetBytesPerConnection = 16 * 1024;
constexpr auto kKeepAliveEvery = std::chrono::seconds(30);

struct Options {
  int connections = 10000;
  int openSeconds = 60;
  int holdSeconds = 30;
};

Options Parse(int argc, char** argv) {
  Options o;
  qn::bench::ReadFlags(argc, argv,
                      {{"--connections", &o.connections},
                       {"--open-seconds", &o.openSeconds},
                       {"--hold-seconds", &o.holdSeconds}});
  return o;
}

void RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// Connections the server has closed (readable with nothing to read, or hung
// up); an idle connection must show no event at all.
int CountClosed(std::vector<ProtocolClient>& clients) {
  std::vector<pollfd> fds;
  for (auto& c : clients) fds.push_back({c.fd(), POLLIN, 0});
  ::poll(fds.data(), fds.size(), 0);
  return static_cast<int>(std::count_if(fds.begin(), fds.end(), [](const pollfd& p) { return p.revents != 0; }));
}

void KeepAlive(std::vector<ProtocolClient>& clients) {
  for (auto& c : clients) c.SendFrame({});
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  RaiseOpenFileLimit();

  char pattern[] = "/tmp/qn_load_XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 2;
  const std::string root = pattern;
  const uint16_t port = qn::test::FindFreePort();
  qn::test::WriteRegistry(root, {{"General", {qn::test::DwordLine("Port", port)}}});
  qn::test::ServerProcess server;
  if (!server.Start("qnsvr32", {"-sa"}, root, port)) {
    std::fprintf(stderr, "server did not start: %s\n", server.StderrText().c_str());
    return 2;
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const uint64_t baseline = qn::test::ResidentBytes(server.pid());

  std::vector<ProtocolClient> clients;
  clients.reserve(static_cast<size_t>(options.connections));
  std::vector<double> helloMs;
  int failed = 0;
  const auto start = Clock::now();
  auto nextKeepAlive = start + kKeepAliveEvery;
  const double gap = static_cast<double>(options.openSeconds) / options.connections;
  for (int i = 0; i < options.connections; ++i) {
    std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(gap * i)));
    const auto begun = Clock::now();
    ProtocolClient client;
    if (!client.Connect(port) || client.Hello() != qn::client::Bytes{1, 0}) {
      ++failed;
      continue;
    }
    helloMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
    clients.push_back(std::move(client));
    if (Clock::now() >= nextKeepAlive) {
      KeepAlive(clients);
      nextKeepAlive += kKeepAliveEvery;
    }
  }
  const double openedIn = std::chrono::duration<double>(Clock::now() - start).count();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const uint64_t afterOpen = qn::test::ResidentBytes(server.pid());

  const auto holdUntil = Clock::now() + std::chrono::seconds(options.holdSeconds);
  while (Clock::now() < holdUntil) {
    if (Clock::now() >= nextKeepAlive) {
      KeepAlive(clients);
      nextKeepAlive += kKeepAliveEvery;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  const uint64_t afterHold = qn::test::ResidentBytes(server.pid());
  const int closed = CountClosed(clients);
  const int held = static_cast<int>(clients.size()) - closed;
  const uint64_t peak = std::max(afterOpen, afterHold);
  const double perConnection =
      held > 0 ? static_cast<double>(peak > baseline ? peak - baseline : 0) / held : 0;

  std::printf("connections asked        %d\n", options.connections);
  std::printf("opened (hello accepted)  %zu in %.1f s, %d failed\n", clients.size(), openedIn, failed);
  std::printf("held after %d s idle     %d\n", options.holdSeconds, held);
  std::printf("hello round trip         p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", Percentile(helloMs, 0.5),
              Percentile(helloMs, 0.99), Percentile(helloMs, 1.0));
  std::printf("server RSS               start %.1f MiB, all open %.1f MiB, after hold %.1f MiB\n",
              baseline / 1048576.0, afterOpen / 1048576.0, afterHold / 1048576.0);
  std::printf("RSS per idle connection  %.0f bytes (target <= %llu)\n", perConnection,
              static_cast<unsigned long long>(kTargetBytesPerConnection));

  clients.clear();
  const int status = server.Stop();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  if (status != 0) {
    std::fprintf(stderr, "server exit status %d\n", status);
    return 1;
  }
  const bool ok = held == options.connections && perConnection <= kTargetBytesPerConnection;
  std::printf("%s\n", ok ? "targets met" : "targets NOT met");
  return ok ? 0 : 1;
}
