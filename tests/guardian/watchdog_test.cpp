// The watchdog on fakes and virtual time: what each failure leads to, the
// restart throttle, the give-up, the kick-off command, and that a stop or a
// pause reaches every wait.
#include <gtest/gtest.h>

#include <functional>

#include "fake_world.h"
#include "guardian/watchdog.h"

namespace guardian::test {
namespace {

namespace automation = qn::automation;

constexpr automation::Status kNoClass = automation::kClassNotRegistered;
const Step kNoServer{automation::kServerExecFailure};
const Step kGoingDown{automation::kCallFailed};

struct Case {
  const char* name;
  std::function<void(FakeWorld&, Settings&)> script;
  long long stopAt;
  std::vector<std::string> events;
  WatchdogEnd end = WatchdogEnd::kStopped;
  int failuresLeft = 0;
};

void RunCase(const Case& c) {
  SCOPED_TRACE(c.name);
  FakeWorld world;
  Settings settings;
  c.script(world, settings);
  world.stopAt = At(c.stopAt);
  CWatchdog watchdog(world.Hosts(), settings, At(0));
  EXPECT_EQ(watchdog.Run(), c.end);
  EXPECT_EQ(world.events, c.events);
  EXPECT_EQ(watchdog.FailureCount(), c.failuresLeft);
}

TEST(Watchdog, EachFailureLeadsToItsRestartOrCount) {
  const Case cases[] = {
      {"running at start: nothing started, probes every interval",
       [](FakeWorld&, Settings&) {}, 600, {"330 create", "330 call", "450 call", "570 call"}},
      {"stopped at start: started at once",
       [](FakeWorld& w, Settings&) { w.serverState = 1; }, 340,
       {"0 start QuillnetServer", "330 create", "330 call"}},
      {"a server going down thrice is waited for, the fourth time restarted",
       [](FakeWorld& w, Settings&) {
         w.creations = {kGoingDown, kGoingDown, {0x80080006}, kGoingDown};
       },
       800,
       {"330 create", "360 create", "390 create", "420 create", "420 stop QuillnetServer",
        "420 end QuillnetServer", "450 start QuillnetServer", "780 create", "780 call"}},
      {"no server: restarted, quiet, probed",
       [](FakeWorld& w, Settings&) { w.creations = {kNoServer}; }, 700,
       {"330 create", "330 stop QuillnetServer", "330 end QuillnetServer",
        "360 start QuillnetServer", "690 create", "690 call"}},
      {"a call the server's end cut short (1726)",
       [](FakeWorld& w, Settings&) { w.calls = {{automation::kCallFailed}}; }, 700,
       {"330 create", "330 call", "330 stop QuillnetServer", "330 end QuillnetServer",
        "360 start QuillnetServer", "690 create", "690 call"}},
      {"a call to a server already gone (1727)",
       [](FakeWorld& w, Settings&) { w.calls = {{automation::kCallFailedDne}}; }, 700,
       {"330 create", "330 call", "330 stop QuillnetServer", "330 end QuillnetServer",
        "360 start QuillnetServer", "690 create", "690 call"}},
      {"a late call: restarted at its deadline, no quiet after",
       [](FakeWorld& w, Settings&) { w.calls = {{automation::kTimeout, false, true}}; }, 500,
       {"330 create", "330 call", "430 stop QuillnetServer", "430 end QuillnetServer",
        "460 start QuillnetServer", "490 create", "490 call"}},
      {"a late creation counts as no server",
       [](FakeWorld& w, Settings&) { w.creations = {{automation::kServerExecFailure, false, true}}; },
       800,
       {"330 create", "430 stop QuillnetServer", "430 end QuillnetServer",
        "460 start QuillnetServer", "790 create", "790 call"}},
      {"other creation failures count only, the third gives up",
       [](FakeWorld& w, Settings&) { w.creations = {{kNoClass}, {kNoClass}, {kNoClass}}; }, 900,
       {"330 create", "360 create", "390 create", "390 stop QuillnetServer",
        "390 end QuillnetServer"},
       WatchdogEnd::kGaveUp, 3},
      {"raised errors and other call failures count only",
       [](FakeWorld& w, Settings&) {
         w.calls = {{0, true}, {automation::kMemberNotFound}, {0, true}};
       },
       900,
       {"330 create", "330 call", "360 create", "360 call", "390 create", "390 call",
        "390 stop QuillnetServer", "390 end QuillnetServer"},
       WatchdogEnd::kGaveUp, 3},
      {"restarts at once count: three of them give up",
       [](FakeWorld& w, Settings&) { w.creations = {kNoServer, kNoServer, kNoServer}; }, 2000,
       {"330 create", "330 stop QuillnetServer", "330 end QuillnetServer",
        "360 start QuillnetServer", "690 create", "690 stop QuillnetServer",
        "690 end QuillnetServer", "720 start QuillnetServer", "1050 create",
        "1050 stop QuillnetServer", "1050 end QuillnetServer", "1080 start QuillnetServer",
        "1080 stop QuillnetServer", "1080 end QuillnetServer"},
       WatchdogEnd::kGaveUp, 3},
      {"an answered call clears the count",
       [](FakeWorld& w, Settings&) {
         w.creations = {{kNoClass}, {kNoClass}, {}, {kNoClass}};
         w.calls = {{}, {automation::kMemberNotFound}};
       },
       600,
       {"330 create", "360 create", "390 create", "390 call", "510 call", "540 create",
        "570 create", "570 call"}},
      {"start failures at the guardian's start count",
       [](FakeWorld& w, Settings&) {
         w.serverState = 1;
         w.starts = {false, false, false};
       },
       100,
       {"0 start QuillnetServer", "0 start QuillnetServer", "0 start QuillnetServer",
        "0 stop QuillnetServer", "0 end QuillnetServer"},
       WatchdogEnd::kGaveUp, 3},
  };
  for (const Case& c : cases) RunCase(c);
}

TEST(Watchdog, RestartsWaitForTheirTurnAndCountNothingForIt) {
  const Case cases[] = {
      {"none in the guardian's first 240 s, nor within 240 s of the last; waiting counts nothing",
       [](FakeWorld& w, Settings& s) {
         s.secDelayBeforeCheck = 0;
         w.creations = {kNoServer, kNoServer, kNoServer};
       },
       850,
       {"30 create", "240 stop QuillnetServer", "240 end QuillnetServer",
        "270 start QuillnetServer", "300 create", "510 stop QuillnetServer",
        "510 end QuillnetServer", "540 start QuillnetServer", "570 create",
        "780 stop QuillnetServer", "780 end QuillnetServer", "810 start QuillnetServer",
        "840 create", "840 call"}},
      {"a hung call's restart, then one asked for within 240 s of its end",
       [](FakeWorld& w, Settings& s) {
         s.secDelayBeforeCheck = 0;
         w.calls = {{automation::kTimeout, false, true}};
         w.creations = {{}, kNoServer};
       },
       580,
       {"30 create", "30 call", "240 stop QuillnetServer", "240 end QuillnetServer",
        "270 start QuillnetServer", "300 create", "510 stop QuillnetServer",
        "510 end QuillnetServer", "540 start QuillnetServer", "570 create", "570 call"}},
  };
  for (const Case& c : cases) RunCase(c);

  FakeWorld world;
  world.creations = {kNoServer};
  world.stopAt = At(100);
  CWatchdog watchdog(world.Hosts(), Settings{120, 0, ""}, At(0));
  watchdog.Run();
  EXPECT_TRUE(world.Logged("restarting it in 210 s (one restart per 240 s)"));
}

TEST(Watchdog, KickOffRunsBetweenStopAndStartWhateverBecomesOfIt) {
  struct KickOff {
    std::string command;
    LaunchResult result;
    std::vector<std::string> events;
    const char* logged;
  };
  const std::string longest(99, 'k'), tooLong(100, 'k');
  const KickOff cases[] = {
      {"prepare --now", LaunchResult::kEnded,
       {"330 stop QuillnetServer", "330 end QuillnetServer", "330 kickoff prepare --now",
        "365 start QuillnetServer"},
       nullptr},
      {"missing", LaunchResult::kNotStarted,
       {"330 stop QuillnetServer", "330 end QuillnetServer", "330 kickoff missing",
        "360 start QuillnetServer"},
       "KickOffApp \"missing\" could not be started: No such file or directory"},
      {"endless", LaunchResult::kStillRunning,
       {"330 stop QuillnetServer", "330 end QuillnetServer", "330 kickoff endless",
        "480 start QuillnetServer"},
       "still runs after 120 s"},
      {longest, LaunchResult::kEnded,
       {"330 stop QuillnetServer", "330 end QuillnetServer", "330 kickoff " + longest,
        "365 start QuillnetServer"},
       nullptr},
      {tooLong, LaunchResult::kEnded,
       {"330 stop QuillnetServer", "330 end QuillnetServer", "360 start QuillnetServer"},
       "longer than 99 characters and is not run"},
  };
  for (const KickOff& k : cases) {
    SCOPED_TRACE(k.command);
    FakeWorld world;
    world.creations = {kNoServer};
    world.kickOff = k.result;
    world.stopAt = At(600);
    CWatchdog watchdog(world.Hosts(), Settings{120, 300, k.command}, At(0));
    EXPECT_EQ(watchdog.Run(), WatchdogEnd::kStopped);
    std::vector<std::string> restart(world.events.begin() + 1, world.events.end());
    EXPECT_EQ(restart, k.events);
    // Besides the restart's own line, only what went wrong is logged.
    if (k.logged != nullptr) {
      EXPECT_TRUE(world.Logged(k.logged)) << k.logged;
    } else {
      EXPECT_EQ(world.lines.size(), 1u);
    }
  }
}

TEST(Watchdog, AStopEndsEveryWaitAndAPauseHoldsIt) {
  struct StopCase {
    const char* wait;
    std::function<void(FakeWorld&, Settings&)> script;
    long long stopAt;
    size_t eventsBefore;
  };
  const StopCase cases[] = {
      {"the delay before the first check", [](FakeWorld&, Settings&) {}, 100, 0},
      {"the pause before a creation", [](FakeWorld&, Settings&) {}, 310, 0},
      {"the check interval", [](FakeWorld&, Settings&) {}, 400, 2},
      {"the restart's turn",
       [](FakeWorld& w, Settings& s) {
         s.secDelayBeforeCheck = 0;
         w.creations = {kNoServer};
       },
       100, 1},
      {"the pause before the restart's start",
       [](FakeWorld& w, Settings&) { w.creations = {kNoServer}; }, 345, 3},
      {"the kick-off command",
       [](FakeWorld& w, Settings& s) {
         w.creations = {kNoServer};
         w.kickOff = LaunchResult::kStillRunning;
         s.kickOffApp = "endless";
       },
       400, 4},
      {"the quiet after a restart",
       [](FakeWorld& w, Settings&) { w.creations = {kNoServer}; }, 500, 4},
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.wait);
    FakeWorld world;
    Settings settings;
    c.script(world, settings);
    world.stopAt = At(c.stopAt);
    CWatchdog watchdog(world.Hosts(), settings, At(0));
    EXPECT_EQ(watchdog.Run(), WatchdogEnd::kStopped);
    EXPECT_EQ(world.now, At(c.stopAt));
    EXPECT_EQ(world.events.size(), c.eventsBefore);
    EXPECT_FALSE(world.Logged("still runs"));
  }

