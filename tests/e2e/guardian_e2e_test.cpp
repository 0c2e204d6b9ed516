// The real qnguard in a private root: its install run, its verbs, the command
// lines on which it refuses to run, and as a service or stand-alone starting
// a stopped qnsvr32 and ending on request wherever its watchdog is.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/registry.h"
#include "common/service_state.h"
#include "platform/registry_store.h"
#include "platform/service_control.h"
#include "support/scoped_root.h"
#include "support/server_process.h"
#include "support/server_service.h"
#include "support/service_helpers.h"

using namespace std::chrono_literals;
namespace reg = qn::reg;
namespace svc = qn::svc;

namespace {

constexpr const char* kGuardian = "QuillnetGuardian";
constexpr const char* kGuardianKey = "SOFTWARE\\Brenlo\\Quillnet Server\\Guardian";
constexpr const char* kNotAService = "The Quillnet NT Guardian must be started as an NT Service.";

std::string Program() { return std::filesystem::canonical(QN_BIN_DIR "/qnguard").string(); }

qn::svctest::RunResult Guardian(const std::string& arg) {
  if (arg.empty()) return qn::svctest::RunProgram({Program()}, 30s);
  return qn::svctest::RunProgram({Program(), arg}, 30s);
}

reg::Value GuardianValue(const std::string& name) {
  auto& store = reg::Store::Default();
  reg::KeyHandle key;
  reg::Value value;
  if (store.OpenKey(reg::KeyHandle::Root(reg::Hive::LocalMachine), kGuardianKey, key) == reg::kOk)
    store.QueryValue(key, name, value);
  return value;
}

void SetGuardianNumber(const std::string& name, uint32_t number) {
  CQuillnetRegistry registry;
  ASSERT_TRUE(registry.WriteDWORD("Guardian", name, number));
}

TEST(GuardianInstall, WritesMissingSettingsLoggingAndAnAutomaticService) {
  qn::test::ScopedRoot root;
  SetGuardianNumber("SecCheckInterval", 7);
  const auto run = Guardian("-install");
  ASSERT_EQ(run.exitCode, 0) << run.output;

  // The operator's number stays; the missing one gets its default.
  EXPECT_EQ(GuardianValue("SecCheckInterval").data, (std::vector<uint8_t>{7, 0, 0, 0}));
  const reg::Value delay = GuardianValue("SecDelayBeforeCheck");
  EXPECT_EQ(delay.type, uint32_t(reg::kDword));
  EXPECT_EQ(delay.data, (std::vector<uint8_t>{0x2C, 1, 0, 0}));
  const reg::Value logging = GuardianValue("Logging");
  EXPECT_EQ(logging.type, uint32_t(reg::kMultiString));
  EXPECT_EQ(reg::AsMultiString(logging),
            (std::vector<std::string>{"# Configure desired logging destinations below.",
                                      "# Destinations are E and F.", "# Levels are E, W, I.",
                                      "E:EWI;",
                                      "# Uncomment the following line to enable file logging.",
                                      "# F:EWI\"QnSvr32.log\";"}));

  svc::ServiceConfig config;
  ASSERT_EQ(svc::QueryServiceConfig(kGuardian, config), svc::kOk);
  EXPECT_EQ(config.displayName, "Quillnet Guardian");
  EXPECT_EQ(config.startType, svc::kAutoStart);
  EXPECT_EQ(config.imagePath, Program());
  EXPECT_EQ(config.dependencies, std::vector<std::string>{"EventLog"});
  EXPECT_EQ(config.account, "LocalSystem");

  // Seven characters are compared; the one-database mode adds its server.
  ASSERT_EQ(Guardian("-uninstall").exitCode, 0);
  CQuillnetRegistry().WriteString("General", "ODBCType", "MSSQL");
  ASSERT_EQ(Guardian("/installation").exitCode, 0);
  ASSERT_EQ(svc::QueryServiceConfig(kGuardian, config), svc::kOk);
  EXPECT_EQ(config.dependencies, (std::vector<std::string>{"EventLog", "MSSQLServer"}));
  EXPECT_EQ(GuardianValue("SecCheckInterval").data, (std::vector<uint8_t>{7, 0, 0, 0}));
}

TEST(GuardianInstall, ARegistryThatCannotBeWrittenIsReportedAndInstallsNothing) {
  qn::test::ScopedRoot root;
  std::filesystem::create_directories(root.RegistryFile().parent_path());
  // Not in the export format: never overwritten.
  std::ofstream(root.RegistryFile()) << "settings the operator mistyped\n";
  const auto run = Guardian("-install");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("The guardian's settings cannot be written to the registry: The "
                            "configuration registry database is corrupt. (error 1009)"),
            std::string::npos)
      << run.output;
  EXPECT_NE(svc::OpenService(kGuardian), svc::kOk);
}

