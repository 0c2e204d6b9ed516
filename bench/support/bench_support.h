// What the load generators share: figures and percentiles, the anchors
// (a redis-server of the bench's own, redis-benchmark), and a driver that
// keeps many logged-on members busy from one thread through epoll, as
// redis-benchmark drives its clients.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/member_install.h"
#include "support/protocol_client.h"
#include "support/server_process.h"

namespace qn::bench {

using Clock = std::chrono::steady_clock;

struct Figures {
  double rps = 0;
  double p50Ms = 0;
  double p99Ms = 0;
  long failures = 0;
  // Requests measured.
  long count = 0;
};

// `latencies` in milliseconds, sorted here.
Figures Summarise(std::vector<double>& latencies, double seconds);
double Ratio(double ours, double anchor);

// User and system time a process has used, in seconds (from /proc).
double CpuSeconds(pid_t pid);

// Starts a program with its output thrown away; -1 when it could not start.
pid_t Spawn(const std::vector<std::string>& args);
// Runs a shell command and returns what it printed on standard output.
std::string RunCapture(const std::string& command);

// The system calls a process made while `load` ran, counted by `strace -c -f`
// attached to it (the process runs far slower meanwhile: the counts matter,
// not the time). Not measured when strace is missing or cannot attach.
struct SyscallCounts {
  bool measured = false;
  long total = 0;
  // By name, most frequent first.
  std::vector<std::pair<std::string, long>> calls;
};
SyscallCounts CountSyscalls(pid_t pid, const std::function<void()>& load);
// "3.02 per request: recvfrom 1.00, sendmsg 1.00, ..." with the `top` most
// frequent.
std::string SyscallsPerRequest(const SyscallCounts& counts, long requests, size_t top = 6);

// The calls to the C library's malloc a process made while `load` ran,
// counted through a perf uprobe on it (needs perf and the right to place
// probes; the probe stays defined). -1 when not measured.
long CountMallocs(pid_t pid, const std::function<void()>& load);

// A redis-server on a free loopback port, without persistence, stopped with
// the object.
class RedisServer {
 public:
  RedisServer() = default;
  ~RedisServer();
  RedisServer(const RedisServer&) = delete;
  RedisServer& operator=(const RedisServer&) = delete;
  bool Start();
  void Stop();
  uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  // One command through the wire protocol; its first reply line.
  std::string Call(const std::vector<std::string>& args);

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

// redis-benchmark --csv with `clients` clients and `requests` requests;
// `test` is either "-t NAME" or a command with its arguments.
Figures RedisBenchmark(uint16_t port, const std::string& test, int clients, int requests);
// The same for about `seconds` seconds, judged by a short first run.
Figures RedisBenchmarkFor(uint16_t port, const std::string& test, int clients, int seconds);
// The browse benches' anchor: "LRANGE key 0 19" of a 20-element list on a
// redis-server of its own; nullopt when that server does not start.
std::optional<Figures> RedisListRangeFor(int clients, int seconds);

// A request packet in its frame, ready to send.
std::vector<uint8_t> RequestFrame(uint16_t id, const std::string& service,
                                  const std::string& item, const std::string& params = "");

// Connects, says hello and logs `id` on; retries while the member's last
// connection is still being closed.
bool OpenAndLogOn(client::ProtocolClient& client, uint16_t port, const std::string& id,
                  const std::string& password = "pw");
// Logs every connection on in parallel as userId(n); false when any failed.
bool LogOnAll(std::vector<client::ProtocolClient>& connections, uint16_t port,
              const std::function<std::string(int)>& userId, const std::string& password = "pw");

// Every connection sends `frames[turn % frames.size()]` in turn, the next one
// when its last request has ended (end packet or result code; a result code
// other than 0 counts as a failure), for `seconds`.
Figures RequestLoad(std::vector<client::ProtocolClient>& connections,
                    const std::vector<std::vector<uint8_t>>& frames, int seconds);

// Adds the accounts userId(0) .. userId(count - 1), password "pw", with
// credits that never run out and no time limit.
void SeedMembers(test::MemberInstall& install, int count,
                 const std::function<std::string(int)>& userId);
// A fresh installation of the mode with `members` accounts named
// "bench<n>", and `program` (qnsvr32) started on it; false (with the reason
// on standard error) when either failed.
bool StartInstallation(test::MemberInstall& install, test::ServerProcess& server,
                       test::StorageMode mode, uint16_t port, int members,
                       const std::string& program = "qnsvr32");

// The tests' build of the server (the server with a "Test" service whose
// item "Statements" tells what its database connections have run) when it
// was built beside the benches, else qnsvr32.
std::string CountingServerProgram();
// The statements the server on `port` has run so far; -1 when it does not
// say (qnsvr32 itself).
long ServerStatements(uint16_t port);
std::string BenchUserId(int n);

}  // namespace qn::bench
