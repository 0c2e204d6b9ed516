// Load generator for chat against a real qnsvr32, beside redis-server's
// publish/subscribe in the same run and shape:
//
//   (a) 1,000 members in 100 rooms of 10, (b) in 10 rooms of 100: per room
//       one member sends 64-byte lines carrying their send time, 4 in flight
//       (its own echo ends one); the others count deliveries and latency.
//       Redis: per channel one publisher (4 PUBLISH in flight, its reply ends
//       one) and 9 or 99 subscribers. Delivered/s, p50, p99 and the ratios.
//   (c) the server's RSS per member in a room: 1,000 members before and
//       after entering the rooms of (a);
//   (f) (b) again with 9 more open requests per member (10,000 open);
//   (d) (b) again while one member of a room never reads: the readers'
//       deliveries per reader per second beside (b)'s;
//   (e) a room of two, one member flooding 64-byte lines, the other never
//       reading: the server closes the reader at its output limit; the
//       server's RSS growth until then;
//   (g) a room of one sender and 50 readers with 8,000-byte lines, alone and
//       then with 100 more occupants who never read (once the kernel's
//       socket buffers are full, the server closes them within its output
//       budget), each for three times S after a first unmeasured run: the
//       readers' deliveries and p99 both times, and the server's RSS before,
//       at its highest and after.
//
//   chat_load [--seconds S] [--threads T]
//
// Exit code 0 when (a) and (b) deliver at least 0.8 times Redis's rate with
// a p99 at most 1.5 times Redis's, (c) is at most 1 KB, (d) keeps 0.9,
// (e) stays within 24 MiB and (g) stays within 64 MiB with the readers' p99
// at most 1.5 times their p99 alone.
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/bench_flags.h"
#include "support/bench_support.h"
#include "support/chat_seed.h"

using qn::bench::Clock;
using qn::bench::Figures;
using qn::client::ProtocolClient;
using qn::test::MemberInstall;
using qn::test::StorageMode;

namespace {

constexpr int kMembers = 1000;
constexpr int kInFlight = 4;
constexpr size_t kLineBytes = 64;

struct Options {
  int seconds = 5;
  int threads = 8;
};

Options Parse(int argc, char** argv) {
  Options o;
  qn::bench::ReadFlags(argc, argv, {{"--seconds", &o.seconds}, {"--threads", &o.threads}});
  o.threads = std::max(1, o.threads);
  return o;
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// The send time in 20 digits, then filler: 64 bytes unless asked for more.
std::string Line(size_t bytes = kLineBytes) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%020lld", static_cast<long long>(NowNs()));
  std::string line(digits);
  line.resize(bytes, 'x');
  return line;
}

int64_t TimeOf(const char* text) {
  int64_t t = 0;
  for (int i = 0; i < 20; ++i) t = t * 10 + (text[i] - '0');
  return t;
}

bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 10000) != 1) return false;
    } else {
      return false;
    }
  }
  return true;
}

enum class Wire { kChat, kRedis };

// One connection of the run: the room's sender or one of its receivers.
struct Peer {
  int fd = -1;
  bool sender = false;
  bool reads = true;
  std::string buffer;
  std::string self;     // chat: the member's UserID (its own echoes)
  std::string channel;  // redis: the channel
  uint16_t requestId = 0;
  int inFlight = 0;
  long delivered = 0;
};

class Run {
 public:
  Run(Wire wire, std::vector<std::vector<Peer*>> rooms, int threads, size_t lineBytes = kLineBytes)
      : wire_(wire), rooms_(std::move(rooms)), threads_(threads), lineBytes_(lineBytes) {}

  // Deliveries per second to the reading receivers, with latencies.
  Figures Measure(int seconds, long* readers = nullptr) {
    std::atomic<bool> sending{true};
    std::vector<std::vector<double>> latencies(static_cast<size_t>(threads_));
    std::vector<std::thread> workers;
    const auto start = Clock::now();
    const auto stop = start + std::chrono::seconds(seconds);
    for (int t = 0; t < threads_; ++t) {
      workers.emplace_back([&, t] {
        std::vector<Peer*> mine;
        for (size_t r = static_cast<size_t>(t); r < rooms_.size(); r += static_cast<size_t>(threads_))
          for (Peer* p : rooms_[r]) mine.push_back(p);
        Drive(mine, stop, latencies[static_cast<size_t>(t)]);
      });
    }
    for (auto& w : workers) w.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    long reading = 0;
    for (auto& room : rooms_)
      for (Peer* p : room)
        if (!p->sender && p->reads) ++reading;
    if (readers != nullptr) *readers = reading;
    return qn::bench::Summarise(all, std::min(elapsed, static_cast<double>(seconds)));
  }