  // Paused from 500 to 1000: the interval begun at 450 ends with the pause.
  FakeWorld world;
  world.pauses = {{At(500), At(1000)}};
  world.stopAt = At(1010);
  CWatchdog watchdog(world.Hosts(), Settings{}, At(0));
  watchdog.Run();
  EXPECT_EQ(world.events, (std::vector<std::string>{"330 create", "330 call", "450 call",
                                                    "1000 call"}));
}

TEST(Watchdog, SettingsOutsideTheUsualRange) {
  // A zero interval probes each second; the largest numbers wait as long as
  // they say, without wrapping.
  FakeWorld world;
  world.stopAt = At(332);
  CWatchdog quick(world.Hosts(), Settings{0, 300, ""}, At(0));
  quick.Run();
  EXPECT_EQ(world.events, (std::vector<std::string>{"330 create", "330 call", "331 call"}));

  FakeWorld slow;
  slow.stopAt = At(10'000'000'000LL);
  CWatchdog patient(slow.Hosts(), Settings{0xFFFFFFFF, 0xFFFFFFFF, ""}, At(0));
  patient.Run();
  ASSERT_GE(slow.sleeps.size(), 3u);
  EXPECT_EQ(slow.sleeps[0], std::chrono::seconds(0xFFFFFFFFLL));
  EXPECT_EQ(slow.sleeps[2], std::chrono::seconds(0xFFFFFFFFLL));
  EXPECT_EQ(slow.events, (std::vector<std::string>{"4294967325 create", "4294967325 call",
                                                   "8589934620 call"}));
}

TEST(Watchdog, CreationStatusesReadAsTheirLow16Bits) {
  EXPECT_EQ(CreationFailureCode(automation::kServerExecFailure), 5u);
  EXPECT_EQ(CreationFailureCode(0x80080006), 6u);
  EXPECT_EQ(CreationFailureCode(automation::kCallFailed), 6u);
  EXPECT_EQ(CreationFailureCode(automation::kClassNotRegistered), 0x154u);
}

}  // namespace
}  // namespace guardian::test
