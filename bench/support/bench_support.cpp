#include "bench_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace qn::bench {

using client::ProtocolClient;

namespace {

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  return sorted[static_cast<size_t>(p * static_cast<double>(sorted.size() - 1))];
}

}  // namespace

Figures Summarise(std::vector<double>& latencies, double seconds) {
  std::sort(latencies.begin(), latencies.end());
  Figures f;
  f.count = static_cast<long>(latencies.size());
  f.rps = seconds > 0 ? static_cast<double>(latencies.size()) / seconds : 0;
  f.p50Ms = Percentile(latencies, 0.50);
  f.p99Ms = Percentile(latencies, 0.99);
  return f;
}

double Ratio(double ours, double anchor) { return anchor > 0 ? ours / anchor : 0; }

double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
  double utime = 0, stime = 0;
  fields >> utime >> stime;
  return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

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

std::string RunCapture(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  ::pclose(pipe);
  return out;
}

namespace {

// Runs `tool` (its arguments; "-o <file>" is added) attached to a process
// while `load` runs, stops it with SIGINT and hands its output file to
// `read`; `load` runs whatever happens.
void WatchWhile(std::vector<std::string> tool, const std::function<void()>& load,
                const std::function<void(std::FILE*)>& read) {
  char path[] = "/tmp/qn-watch-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) {
    load();
    return;
  }
  ::close(fd);
  tool.insert(tool.end(), {"-o", path});
  const pid_t watcher = Spawn(tool);
  // The tool attaches to every thread before it counts; give it that moment.
  if (watcher > 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
  load();
  if (watcher > 0) {
    ::kill(watcher, SIGINT);
    int status = 0;
    ::waitpid(watcher, &status, 0);
    if (std::FILE* in = std::fopen(path, "r")) {
      read(in);
      std::fclose(in);
    }
  }
  ::unlink(path);
}

}  // namespace

SyscallCounts CountSyscalls(pid_t pid, const std::function<void()>& load) {
  SyscallCounts counts;
  WatchWhile({"strace", "-c", "-f", "-p", std::to_string(pid)}, load, [&](std::FILE* in) {
    // "% time  seconds  usecs/call  calls  [errors]  syscall" rows between
    // two dashed lines, then the total.
    char line[512];
    int dashes = 0;
    while (std::fgets(line, sizeof line, in) != nullptr) {
      if (std::strncmp(line, "------", 6) == 0) {
        ++dashes;
        continue;
      }
      if (dashes != 1) continue;
      std::vector<std::string> fields;
      for (char* token = std::strtok(line, " \t\n"); token != nullptr; token = std::strtok(nullptr, " \t\n"))
        fields.emplace_back(token);
      if (fields.size() < 5) continue;
      const long calls = std::atol(fields[3].c_str());
      counts.calls.emplace_back(fields.back(), calls);
      counts.total += calls;
    }
  });
  std::sort(counts.calls.begin(), counts.calls.end(),
            [](const auto& a, const auto& b) { return a.second > b.second; });
  counts.measured = counts.total > 0;
  return counts;
}

long CountMallocs(pid_t pid, const std::function<void()>& load) {
  // The probe is filtered to the process perf watches: other processes'
  // allocations pass untouched.
  const std::string libc = RunCapture("ldconfig -p | awk '/libc.so.6 .*x86-64/ {print $NF; exit}'");
  const std::string path = libc.empty() ? "/lib/x86_64-linux-gnu/libc.so.6" : libc.substr(0, libc.find('\n'));
  RunCapture("perf probe -q -x " + path + " --add malloc 2>/dev/null");
  long count = -1;
  WatchWhile({"perf", "stat", "-x", ",", "-e", "probe_libc:malloc", "-p", std::to_string(pid)}, load,
             [&](std::FILE* in) {
               // "count,unit,event,..." on the line naming the event.
               char line[512];
               while (std::fgets(line, sizeof line, in) != nullptr)
                 if (std::strstr(line, "probe_libc:malloc") != nullptr && line[0] >= '0' && line[0] <= '9')
                   count = std::atol(line);
             });
  return count;
}

std::string SyscallsPerRequest(const SyscallCounts& counts, long requests, size_t top) {
  if (!counts.measured || requests <= 0) return "not measured (strace missing or not allowed)";
  const auto per = [&](long calls) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(calls) / static_cast<double>(requests));
    return std::string(text);
  };
  std::string out = per(counts.total) + " per request:";
  for (size_t i = 0; i < counts.calls.size() && i < top; ++i)
    out += (i == 0 ? " " : ", ") + counts.calls[i].first + " " + per(counts.calls[i].second);
  return out;
}