 private:
  void Send(Peer& p) {
    const std::string line = Line(wire_ == Wire::kChat ? lineBytes_ : kLineBytes);
    std::string bytes;
    if (wire_ == Wire::kChat) {
      const std::string params = "0\x01" + line;
      const auto frame = qn::EncodeIdPacket(qn::kPacketMoreData, p.requestId,
                                            reinterpret_cast<const uint8_t*>(params.data()), params.size());
      bytes.push_back(static_cast<char>(frame.size() & 0xFF));
      bytes.push_back(static_cast<char>(frame.size() >> 8));
      bytes.append(frame.begin(), frame.end());
    } else {
      bytes = "*3\r\n$7\r\nPUBLISH\r\n$" + std::to_string(p.channel.size()) + "\r\n" + p.channel +
              "\r\n$64\r\n" + line + "\r\n";
    }
    if (SendAll(p.fd, bytes)) ++p.inFlight;
  }

  // Takes what arrived; true while the connection stands.
  bool Read(Peer& p, bool counting, std::vector<double>& latencies, bool sending) {
    char chunk[65536];
    for (;;) {
      const ssize_t n = ::recv(p.fd, chunk, sizeof chunk, 0);
      if (n == 0) return false;
      if (n < 0) return errno == EAGAIN || errno == EINTR;
      p.buffer.append(chunk, static_cast<size_t>(n));
      if (wire_ == Wire::kChat) ParseChat(p, counting, latencies, sending);
      else ParseRedis(p, counting, latencies, sending);
    }
  }

  void Delivered(Peer& p, const char* text, bool counting, std::vector<double>& latencies) {
    if (!counting) return;
    ++p.delivered;
    latencies.push_back(static_cast<double>(NowNs() - TimeOf(text)) / 1e6);
  }

  void Echo(Peer& p, bool sending) {
    --p.inFlight;
    if (sending) Send(p);
  }

  void ParseChat(Peer& p, bool counting, std::vector<double>& latencies, bool sending) {
    size_t at = 0;
    const std::string& b = p.buffer;
    while (b.size() - at >= 2) {
      const size_t length = static_cast<uint8_t>(b[at]) | static_cast<size_t>(static_cast<uint8_t>(b[at + 1])) << 8;
      if (b.size() - at - 2 < length) break;
      const char* payload = b.data() + at + 2;
      at += 2 + length;
      if (length < 4 || payload[0] != qn::kPacketMoreData) continue;
      const char* end = payload + length;
      const char* src = payload + 3;
      const char* dst = static_cast<const char*>(std::memchr(src, 0, static_cast<size_t>(end - src)));
      if (dst == nullptr) continue;
      ++dst;
      const char* code = static_cast<const char*>(std::memchr(dst, 0, static_cast<size_t>(end - dst)));
      if (code == nullptr || code + 1 >= end || *++code != 0) continue;
      const char* text = code + 1;
      if (end - text < 21) continue;
      if (p.sender) {
        if (p.self == src) Echo(p, sending);
      } else {
        Delivered(p, text, counting, latencies);
      }
    }
    p.buffer.erase(0, at);
  }

  void ParseRedis(Peer& p, bool counting, std::vector<double>& latencies, bool sending) {
    size_t at = 0;
    const std::string& b = p.buffer;
    if (p.sender) {
      // One integer reply per PUBLISH.
      for (size_t eol; (eol = b.find("\r\n", at)) != std::string::npos; at = eol + 2) Echo(p, sending);
    } else {
      // "*3 $7 message $n channel $64 payload", each part ending in CRLF.
      const size_t record = 4 + 4 + 9 + 4 + p.channel.size() + 2 + 5 + kLineBytes + 2;
      while (b.size() - at >= record) {
        Delivered(p, b.data() + at + record - kLineBytes - 2, counting, latencies);
        at += record;
      }
    }
    p.buffer.erase(0, at);
  }

