// The user timer's rules over whole calls: when the credit and per-call
// warnings come, when a member is disconnected, and what each tick charges.
#include <gtest/gtest.h>

#include <asio/post.hpp>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "core_fakes.h"
#include "fake_clock.h"
#include "platform/main_loop.h"
#include "server/core/clock.h"
#include "server/core/server.h"
#include "server/core/transport_base.h"
#include "server/core/user.h"
#include "server/core/user_timer.h"
#include "support/member_install.h"

namespace {

constexpr std::time_t kLogon = 1'000'000'000;

struct Timeline {
  std::map<int, std::vector<std::string>> messagesByTick;
  int disconnectTick = -1;
  int32_t finalCredits = 0;
};

// Runs the rules tick after tick as the timer would, until a disconnection
// or `maxTicks`.
Timeline RunCall(int32_t credits, int16_t rate, int16_t limit, int maxTicks) {
  Timeline line;
  for (int tick = 1; tick <= maxTicks; ++tick) {
    qn::UserTickInput in;
    in.credits = credits;
    in.ratePerHour = rate;
    in.maxTimeOnline = limit;
    in.logonTime = kLogon;
    in.now = kLogon + 15 * tick;
    const qn::UserTickOutcome out = qn::EvaluateUserTick(in);
    credits = out.charge > credits ? 0 : credits - out.charge;
    if (!out.messages.empty()) line.messagesByTick[tick] = out.messages;
    if (out.disconnect) {
      line.disconnectTick = tick;
      break;
    }
  }
  line.finalCredits = credits;
  return line;
}

TEST(UserTimerRules, CreditWarningsComeOncePerMinuteThenDisconnection) {
  // 3600 an hour: 15 a tick, 60 a minute; 300 credits last 20 ticks.
  const Timeline line = RunCall(300, 3600, -1, 100);
  std::map<int, std::vector<std::string>> expected = {
      {1, {qn::CreditWarningText(5)}},  {5, {qn::CreditWarningText(4)}},
      {9, {qn::CreditWarningText(3)}},  {13, {qn::CreditWarningText(2)}},
      {17, {qn::CreditWarningText(1)}}, {21, {qn::OutOfCreditsText()}},
  };
  EXPECT_EQ(line.messagesByTick, expected);
  // The balance reaches 0 at tick 20 and the member goes at the next tick.
  EXPECT_EQ(line.disconnectTick, 21);
}

TEST(UserTimerRules, ThreeMinuteWarningForCreditsFrom166To180) {
  for (int32_t credits : {165, 166, 180, 181}) {
    qn::UserTickInput in{credits, 3600, -1, kLogon, kLogon + 15};
    const qn::UserTickOutcome out = qn::EvaluateUserTick(in);
    const bool warned = out.messages == std::vector<std::string>{qn::CreditWarningText(3)};
    EXPECT_EQ(warned, credits >= 166 && credits <= 180) << credits;
  }
}

TEST(UserTimerRules, RatesBelow240ChargeNothingAndNeverWarn) {
  for (int16_t rate : {0, 239}) {
    const Timeline line = RunCall(10, rate, -1, 400);
    EXPECT_TRUE(line.messagesByTick.empty()) << rate;
    EXPECT_EQ(line.disconnectTick, -1);
    EXPECT_EQ(line.finalCredits, 10);
  }
  // 240 an hour is the first rate that charges: 1 a tick.
  EXPECT_EQ(qn::EvaluateUserTick({100, 240, -1, kLogon, kLogon + 15}).charge, 1);
}

TEST(UserTimerRules, NoCreditsAtATickDisconnectsAtOnce) {
  const qn::UserTickOutcome out = qn::EvaluateUserTick({0, 0, -1, kLogon, kLogon + 15});
  EXPECT_TRUE(out.disconnect);
  EXPECT_EQ(out.messages, std::vector<std::string>{qn::OutOfCreditsText()});
}

TEST(UserTimerRules, PerCallLimitWarnsAtEachOfTheLastFiveMinutesThenDisconnects) {
  const Timeline line = RunCall(1'000'000, 0, 90, 1000);
  // Whole minutes reach 86 at tick 344 (86*60/15), 87 at 348, ... 90 at 360;
  // 91 minutes at tick 364.
  std::map<int, std::vector<std::string>> expected = {
      {344, {qn::LimitWarningText(90, 5)}}, {348, {qn::LimitWarningText(90, 4)}},
      {352, {qn::LimitWarningText(90, 3)}}, {356, {qn::LimitWarningText(90, 2)}},
      {360, {qn::LimitWarningText(90, 1)}}, {364, {qn::LimitExceededText(90)}},
  };
  EXPECT_EQ(line.messagesByTick, expected);
  EXPECT_EQ(line.disconnectTick, 364);
}

TEST(UserTimerRules, NoLimitMeansNoLimitChecks) {
  const Timeline line = RunCall(1'000'000, 0, -1, 2000);
  EXPECT_TRUE(line.messagesByTick.empty());
  EXPECT_EQ(line.disconnectTick, -1);
}

TEST(UserTimerRules, WarningTextsAsMembersSeeThem) {
  EXPECT_EQ(qn::CreditWarningText(1),
            "Your account will run out of credits in 1 minute. At that time, you will be "
            "disconnected from this service.");
  EXPECT_EQ(qn::CreditWarningText(2),
            "Your account will run out of credits in 2 minutes. At that time, you will be "
            "disconnected from this service.");
  EXPECT_EQ(qn::LimitWarningText(30, 1),
            "You will exceed your per-call limit of 30 minutes online in 1 minute. At that "
            "time, you will be disconnected from this service.");
  EXPECT_EQ(qn::LimitExceededText(30),
            "You have exceeded your per-call limit of 30 minutes online. You will now be "
            "disconnected from this service.");
}

class RecordingActions : public IUserTimerActions {
 public:
  void SendLiveMessage(const std::string& userId, const std::string& text) override {
    sent.push_back(userId + ": " + text);
  }
  void DisconnectUser(CUser& user) override {
    disconnected.push_back(user.GetUserID());
    delete user.GetConnection();  // takes the member along, as the real close does
  }
  std::vector<std::string> sent;
  std::vector<std::string> disconnected;
};

// The timer's pass over the real user list, on a replaced clock.
class UserTimerTick : public ::testing::Test {
 protected:
  void SetUp() override {
    // The process's installation root: logoffs here find no database, and
    // the driver manager keeps the configuration it saw first.
    qn::test::MemberInstall::Root();
    CTransportBase::SetServer(&server_);
    SetClock(&clock_);
  }
  void TearDown() override {
    while (!GetUserList().empty()) delete GetUserList().front()->GetConnection();
    SetClock(nullptr);
    CTransportBase::SetServer(nullptr);
  }
  CUser* LogOn(const std::string& id, int32_t credits, int16_t rate, int16_t limit) {
    auto* connection = new FakeConnection();
    auto* user = new CUser();
    user->Attach(id, connection, credits, rate, limit, clock_.Now());
    connection->SetUser(user);
    return user;
  }
  void Tick() {
    clock_.now += 15;
    RunUserTimerTick(GetClock().Now(), actions_);
  }

