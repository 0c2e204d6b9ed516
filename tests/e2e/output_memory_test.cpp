// What output queued for members who never read costs the real server as a
// whole: a hundred never-reading occupants of a room flooded at full speed,
// and fifty never-reading listeners of global messages; the members who read
// lose nothing, and the memory goes back to the system once the others are
// gone.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/registry.h"
#include "server/core/frame_decoder.h"
#include "server/core/request_packet.h"
#include "support/chat_seed.h"
#include "support/member_install.h"
#include "support/protocol_client.h"
#include "support/server_process.h"

namespace {

using qn::client::Params;
using qn::client::ProtocolClient;
using qn::test::MemberInstall;
using qn::test::StorageMode;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kMiB = 1024 * 1024;

// The largest growth the server may show while the flood runs, and what it
// may keep once the never-readers are gone.
constexpr uint64_t kFloodGrowth = 64 * kMiB;
constexpr uint64_t kKeptAfter = 4 * kMiB;
// Under AddressSanitizer the allocator is its own and keeps freed memory for
// a while: the server's size says nothing there.
#ifdef __SANITIZE_ADDRESS__
constexpr bool kSizeTells = false;
#else
constexpr bool kSizeTells = true;
#endif

std::string Member(int n) { return "m" + std::to_string(n); }

struct Deadline {
  explicit Deadline(int ms) : at(Clock::now() + std::chrono::milliseconds(ms)) {}
  bool Passed() const { return Clock::now() >= at; }
  Clock::time_point at;
};

// A chat line's row from its packet body: source, destination, code, text.
struct Line {
  std::string source;
  uint8_t code = 0;
};
bool ParseLine(const std::vector<uint8_t>& body, Line& line) {
  const auto* at = reinterpret_cast<const char*>(body.data());
  const auto* end = at + body.size();
  const char* source = at;
  const char* dst = static_cast<const char*>(std::memchr(source, 0, static_cast<size_t>(end - source)));
  if (dst == nullptr) return false;
  ++dst;
  const char* codeAt = static_cast<const char*>(std::memchr(dst, 0, static_cast<size_t>(end - dst)));
  if (codeAt == nullptr || codeAt + 1 >= end) return false;
  line.source.assign(source);
  line.code = static_cast<uint8_t>(codeAt[1]);
  return true;
}

class OutputMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = qn::test::FindFreePort();
    std::string error;
    ASSERT_TRUE(install_.Create(StorageMode::Access, port_, &error)) << error;
    install_.SeedAccountDefaults(1000, 0, -1);
    qn::test::SeedChat(install_, {{"Flood", -1, -1}});
    qn::test::AddChatMembers(install_, "m", 103);
    CQuillnetRegistry().WriteDWORD("Logging", "APILog", 1);
    ASSERT_TRUE(server_.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port_))
        << server_.StderrText();
    limitLinesBefore_ = AllLimitLines();
  }
  // A never-reader's socket takes little: what it would hold is the
  // kernel's, and the test is about the server's.
  static void Narrow(ProtocolClient& client) {
    const int bytes = 4096;
    ::setsockopt(client.fd(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
  void TearDown() override {
    if (server_.IsRunning()) {
      EXPECT_EQ(server_.Stop(), 0);
    }
    CQuillnetRegistry().WriteDWORD("Logging", "APILog", 0);
    if (HasFailure()) ADD_FAILURE() << "server's standard error:\n" << server_.StderrText();
  }

  bool LogOn(ProtocolClient& client, int n) {
    if (!client.Connect(port_) || !client.Hello()) return false;
    if (!client.Request(1, "Logon", "Logon", Params({Member(n), "pw"}))) return false;
    const auto reply = qn::client::ReadTable(client, 1, 20000);
    return reply && reply->ended && !reply->result;
  }
  uint64_t Resident() { return qn::test::ResidentBytes(server_.pid()); }
  // Lines of the API log that say a queue was closed, since the test began.
  long LimitLines() { return AllLimitLines() - limitLinesBefore_; }
  long AllLimitLines() {
    std::ifstream in(MemberInstall::Root() / "var/lib/quillnet/QNAPILOG.TXT", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    long count = 0;
    for (size_t at = 0; (at = text.find("# Output limit reached, closing ", at)) != std::string::npos; ++at) ++count;
    return count;
  }
  // The server's size once it has settled after the never-readers went: the
  // lowest seen within a few seconds (it may give memory back a little
  // after the last close).
  uint64_t SettledResident(uint64_t enough) {
    uint64_t lowest = Resident();
    Deadline deadline(5000);
    while (lowest > enough && !deadline.Passed()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      lowest = std::min(lowest, Resident());
    }
    return lowest;
  }

  uint16_t port_ = 0;
  MemberInstall install_;
  qn::test::ServerProcess server_;
  long limitLinesBefore_ = 0;
};

TEST_F(OutputMemory, AHundredNeverReadingOccupantsOfAFloodedRoomAreClosedWithinTheBudget) {
  // m0 floods, m1 and m2 read everything, m3 .. m102 never read.
  constexpr int kReaders = 2, kDeaf = 100;
  std::vector<ProtocolClient> members(1 + kReaders + kDeaf);
  for (size_t i = 0; i < members.size(); ++i) {
    ASSERT_TRUE(LogOn(members[i], static_cast<int>(i))) << i;
    if (i > kReaders) Narrow(members[i]);
  }
  std::atomic<bool> flooding{true};
  std::atomic<long> sent{0};
  std::atomic<Clock::time_point> readersGiveUp{Clock::time_point::max()};
  std::vector<std::atomic<long>> seen(kReaders);
  // A never-reader's close shows as its leaving the room (its own socket
  // shows nothing while the server's unsent bytes stand before the end).
  std::vector<std::atomic<long>> leaves(kReaders);
  // Whatever ends the test, the threads stop and are joined.
  struct Threads {
    std::atomic<bool>& flooding;
    std::atomic<Clock::time_point>& giveUp;
    std::vector<std::thread> all;
    ~Threads() { Join(); }
    void Join() {
      if (giveUp.load() == Clock::time_point::max()) giveUp = Clock::now() + std::chrono::seconds(20);
      flooding = false;
      for (auto& t : all)
        if (t.joinable()) t.join();
    }
  } threads{flooding, readersGiveUp, {}};
  for (int r = 0; r < kReaders; ++r) {
    threads.all.emplace_back([&, r] {
      ProtocolClient& reader = members[1 + r];
      for (;;) {
        const auto reply = reader.ReadReply(200);
        if (!reply) {
          if (!flooding && Clock::now() >= readersGiveUp.load()) return;
          continue;
        }
        Line line;
        if (reply->type != qn::kPacketMoreData || !ParseLine(reply->body, line)) continue;
        if (line.code == 3) ++leaves[r];
        if (line.code == 0 && line.source == Member(0)) ++seen[r];
      }
    });
  }
  // The flooder enters first and sees everyone else arrive.
  for (ProtocolClient& member : members) ASSERT_TRUE(member.Request(2, "Chat", "EnterRoom", "Flood"));
  for (size_t arrived = 0; arrived + 1 < members.size();) {
    const auto reply = members[0].ReadReply(20000);
    ASSERT_TRUE(reply.has_value()) << arrived << " arrived";
    Line line;
    if (reply->type == qn::kPacketMoreData && ParseLine(reply->body, line) && line.code == 2) ++arrived;
  }
  const uint64_t base = Resident();
  std::atomic<uint64_t> peak{base};
  threads.all.emplace_back([&] {
    while (flooding) {
      peak = std::max<uint64_t>(peak, Resident());
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  // The flooder takes its own echoes as they come, so that the server keeps
  // reading its lines.
  threads.all.emplace_back([&] {
    char sink[1 << 16];
    while (flooding) {
      pollfd p{members[0].fd(), POLLIN, 0};
      if (::poll(&p, 1, 50) == 1 && ::recv(members[0].fd(), sink, sizeof sink, 0) <= 0) return;
    }
  });

  // Lines of 30,000 bytes, four to a write, as fast as the server takes
  // them: 8 MiB for each occupant. The kernel takes up to about 4 MiB of it
  // for each never-reader's socket; the server would hold the rest for each
  // if nothing bounded the sum.
  constexpr int kBatch = 4, kLines = 280;
  const std::string text(30000, 'f');
  std::vector<uint8_t> batch;
  for (int i = 0; i < kBatch; ++i) {
    const std::string params = "0\x01" + text;
    const auto frame = qn::EncodeIdPacket(qn::kPacketMoreData, 2, reinterpret_cast<const uint8_t*>(params.data()),
                                          params.size());
    ASSERT_TRUE(qn::EncodeFrame(frame.data(), frame.size(), batch));
  }
  Deadline deadline(120000);
  while (sent < kLines && !deadline.Passed() && (!kSizeTells || peak - base <= kFloodGrowth)) {
    // A server slowed by a loaded machine takes its time: only the test's
    // own deadline counts.
    for (size_t done = 0; done < batch.size() && !deadline.Passed();) {
      const ssize_t n = ::send(members[0].fd(), batch.data() + done, batch.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      ASSERT_TRUE(n < 0 && (errno == EAGAIN || errno == EINTR)) << "the flooder was closed";
      pollfd p{members[0].fd(), POLLOUT, 0};
      ::poll(&p, 1, 100);
    }
    sent += kBatch;
  }
  // The readers take every line, and see every closed member leave.
  Deadline settle(20000);
  const auto caughtUp = [&] {
    for (int r = 0; r < kReaders; ++r)
      if (seen[r] != sent || leaves[r] != LimitLines()) return false;
    return true;
  };
  while (!caughtUp() && !settle.Passed()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  readersGiveUp = Clock::now();
  threads.Join();

  EXPECT_EQ(sent, kLines);
  // Most never-readers went at the budget; the rest would at their own
  // limit, had the flood gone on.
  EXPECT_GE(LimitLines(), kDeaf * 3 / 4);
  for (int r = 0; r < kReaders; ++r) {
    EXPECT_EQ(seen[r].load(), sent.load()) << "reader " << r;
    EXPECT_EQ(leaves[r].load(), LimitLines()) << "reader " << r;
  }
  members.clear();
  if (!kSizeTells) return;
  EXPECT_LE(peak - base, kFloodGrowth) << "base " << base / kMiB << " MiB, peak " << peak / kMiB << " MiB";
  const uint64_t settled = SettledResident(base + kKeptAfter);
  EXPECT_LE(settled, base + kKeptAfter) << "base " << base / kMiB << " MiB, settled " << settled / kMiB << " MiB";
}

TEST_F(OutputMemory, FiftyNeverReadingListenersAreClosedAndTheirMemoryGoesBack) {
  constexpr int kListeners = 50;
  ProtocolClient sender;
  ASSERT_TRUE(LogOn(sender, 0));
  std::vector<ProtocolClient> listeners(kListeners);
  for (int i = 0; i < kListeners; ++i) {
    ASSERT_TRUE(LogOn(listeners[i], 1 + i));
    Narrow(listeners[i]);
    ASSERT_TRUE(listeners[i].Request(2, "Utility", "GetGlobalMessages"));
    ASSERT_TRUE(listeners[i].ReadReply(10000));  // the schema, then nothing more is read
  }
  const uint64_t base = Resident();
  uint64_t peak = base;
  // 8 MiB for each listener, in messages of 30,000 bytes.
  const std::string message(30000, 'g');
  Deadline deadline(120000);
  for (uint16_t id = 10; id < 290 && !deadline.Passed() && (!kSizeTells || peak - base <= kFloodGrowth); ++id) {
    ASSERT_TRUE(sender.Request(id, "Utility", "SendGlobalMsgAll", Params({message, "1"})));
    const auto reply = qn::client::ReadTable(sender, id, 20000);
    ASSERT_TRUE(reply && reply->ended && !reply->result);
    peak = std::max(peak, Resident());
  }
  EXPECT_FALSE(deadline.Passed());
  EXPECT_GE(LimitLines(), kListeners * 3 / 4);
  listeners.clear();
  if (!kSizeTells) return;
  EXPECT_LE(peak - base, kFloodGrowth) << "base " << base / kMiB << " MiB, peak " << peak / kMiB << " MiB";
  const uint64_t settled = SettledResident(base + kKeptAfter);
  EXPECT_LE(settled, base + kKeptAfter) << "base " << base / kMiB << " MiB, peak " << peak / kMiB
                                        << " MiB, settled " << settled / kMiB << " MiB";
}

}  // namespace
