#include "server/core/server_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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
