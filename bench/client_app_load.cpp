// Load generator for the CAM and WIP services against a real qnsvr32:
//
//   (a) logged-on members fetch a 4 MiB component with "CAM" "GetComFile"
//       (pushed by the server, every byte checked), 1 and 50 at once; MB/s
//       beside `cp` of the same file 1 and 50 at a time on the same file
//       system in the same run, and the ratio;
//   (b) "WIP" "GetPage" of a 4 KiB public page by 50 logged-on clients, each
//       asking again when its page has ended (pages/s, p50/p99), then of a
//       protected page of the same size that the members' key opens, beside
//       `redis-benchmark -t get -d 4096 -c 50` on a redis-server this program
//       starts, and the ratio.
//
//   client_app_load [--rounds R] [--seconds S]
//
// Exit code 0 when the ratio of (a) with 50 members is at least 0.2 and that
// of the public page in (b) at least 0.15.
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "support/bench_flags.h"
#include "support/bench_support.h"
#include "support/cam_golden.h"

using qn::bench::BenchUserId;
using qn::bench::Clock;
using qn::bench::Figures;
using qn::client::ProtocolClient;
using qn::test::MemberInstall;
using qn::test::StorageMode;
namespace fs = std::filesystem;

namespace {

constexpr size_t kComponentSize = 4 << 20;
constexpr size_t kPageSize = 4096;
constexpr int kMembers = 50;

struct Options {
  int rounds = 3;
  int seconds = 5;
};

Options Parse(int argc, char** argv) {
  Options o;
  qn::bench::ReadFlags(argc, argv, {{"--rounds", &o.rounds}, {"--seconds", &o.seconds}});
  return o;
}

void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Every connection fetches the file `rounds` times, the next fetch when the
// last has ended; one thread drives them all through epoll and checks each
// data row against the file. MB/s over all fetches, 0 when any failed.
double FetchAll(std::vector<ProtocolClient>& connections, const std::vector<uint8_t>& frame,
                const std::vector<uint8_t>& expected, int rounds) {
  struct Conn {
    int fd;
    int left;
    std::vector<uint8_t> in;
    size_t rows = 0;     // rows of the current fetch
    size_t offset = 0;   // file bytes checked so far
  };
  std::vector<Conn> conns;
  const int ep = ::epoll_create1(0);
  for (auto& c : connections) {
    ::fcntl(c.fd(), F_SETFL, ::fcntl(c.fd(), F_GETFL) | O_NONBLOCK);
    conns.push_back({c.fd(), rounds, {}, 0, 0});
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = conns.size() - 1;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, c.fd(), &ev);
  }
  long failures = 0;
  size_t active = conns.size();
  auto send = [&](Conn& c) {
    c.rows = 0;
    c.offset = 0;
    if (::send(c.fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) ++failures;
  };
  const auto start = Clock::now();
  for (Conn& c : conns) send(c);
  std::vector<epoll_event> events(conns.size());
  std::vector<uint8_t> buffer(1 << 20);
  while (active > 0 && failures == 0) {
    const int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), 10000);
    if (n <= 0) {
      ++failures;  // nothing for 10 s
      break;
    }
    for (int e = 0; e < n; ++e) {
      Conn& c = conns[events[static_cast<size_t>(e)].data.u64];
      const ssize_t got = ::recv(c.fd, buffer.data(), buffer.size(), 0);
      if (got <= 0) {
        if (got == 0 || (errno != EAGAIN && errno != EINTR)) ++failures;
        continue;
      }
      c.in.insert(c.in.end(), buffer.begin(), buffer.begin() + got);
      size_t at = 0;
      while (c.in.size() - at >= 2) {
        const size_t length = c.in[at] | (c.in[at + 1] << 8);
        if (c.in.size() - at - 2 < length) break;
        const uint8_t* packet = c.in.data() + at + 2;
        at += 2 + length;
        const uint8_t type = length > 0 ? packet[0] : 0;
        if (type == qn::kPacketMoreData && length >= 5) {
          // Type, request id, then the row: a 16-bit length and the bytes.
          const size_t size = packet[3] | (packet[4] << 8);
          if (c.rows++ == 0) continue;  // the time row
          if (size != length - 5 || c.offset + size > expected.size() ||
              std::memcmp(packet + 5, expected.data() + c.offset, size) != 0)
            ++failures;
          c.offset += size;
        } else if (type == qn::kPacketEnd) {
          if (c.offset != expected.size()) ++failures;
          if (--c.left > 0)
            send(c);
          else
            --active;
        } else if (type == qn::kPacketResult) {
          ++failures;
        }
      }
      c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(at));
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(ep);
  if (failures > 0) {
    std::fprintf(stderr, "  %ld fetches failed\n", failures);
    return 0;
  }
  return static_cast<double>(expected.size()) * static_cast<double>(connections.size()) * rounds / elapsed /
         1e6;
}