// ---- redis ------------------------------------------------------------------

RedisServer::~RedisServer() { Stop(); }

bool RedisServer::Start() {
  port_ = test::FindFreePort();
  pid_ = Spawn({"redis-server", "--port", std::to_string(port_), "--bind", "127.0.0.1", "--save",
                "", "--appendonly", "no"});
  if (pid_ < 0) {
    std::fprintf(stderr, "redis-server did not start (bash scripts/install-bench-deps)\n");
    return false;
  }
  for (int i = 0; i < 300 && !test::IsPortListening(port_); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return test::IsPortListening(port_);
}

void RedisServer::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string RedisServer::Call(const std::vector<std::string>& args) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    std::string command = "*" + std::to_string(args.size()) + "\r\n";
    for (const std::string& a : args)
      command += "$" + std::to_string(a.size()) + "\r\n" + a + "\r\n";
    if (::send(fd, command.data(), command.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(command.size())) {
      char c;
      while (::recv(fd, &c, 1, 0) == 1 && c != '\n') reply += c;
    }
  }
  ::close(fd);
  if (!reply.empty() && reply.back() == '\r') reply.pop_back();
  return reply;
}

Figures RedisBenchmark(uint16_t port, const std::string& test, int clients, int requests) {
  const std::string command = "redis-benchmark -h 127.0.0.1 -p " + std::to_string(port) +
                              " --csv -c " + std::to_string(clients) + " -n " +
                              std::to_string(requests) + " " + test + " 2>/dev/null";
  Figures f;
  const std::string out = RunCapture(command);
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(at, end - at);
    at = end + 1;
    // "name","rps","avg","min","p50","p95","p99","max"; the header names "test".
    if (line.empty() || line.rfind("\"test\"", 0) == 0) continue;
    std::vector<double> values;
    for (size_t p = line.find("\","); p != std::string::npos; p = line.find("\",", p + 2))
      values.push_back(std::atof(line.c_str() + p + 3));
    if (values.size() >= 6) {
      f.rps = values[0];
      f.p50Ms = values[3];
      f.p99Ms = values[5];
    }
  }
  return f;
}

Figures RedisBenchmarkFor(uint16_t port, const std::string& test, int clients, int seconds) {
  const Figures probe = RedisBenchmark(port, test, clients, clients == 1 ? 5000 : 20000);
  const int requests = std::max(10000, static_cast<int>(probe.rps * seconds));
  return RedisBenchmark(port, test, clients, requests);
}

std::optional<Figures> RedisListRangeFor(int clients, int seconds) {
  RedisServer server;
  if (!server.Start()) return std::nullopt;
  std::vector<std::string> push = {"RPUSH", "key"};
  for (int i = 0; i < 20; ++i) push.push_back("element-" + std::to_string(i));
  server.Call(push);
  return RedisBenchmarkFor(server.port(), "LRANGE key 0 19", clients, seconds);
}

// ---- our server -------------------------------------------------------------

std::vector<uint8_t> RequestFrame(uint16_t id, const std::string& service,
                                  const std::string& item, const std::string& params) {
  const std::vector<uint8_t> packet = EncodeRequestPacket({id, service, item, params});
  std::vector<uint8_t> frame = {static_cast<uint8_t>(packet.size() & 0xFF),
                                static_cast<uint8_t>(packet.size() >> 8)};
  frame.insert(frame.end(), packet.begin(), packet.end());
  return frame;
}

bool OpenAndLogOn(ProtocolClient& client, uint16_t port, const std::string& id,
                  const std::string& password) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    client.Close();
    if (!client.Connect(port) || !client.Hello()) return false;
    if (!client.Request(1, "Logon", "Logon", client::Params({id, password}))) return false;
    auto reply = client::ReadTable(client, 1, 10000);
    if (!reply) return false;
    if (reply->ended && !reply->result) return true;
    // The same member's last connection is still being closed.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

bool LogOnAll(std::vector<ProtocolClient>& connections, uint16_t port,
              const std::function<std::string(int)>& userId, const std::string& password) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  const int count = static_cast<int>(connections.size());
  const int perThread = std::max(1, count / 64 + (count % 64 != 0));
  for (int first = 0; first < count; first += perThread)
    threads.emplace_back([&, first] {
      for (int c = first; c < std::min(count, first + perThread); ++c)
        if (!OpenAndLogOn(connections[static_cast<size_t>(c)], port, userId(c), password))
          ++failures;
    });
  for (auto& t : threads) t.join();
  if (failures > 0) std::fprintf(stderr, "  %d clients could not log on\n", failures.load());
  return failures == 0;
}