  CServer server_;
  FakeClock clock_{kLogon};
  RecordingActions actions_;
};

TEST_F(UserTimerTick, ChargesEveryMemberAndDisconnectsOnlyTheOneOutOfCredits) {
  CUser* rich = LogOn("Rich", 10'000, 3600, -1);
  CUser* poor = LogOn("Poor", 60, 3600, -1);
  Tick();  // Poor: one minute left
  EXPECT_EQ(rich->GetCredits(), 10'000 - 15);
  EXPECT_EQ(actions_.sent, std::vector<std::string>{"Poor: " + qn::CreditWarningText(1)});
  Tick();
  Tick();
  Tick();  // Poor: 15 -> 0
  EXPECT_EQ(poor->GetCredits(), 0);
  EXPECT_TRUE(actions_.disconnected.empty());
  Tick();  // Poor has 0 at this tick
  EXPECT_EQ(actions_.disconnected, std::vector<std::string>{"Poor"});
  EXPECT_EQ(actions_.sent.back(), "Poor: " + qn::OutOfCreditsText());
  EXPECT_EQ(GetUserCount(), 1);
  EXPECT_EQ(FindUserByID("rich"), rich);
  EXPECT_EQ(FindUserByID("POOR"), nullptr);
  EXPECT_EQ(rich->GetCredits(), 10'000 - 5 * 15);
}

TEST_F(UserTimerTick, LimitCountsFromLogonOnTheReplacedClock) {
  LogOn("Brief", 1'000'000, 0, 2);
  for (int i = 0; i < 11; ++i) Tick();  // 2 min 45 s online
  EXPECT_TRUE(actions_.disconnected.empty());
  Tick();  // 3 whole minutes > 2
  EXPECT_EQ(actions_.disconnected, std::vector<std::string>{"Brief"});
  ASSERT_FALSE(actions_.sent.empty());
  EXPECT_EQ(actions_.sent.back(), "Brief: " + qn::LimitExceededText(2));
}

TEST_F(UserTimerTick, ASilentConnectionGoesAtNinetySecondsWithItsMember) {
  CUser* quiet = LogOn("Quiet", 1000, 0, -1);
  CTransportBase* connection = quiet->GetConnection();
  ASSERT_TRUE(server_.AddConnection(connection));
  connection->SetHandshakeState(CTransportBase::kNormal);
  connection->SetLastPacketTime(clock_.now - 89 + 15);
  Tick();  // 89 s of silence
  EXPECT_TRUE(server_.HasConnection(connection));
  EXPECT_EQ(FindUserByID("quiet"), quiet);
  connection->SetLastPacketTime(clock_.now - 90 + 15);
  Tick();  // 90 s
  EXPECT_TRUE(server_.GetConnections().empty());
  EXPECT_EQ(FindUserByID("quiet"), nullptr);
}

bool g_passDone = false;

TEST_F(UserTimerTick, ALoopPassAnswersOthersBetweenStepsAndChargesAsAWholePassWould) {
  qn::MainLoop().restart();
  while (qn::MainLoop().poll() != 0) {
  }
  std::vector<CUser*> members;
  for (int i = 0; i < 5; ++i) members.push_back(LogOn("M" + std::to_string(i), 1000, 3600, -1));
  clock_.now += 15;
  g_passDone = false;
  // No time for more than one member per step.
  BeginUserTimerPass(clock_.Now(), actions_, std::chrono::steady_clock::duration::zero(),
                     [] { g_passDone = true; });
  EXPECT_TRUE(IsUserTimerPassRunning());
  int chargedWhenServed = -1;
  // Another member's request, arriving while the pass runs; M3 leaves and
  // Late arrives before their turns.
  asio::post(qn::MainLoop(), [&] {
    chargedWhenServed = 0;
    for (CUser* user : members) chargedWhenServed += user->GetCredits() < 1000 ? 1 : 0;
    delete members[3]->GetConnection();
    LogOn("Late", 1000, 3600, -1);
  });
  for (int turns = 0; !g_passDone && turns < 100; ++turns) {
    qn::MainLoop().restart();
    qn::MainLoop().run_one();
  }
  ASSERT_TRUE(g_passDone);
  EXPECT_FALSE(IsUserTimerPassRunning());
  EXPECT_EQ(chargedWhenServed, 1);
  for (int i : {0, 1, 2, 4}) EXPECT_EQ(members[static_cast<size_t>(i)]->GetCredits(), 1000 - 15) << i;
  EXPECT_EQ(FindUserByID("Late")->GetCredits(), 1000);

  // The next pass charges whoever is listed then, Late included.
  Tick();
  EXPECT_EQ(FindUserByID("Late")->GetCredits(), 1000 - 15);
  EXPECT_EQ(members[0]->GetCredits(), 1000 - 30);
}

}  // namespace
