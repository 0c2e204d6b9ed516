#include "platform/service_control.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/paths.h"
#include "platform/registry_store.h"
#include "support/scoped_root.h"
#include "support/service_helpers.h"

extern char** environ;

using namespace qn::svc;
using namespace std::chrono_literals;
using qn::test::ScopedRoot;

namespace {

// ---- Helper services: this program, started by the stand-in ----------------

void WriteText(const std::string& file, const std::string& text) {
  std::ofstream(qn::paths::RunDir() / file, std::ios::app) << text << '\n';
}

// A plain service: runs until stopped, accepts every control, notes its start
// arguments and user controls in files under the run directory.
int PlainService() {
  std::mutex m;
  std::condition_variable cv;
  bool stop = false;
  StatusHandle handle = nullptr;
  ServiceStatus st;
  st.controlsAccepted = kAcceptStop | kAcceptPauseContinue;
  auto report = [&](uint32_t state) {
    st.currentState = state;
    SetServiceStatus(handle, st);
  };
  Error e = StartServiceCtrlDispatcher("HelperDispatchName", [&](const std::vector<std::string>& args) {
    std::string joined;
    for (const auto& a : args) joined += a + "|";
    WriteText("args.txt", joined);
    handle = RegisterServiceCtrlHandler("HelperDispatchName", [&](uint32_t control) {
      switch (control) {
        case kControlStop: {
          report(kStopPending);
          std::lock_guard lock(m);
          stop = true;
          cv.notify_all();
          break;
        }
        case kControlPause: report(kPaused); break;
        case kControlContinue: report(kRunning); break;
        case kControlInterrogate: break;
        default: WriteText("user.txt", std::to_string(control)); break;
      }
    });
    report(kRunning);
    // The service's own thread stays busy; controls still arrive.
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return stop; });
    lock.unlock();
    report(kStopped);
    // "lingering": the program outlives its stopped report.
    if (std::string(std::getenv("QN_TEST_SERVICE_HELPER")) == "lingering") std::this_thread::sleep_for(60s);
  });
  return e == kOk ? 0 : 3;
}

int NeverConnects() {
  std::this_thread::sleep_for(60s);
  return 0;
}

int EndsAtOnce() { return 0; }

const bool g_plain = qn::svctest::RegisterHelperMode("plain", PlainService);
const bool g_lingering = qn::svctest::RegisterHelperMode("lingering", PlainService);
const bool g_never = qn::svctest::RegisterHelperMode("never", NeverConnects);
const bool g_ends = qn::svctest::RegisterHelperMode("ends", EndsAtOnce);

// ---- The fixture ------------------------------------------------------------

class ServiceControlTest : public ::testing::Test {
 protected:
  void SetUp() override { SetTimeouts(5000ms, 5000ms); }
  void TearDown() override {
    for (const auto& name : installed_) qn::svctest::KillServiceProcess(name);
    ::unsetenv("QN_TEST_SERVICE_HELPER");
    SetTimeouts(30000ms, 30000ms);
  }

  void Install(const std::string& name, const std::string& mode,
               std::vector<std::string> deps = {}, uint32_t startType = kDemandStart) {
    ServiceConfig c;
    c.name = name;
    c.displayName = name + " display";
    c.imagePath = qn::svctest::SelfImagePath();
    c.startType = startType;
    c.dependencies = std::move(deps);
    ASSERT_EQ(CreateService(c), kOk);
    installed_.push_back(name);
    ::setenv("QN_TEST_SERVICE_HELPER", mode.c_str(), 1);
  }

  ServiceStatus Status(const std::string& name) {
    ServiceStatus st;
    EXPECT_EQ(QueryServiceStatus(name, st), kOk);
    return st;
  }

  bool WaitForState(const std::string& name, uint32_t state) {
    return qn::svctest::WaitUntil([&] { return Status(name).currentState == state; }, 5s);
  }

  std::string ReadRunFile(const std::string& file) {
    std::ifstream in(qn::paths::RunDir() / file);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    return text;
  }