TEST(GuardianGiveUp, AServerThatCannotStartEndsTheGuardianWithCode3) {
  qn::test::ScopedRoot root;
  svc::ServiceConfig server;
  server.name = "QuillnetServer";
  server.imagePath = "/nonexistent/qnsvr32";
  ASSERT_EQ(svc::CreateService(server), svc::kOk);
  ASSERT_EQ(Guardian("-install").exitCode, 0);

  // Three starts fail at once: the server is "stopped" and the guardian ends.
  const auto alone = Guardian("-sa");
  EXPECT_EQ(alone.exitCode, 3) << alone.output;
  EXPECT_NE(alone.output.find("QuillnetServer failed 3 times"), std::string::npos) << alone.output;

  // As a service: stopped with its own code.
  Guardian("-start");
  EXPECT_TRUE(qn::svctest::WaitUntil([] { return GetServiceState(kGuardian) == 1; }, 20s));
  svc::ServiceStatus st;
  ASSERT_EQ(svc::QueryServiceStatus(kGuardian, st), svc::kOk);
  EXPECT_EQ(st.win32ExitCode, static_cast<uint32_t>(svc::kServiceSpecificError));
  EXPECT_EQ(st.serviceSpecificExitCode, 3u);
  qn::svctest::KillServiceProcess(kGuardian);
}

class GuardianRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.Install(&error)) << error;
    const auto run = Guardian("-install");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    SetGuardianNumber("SecCheckInterval", 1);
    SetGuardianNumber("SecDelayBeforeCheck", 1);
  }
  void TearDown() override { qn::svctest::KillServiceProcess(kGuardian); }

  qn::test::ServerService server_;
};

TEST_F(GuardianRunTest, CommandLinesThatAreNoServiceStartNothing) {
  for (const char* arg : {"", "-SA", "-STOP", "sa", "-sa -x"}) {
    const auto run = Guardian(arg);
    EXPECT_EQ(run.exitCode, 1) << arg;
    EXPECT_NE(run.output.find(kNotAService), std::string::npos) << arg << ": " << run.output;
  }
  EXPECT_EQ(GetServiceState("QuillnetServer"), 1u);
  EXPECT_EQ(GetServiceState(kGuardian), 1u);
}

TEST_F(GuardianRunTest, StandAloneItStartsAStoppedServerAndEndsOnSigterm) {
  qn::test::ServerProcess guardian;
  ASSERT_TRUE(guardian.Start("qnguard", {"-sa"}, qn::test::MemberInstall::Root().string(), 0));
  EXPECT_TRUE(qn::svctest::WaitUntil([&] { return server_.Greets(1000); }, 30s));
  EXPECT_EQ(guardian.Stop(SIGTERM, 5000), 0) << guardian.StderrText();
  EXPECT_EQ(GetServiceState("QuillnetServer"), 4u);
}

TEST_F(GuardianRunTest, AsAServiceItStartsTheServerAndAStopEndsItEvenDuringAHungCall) {
  const auto started = std::chrono::steady_clock::now();
  const auto run = Guardian("-start");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(qn::svctest::WaitUntil([&] { return server_.Greets(1000); }, 30s));
  EXPECT_EQ(Guardian("-status").exitCode, 0);
  ASSERT_EQ(Guardian("-pause").exitCode, 0);
  EXPECT_EQ(GetServiceState(kGuardian), 7u);
  ASSERT_EQ(Guardian("-continue").exitCode, 0);
  EXPECT_EQ(GetServiceState(kGuardian), 4u);
  svc::ServiceStatus guardian;
  ASSERT_EQ(svc::QueryServiceStatus(kGuardian, guardian), svc::kOk);
  EXPECT_EQ(guardian.controlsAccepted, 7u);

  // The first probe goes out 1 + 30 s after the start; then the server
  // freezes and the next probe waits for it.
  std::this_thread::sleep_until(started + 40s);
  const pid_t server = server_.Pid();
  ASSERT_GT(server, 0);
  ASSERT_TRUE(qn::svctest::FreezeProcess(server));
  std::this_thread::sleep_for(2s);
  const auto stopBegin = std::chrono::steady_clock::now();
  const auto stopped = Guardian("-stop");
  EXPECT_EQ(stopped.exitCode, 0) << stopped.output;
  EXPECT_TRUE(qn::svctest::WaitUntil([&] { return !svc::IsServiceLockHeld(kGuardian); }, 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - stopBegin, 5s);
  EXPECT_EQ(GetServiceState(kGuardian), 1u);

  // The server is left as it was.
  ::kill(server, SIGCONT);
  EXPECT_EQ(server_.Pid(), server);
  EXPECT_TRUE(server_.Greets());
}

TEST_F(GuardianRunTest, InTheOneDatabaseModeItWaitsForTheDatabaseServerWhileStartPending) {
  ASSERT_TRUE(server_.Start());
  CQuillnetRegistry().WriteString("General", "ODBCType", "MSSQL");
  const auto begin = std::chrono::steady_clock::now();
  qn::svctest::RunResult run;
  std::thread starter([&] { run = qn::svctest::RunProgram({Program(), "-start"}, 90s); });
  // Connected at once, then start-pending with its check point moving, which
  // keeps the service control from giving the start up.
  std::vector<uint32_t> checkPoints;
  while (std::chrono::steady_clock::now() - begin < 20s) {
    svc::ServiceStatus st;
    if (svc::QueryServiceStatus(kGuardian, st) == svc::kOk && st.currentState == svc::kStartPending &&
        (checkPoints.empty() || checkPoints.back() != st.checkPoint))
      checkPoints.push_back(st.checkPoint);
    std::this_thread::sleep_for(200ms);
  }
  starter.join();
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 30s);
  EXPECT_GE(checkPoints.size(), 4u);
  EXPECT_TRUE(std::is_sorted(checkPoints.begin(), checkPoints.end()));
  EXPECT_EQ(GetServiceState(kGuardian), 4u);
  EXPECT_EQ(Guardian("-stop").exitCode, 0);
}

}  // namespace
