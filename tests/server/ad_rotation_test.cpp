// The advertisement rotation driven tick by tick: when each push comes,
// looping, retries while no listener is open, and members leaving, also in
// the middle of a push.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/registry.h"
#include "server/core/user.h"
#include "server/services/ad_rotation.h"
#include "server/services/service_advertise.h"
#include "support/member_install.h"

namespace {

using qn::ads::Advertisement;
using qn::ads::CRotation;

// What reached whom at which tick.
struct Pushes {
  std::vector<std::string> log;
  std::map<CUser*, bool> listening;  // missing: listening
  int tick = 0;

  CRotation::Push Recorder(const std::map<CUser*, std::string>& names) {
    return [this, names](CUser* user, const Advertisement& ad) {
      if (listening.count(user) && !listening[user]) return false;
      log.push_back(std::to_string(tick) + " " + names.at(user) + " " + ad.app);
      return true;
    };
  }
};

void RunTicks(CRotation& rotation, Pushes& pushes, const CRotation::Push& push, int ticks) {
  for (int i = 0; i < ticks; ++i) {
    ++pushes.tick;
    rotation.Tick(push);
  }
}

TEST(AdRotation, TheFirstPushWaitsForItsDelayRoundedUpToTicks) {
  const std::map<int32_t, int> firstTick = {{60, 12}, {7, 2}, {5, 1}, {6, 2}, {10, 2}, {11, 3}, {0, 1}, {-3, 1}};
  for (const auto& [delay, tick] : firstTick) {
    CRotation rotation({{"App", "V", delay}}, false);
    CUser member;
    rotation.OnLogon(&member);
    Pushes pushes;
    RunTicks(rotation, pushes, pushes.Recorder({{&member, "m"}}), 20);
    EXPECT_EQ(pushes.log, std::vector<std::string>{std::to_string(tick) + " m App"}) << delay;
    EXPECT_FALSE(rotation.IsViewing(&member));
  }
}

TEST(AdRotation, EachAdvertisementOnceWithoutLoopAndRoundAndRoundWithIt) {
  const std::vector<Advertisement> ads = {{"A", "V", 5}, {"B", "V", 12}, {"C", "V", 7}};
  {
    CRotation rotation(ads, false);
    CUser member;
    rotation.OnLogon(&member);
    Pushes pushes;
    RunTicks(rotation, pushes, pushes.Recorder({{&member, "m"}}), 30);
    // B's delay counts from A's push, C's from B's.
    EXPECT_EQ(pushes.log, (std::vector<std::string>{"1 m A", "4 m B", "6 m C"}));
    EXPECT_EQ(rotation.ViewerCount(), 0u);
  }
  {
    CRotation rotation(ads, true);
    CUser member;
    rotation.OnLogon(&member);
    Pushes pushes;
    RunTicks(rotation, pushes, pushes.Recorder({{&member, "m"}}), 8);
    EXPECT_EQ(pushes.log, (std::vector<std::string>{"1 m A", "4 m B", "6 m C", "7 m A"}));
    EXPECT_TRUE(rotation.IsViewing(&member));
  }
}

TEST(AdRotation, WithoutAListenerTheSameAdvertisementIsTriedAtEveryTick) {
  CRotation rotation({{"A", "V", 10}, {"B", "V", 10}}, false);
  CUser deaf, hearing;
  rotation.OnLogon(&deaf);
  rotation.OnLogon(&hearing);
  Pushes pushes;
  pushes.listening[&deaf] = false;
  int attempts = 0;
  const auto recorder = pushes.Recorder({{&deaf, "deaf"}, {&hearing, "hearing"}});
  const auto push = [&](CUser* user, const Advertisement& ad) {
    if (user == &deaf) ++attempts;
    return recorder(user, ad);
  };
  RunTicks(rotation, pushes, push, 10);
  EXPECT_EQ(attempts, 9);  // from the second tick on, every tick
  EXPECT_EQ(pushes.log, (std::vector<std::string>{"2 hearing A", "4 hearing B"}));
  // A listener at last: A now, B its delay later.
  pushes.listening[&deaf] = true;
  RunTicks(rotation, pushes, push, 3);
  EXPECT_EQ(pushes.log, (std::vector<std::string>{"2 hearing A", "4 hearing B", "11 deaf A", "13 deaf B"}));
}

TEST(AdRotation, MembersLeaveAtLogoffAndInTheMiddleOfAPush) {
  CRotation rotation({{"A", "V", 5}, {"B", "V", 5}}, true);
  CUser first, second, third;
  rotation.OnLogon(&first);
  rotation.OnLogon(&second);
  rotation.OnLogon(&third);
  Pushes pushes;
  const std::map<CUser*, std::string> names = {{&first, "1"}, {&second, "2"}, {&third, "3"}};
  RunTicks(rotation, pushes, pushes.Recorder(names), 1);
  EXPECT_EQ(pushes.log, (std::vector<std::string>{"1 1 A", "1 2 A", "1 3 A"}));  // logon order
  rotation.OnLogoff(&second);
  EXPECT_FALSE(rotation.IsViewing(&second));

  // Pushing to the first closes its connection (its member logs off) and,
  // at the same time, the third's.
  const auto recorder = pushes.Recorder(names);
  pushes.log.clear();
  ++pushes.tick;
  rotation.Tick([&](CUser* user, const Advertisement& ad) {
    const bool sent = recorder(user, ad);
    if (user == &first) {
      rotation.OnLogoff(&first);
      rotation.OnLogoff(&third);
    }
    return sent;
  });
  EXPECT_EQ(pushes.log, std::vector<std::string>{"2 1 B"});
  EXPECT_EQ(rotation.ViewerCount(), 0u);
}

TEST(AdRotation, ListEntriesNeedTwoTabs) {
  const auto ads = qn::ads::ParseAdvertisements(
      {"Paint\tBrenlo\t60", "NoTabs", "One\tTab", "Chess\tGames Inc\tsoon", "Odd\t\t-7\textra", "\t\t"});
  ASSERT_EQ(ads.size(), 4u);
  EXPECT_EQ(ads[0].app, "Paint");
  EXPECT_EQ(ads[0].vendor, "Brenlo");
  EXPECT_EQ(ads[0].delay, 60);
  EXPECT_EQ(ads[1].delay, 0);
  EXPECT_EQ(ads[2].vendor, "");
  EXPECT_EQ(ads[2].delay, -7);
  EXPECT_EQ(ads[3].app, "");
}

TEST(AdvertiseModule, ReadsTheListAndLoopOnceAndRunsOnlyWithAdvertisements) {
  qn::test::MemberInstall::Root();  // logoffs find no database here
  CAdvertiseMultiReg().SaveList({});
  CServiceAdvertise::InitModule();
  EXPECT_EQ(GetAdRotation(), nullptr);
  CServiceAdvertise::TermModule();

  CAdvertiseMultiReg().SaveList({"Paint\tBrenlo\t5", "bad entry"});
  CQuillnetRegistry().WriteDWORD("Advertise", "Loop", 1);
  CServiceAdvertise::InitModule();
  ASSERT_NE(GetAdRotation(), nullptr);
  CUser member;
  member.Attach("Viewer", nullptr, 10, 0, -1, 0);  // the logon hook runs
  EXPECT_TRUE(GetAdRotation()->IsViewing(&member));
  CServiceAdvertise::OnTimer();  // no CAM listener: still at the first
  EXPECT_TRUE(GetAdRotation()->IsViewing(&member));
  CServiceAdvertise::TermModule();
  EXPECT_EQ(GetAdRotation(), nullptr);
  CAdvertiseMultiReg().SaveList({});
}

}  // namespace