  ScopedRoot root_;
  std::vector<std::string> installed_;
};

TEST_F(ServiceControlTest, DatabaseKeepsTheEntryInTheRegistryStore) {
  ServiceConfig c;
  c.name = "Alpha";
  c.displayName = "Alpha Service";
  c.imagePath = "\"/opt/x y/alpha\" -run";
  c.dependencies = {"EventLog", "Beta"};
  ASSERT_EQ(CreateService(c), kOk);
  EXPECT_EQ(CreateService(c), kServiceExists);
  EXPECT_EQ(OpenService("ALPHA"), kOk);  // names ignore case

  auto& store = qn::reg::Store::Default();
  qn::reg::KeyHandle key;
  ASSERT_EQ(store.OpenKey(qn::reg::KeyHandle::Root(qn::reg::Hive::LocalMachine),
                          "SYSTEM\\CurrentControlSet\\Services\\Alpha", key),
            qn::reg::kOk);
  qn::reg::Value v;
  ASSERT_EQ(store.QueryValue(key, "ImagePath", v), qn::reg::kOk);
  EXPECT_EQ(qn::reg::AsString(v), c.imagePath);
  ASSERT_EQ(store.QueryValue(key, "DependOnService", v), qn::reg::kOk);
  EXPECT_EQ(qn::reg::AsMultiString(v), c.dependencies);
  ASSERT_EQ(store.QueryValue(key, "Start", v), qn::reg::kOk);
  EXPECT_EQ(v.type, uint32_t(qn::reg::kDword));

  ServiceConfig back;
  ASSERT_EQ(QueryServiceConfig("alpha", back), kOk);
  EXPECT_EQ(back.displayName, "Alpha Service");
  EXPECT_EQ(back.startType, kDemandStart);
  EXPECT_EQ(back.dependencies, c.dependencies);

  ServiceStatus st;
  ASSERT_EQ(QueryServiceStatus("Alpha", st), kOk);
  EXPECT_EQ(st.currentState, kStopped);

  EXPECT_EQ(DeleteService("Alpha"), kOk);
  EXPECT_EQ(OpenService("Alpha"), kServiceDoesNotExist);
  EXPECT_EQ(DeleteService("Alpha"), kServiceDoesNotExist);
  EXPECT_EQ(StartService("Alpha"), kServiceDoesNotExist);
  EXPECT_EQ(ControlService("Alpha", kControlStop, st), kServiceDoesNotExist);
}

TEST_F(ServiceControlTest, NamesThatWouldLeaveTheRunDirectoryAreRefused) {
  ServiceConfig c;
  c.imagePath = "/bin/true";
  for (const char* bad : {"", "a/b", "..\\x", ".."}) {
    c.name = bad;
    EXPECT_EQ(CreateService(c), kInvalidName) << bad;
  }
}

TEST_F(ServiceControlTest, EventLogRegistrationsAreNoService) {
  auto& store = qn::reg::Store::Default();
  qn::reg::KeyHandle key;
  ASSERT_EQ(store.CreateKey(qn::reg::KeyHandle::Root(qn::reg::Hive::LocalMachine),
                            "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\X",
                            key),
            qn::reg::kOk);
  EXPECT_EQ(OpenService("EventLog"), kServiceDoesNotExist);
  EXPECT_EQ(DeleteService("EventLog"), kServiceDoesNotExist);
  EXPECT_EQ(store.OpenKey(qn::reg::KeyHandle::Root(qn::reg::Hive::LocalMachine),
                          "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\X", key),
            qn::reg::kOk);
}

