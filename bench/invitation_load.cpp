// Load generator for chat invitations against a real qnsvr32 (per-area
// SQLite files; invitations never reach the database):
//
//   60 logged-on members with the chat key invite members who do not exist,
//   in six batches of 10,000: in batch b, members 10b to 10b+9 each send
//   1,000 "Chat" "InviteUser" requests in one write and read the 1,000
//   ends, the ten at once. Each batch's time and rate; the sixth batch
//   finds 50,000 invitations kept already, the first none. Then one more
//   invitation from a member who holds 1,000 must be refused. Beside it,
//   redis-benchmark's SADD of 10,000 random members with 10 clients on a
//   redis-server this program starts.
//
//   invitation_load
//
// Exit code 0 when the sixth batch runs at least 0.67 times the first's
// rate and the bound holds.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "server/core/request_packet.h"
#include "support/bench_flags.h"
#include "support/bench_support.h"
#include "support/chat_seed.h"

using qn::bench::Clock;
using qn::client::ProtocolClient;
using qn::test::MemberInstall;
using qn::test::StorageMode;

namespace {

constexpr int kBatches = 6;
constexpr int kPerBatch = 10;  // members
constexpr int kInvitations = 1000;  // per member, the bound
constexpr double kTarget = 0.67;

std::string MemberId(int n) { return "inv" + std::to_string(n); }

// Member `n` invites its 1,000 nobodies in one write; false on any reply
// but the end.
bool InviteAll(ProtocolClient& client, int n) {
  std::vector<uint8_t> frames;
  for (int i = 0; i < kInvitations; ++i) {
    const auto frame = qn::bench::RequestFrame(static_cast<uint16_t>(10 + i), "Chat", "InviteUser",
                                               "nobody-" + std::to_string(n) + "-" + std::to_string(i));
    frames.insert(frames.end(), frame.begin(), frame.end());
  }
  if (!client.SendRaw(frames)) return false;
  for (int ended = 0; ended < kInvitations;) {
    const auto reply = client.ReadReply(60000);
    if (!reply || reply->type != qn::kPacketEnd) return false;
    ++ended;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  qn::bench::ReadFlags(argc, argv, {});
  ::signal(SIGPIPE, SIG_IGN);
  MemberInstall install;
  qn::test::ServerProcess server;
  const uint16_t port = qn::test::FindFreePort();
  std::string error;
  if (!install.Create(StorageMode::Access, port, &error)) {
    std::fprintf(stderr, "installation: %s\n", error.c_str());
    return 2;
  }
  install.SeedAccountDefaults(1000, 0, -1);
  qn::test::SeedChat(install, {});
  qn::test::AddChatMembers(install, "inv", kBatches * kPerBatch);
  if (!server.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port)) {
    std::fprintf(stderr, "qnsvr32 did not start: %s\n", server.StderrText().c_str());
    return 2;
  }
  std::vector<ProtocolClient> clients(kBatches * kPerBatch);
  if (!qn::bench::LogOnAll(clients, port, MemberId)) return 2;

  std::vector<double> seconds;
  std::atomic<int> failures{0};
  for (int b = 0; b < kBatches; ++b) {
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int m = b * kPerBatch; m < (b + 1) * kPerBatch; ++m)
      threads.emplace_back([&, m] {
        if (!InviteAll(clients[static_cast<size_t>(m)], m)) ++failures;
      });
    for (auto& t : threads) t.join();
    seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  // One past the bound: the refusal row, then 0x9999.
  ProtocolClient& full = clients[0];
  bool refused = full.Request(9, "Chat", "InviteUser", "one-more");
  const auto reply = refused ? qn::client::ReadTable(full, 9, 10000) : std::nullopt;
  refused = reply && reply->result == 0x9999 && reply->rawRows.size() == 1 &&
            reply->rawRows[0] == std::vector<uint8_t>{102};
  server.Stop();

  qn::bench::RedisServer redis;
  qn::bench::Figures sadd;
  if (redis.Start()) sadd = qn::bench::RedisBenchmark(redis.port(), "sadd invited element:__rand_int__",
                                                       kPerBatch, kPerBatch * kInvitations);

  std::printf("InviteUser: %d batches of %d members x %d invitations of members who do not exist\n",
              kBatches, kPerBatch, kInvitations);
  std::printf("%-6s | %10s | %10s | %12s\n", "batch", "kept before", "seconds", "invites/s");
  for (int b = 0; b < kBatches; ++b)
    std::printf("%-6d | %10d | %10.3f | %12.0f\n", b + 1, b * kPerBatch * kInvitations, seconds[b],
                kPerBatch * kInvitations / seconds[b]);
  std::printf("redis SADD, %d clients: %.0f/s\n", kPerBatch, sadd.rps);
  const double pace = seconds.front() / seconds.back();
  std::printf("sixth batch's rate / first's: %.2f (target %.2f); bound %s; %d members failed\n", pace,
              kTarget, refused ? "held" : "NOT held", failures.load());
  return pace >= kTarget && refused && failures == 0 ? 0 : 1;
}
