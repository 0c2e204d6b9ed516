#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "common/command_line.h"
#include "common/nt_service.h"
#include "common/service_verbs.h"
#include "platform/paths.h"
#include "platform/service_control.h"
#include "support/scoped_root.h"
#include "support/service_helpers.h"

using namespace std::chrono_literals;
namespace svc = qn::svc;
using qn::test::ScopedRoot;

namespace {

// ---- The command-line token reader -------------------------------------------

TEST(CommandLineToken, ReadsTokensAndSkipsBlanks) {
  const char* cursor = "one  \"two words\"\tthree";
  std::string token;
  EXPECT_EQ(GetCommandLineToken(cursor, 200, &token), 3);
  EXPECT_EQ(token, "one");
  EXPECT_EQ(GetCommandLineToken(cursor, 200, &token), 9);
  EXPECT_EQ(token, "two words");
  EXPECT_EQ(GetCommandLineToken(cursor, 200, nullptr), 5);
  EXPECT_EQ(*cursor, '\0');
  EXPECT_EQ(GetCommandLineToken(cursor, 200, &token), 0);
}

TEST(CommandLineToken, OpenQuoteAndLimit) {
  const char* cursor = "a\"bc";
  std::string token;
  EXPECT_EQ(GetCommandLineToken(cursor, 200, &token), -1);
  // The limit counts scanned characters, quotes included; the rest of the
  // token is read by the next call.
  cursor = "\"abcdef\" g";
  EXPECT_EQ(GetCommandLineToken(cursor, 4, &token), -1);
  EXPECT_EQ(token, "abc");
  cursor = "abcdef";
  EXPECT_EQ(GetCommandLineToken(cursor, 4, &token), 4);
  EXPECT_EQ(GetCommandLineToken(cursor, 4, &token), 2);
  EXPECT_EQ(token, "ef");
}

TEST(CommandLineToken, JoinQuotesArgumentsWithBlanks) {
  std::string line = JoinCommandLine({"-install", "a b", "c"});
  EXPECT_EQ(line, "-install \"a b\" c");
  const char* cursor = line.c_str();
  std::string token;
  GetCommandLineToken(cursor, 200, &token);
  EXPECT_EQ(GetCommandLineToken(cursor, 200, &token), 3);
  EXPECT_EQ(token, "a b");
}

// ---- A service built on the framework: this program, started as one ----------

void Note(const std::string& file, const std::string& text) {
  std::ofstream(qn::paths::RunDir() / file, std::ios::app) << text << '\n';
}

class CTestService : public CNTService {
 public:
  explicit CTestService(bool asService)
      : CNTService("TestDispatch", &Worker, asService, 7, 5000) {}
  void OnStop() override { Note("events.txt", "stop"); }
  void OnPause() override { Note("events.txt", "pause"); }
  void OnContinue() override { Note("events.txt", "continue"); }
  void OnUserControl(uint32_t control) override {
    Note("events.txt", "user " + std::to_string(control));
  }

  // Counts its rounds in a file; a paused service's worker does not count.
  static void Worker(CNTService* service) {
    int rounds = 0;
    while (!service->WaitForStop(20ms)) {
      std::ofstream(qn::paths::RunDir() / "rounds.txt", std::ios::trunc) << ++rounds;
    }
    Note("events.txt", "worker ends");
  }
};

int RunTestService() {
  CTestService service(true);
  return service.Run() ? 0 : 1;
}

const bool g_helper = qn::svctest::RegisterHelperMode("framework", RunTestService);

class ServiceFrameworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("QN_TEST_SERVICE_HELPER", "framework", 1);
    svc::SetTimeouts(5000ms, 5000ms);
    ASSERT_TRUE(InstallService("TestService", "Test Service", {"EventLog"}, svc::kDemandStart,
                               qn::svctest::SelfImagePath()));
  }
  void TearDown() override {
    qn::svctest::KillServiceProcess("TestService");
    ::unsetenv("QN_TEST_SERVICE_HELPER");
    svc::SetTimeouts(30000ms, 30000ms);
  }

  svc::ServiceStatus Status() {
    svc::ServiceStatus st;
    EXPECT_EQ(svc::QueryServiceStatus("TestService", st), svc::kOk);
    return st;
  }
  std::string RunFile(const std::string& name) {
    std::ifstream in(qn::paths::RunDir() / name);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }
  int Rounds() { return std::atoi(RunFile("rounds.txt").c_str()); }

  ScopedRoot root_;
};

