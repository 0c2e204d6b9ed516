// The user timer's pass over 2,000 charged members on PostgreSQL against the
// real server: a member's requests are answered while the pass writes the
// rows, and the pass charges, warns and writes as it always did: every
// member's row charged once by the tick's amount, and each listening member
// told what the rules say for the credits it had.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/odbc_statement.h"
#include "server/core/user_timer.h"
#include "server/data/database.h"
#include "support/member_client.h"
#include "support/member_install.h"
#include "support/protocol_client.h"
#include "support/server_process.h"

namespace {

using qn::client::ProtocolClient;
using qn::test::MemberInstall;
using qn::test::StorageMode;
using Clock = std::chrono::steady_clock;

constexpr int kMembers = 2000;
constexpr int kListeners = 12;
constexpr int16_t kRate = 3600;  // 15 credits a tick
constexpr int kCharge = kRate * 15 / 3600;

std::string MemberId(int n) { return "m" + std::to_string(n); }

// Credits of members m1 ... m<listeners>: each in or near a warning band of
// 3600 credits an hour, whichever pass comes first.
int32_t StartCredits(int n) {
  static const int32_t kNearBands[] = {60, 55, 120, 110, 180, 170, 240, 235, 300, 290, 150, 200};
  return n <= kListeners ? kNearBands[n - 1] : 100000;
}

// Every member's credits from one statement.
std::map<std::string, int32_t> ReadCredits(CDatabase& db) {
  std::string all;
  qn::odbc::Statement statement(db.Connection());
  statement.ExecuteDirect("SELECT string_agg(UserID || ':' || Credits, ',') FROM Accounts WHERE UserID LIKE 'm%'");
  if (statement.Fetch()) statement.GetText(1, all);
  std::map<std::string, int32_t> credits;
  std::stringstream in(all);
  std::string item;
  while (std::getline(in, item, ',')) {
    const size_t colon = item.find(':');
    if (colon != std::string::npos) credits[item.substr(0, colon)] = std::stoi(item.substr(colon + 1));
  }
  return credits;
}

bool LogOn(ProtocolClient& client, uint16_t port, const std::string& id) {
  if (!client.Connect(port) || !client.Hello()) return false;
  if (!client.Request(1, "Logon", "Logon", id + "\x01pw")) return false;
  const auto reply = qn::client::ReadTable(client, 1, 30000);
  return reply && reply->ended && !reply->result;
}

// The texts a listener has been sent so far.
std::vector<std::string> Heard(ProtocolClient& client, int timeoutMs) {
  std::vector<std::string> texts;
  while (auto packet = client.ReadReply(timeoutMs)) {
    if (packet->type != qn::kPacketMoreData) continue;
    static const std::vector<CColumnDef> kColumns = {{kColumnByte, "Style"}, {kColumnString, "Message"}};
    if (auto row = qn::DecodeRow(kColumns, packet->body.data(), packet->body.size()))
      texts.push_back(std::get<std::string>((*row)[1]));
    timeoutMs = 200;
  }
  return texts;
}

TEST(TimerPass, TwoThousandChargedMembersOnPostgresAreChargedWhileOthersAreAnswered) {
  if (!qn::test::PostgresTestServerAvailable()) GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  ASSERT_GE(files.rlim_cur, static_cast<rlim_t>(kMembers + 200)) << "too few file descriptors";

  const uint16_t port = qn::test::FindFreePort();
  MemberInstall install;
  std::string error;
  ASSERT_TRUE(install.Create(StorageMode::Postgres, port, &error)) << error;
  install.SeedAccountDefaults(0, 0, -1);
  install.ExecAccount(
      "INSERT INTO Accounts (UserID, Password, Credits, RatePerHour, MaxTimeOnline) SELECT 'm' || n, "
      "'pw', 100000, " + std::to_string(kRate) + ", -1 FROM generate_series(1, " +
      std::to_string(kMembers) + ") n");
  for (int n = 1; n <= kListeners; ++n)
    install.ExecAccount("UPDATE Accounts SET Credits=" + std::to_string(StartCredits(n)) +
                        " WHERE UserID='" + MemberId(n) + "'");
  install.ExecAccount(
      "INSERT INTO Accounts (UserID, Password, Credits, RatePerHour, MaxTimeOnline) VALUES "
      "('probe', 'pw', 1000, 0, -1)");
  qn::test::ServerProcess server;
  ASSERT_TRUE(server.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port))
      << server.StderrText();