  void Drive(std::vector<Peer*>& peers, Clock::time_point stop, std::vector<double>& latencies) {
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    for (Peer* p : peers) {
      if (!p->reads || p->fd < 0) continue;
      epoll_event e{EPOLLIN, {.ptr = p}};
      ::epoll_ctl(epoll, EPOLL_CTL_ADD, p->fd, &e);
    }
    for (Peer* p : peers)
      if (p->sender)
        for (int i = 0; i < kInFlight; ++i) Send(*p);
    epoll_event events[256];
    bool sending = true;
    auto quietSince = Clock::now();
    for (;;) {
      const auto now = Clock::now();
      if (sending && now >= stop) sending = false;
      if (!sending) {
        bool settled = true;
        for (Peer* p : peers)
          if (p->sender && p->inFlight > 0) settled = false;
        // Deliveries after the window are read but not counted; the run ends
        // once every sender's lines came back and the rest went quiet.
        if ((settled && now - quietSince > std::chrono::milliseconds(200)) ||
            now - stop > std::chrono::seconds(20))
          break;
      }
      const int n = ::epoll_wait(epoll, events, 256, 50);
      if (n > 0) quietSince = Clock::now();
      for (int i = 0; i < n; ++i) {
        Peer* p = static_cast<Peer*>(events[i].data.ptr);
        if (!Read(*p, sending, latencies, sending)) {
          ::epoll_ctl(epoll, EPOLL_CTL_DEL, p->fd, nullptr);
          p->inFlight = 0;
        }
      }
    }
    ::close(epoll);
  }

  Wire wire_;
  std::vector<std::vector<Peer*>> rooms_;
  int threads_;
  size_t lineBytes_;
};