TEST_F(ServiceControlTest, StartedServiceTakesControlsWhileItsOwnThreadIsBusy) {
  Install("Plain", "plain");
  ASSERT_EQ(StartService("Plain", {"-x", "two words"}), kOk);
  ASSERT_TRUE(WaitForState("Plain", kRunning));
  ServiceStatus st = Status("Plain");
  EXPECT_GT(st.processId, 0);
  EXPECT_NE(st.processId, ::getpid());
  EXPECT_EQ(StartService("Plain"), kServiceAlreadyRunning);
  // The service name comes first, whatever name the dispatcher used.
  EXPECT_EQ(ReadRunFile("args.txt"), "Plain|-x|two words|\n");

  ASSERT_EQ(ControlService("Plain", kControlPause, st), kOk);
  EXPECT_EQ(st.currentState, kPaused);
  ASSERT_EQ(ControlService("Plain", kControlInterrogate, st), kOk);
  EXPECT_EQ(st.currentState, kPaused);
  ASSERT_EQ(ControlService("Plain", kControlContinue, st), kOk);
  EXPECT_EQ(st.currentState, kRunning);
  ASSERT_EQ(ControlService("Plain", 200, st), kOk);
  EXPECT_EQ(ReadRunFile("user.txt"), "200\n");
  EXPECT_EQ(ControlService("Plain", 77, st), kInvalidServiceControl);
  EXPECT_EQ(ControlService("Plain", 256, st), kInvalidParameter);
  // Shutdown was not among the accepted controls.
  EXPECT_EQ(ControlService("Plain", kControlShutdown, st), kInvalidServiceControl);

  pid_t pid = Status("Plain").processId;
  ASSERT_EQ(ControlService("Plain", kControlStop, st), kOk);
  ASSERT_TRUE(WaitForState("Plain", kStopped));
  EXPECT_TRUE(qn::svctest::WaitUntil([&] { return !qn::svctest::ProcessAlive(pid); }, 5s));
  EXPECT_EQ(ControlService("Plain", kControlStop, st), kServiceNotActive);
  EXPECT_EQ(Status("Plain").processId, 0);
}

TEST_F(ServiceControlTest, KilledServiceReadsStoppedAndStartsAgain) {
  Install("Plain", "plain");
  ASSERT_EQ(StartService("Plain"), kOk);
  ASSERT_TRUE(WaitForState("Plain", kRunning));
  pid_t pid = Status("Plain").processId;
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  ASSERT_TRUE(WaitForState("Plain", kStopped));
  ServiceStatus st;
  EXPECT_EQ(ControlService("Plain", kControlStop, st), kServiceNotActive);

  ASSERT_EQ(StartService("Plain"), kOk);
  ASSERT_TRUE(WaitForState("Plain", kRunning));
  EXPECT_NE(Status("Plain").processId, pid);
  ASSERT_EQ(ControlService("Plain", kControlStop, st), kOk);
}

TEST_F(ServiceControlTest, ProgramThatNeverConnectsTimesOutAndIsEnded) {
  Install("Never", "never");
  SetTimeouts(700ms, 700ms);
  EXPECT_EQ(StartService("Never"), kRequestTimeout);
  ServiceStatus st = Status("Never");
  EXPECT_EQ(st.currentState, kStopped);
  EXPECT_EQ(st.win32ExitCode, uint32_t(kRequestTimeout));
}

TEST_F(ServiceControlTest, ProgramThatEndsBeforeConnectingIsReported) {
  Install("Ends", "ends");
  EXPECT_EQ(StartService("Ends"), kProcessAborted);
  EXPECT_EQ(Status("Ends").currentState, kStopped);
}

TEST_F(ServiceControlTest, MissingImageIsReported) {
  ServiceConfig c;
  c.name = "Ghost";
  c.imagePath = (root_.path() / "no-such-program").string();
  ASSERT_EQ(CreateService(c), kOk);
  EXPECT_EQ(StartService("Ghost"), 2);
  EXPECT_EQ(Status("Ghost").currentState, kStopped);
}

TEST_F(ServiceControlTest, DisabledServiceDoesNotStart) {
  Install("Off", "plain", {}, kDisabled);
  EXPECT_EQ(StartService("Off"), kServiceDisabled);
}

TEST_F(ServiceControlTest, DependenciesStartFirst) {
  Install("Base", "plain");
  Install("Top", "plain", {"EventLog", "MSSQLServer", "Base"});
  ASSERT_EQ(StartService("Top"), kOk);
  EXPECT_EQ(Status("Base").currentState, kRunning);
  ASSERT_TRUE(WaitForState("Top", kRunning));
}