  // Everybody logs on, eight at a time; the listeners open their listener.
  std::vector<ProtocolClient> members(kMembers);
  std::atomic<int> failed{0};
  {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
      threads.emplace_back([&, t] {
        for (int i = t; i < kMembers; i += 8)
          if (!LogOn(members[static_cast<size_t>(i)], port, MemberId(i + 1))) ++failed;
      });
    for (auto& thread : threads) thread.join();
  }
  ASSERT_EQ(failed.load(), 0);
  for (int n = 1; n <= kListeners; ++n) {
    ProtocolClient& listener = members[static_cast<size_t>(n - 1)];
    ASSERT_TRUE(listener.Request(2, "Utility", "GetGlobalMessages"));
    auto schema = listener.ReadReply(10000);
    ASSERT_TRUE(schema && schema->type == qn::kPacketSchema);
  }
  ProtocolClient probe;
  ASSERT_TRUE(LogOn(probe, port, "probe"));

  // The credits between two passes: the same in two reads a moment apart.
  const std::unique_ptr<CDatabase> db = install.Open("QNACCOUN");
  std::map<std::string, int32_t> before = ReadCredits(*db);
  for (int tries = 0; tries < 200; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::map<std::string, int32_t> again = ReadCredits(*db);
    if (again == before) break;
    before = std::move(again);
  }
  ASSERT_EQ(before.size(), static_cast<size_t>(kMembers));
  for (int n = 1; n <= kListeners; ++n) Heard(members[static_cast<size_t>(n - 1)], 50);

  // The probe asks the time, request after request, while the rows are
  // watched: from the first row charged to the last, the pass is running.
  struct Asked {
    Clock::time_point sent, answered;
  };
  std::vector<Asked> asked;
  std::mutex askedLock;
  std::atomic<bool> stop{false};
  std::thread prober([&] {
    for (uint16_t id = 10; !stop; id = static_cast<uint16_t>(id == 60000 ? 10 : id + 1)) {
      const Clock::time_point sent = Clock::now();
      if (!probe.Request(id, "Utility", "GetSystemTime")) return;
      const auto reply = qn::client::ReadTable(probe, id, 30000);
      if (!reply || !reply->ended) return;
      std::lock_guard<std::mutex> guard(askedLock);
      asked.push_back({sent, Clock::now()});
    }
  });
  Clock::time_point firstSeen{}, lastPartial{};
  std::map<std::string, int32_t> after;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(120);
  while (Clock::now() < deadline) {
    after = ReadCredits(*db);
    size_t charged = 0;
    for (const auto& [id, credits] : after)
      if (credits != before[id]) ++charged;
    if (charged > 0 && firstSeen == Clock::time_point{}) firstSeen = Clock::now();
    if (charged > 0 && charged < before.size()) lastPartial = Clock::now();
    if (charged == before.size()) break;
  }
  stop = true;
  prober.join();

  // Every member charged once, by the tick's amount.
  ASSERT_EQ(after.size(), before.size());
  for (const auto& [id, credits] : after) EXPECT_EQ(credits, before[id] - kCharge) << id;

  // Requests sent after the pass had written its first row and answered
  // before it wrote its last: the loop was free during the pass.
  ASSERT_NE(firstSeen, Clock::time_point{});
  int answeredDuring = 0;
  double longestMs = 0;
  for (const Asked& a : asked) {
    if (a.sent < firstSeen || a.answered > lastPartial) continue;
    ++answeredDuring;
    longestMs = std::max(longestMs, std::chrono::duration<double, std::milli>(a.answered - a.sent).count());
  }
  EXPECT_GT(answeredDuring, 0) << "no request answered while the pass ran";
  std::printf("pass watched for %.0f ms: %d requests answered during it, the longest in %.1f ms\n",
              std::chrono::duration<double, std::milli>(lastPartial - firstSeen).count(), answeredDuring,
              longestMs);

  // The warnings the rules give for the credits each listener had.
  for (int n = 1; n <= kListeners; ++n) {
    const std::string id = MemberId(n);
    qn::UserTickInput in;
    in.credits = before[id];
    in.ratePerHour = kRate;
    const qn::UserTickOutcome expected = qn::EvaluateUserTick(in);
    EXPECT_EQ(Heard(members[static_cast<size_t>(n - 1)], 5000 * !expected.messages.empty() + 200),
              expected.messages)
        << id << " with " << in.credits;
  }
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
