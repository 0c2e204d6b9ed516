// The shutdown on fakes and virtual time: the dialog's rules, the three ways
// down with and without the Monitor object, the countdown with its warnings,
// the wait for the members, and what Cancel takes back.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_host.h"
#include "tools/manager/core/manager_texts.h"

namespace qn::manager::test {
namespace {

using namespace texts;

std::string Title(const char* suffix) { return std::string(kBaseTitle) + suffix; }

struct Running : FakeManager {
  Running() {
    services.states[kServerService] = kStateRunning;
    services.states[kGuardianService] = kStateRunning;
    Create();
    log.clear();
  }
  bool Stopped() const { return services.states.at(kServerService) == kStateStopped; }
};

TEST(ShutdownDialog, ChoicesAndMinutesWriteTheMessageAndOkChecksTheMinutes) {
  Running m;
  CShutdownDlg& d = m.frame->ShutdownDlg();
  EXPECT_EQ(d.m_nChoice, kChoiceNow);
  EXPECT_EQ(d.m_strMinutes, "60");
  EXPECT_EQ(d.m_strMessage, kMessageInitial);
  EXPECT_EQ(d.m_strMinutesLabel, kMinutesLabel);
  d.OnNow();
  EXPECT_EQ(d.m_strMessage, kMessageNow);
  d.OnIn();
  EXPECT_EQ(d.m_strMessage, "Broadcase message from the Administrator: The Quillnet Server will shut down in 60 minutes.");
  d.OnLogoff();
  EXPECT_EQ(d.m_strMessage, kMessageLogoff);

  d.m_nChoice = kChoiceNow;
  struct Typed {
    const char* text;
    const char* label;
    const char* message;
  };
  for (const Typed& t :
       {Typed{"1", kMinuteLabel, "Broadcase message from the Administrator: The Quillnet Server will shut down in 1 minute."},
        Typed{"15", kMinutesLabel, "Broadcast message from the Administrator: The Quillnet Server will shut down in 15 minutes."},
        Typed{"", kMinutesLabel, "Broadcast message from the Administrator: The Quillnet Server will shut down in 0 minutes."}}) {
    d.m_strMinutes = t.text;
    d.OnMinutesChanged();
    EXPECT_EQ(d.m_nChoice, kChoiceIn);
    EXPECT_EQ(d.m_strMinutesLabel, t.label);
    EXPECT_EQ(d.m_strMessage, t.message);
  }
  for (const char* bad : {"0", "1000", "", "12a", "-5", "99999999999999999999"}) {
    d.m_strMinutes = bad;
    EXPECT_EQ(d.Validate(), std::optional<std::string>(kMinutesRange)) << bad;
  }
  for (const char* good : {"1", "999", " 42 ", "007"}) {
    d.m_strMinutes = good;
    EXPECT_FALSE(d.Validate()) << good;
  }
  EXPECT_EQ(MinutesOfText("99999999999999999999"), INT32_MAX);
  EXPECT_EQ(UsersConnectedText(1), "1 user still connected.");
  EXPECT_EQ(UsersConnectedText(2), "2 users still connected.");
}

TEST(Shutdown, NowBroadcastsThenStopsTheGuardianBeforeTheServer) {
  Running m;
  m.Shutdown(kChoiceNow);
  EXPECT_EQ(m.monitors.state.broadcasts, std::vector<std::string>{kMessageNow});
  EXPECT_TRUE(m.monitors.state.allows.empty());
  EXPECT_LT(std::find(m.log.begin(), m.log.end(), "stop QuillnetGuardian"),
            std::find(m.log.begin(), m.log.end(), "stop QuillnetServer"));
  EXPECT_TRUE(m.Stopped());
  EXPECT_EQ(m.view.title, Title(kStoppedSuffix));
}

TEST(Shutdown, ACountdownOfOneMinuteStopsAfterSixtySecondsWithoutTheWarning) {
  Running m;
  m.Shutdown(kChoiceIn, 1);
  EXPECT_EQ(m.countdownView.text, "in 00:59 minutes");
  EXPECT_TRUE(m.countdownView.visible);
  EXPECT_EQ(m.monitors.state.allows, std::vector<bool>{false});
  EXPECT_EQ(m.monitors.state.broadcasts,
            std::vector<std::string>{"Broadcase message from the Administrator: The Quillnet Server will shut down in 1 minute."});
  m.clock.Advance(59000);
  EXPECT_EQ(m.countdownView.text, "in 00:00 minutes");
  EXPECT_FALSE(m.Stopped());
  m.log.clear();
  m.clock.Advance(1000);
  EXPECT_TRUE(m.Stopped());
  EXPECT_LT(std::find(m.log.begin(), m.log.end(), "stop QuillnetGuardian"),
            std::find(m.log.begin(), m.log.end(), "stop QuillnetServer"));
  EXPECT_FALSE(m.countdownView.visible);
  EXPECT_EQ(m.view.restored, 1);
  EXPECT_EQ(m.monitors.state.broadcasts.back(), kShuttingDown);
  EXPECT_EQ(m.monitors.state.broadcasts.size(), 2u);
  EXPECT_FALSE(m.countdownTimers.IsActive(kCountdownTimer));
}

TEST(Shutdown, ACountdownOfTwoMinutesWarnsAsItPassesFromOneMinute) {
  Running m;
  m.Shutdown(kChoiceIn, 2);
  EXPECT_EQ(m.countdownView.text, "in 01:59 minutes");
  m.clock.Advance(59000);
  EXPECT_EQ(m.countdownView.text, "in 01:00 minutes");
  EXPECT_EQ(m.monitors.state.broadcasts.size(), 1u);
  m.clock.Advance(1000);
  EXPECT_EQ(m.countdownView.text, "in 00:59 minutes");
  EXPECT_EQ(m.monitors.state.broadcasts.back(), kOneMinuteWarning);
  m.clock.Advance(60000);
  EXPECT_TRUE(m.Stopped());
  EXPECT_EQ(m.monitors.state.broadcasts.back(), kShuttingDown);
}

// Without the Monitor object when the warnings are due, the count goes on
// and the server still stops at zero.
TEST(Shutdown, ACountdownWithoutTheMonitorObjectStillCountsAndStops) {
  Running m;
  m.Shutdown(kChoiceIn, 2);
  m.monitors.state.creatable = false;
  m.clock.Advance(61000);
  EXPECT_EQ(m.countdownView.text, "in 00:58 minutes");
  m.clock.Advance(59000);
  EXPECT_TRUE(m.Stopped());
  EXPECT_EQ(m.monitors.state.broadcasts.size(), 1u);  // only the one sent at OK
  EXPECT_TRUE(m.view.boxes.empty());
}

TEST(Shutdown, CancellingTheCountdownOrTheWaitAllowsNewConnectionsAgain) {
  for (int choice : {kChoiceIn, kChoiceLogoff}) {
    Running m;
    m.monitors.state.connections = 3;
    m.Shutdown(choice, 5);
    m.clock.Advance(20000);
    if (choice == kChoiceIn)
      m.frame->ShutdownDlg().Countdown().OnCancel();
    else
      m.frame->ShutdownDlg().Wait().OnCancel();
    EXPECT_EQ(m.monitors.state.allows, (std::vector<bool>{false, true})) << choice;
    EXPECT_FALSE(m.countdownView.visible || m.waitView.visible);
    m.clock.Advance(10 * 60000);
    EXPECT_FALSE(m.Stopped());
  }
  Running m;  // Cancel's failure is told
  m.Shutdown(kChoiceIn, 5);
  m.monitors.state.allowFails = true;
  m.frame->ShutdownDlg().Countdown().OnCancel();
  EXPECT_EQ(m.view.boxes, std::vector<std::string>{kFailedAllow});
}

TEST(Shutdown, WhenEveryoneLogsOffWaitsForTheLastMemberOrStopsAtOnce) {
  {
    Running m;
    m.monitors.state.connections = 0;
    m.Shutdown(kChoiceLogoff);
    EXPECT_TRUE(m.Stopped());
    EXPECT_EQ(m.monitors.state.allows, std::vector<bool>{false});
    EXPECT_TRUE(m.monitors.state.broadcasts.empty());
    EXPECT_FALSE(m.waitView.visible);
  }
  Running m;
  m.monitors.state.connections = 2;
  m.Shutdown(kChoiceLogoff);
  EXPECT_EQ(m.monitors.state.broadcasts, std::vector<std::string>{kMessageLogoff});
  EXPECT_EQ(m.waitView.text, "2 users still connected.");
  EXPECT_TRUE(m.waitView.visible);
  m.monitors.state.connections = 1;
  m.clock.Advance(kWaitMs);
  EXPECT_EQ(m.waitView.text, "1 user still connected.");
  // A count that cannot be read: the last one stays, told once per run of
  // failures; nothing stops.
  m.monitors.state.connections.reset();
  m.clock.Advance(3 * kWaitMs);
  EXPECT_EQ(m.waitView.text, "1 user still connected.");
  EXPECT_EQ(m.view.boxes, std::vector<std::string>{kFailedCount});
  m.monitors.state.creatable = false;  // no object: the tick passes quietly
  m.clock.Advance(kWaitMs);
  m.monitors.state.creatable = true;
  m.monitors.state.connections = 1;
  m.clock.Advance(kWaitMs);
  m.monitors.state.connections.reset();
  m.clock.Advance(kWaitMs);
  EXPECT_EQ(m.view.boxes.size(), 2u);
  EXPECT_FALSE(m.Stopped());
  m.monitors.state.connections = 0;
  m.clock.Advance(kWaitMs);
  EXPECT_TRUE(m.Stopped());
  EXPECT_FALSE(m.waitView.visible);
  EXPECT_EQ(m.view.restored, 1);
  EXPECT_FALSE(m.waitTimers.IsActive(kWaitTimer));
}

TEST(Shutdown, AnUnreadableCountAtOkStartsNothing) {
  Running m;
  m.monitors.state.connections.reset();
  m.Shutdown(kChoiceLogoff);
  EXPECT_EQ(m.view.boxes, std::vector<std::string>{kFailedCount});
  EXPECT_TRUE(m.monitors.state.allows.empty());
  EXPECT_TRUE(m.monitors.state.broadcasts.empty());
  EXPECT_FALSE(m.waitView.visible);
  EXPECT_FALSE(m.Stopped());
}

// Without access to the Monitor object: told once, remembered for the
// program's life; "Now" and "In" go on without warnings, the logoff wait is
// refused, and the Server Monitor button stays disabled.
TEST(Shutdown, WithoutTheMonitorObjectTheShutdownGoesOnSilently) {
  Running m;
  m.monitors.state.creatable = false;
  m.Shutdown(kChoiceLogoff);
  EXPECT_EQ(m.view.boxes, (std::vector<std::string>{kNoMonitorAccess, kLogoffNeedsAccess}));
  EXPECT_TRUE(m.frame->NoMonitorAccess());
  EXPECT_FALSE(m.frame->ShutdownDlg().MonitorChoicesEnabled());
  EXPECT_FALSE(m.Stopped());

  m.monitors.state.creatable = true;  // the flag stays: no second try
  m.view.boxes.clear();
  m.Shutdown(kChoiceIn, 1);
  EXPECT_TRUE(m.view.boxes.empty());
  EXPECT_TRUE(m.monitors.state.allows.empty());
  EXPECT_EQ(m.monitors.state.created, 0);
  m.clock.Advance(60000);
  EXPECT_TRUE(m.Stopped());
  // The countdown's own creation still tries at zero.
  EXPECT_EQ(m.monitors.state.broadcasts, std::vector<std::string>{kShuttingDown});

  m.frame->ShowRunning();
  EXPECT_FALSE(m.view.Enabled(kCmdMonitor));

  Running now;
  now.monitors.state.creatable = false;
  now.Shutdown(kChoiceNow);
  EXPECT_TRUE(now.Stopped());
}

TEST(Shutdown, AFailedRefusalIsToldAndTheShutdownGoesOn) {
  Running m;
  m.monitors.state.allowFails = true;
  m.monitors.state.connections = 0;
  m.Shutdown(kChoiceLogoff);
  EXPECT_EQ(m.view.boxes, std::vector<std::string>{kFailedAllow});
  EXPECT_TRUE(m.Stopped());
}

TEST(Shutdown, CommandStartStopOnAServerNeitherStoppedNorRunningDoesNothing) {
  Running m;
  m.services.states[kServerService] = 7;  // paused
  bool asked = false;
  m.view.shutdownDialog = [&asked](CShutdownDlg&) { return asked = true; };
  m.frame->OnCommand(kCmdStartStop);
  EXPECT_FALSE(asked);
  EXPECT_TRUE(m.log.empty());
}

}  // namespace
}  // namespace qn::manager::test