TEST_F(ServiceFrameworkTest, VerbsDriveTheServiceThroughItsLife) {
  EXPECT_FALSE(InstallService("TestService", "again", {}, svc::kDemandStart, "/bin/true"));
  ASSERT_TRUE(ProcessServiceCommand("TestService", "-start"));
  svc::ServiceStatus st = Status();
  ASSERT_EQ(st.currentState, svc::kRunning);
  EXPECT_EQ(st.controlsAccepted, 7u);
  pid_t pid = st.processId;
  // startif leaves a running service alone and says so.
  EXPECT_FALSE(StartServiceIfNecessary("TestService"));
  EXPECT_TRUE(StartService("TestService"));
  EXPECT_EQ(Status().processId, pid);
  EXPECT_TRUE(StatusService("TestService"));

  ASSERT_TRUE(qn::svctest::WaitUntil([&] { return Rounds() > 0; }, 5s));
  ASSERT_TRUE(PauseService("TestService"));
  EXPECT_EQ(Status().currentState, svc::kPaused);
  EXPECT_TRUE(PauseService("TestService"));  // already paused: no change
  std::this_thread::sleep_for(50ms);  // a round under way may still finish
  int paused = Rounds();
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(Rounds(), paused);
  ASSERT_TRUE(ContinueService("TestService"));
  EXPECT_EQ(Status().currentState, svc::kRunning);
  EXPECT_TRUE(qn::svctest::WaitUntil([&] { return Rounds() > paused; }, 5s));
  EXPECT_TRUE(ContinueService("TestService"));  // running: no change

  ASSERT_EQ(svc::ControlService("TestService", 130, st), svc::kOk);
  EXPECT_EQ(st.currentState, svc::kRunning);
  // Interrogate and shutdown only report: no operation runs, nothing stops.
  for (uint32_t control : {svc::kControlInterrogate, svc::kControlShutdown}) {
    ASSERT_EQ(svc::ControlService("TestService", control, st), svc::kOk);
    EXPECT_EQ(st.currentState, svc::kRunning);
  }

  ASSERT_TRUE(StopService("TestService"));
  EXPECT_EQ(Status().currentState, svc::kStopped);
  EXPECT_TRUE(qn::svctest::WaitUntil([&] { return !qn::svctest::ProcessAlive(pid); }, 5s));
  EXPECT_EQ(RunFile("events.txt"), "pause\ncontinue\nuser 130\nstop\nworker ends\n");
  // Stopping a stopped service counts as done.
  EXPECT_TRUE(StopService("TestService"));

  EXPECT_TRUE(StartServiceIfNecessary("TestService"));
  EXPECT_EQ(Status().currentState, svc::kRunning);
  EXPECT_TRUE(StopService("TestService"));

  EXPECT_FALSE(UninstallService("TestService"));
  EXPECT_EQ(svc::OpenService("TestService"), svc::kServiceDoesNotExist);
  EXPECT_FALSE(StatusService("TestService"));
}

TEST_F(ServiceFrameworkTest, ProcessIdArgumentWritesALine) {
  ASSERT_EQ(svc::StartService("TestService", {"-I", "-x"}), svc::kOk);
  ASSERT_TRUE(qn::svctest::WaitUntil(
      [&] { return Status().currentState == svc::kRunning; }, 5s));
  pid_t pid = Status().processId;
  char expected[64];
  std::snprintf(expected, sizeof expected, "TestDispatch: pid %#lx %ld\n", long(pid), long(pid));
  EXPECT_EQ(RunFile("testservice.log"), expected);
  EXPECT_TRUE(StopService("TestService"));
}

TEST_F(ServiceFrameworkTest, VerbsAreExactAndNeedTheSwitch) {
  EXPECT_TRUE(ProcessServiceCommand("TestService", "-help"));
  EXPECT_TRUE(ProcessServiceCommand("TestService", "/status"));
  EXPECT_FALSE(ProcessServiceCommand("TestService", "-STOP"));
  EXPECT_FALSE(ProcessServiceCommand("TestService", "stop"));
  EXPECT_FALSE(ProcessServiceCommand("TestService", "-stopx"));
  EXPECT_FALSE(ProcessServiceCommand("TestService", "-install"));
  EXPECT_FALSE(ProcessServiceCommand("TestService", ""));
  EXPECT_EQ(Status().currentState, svc::kStopped);
  // A verb on a service that is not installed is still a verb, and fails.
  int exitCode = -1;
  EXPECT_TRUE(ProcessServiceCommand("TestService", "-help", &exitCode));
  EXPECT_EQ(exitCode, 0);
  testing::internal::CaptureStderr();
  EXPECT_TRUE(ProcessServiceCommand("NoSuchService", "-stop", &exitCode));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "NoSuchService: -stop failed: The specified service does not exist as an installed "
            "service. (error 1060)\n");
  EXPECT_EQ(exitCode, 1);
  EXPECT_EQ(LastServiceVerbFailure().error, 1060u);
}

TEST(ServiceFrameworkStandAlone, RunCallsTheWorkerUntilStopped) {
  ScopedRoot root;
  CTestService service(false);
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    service.SetStopped();
  });
  EXPECT_TRUE(service.Run());
  stopper.join();
  EXPECT_EQ(service.CurrentState(), svc::kStopped);
}

TEST(ServiceFrameworkStandAlone, RunAsServiceFailsOutsideTheStandIn) {
  ScopedRoot root;
  CTestService service(true);
  EXPECT_FALSE(service.Run());
}

}  // namespace
