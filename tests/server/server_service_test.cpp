#include "server/core/server_service.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/paths.h"
#include "platform/service_control.h"
#include "support/scoped_root.h"
#include "support/service_helpers.h"

using namespace std::chrono_literals;

namespace {

struct FakeServer {
  std::atomic<int> closes{0};
  std::atomic<int> acceptOff{0};
  std::atomic<int> acceptOn{0};
  ServerControl Control() {
    return ServerControl{[this] { ++closes; },
                         [this](bool on) { ++(on ? acceptOn : acceptOff); }};
  }
};

TEST(ServerServiceTest, StopWaitsForTheServerToFinishStopping) {
  FakeServer server;
  CServerService service(true, nullptr, server.Control());
  std::thread mainLoop([&] {
    qn::svctest::WaitUntil([&] { return server.closes > 0; }, 5s);
    std::this_thread::sleep_for(200ms);
    service.ServerStopped();
  });
  auto begin = std::chrono::steady_clock::now();
  service.OnStop();
  auto took = std::chrono::steady_clock::now() - begin;
  mainLoop.join();
  EXPECT_EQ(server.closes, 1);
  EXPECT_GE(took, 200ms);
  EXPECT_LT(took, 5s);
}

TEST(ServerServiceTest, PauseAndContinueSwitchNewConnections) {
  FakeServer server;
  CServerService service(true, nullptr, server.Control());
  service.OnPause();
  EXPECT_EQ(server.acceptOff, 1);
  service.OnContinue();
  EXPECT_EQ(server.acceptOn, 1);
}

TEST(ServerServiceTest, StandAloneThreadRunsTheWorkerUntilFinished) {
  qn::test::ScopedRoot root;
  FakeServer server;
  CServiceThread thread;
  thread.Start(false, server.Control());
  std::this_thread::sleep_for(50ms);
  auto begin = std::chrono::steady_clock::now();
  thread.Finish();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
  EXPECT_FALSE(thread.NotAService());
  EXPECT_EQ(server.closes, 0);
}

TEST(ServerServiceTest, OutsideTheStandInTheServerCloses) {
  qn::test::ScopedRoot root;
  FakeServer server;
  CServiceThread thread;
  thread.Start(true, server.Control());
  ASSERT_TRUE(qn::svctest::WaitUntil([&] { return server.closes > 0; }, 5s));
  thread.Finish();
  EXPECT_TRUE(thread.NotAService());
  EXPECT_TRUE(IsStopFlagSet());
}

// The server's service thread in a process started by the stand-in, with a
// fake server that notes in the run directory that it was told to close.
int RunServerServiceHelper() {
  std::atomic<int> closes{0};
  CServiceThread thread;
  thread.Start(true, ServerControl{[&] {
                                     if (closes++ == 0)
                                       std::ofstream(qn::paths::RunDir() / "closed.txt") << "closed";
                                   },
                                   [](bool) {}});
  thread.ServerStarted(0);  // what the server's start reports once it listens
  bool closed = qn::svctest::WaitUntil([&] { return closes > 0; }, 20s);
  thread.Finish();
  return closed ? 0 : 3;
}

const bool g_helper = qn::svctest::RegisterHelperMode("server-service", RunServerServiceHelper);

// The server's service thread run by the stand-in in a process of its own.
class ServerServiceProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("QN_TEST_SERVICE_HELPER", "server-service", 1);
    qn::svc::SetTimeouts(5000ms, 5000ms);
  }
  void TearDown() override {
    // The status file may name a process that is gone: end it only while it
    // lives.
    if (pid_ > 0 && qn::svctest::ProcessAlive(pid_)) qn::svctest::KillProcessGroup(pid_);
    ::unsetenv("QN_TEST_SERVICE_HELPER");
    qn::svc::SetTimeouts(30000ms, 30000ms);
  }

  qn::test::ScopedRoot root_;
  pid_t pid_ = 0;
};

TEST_F(ServerServiceProcessTest, ServerClosesWhenItsServiceEndsWithoutAStop) {
  namespace svc = qn::svc;
  svc::ServiceConfig config;
  config.name = "TestServer";
  config.imagePath = qn::svctest::SelfImagePath();
  ASSERT_EQ(svc::CreateService(config), svc::kOk);
  ASSERT_EQ(svc::StartService("TestServer"), svc::kOk);
  svc::ServiceStatus st;
  ASSERT_TRUE(qn::svctest::WaitUntil(
      [&] {
        return svc::QueryServiceStatus("TestServer", st) == svc::kOk &&
               st.currentState == svc::kRunning;
      },
      5s));
  pid_ = st.processId;
  // A status that can no longer be written ends the service's connection to
  // the stand-in at its next report.
  std::filesystem::create_directory(qn::paths::RunDir() /
                                    ("testserver.status." + std::to_string(pid_) + ".tmp"));
  svc::ControlService("TestServer", svc::kControlInterrogate, st);
  EXPECT_TRUE(qn::svctest::WaitUntil([&] { return !qn::svctest::ProcessAlive(pid_); }, 10s));
  EXPECT_TRUE(std::filesystem::exists(qn::paths::RunDir() / "closed.txt"));
}

}  // namespace

namespace {

TEST(ServerStartupTest, AutomationStartsAreRecognisedInAnyCase) {
  EXPECT_TRUE(AsksForAutomationStart("-Embedding"));
  EXPECT_TRUE(AsksForAutomationStart("/automation"));
  EXPECT_TRUE(AsksForAutomationStart("-x /EMBEDDING"));
  EXPECT_FALSE(AsksForAutomationStart("Embedding"));
  EXPECT_FALSE(AsksForAutomationStart("-Embeddings"));
  EXPECT_FALSE(AsksForAutomationStart("-sa"));
  EXPECT_FALSE(AsksForAutomationStart(""));
  EXPECT_FALSE(AsksForAutomationStart("\"-Embedding"));
}

}  // namespace
