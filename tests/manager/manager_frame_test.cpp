// The main window's logic on fakes and virtual time: the state display and
// which buttons can be used in each state, the server's start through the
// guardian and the start check, the stop order, the state poll, the
// remembered place and the launchers.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_host.h"
#include "tools/manager/core/manager_texts.h"

namespace qn::manager::test {
namespace {

using namespace texts;

std::string Title(const char* suffix) { return std::string(kBaseTitle) + suffix; }

bool Has(const Log& log, const std::string& line) { return std::find(log.begin(), log.end(), line) != log.end(); }

// Position of a line in the log; the end when missing.
size_t At(const Log& log, const std::string& line) {
  return static_cast<size_t>(std::find(log.begin(), log.end(), line) - log.begin());
}

TEST(ManagerFrame, EachStateShowsItsTitleLookAndButtons) {
  struct Case {
    uint32_t serverState;
    bool msSql;
    const char* title;
    bool running;
    bool compact;
  };
  // A paused server (7) and one that cannot be queried (123) look stopped.
  for (const Case& c : {Case{kStateStopped, false, kStoppedSuffix, false, true},
                        Case{kStateRunning, false, kRunningSuffix, true, false},
                        Case{7, false, kStoppedSuffix, false, true},
                        Case{kStateUnknown, false, kStoppedSuffix, false, true},
                        Case{kStateStopped, true, kStoppedSuffix, false, false}}) {
    FakeManager m;
    m.services.states[kServerService] = c.serverState;
    m.settings.msSql = c.msSql;
    CManagerFrame& frame = m.Create();
    SCOPED_TRACE(c.serverState);
    EXPECT_EQ(m.view.title, Title(c.title));
    EXPECT_EQ(m.view.look, c.running ? StartStopLook::Running : StartStopLook::Stopped);
    EXPECT_EQ(m.view.animating, c.running);
    EXPECT_EQ(m.view.Enabled(kCmdMonitor), c.running);
    EXPECT_EQ(m.view.Enabled(kCmdPerfMon), c.running);
    EXPECT_EQ(m.view.Enabled(kCmdCompact), c.compact);
    EXPECT_EQ(frame.CompactAllowed(), !c.msSql);
    for (int always : {kCmdStartStop, kCmdEvents, kCmdAdmin, kCmdConnector, kCmdExit, kCmdHelp})
      EXPECT_TRUE(m.view.Enabled(always)) << always;
    // The other makers' tools have no program until one is configured.
    for (int other : {kCmdWebManager, kCmdWebConfig, kCmdWipMenus, kCmdWipVector})
      EXPECT_FALSE(m.view.Enabled(other)) << other;
    EXPECT_EQ(m.timers.Period(kPollTimer), kPollMs);
  }
}

// A missing program's button stays disabled whichever state enables it;
// a configured command is tested instead of the default.
TEST(ManagerFrame, AMissingProgramKeepsItsButtonDisabledInEveryState) {
  FakeManager m;
  m.files.programs.erase(std::string(kExeDir) + "/qnsvrmon");
  m.files.programs.erase(std::string(kExeDir) + "/qnoptimz");
  m.files.files.erase(std::string(kProgramDir) + "/qnsdk.hlp");
  m.settings.strings["Manager\\Commands\\2080"] = "/opt/wip/menus --edit";
  m.files.programs.insert("/opt/wip/menus");
  m.settings.strings["Manager\\Commands\\2130"] = "\"/opt/help viewer\" manual";
  m.Create();
  EXPECT_FALSE(m.view.Enabled(kCmdCompact));
  EXPECT_FALSE(m.view.Enabled(kCmdSdkHelp));
  EXPECT_TRUE(m.view.Enabled(kCmdWipMenus));
  EXPECT_FALSE(m.view.Enabled(kCmdHelp));  // the configured viewer is missing
  m.frame->ShowRunning();
  EXPECT_FALSE(m.view.Enabled(kCmdMonitor));
  EXPECT_TRUE(m.view.Enabled(kCmdPerfMon));
  m.frame->ShowStopped();
  EXPECT_FALSE(m.view.Enabled(kCmdCompact));
  m.frame->OnCommand(kCmdMonitor);
  m.frame->OnCommand(kCmdCompact);
  EXPECT_TRUE(m.spawner.started.empty());
}

TEST(ManagerFrame, StartGoesThroughTheGuardianAndShowsRunningAtTheCheck) {
  FakeManager m;
  m.Create();
  m.clock.Advance(30000);  // a poll on the way
  m.frame->OnCommand(kCmdStartStop);
  // The transitional look is painted before the start blocks the window.
  EXPECT_LT(At(m.log, "title " + Title(kInitializingSuffix)), At(m.log, "start QuillnetGuardian"));
  EXPECT_LT(At(m.log, "redraw"), At(m.log, "start QuillnetGuardian"));
  EXPECT_FALSE(Has(m.log, "start QuillnetServer"));
  EXPECT_EQ(m.view.look, StartStopLook::Transitional);
  EXPECT_FALSE(m.view.Enabled(kCmdCompact));
  EXPECT_FALSE(m.timers.IsActive(kPollTimer));
  EXPECT_EQ(m.view.cursorDepth, 0);
  // "Initializing" lasts until the check, even with the server up at once.
  m.clock.Advance(kStartCheckMs - 1);
  EXPECT_EQ(m.view.title, Title(kInitializingSuffix));
  m.clock.Advance(1);
  EXPECT_EQ(m.view.title, Title(kRunningSuffix));
  EXPECT_TRUE(m.view.animating);
  EXPECT_EQ(m.timers.Period(kPollTimer), kPollMs);
  EXPECT_FALSE(m.timers.IsActive(kStartCheckTimer));
}

TEST(ManagerFrame, AGuardianAlreadyRunningGetsTheServerStartedToo) {
  FakeManager m;
  m.services.states[kGuardianService] = kStateRunning;
  m.Create();
  m.frame->OnCommand(kCmdStartStop);
  EXPECT_LT(At(m.log, "start QuillnetGuardian"), At(m.log, "start QuillnetServer"));
  EXPECT_TRUE(Has(m.log, "start QuillnetServer"));
  m.clock.Advance(kStartCheckMs);
  EXPECT_EQ(m.view.title, Title(kRunningSuffix));
}

// The check looks again each second while the server or the guardian is
// still starting, for at most two minutes; a server that never came up is
// reported at once.
TEST(ManagerFrame, TheStartCheckWaitsForAStartInProgressThenGivesUp) {
  struct Case {
    const char* name;
    uint32_t server, guardian;
    int64_t upAfter;  // ms after the click; -1 never
    int64_t reportedAfter;
    bool running;
  };
  for (const Case& c : {Case{"server pending", kStateStartPending, kStateRunning, 39500, 40000, true},
                        Case{"guardian pending", kStateStopped, kStateStartPending, 30500, 31000, true},
                        Case{"pending for good", kStateStartPending, kStateRunning, -1, 25000 + 120000, false},
                        Case{"not started", kStateStopped, kStateRunning, -1, 25000, false}}) {
    SCOPED_TRACE(c.name);
    FakeManager m;
    m.Create();
    m.services.onStart = [&m, c](const std::string&) {
      m.services.states[kServerService] = c.server;
      m.services.states[kGuardianService] = c.guardian;
    };
    const int64_t clicked = m.clock.Now();
    m.frame->OnCommand(kCmdStartStop);
    m.services.onStart = nullptr;
    int64_t shownAt = -1;
    if (c.upAfter >= 0) {
      m.clock.Advance(c.upAfter);
      m.services.states[kServerService] = kStateRunning;
    }
    m.clock.AdvanceUntil([&] { return !m.timers.IsActive(kStartCheckTimer) && m.clock.Now() > clicked; }, 200000);
    shownAt = m.clock.Now() - clicked;
    EXPECT_EQ(shownAt, c.reportedAfter);
    EXPECT_EQ(m.view.title, Title(c.running ? kRunningSuffix : kStoppedSuffix));
    EXPECT_EQ(m.view.boxes.size(), c.running ? 0u : 1u);
    if (!c.running) {
      EXPECT_EQ(m.view.boxes.front(), kUnableToStart);
    }
    EXPECT_EQ(m.timers.Period(kPollTimer), kPollMs);
  }
}

TEST(ManagerFrame, ThePollFollowsTheServerAndStopsGuardianBeforeServer) {
  FakeManager m;
  m.Create();
  m.services.states[kServerService] = kStateRunning;  // started from outside
  m.clock.Advance(kPollMs - 1);
  EXPECT_EQ(m.view.title, Title(kStoppedSuffix));
  m.clock.Advance(1);
  EXPECT_EQ(m.view.title, Title(kRunningSuffix));
  EXPECT_EQ(m.view.cursorDepth, 0);
  m.services.states[kServerService] = kStateStopped;
  m.clock.Advance(kPollMs);
  EXPECT_EQ(m.view.title, Title(kStoppedSuffix));
  EXPECT_FALSE(m.view.animating);

  m.services.states[kServerService] = kStateRunning;
  m.services.states[kGuardianService] = kStateRunning;
  m.log.clear();
  m.frame->StopServer();
  const Log expected{"look transitional", "title " + Title(kStoppingSuffix), "redraw", "stop QuillnetGuardian",
                     "stop QuillnetServer", "look stopped", "redraw", "title " + Title(kStoppedSuffix)};
  EXPECT_EQ(m.log, expected);
}

TEST(ManagerFrame, TheWindowsPlaceIsReadPulledOnScreenAndWrittenOncePerBurst) {
  FakeManager m;
  m.settings.dwords["Manager\\Left"] = static_cast<uint32_t>(-200);
  m.settings.dwords["Manager\\Top"] = 5000;
  m.Create();
  const Point stored = m.frame->StoredPosition();
  EXPECT_EQ(stored, (Point{-200, 5000}));
  const ScreenArea screen{0, 0, 1024, 768};
  const Margins frame{4, 24, 4, 4};
  EXPECT_EQ(PlaceClientArea(stored.x, stored.y, frame, screen), (Point{4, 24}));
  EXPECT_EQ(PlaceClientArea(10, 5000, frame, screen), (Point{10, 24}));
  EXPECT_EQ(PlaceClientArea(900, 100, frame, screen), (Point{4, 100}));  // the right edge sticks out
  EXPECT_EQ(PlaceClientArea(660, 698, frame, screen), (Point{660, 698}));
  EXPECT_EQ(PlaceClientArea(INT32_MAX, INT32_MIN, {}, screen), (Point{0, 0}));
  EXPECT_EQ(PlaceClientArea(-700, 10, {}, ScreenArea{-1280, 0, 1280, 1024}), (Point{-700, 10}));

  for (int x = 0; x < 20; ++x) {
    m.frame->OnMove(100 + x, -50);
    m.clock.Advance(20);
  }
  EXPECT_EQ(m.settings.writes, 0);
  m.clock.Advance(kPositionMs);
  EXPECT_EQ(m.settings.writes, 2);
  EXPECT_EQ(m.settings.dwords["Manager\\Left"], 119u);
  EXPECT_EQ(static_cast<int32_t>(m.settings.dwords["Manager\\Top"]), -50);
  m.frame->OnDestroy(Point{119, -50});  // unchanged: nothing to write
  EXPECT_EQ(m.settings.writes, 2);
  m.frame->OnDestroy(Point{7, 8});
  EXPECT_EQ(m.settings.dwords["Manager\\Left"], 7u);
}

TEST(ManagerFrame, LaunchersStartTheirCommandsAndReportFailures) {
  FakeManager m;
  m.settings.strings["Manager\\Commands\\2017"] = "\"/opt/log viewer/logs\" --since \"a b\" ;$(x)";
  m.files.programs.insert("/opt/log viewer/logs");
  m.Create();
  m.frame->OnCommand(kCmdAdmin);
  m.frame->OnCommand(kCmdEvents);
  m.frame->OnCommand(kCmdHelp);
  ASSERT_EQ(m.spawner.started.size(), 3u);
  EXPECT_EQ(m.spawner.started[0], (std::vector<std::string>{std::string(kExeDir) + "/qnadmin", "qnadmin"}));
  EXPECT_EQ(m.spawner.started[1], (std::vector<std::string>{"/opt/log viewer/logs", "/opt/log viewer/logs",
                                                            "--since", "a b", ";$(x)"}));
  EXPECT_EQ(m.spawner.started[2], (std::vector<std::string>{std::string(kExeDir) + "/xdg-open", "xdg-open",
                                                            std::string(kProgramDir) + "/qnsvrhlp.hlp"}));
  EXPECT_TRUE(m.view.boxes.empty());
  EXPECT_EQ(m.view.cursorDepth, 0);

  struct Case {
    int error;
    const char* suffix;  // null: nothing shown
  };
  for (const Case& c : {Case{ENOENT, kFileNotFound}, Case{ENOTDIR, kPathNotFound}, Case{ENOEXEC, kBadFormat},
                        Case{ENOMEM, kOutOfResources}, Case{EAGAIN, kOutOfResources}, Case{EACCES, kAccessDenied}}) {
    m.view.boxes.clear();
    m.spawner.error = c.error;
    m.frame->OnCommand(kCmdCam);
    ASSERT_EQ(m.view.boxes.size(), 1u) << c.error;
    EXPECT_EQ(m.view.boxes[0], std::string(kFailCam) + c.suffix);
    // The help buttons do not look at the result.
    m.frame->OnCommand(kCmdSdkHelp);
    EXPECT_EQ(m.view.boxes.size(), 1u);
  }
  m.frame->OnCommand(kCmdExit);
  EXPECT_TRUE(m.view.closed);
}

TEST(ManagerFrame, TheClientIsFoundInAnyCaseOrChosenAndRemembered) {
  FakeManager m;
  m.files.programs.insert(std::string(kProgramDir) + "/QuillNet.EXE");
  m.Create();
  m.frame->OnCommand(kCmdConnector);
  ASSERT_EQ(m.spawner.started.size(), 1u);
  EXPECT_EQ(m.spawner.started[0][0], std::string(kProgramDir) + "/QuillNet.EXE");
  EXPECT_EQ(m.view.clientAsked, 0);

  m.files.programs.clear();
  m.view.clientChoice.reset();
  m.frame->OnCommand(kCmdConnector);  // nothing there: asked, cancelled
  EXPECT_EQ(m.view.clientAsked, 1);
  EXPECT_EQ(m.spawner.started.size(), 1u);

  const std::string odd = "/tmp/a \"b\";$(touch x)\xE9.exe";
  m.view.clientChoice = odd;
  m.spawner.error = ENOEXEC;
  m.frame->OnCommand(kCmdConnector);
  EXPECT_EQ(m.settings.strings["Manager\\ConnectorPath"], odd);
  ASSERT_EQ(m.spawner.started.size(), 2u);
  EXPECT_EQ(m.spawner.started[1], (std::vector<std::string>{odd, odd}));
  EXPECT_EQ(m.view.boxes, (std::vector<std::string>{std::string(kFailConnector) + kBadFormat}));
}

}  // namespace
}  // namespace qn::manager::test