// Reads every connection until nothing came for `quietMs`.
void Drain(std::vector<ProtocolClient>& clients, int quietMs = 300) {
  auto last = Clock::now();
  char chunk[65536];
  while (Clock::now() - last < std::chrono::milliseconds(quietMs)) {
    bool any = false;
    for (ProtocolClient& c : clients) {
      if (c.fd() < 0) continue;
      while (::recv(c.fd(), chunk, sizeof chunk, 0) > 0) any = true;
    }
    if (any) last = Clock::now();
    else std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string RoomName(char group, int n) {
  char name[16];
  std::snprintf(name, sizeof name, "%c%03d", group, n);
  return name;
}

// Members (or redis clients) [first, first + count) into rooms of `size`;
// the first of each room sends.
std::vector<std::vector<Peer*>> Rooms(std::vector<Peer>& peers, int size) {
  std::vector<std::vector<Peer*>> rooms;
  for (size_t i = 0; i < peers.size(); ++i) {
    if (i % static_cast<size_t>(size) == 0) rooms.emplace_back();
    peers[i].sender = i % static_cast<size_t>(size) == 0;
    rooms.back().push_back(&peers[i]);
  }
  return rooms;
}

void EnterAll(std::vector<ProtocolClient>& clients, std::vector<Peer>& peers, char group, int size,
              uint16_t id) {
  for (size_t i = 0; i < peers.size(); ++i) {
    peers[i].requestId = id;
    peers[i].buffer.clear();
    clients[i].Request(id, "Chat", "EnterRoom", RoomName(group, static_cast<int>(i) / size));
  }
  Drain(clients);
}

void LeaveAll(std::vector<ProtocolClient>& clients, uint16_t id) {
  for (ProtocolClient& c : clients)
    if (c.fd() >= 0) c.FollowUp(id, std::string());
  Drain(clients);
}

std::vector<Peer> RedisPeers(uint16_t port, int size) {
  std::vector<Peer> peers(kMembers);
  std::vector<ProtocolClient> sockets(kMembers);
  for (int i = 0; i < kMembers; ++i) {
    if (!sockets[i].Connect(port)) return {};
    peers[i].channel = RoomName('c', i / size);
    if (i % size != 0) {
      const std::string subscribe = "*2\r\n$9\r\nSUBSCRIBE\r\n$4\r\n" + peers[i].channel + "\r\n";
      SendAll(sockets[i].fd(), subscribe);
    }
  }
  // Each subscription's confirmation, read and dropped.
  for (int i = 0; i < kMembers; ++i) {
    if (i % size == 0) continue;
    const size_t want = 4 + 4 + 11 + 4 + 6 + 4;
    std::string got;
    char chunk[256];
    while (got.size() < want) {
      pollfd p{sockets[i].fd(), POLLIN, 0};
      if (::poll(&p, 1, 5000) != 1) return {};
      const ssize_t n = ::recv(sockets[i].fd(), chunk, sizeof chunk, 0);
      if (n <= 0) return {};
      got.append(chunk, static_cast<size_t>(n));
    }
  }
  for (int i = 0; i < kMembers; ++i) {
    peers[i].fd = ::dup(sockets[i].fd());
  }
  return peers;
}

void ClosePeers(std::vector<Peer>& peers) {
  for (Peer& p : peers)
    if (p.fd >= 0) ::close(p.fd);
}

double ServerCpuSeconds(pid_t pid) {
  FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (f == nullptr) return 0;
  char buffer[1024];
  const size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
  std::fclose(f);
  buffer[n] = 0;
  const char* p = std::strrchr(buffer, ')');
  if (p == nullptr) return 0;
  unsigned long utime = 0, stime = 0;
  // Fields after the name: state is 3rd; utime 14th, stime 15th.
  std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void PrintRow(const char* name, const Figures& ours, const Figures& redis) {
  std::printf("%-22s | %12.0f %8.3f %8.3f | %12.0f %8.3f %8.3f | %6.2f %6.2f\n", name, ours.rps,
              ours.p50Ms, ours.p99Ms, redis.rps, redis.p50Ms, redis.p99Ms,
              qn::bench::Ratio(ours.rps, redis.rps), qn::bench::Ratio(ours.p99Ms, redis.p99Ms));
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  ::signal(SIGPIPE, SIG_IGN);

  MemberInstall install;
  qn::test::ServerProcess server;
  const uint16_t port = qn::test::FindFreePort();
  std::string error;
  if (!install.Create(StorageMode::Access, port, &error)) {
    std::fprintf(stderr, "installation: %s\n", error.c_str());
    return 2;
  }
  std::vector<qn::test::ChatRoomSeed> seeds;
  for (int r = 0; r < 100; ++r) seeds.push_back({RoomName('A', r), -1, -1});
  for (int r = 0; r < 10; ++r) seeds.push_back({RoomName('B', r), -1, -1});
  seeds.push_back({RoomName('E', 0), -1, -1});
  seeds.push_back({RoomName('G', 0), -1, -1});
  qn::test::SeedChat(install, seeds);
  qn::test::AddChatMembers(install, "bench", kMembers + 2);
  if (!server.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port)) {
    std::fprintf(stderr, "qnsvr32 did not start: %s\n", server.StderrText().c_str());
    return 2;
  }

  std::vector<ProtocolClient> clients(kMembers);
  if (!qn::bench::LogOnAll(clients, port, qn::bench::BenchUserId)) return 2;
  std::vector<Peer> members(kMembers);
  for (int i = 0; i < kMembers; ++i) {
    members[i].fd = clients[i].fd();
    members[i].self = qn::bench::BenchUserId(i);
  }
  Drain(clients);

  // (a) with (c) around its entry.
  const uint64_t before = qn::test::ResidentBytes(server.pid());
  EnterAll(clients, members, 'A', 10, 2);
  const uint64_t after = qn::test::ResidentBytes(server.pid());
  const double perMember = (static_cast<double>(after) - static_cast<double>(before)) / kMembers;
  const double cpu0 = ServerCpuSeconds(server.pid());
  const Figures oursA = Run(Wire::kChat, Rooms(members, 10), options.threads).Measure(options.seconds);
  const double cpuA = (ServerCpuSeconds(server.pid()) - cpu0) / options.seconds;
  LeaveAll(clients, 2);

  // (b)
  EnterAll(clients, members, 'B', 100, 3);
  const double cpu1 = ServerCpuSeconds(server.pid());
  long readersB = 0;
  const Figures oursB =
      Run(Wire::kChat, Rooms(members, 100), options.threads).Measure(options.seconds, &readersB);
  const double cpuB = (ServerCpuSeconds(server.pid()) - cpu1) / options.seconds;

  // (f) the same with 10,000 requests open.
  for (int i = 0; i < kMembers; ++i)
    for (uint16_t id = 10; id < 19; ++id) clients[i].Request(id, "Utility", "GetGlobalMessages");
  Drain(clients);
  const Figures oursF = Run(Wire::kChat, Rooms(members, 100), options.threads).Measure(options.seconds);

  // (d) one receiver of the first room stops reading.
  members[1].reads = false;
  long readersD = 0;
  const Figures oursD =
      Run(Wire::kChat, Rooms(members, 100), options.threads).Measure(options.seconds, &readersD);
  const double perReaderB = oursB.rps / std::max(1L, readersB);
  const double perReaderD = oursD.rps / std::max(1L, readersD);

  // (g) members 100 .. 150 in a room of their own, 100 sending; then 200 ..
  // 299 join and never read.
  LeaveAll(clients, 3);
  std::vector<Peer*> readersRoom;
  for (int i = 100; i <= 150; ++i) {
    members[i].requestId = 4;
    members[i].sender = i == 100;
    members[i].buffer.clear();
    clients[i].Request(4, "Chat", "EnterRoom", RoomName('G', 0));
    readersRoom.push_back(&members[i]);
  }
  Drain(clients);
  constexpr size_t kLongLine = 8000;
  // A first run unmeasured: the readers' sockets grow their buffers.
  Run(Wire::kChat, {readersRoom}, 1, kLongLine).Measure(options.seconds);
  const Figures alone = Run(Wire::kChat, {readersRoom}, 1, kLongLine).Measure(3 * options.seconds);
  const uint64_t rssBeforeG = qn::test::ResidentBytes(server.pid());
  std::vector<Peer*> crowdedRoom = readersRoom;
  for (int i = 200; i < 300; ++i) {
    members[i].reads = false;
    clients[i].Request(4, "Chat", "EnterRoom", RoomName('G', 0));
    crowdedRoom.push_back(&members[i]);
  }
  Drain(clients);
  std::atomic<bool> sampling{true};
  std::atomic<uint64_t> rssPeakG{rssBeforeG};
  std::thread sampler([&] {
    while (sampling) {
      rssPeakG = std::max<uint64_t>(rssPeakG, qn::test::ResidentBytes(server.pid()));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  const Figures crowded = Run(Wire::kChat, {crowdedRoom}, 1, kLongLine).Measure(3 * options.seconds);
  sampling = false;
  sampler.join();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const uint64_t rssAfterG = qn::test::ResidentBytes(server.pid());
  const double growthG = (static_cast<double>(rssPeakG) - static_cast<double>(rssBeforeG)) / (1024.0 * 1024.0);

  // (e) a room of two: bench1000 floods, bench1001 never reads.
  double rssGrowthMiB = 0;
  long floodLines = 0;
  bool closed = false;
  {
    ProtocolClient flooder, deaf;
    if (!qn::bench::OpenAndLogOn(flooder, port, qn::bench::BenchUserId(kMembers)) ||
        !qn::bench::OpenAndLogOn(deaf, port, qn::bench::BenchUserId(kMembers + 1)))
      return 2;
    flooder.Request(2, "Chat", "EnterRoom", RoomName('E', 0));
    deaf.Request(2, "Chat", "EnterRoom", RoomName('E', 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    char chunk[65536];
    while (::recv(flooder.fd(), chunk, sizeof chunk, 0) > 0) {
    }
    const uint64_t base = qn::test::ResidentBytes(server.pid());
    uint64_t peak = base;
    const std::string leave = qn::bench::BenchUserId(kMembers + 1) + std::string(1, '\0') +
                              std::string(1, '\0') + std::string(1, '\x03');
    std::string pending;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    std::string batch;
    while (!closed && Clock::now() < deadline) {
      batch.clear();
      for (int i = 0; i < 64; ++i) {
        const std::string params = "0\x01" + Line();
        const auto frame = qn::EncodeIdPacket(qn::kPacketMoreData, 2,
                                              reinterpret_cast<const uint8_t*>(params.data()), params.size());
        batch.push_back(static_cast<char>(frame.size() & 0xFF));
        batch.push_back(static_cast<char>(frame.size() >> 8));
        batch.append(frame.begin(), frame.end());
      }
      if (!SendAll(flooder.fd(), batch)) break;
      floodLines += 64;
      ssize_t n;
      while ((n = ::recv(flooder.fd(), chunk, sizeof chunk, 0)) > 0) {
        pending.append(chunk, static_cast<size_t>(n));
        if (pending.find(leave) != std::string::npos) closed = true;
        if (pending.size() > 4096) pending.erase(0, pending.size() - 64);
      }
      if (floodLines % 4096 == 0) peak = std::max(peak, qn::test::ResidentBytes(server.pid()));
    }
    peak = std::max(peak, qn::test::ResidentBytes(server.pid()));
    rssGrowthMiB = (static_cast<double>(peak) - static_cast<double>(base)) / (1024.0 * 1024.0);
  }
  server.Stop();

  // The anchor, alone on the machine.
  Figures redisA, redisB;
  {
    qn::bench::RedisServer redis;
    if (!redis.Start()) return 2;
    std::vector<Peer> peers = RedisPeers(redis.port(), 10);
    if (peers.empty()) return 2;
    redisA = Run(Wire::kRedis, Rooms(peers, 10), options.threads).Measure(options.seconds);
    ClosePeers(peers);
    peers = RedisPeers(redis.port(), 100);
    if (peers.empty()) return 2;
    redisB = Run(Wire::kRedis, Rooms(peers, 100), options.threads).Measure(options.seconds);
    ClosePeers(peers);
  }

  std::printf("Chat lines vs redis PUBLISH/SUBSCRIBE, 1,000 members, 64-byte lines, 4 in flight "
              "per room, %d s per run, %d client threads\n", options.seconds, options.threads);
  std::printf("%-22s | %12s %8s %8s | %12s %8s %8s | %6s %6s\n", "run", "ours deliv/s", "p50 ms",
              "p99 ms", "redis deliv/s", "p50 ms", "p99 ms", "rate", "p99");
  PrintRow("(a) 100 rooms of 10", oursA, redisA);
  PrintRow("(b) 10 rooms of 100", oursB, redisB);
  PrintRow("(f) (b), 10,000 open", oursF, redisB);
  std::printf("server CPU while sending: (a) %.2f, (b) %.2f cores\n", cpuA, cpuB);
  std::printf("(c) RSS per member in a room: %.0f bytes (%llu -> %llu)\n", perMember,
              static_cast<unsigned long long>(before), static_cast<unsigned long long>(after));
  std::printf("(f)/(b) delivered: %.2f\n", qn::bench::Ratio(oursF.rps, oursB.rps));
  std::printf("(d) one non-reader: %.0f per reader per s vs %.0f in (b): %.2f\n", perReaderD,
              perReaderB, qn::bench::Ratio(perReaderD, perReaderB));
  std::printf("(e) flood into a non-reader: %s after %ld lines, server RSS up %.1f MiB\n",
              closed ? "closed" : "NOT closed", floodLines, rssGrowthMiB);
  std::printf("(g) 50 readers of 8,000-byte lines: alone %.0f deliv/s (p50 %.3f, p99 %.3f ms); with 100 "
              "never-readers %.0f deliv/s (p50 %.3f, p99 %.3f ms): rate %.2f, p99 %.2f\n",
              alone.rps, alone.p50Ms, alone.p99Ms, crowded.rps, crowded.p50Ms, crowded.p99Ms,
              qn::bench::Ratio(crowded.rps, alone.rps), qn::bench::Ratio(crowded.p99Ms, alone.p99Ms));
  std::printf("    server RSS %.1f MiB before, %.1f at its highest (+%.1f), %.1f a second after\n",
              static_cast<double>(rssBeforeG) / (1024.0 * 1024.0), static_cast<double>(rssPeakG) / (1024.0 * 1024.0),
              growthG, static_cast<double>(rssAfterG) / (1024.0 * 1024.0));

  const bool ok = oursA.rps >= 0.8 * redisA.rps && oursB.rps >= 0.8 * redisB.rps &&
                  oursA.p99Ms <= 1.5 * redisA.p99Ms && oursB.p99Ms <= 1.5 * redisB.p99Ms &&
                  perMember <= 1024 && qn::bench::Ratio(perReaderD, perReaderB) >= 0.9 && closed &&
                  rssGrowthMiB <= 24 && growthG <= 64 && qn::bench::Ratio(crowded.p99Ms, alone.p99Ms) <= 1.5;
  return ok ? 0 : 1;
}