Figures RequestLoad(std::vector<ProtocolClient>& connections,
                    const std::vector<std::vector<uint8_t>>& frames, int seconds) {
  struct Conn {
    int fd;
    size_t turn;
    std::vector<uint8_t> in;
    Clock::time_point sent;
  };
  std::vector<Conn> conns;
  const int ep = ::epoll_create1(0);
  for (auto& c : connections) {
    const int fd = c.fd();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    conns.push_back({fd, conns.size(), {}, {}});
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
    const std::vector<uint8_t>& frame = frames[c.turn++ % frames.size()];
    c.sent = Clock::now();
    if (::send(c.fd, frame.data(), frame.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(frame.size()))
      ++failures;
  };
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  for (Conn& c : conns) send(c);
  std::vector<epoll_event> events(conns.size());
  std::vector<uint8_t> buffer(1 << 20);
  while (Clock::now() < end && failures == 0) {
    const int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), 100);
    for (int e = 0; e < n; ++e) {
      Conn& c = conns[events[static_cast<size_t>(e)].data.u64];
      const ssize_t got = ::recv(c.fd, buffer.data(), buffer.size(), 0);
      if (got <= 0) {
        if (got == 0 || (errno != EAGAIN && errno != EINTR)) ++failures;
        continue;
      }
      c.in.insert(c.in.end(), buffer.begin(), buffer.begin() + got);
      size_t at = 0;
      bool ended = false;
      while (c.in.size() - at >= 2) {
        const size_t length = c.in[at] | (c.in[at + 1] << 8);
        if (c.in.size() - at - 2 < length) break;
        const uint8_t type = length > 0 ? c.in[at + 2] : 0;
        if (type == kPacketEnd) ended = true;
        if (type == kPacketResult) {
          ended = true;
          // Type, request id (2), code (2, little-endian).
          if (length >= 5 && (c.in[at + 5] | c.in[at + 6]) != 0) ++failures;
        }
        at += 2 + length;
      }
      c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(at));
      if (ended) {
        latencies.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - c.sent).count());
        send(c);
      }
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(ep);
  for (auto& c : connections) c.Close();
  Figures f = Summarise(latencies, elapsed);
  f.failures = failures;
  if (failures > 0) std::fprintf(stderr, "  %ld requests failed\n", failures);
  return f;
}

std::string BenchUserId(int n) { return "bench" + std::to_string(n); }

void SeedMembers(test::MemberInstall& install, int count,
                 const std::function<std::string(int)>& userId) {
  std::string values;
  for (int n = 0; n < count; ++n) {
    if (!values.empty()) values += ",";
    values += "('" + userId(n) + "', 'pw', 1000000000, 0, -1)";
    if (n % 100 == 99 || n + 1 == count) {
      install.ExecAccount(
          "INSERT INTO Accounts (UserID, Password, Credits, RatePerHour, MaxTimeOnline) VALUES " +
          values);
      values.clear();
    }
  }
}

bool StartInstallation(test::MemberInstall& install, test::ServerProcess& server,
                       test::StorageMode mode, uint16_t port, int members, const std::string& program) {
  std::string error;
  if (!install.Create(mode, port, &error)) {
    std::fprintf(stderr, "installation (%s): %s\n", test::StorageModeName(mode), error.c_str());
    return false;
  }
  SeedMembers(install, members, BenchUserId);
  if (!server.Start(program, {"-sa"}, test::MemberInstall::Root().string(), port)) {
    std::fprintf(stderr, "%s did not start: %s\n", program.c_str(), server.StderrText().c_str());
    return false;
  }
  return true;
}

std::string CountingServerProgram() {
  return ::access(QN_BIN_DIR "/qnsvr32_test", X_OK) == 0 ? "qnsvr32_test" : "qnsvr32";
}

long ServerStatements(uint16_t port) {
  // The test build's mark of a logged-on connection.
  constexpr uint8_t kMarkLoggedOn = 0x7F;
  client::ProtocolClient client;
  if (!client.Connect(port) || !client.Hello() || !client.SendFrame({kMarkLoggedOn}) ||
      !client.Request(1, "Test", "Statements"))
    return -1;
  const auto reply = client::ReadTable(client, 1, 10000);
  if (!reply || reply->result || reply->rows.size() != 1) return -1;
  return std::get<int32_t>(reply->rows[0][0]);
}

}  // namespace qn::bench