TEST_F(ServiceControlTest, BrokenDependenciesAreRefused) {
  Install("Orphan", "plain", {"NoSuchService"});
  EXPECT_EQ(StartService("Orphan"), kServiceDependencyDeleted);
  Install("Left", "plain", {"Right"});
  Install("Right", "plain", {"Left"});
  EXPECT_EQ(StartService("Left"), kCircularDependency);
  EXPECT_EQ(Status("Left").currentState, kStopped);
  EXPECT_EQ(Status("Right").currentState, kStopped);
}

// A process with the service's lock file open that holds no lock on it (a
// program asking for the status), for as long as the test needs it.
pid_t HoldLockFileOpen(const std::string& service) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 5, ServiceStateFile(service, ".lock").c_str(),
                                   O_RDONLY, 0);
  char sleepPath[] = "/bin/sleep", seconds[] = "60";
  char* argv[] = {sleepPath, seconds, nullptr};
  pid_t pid = -1;
  ::posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

TEST_F(ServiceControlTest, AProgramThatIgnoresItsStopIsEndedByItsLock) {
  Install("Plain", "plain");
  ASSERT_EQ(StartService("Plain"), kOk);
  ASSERT_TRUE(WaitForState("Plain", kRunning));
  const pid_t pid = Status("Plain").processId;
  const pid_t bystander = HoldLockFileOpen("Plain");
  ASSERT_GT(bystander, 0);

  // Frozen: no control is answered.
  ASSERT_TRUE(qn::svctest::FreezeProcess(pid));
  SetTimeouts(5000ms, 500ms);
  ServiceStatus st;
  EXPECT_EQ(ControlService("Plain", kControlStop, st), kRequestTimeout);
  EXPECT_EQ(EndServiceProcess("Plain", 5s), kOk);
  EXPECT_TRUE(qn::svctest::WaitUntil([&] { return !qn::svctest::ProcessAlive(pid); }, 5s));
  EXPECT_EQ(Status("Plain").currentState, kStopped);
  EXPECT_TRUE(qn::svctest::ProcessAlive(bystander));
  EXPECT_EQ(EndServiceProcess("Plain", 5s), kOk);

  // Reported stopped and still there: given its grace, then ended.
  ::setenv("QN_TEST_SERVICE_HELPER", "lingering", 1);
  ASSERT_EQ(StartService("Plain"), kOk);
  ASSERT_TRUE(WaitForState("Plain", kRunning));
  const pid_t lingering = Status("Plain").processId;
  ASSERT_EQ(ControlService("Plain", kControlStop, st), kOk);
  ASSERT_TRUE(WaitForState("Plain", kStopped));
  EXPECT_TRUE(IsServiceLockHeld("Plain"));
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(EndServiceProcess("Plain", 300ms), kOk);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 300ms);
  EXPECT_TRUE(qn::svctest::WaitUntil([&] { return !qn::svctest::ProcessAlive(lingering); }, 5s));
  EXPECT_FALSE(IsServiceLockHeld("Plain"));
  EXPECT_TRUE(qn::svctest::ProcessAlive(bystander));
  ::kill(bystander, SIGKILL);
  ::waitpid(bystander, nullptr, 0);
}

TEST_F(ServiceControlTest, OnlyTheProcessHoldingTheLockIsTheService) {
  EXPECT_FALSE(StartedByServiceControl());
  ::setenv("QN_SCM_SERVICE", "Plain", 1);
  ::setenv("QN_SCM_LOCK_FD", "0", 1);
  EXPECT_FALSE(StartedByServiceControl());
  EXPECT_EQ(StartServiceCtrlDispatcher("Plain", [](const std::vector<std::string>&) {}),
            kFailedServiceControllerConnect);
  EXPECT_EQ(RegisterServiceCtrlHandler("Plain", [](uint32_t) {}), nullptr);
  ::unsetenv("QN_SCM_SERVICE");
  ::unsetenv("QN_SCM_LOCK_FD");
}

}  // namespace