// `copies` cp processes at once, `rounds` times; MB/s over all copies.
double CopyAll(const fs::path& source, const fs::path& dir, int copies, int rounds) {
  fs::create_directories(dir);
  const auto start = Clock::now();
  for (int r = 0; r < rounds; ++r) {
    std::vector<pid_t> pids;
    for (int i = 0; i < copies; ++i)
      pids.push_back(qn::bench::Spawn({"cp", source.string(), (dir / ("copy" + std::to_string(i))).string()}));
    for (pid_t pid : pids) {
      int status = 0;
      if (pid > 0) ::waitpid(pid, &status, 0);
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  fs::remove_all(dir);
  return static_cast<double>(fs::file_size(source)) * copies * rounds / elapsed / 1e6;
}

// A WIP page of exactly kPageSize bytes.
std::string Page(const std::string& startup) {
  std::string page = startup + "[Form]\r\n";
  while (page.size() + 24 <= kPageSize) page += "B01=XYZMenu`Some choice\r\n";
  page.append(kPageSize - page.size(), 'x');
  return page;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  ::signal(SIGPIPE, SIG_IGN);

  MemberInstall install;
  qn::test::ServerProcess server;
  const uint16_t port = qn::test::FindFreePort();
  if (!qn::bench::StartInstallation(install, server, StorageMode::Access, port, kMembers)) return 2;
  const fs::path programDir = MemberInstall::Root() / "var/lib/quillnet";

  // The members' WIP key, read at logon.
  install.ExecAccount(
      "INSERT INTO Keys (KeyID, AppName, KeyName, Description, KeyCost) VALUES (90, 'WIP', 'Bench', 'b', 0)");
  for (int n = 0; n < kMembers; ++n)
    install.ExecAccount("INSERT INTO UserID2Keys (UserID, KeyID) VALUES ('" + BenchUserId(n) + "', 90)");

  // (a)
  std::vector<uint8_t> component(kComponentSize);
  for (size_t i = 0; i < component.size(); ++i) component[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
  WriteBytes(programDir / "QNCAMLIB" / "QNCAMLIB.DAT",
             qn::test::SimpleLibrary("Bench", "V", {}, {{"component", "BIG.DLL"}}));
  char name[32];
  std::snprintf(name, sizeof name, "%08X.UCV", ComputeStringCrc32("ComponentBIG.DLL"));
  const fs::path componentFile = programDir / "QNCAMLIB" / name;
  WriteBytes(componentFile, component);
  const std::vector<uint8_t> fetch = qn::bench::RequestFrame(3, "CAM", "GetComFile", "BIG.DLL");

  std::printf("GetComFile of a 4 MiB component (pushed, every byte checked) vs cp, %d rounds\n",
              options.rounds);
  std::printf("%8s | %10s | %10s | %6s\n", "members", "ours MB/s", "cp MB/s", "ratio");
  double ratio50 = 0;
  for (int members : {1, kMembers}) {
    std::vector<ProtocolClient> connections(static_cast<size_t>(members));
    if (!qn::bench::LogOnAll(connections, port, BenchUserId)) return 2;
    const double ours = FetchAll(connections, fetch, component, options.rounds);
    for (auto& c : connections) c.Close();
    const double cp = CopyAll(componentFile, MemberInstall::Root() / "cp-bench", members, options.rounds);
    const double ratio = qn::bench::Ratio(ours, cp);
    if (members == kMembers) ratio50 = ratio;
    std::printf("%8d | %10.0f | %10.0f | %6.2f\n", members, ours, cp, ratio);
  }

  // (b)
  fs::create_directories(programDir / "WIP");
  {
    const std::string open = Page("[Startup]\r\nW=1\r\n");
    const std::string closed = Page("[Startup]\r\nW=1\r\nSecType=0\r\nSEC=Bench\r\nV=1.1\r\n");
    std::ofstream(programDir / "WIP" / "PUBLIC.WIP", std::ios::binary) << open;
    std::ofstream(programDir / "WIP" / "MEMBERS.WIP", std::ios::binary) << closed;
  }
  Figures pages[2];
  const char* pageNames[2] = {"PUBLIC.WIP", "MEMBERS.WIP"};
  for (int i = 0; i < 2; ++i) {
    std::vector<ProtocolClient> connections(kMembers);
    if (!qn::bench::LogOnAll(connections, port, BenchUserId)) return 2;
    pages[i] = qn::bench::RequestLoad(connections, {qn::bench::RequestFrame(4, "WIP", "GetPage", pageNames[i])},
                                      options.seconds);
  }
  server.Stop();

  Figures redis;
  {
    qn::bench::RedisServer redisServer;
    if (!redisServer.Start()) return 2;
    redisServer.Call({"SET", "key:__rand_int__", std::string(kPageSize, 'x')});
    redis = qn::bench::RedisBenchmarkFor(redisServer.port(), "-t get -d 4096", kMembers, options.seconds);
  }
  std::printf("\nGetPage of a 4 KiB page, %d clients, %d s, vs redis-benchmark -t get -d 4096\n", kMembers,
              options.seconds);
  std::printf("%-22s | %10s %8s %8s | %6s\n", "", "req/s", "p50 ms", "p99 ms", "ratio");
  const char* labels[2] = {"GetPage public", "GetPage protected"};
  for (int i = 0; i < 2; ++i)
    std::printf("%-22s | %10.0f %8.3f %8.3f | %6.2f\n", labels[i], pages[i].rps, pages[i].p50Ms, pages[i].p99Ms,
                qn::bench::Ratio(pages[i].rps, redis.rps));
  std::printf("%-22s | %10.0f %8.3f %8.3f |\n", "redis GET 4096", redis.rps, redis.p50Ms, redis.p99Ms);
  const double pageRatio = qn::bench::Ratio(pages[0].rps, redis.rps);
  return ratio50 >= 0.2 && pageRatio >= 0.15 ? 0 : 1;
}
