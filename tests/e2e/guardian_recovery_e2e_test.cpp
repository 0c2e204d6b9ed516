// The watchdog in this process on its real hosts, its times 20 times faster,
// against the real qnsvr32 run by the service control stand-in: a killed and
// a frozen server are stopped, the kick-off command runs while they are down,
// and they come back answering a hello and a Monitor call.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "common/service_state.h"
#include "guardian/guardian_hosts.h"
#include "guardian/watchdog.h"
#include "platform/service_control.h"
#include "support/server_service.h"
#include "support/service_helpers.h"

using namespace std::chrono_literals;

namespace guardian {
namespace {

constexpr int kDivisor = 20;

// The real hosts, with what they did written down in order.
class Recorder : public IServices, public IMonitor, public ILauncher, public ILog {
 public:
  explicit Recorder(CServiceClock& clock) : probe_(clock), launcher_(clock) {}

  unsigned long GetServiceState(const std::string& name) override {
    return services_.GetServiceState(name);
  }
  bool StartService(const std::string& name) override {
    Note("start");
    return services_.StartService(name);
  }
  bool StopService(const std::string& name) override {
    Note("stop");
    return services_.StopService(name);
  }
  void EndServiceProcess(const std::string& name) override {
    services_.EndServiceProcess(name);
    Note("ended");
  }
  qn::automation::Status Create(Duration limit) override { return probe_.Create(limit); }
  ProbeOutcome GetNbrConnections() override {
    const ProbeOutcome outcome = probe_.GetNbrConnections();
    if (outcome.kind == ProbeOutcome::kAnswered) ++answered;
    return outcome;
  }
  void Release() override { probe_.Release(); }
  LaunchResult Run(const std::string& commandLine, Duration limit, std::string* error) override {
    // What a kick-off command finds: the server down.
    Note("kickoff with the server in state " + std::to_string(::GetServiceState(kServerService)));
    return launcher_.Run(commandLine, limit, error);
  }
  void Line(const std::string& text) override { Note("log " + text); }

  std::vector<std::string> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::atomic<int> answered{0};

 private:
  void Note(const std::string& what) {
    std::lock_guard lock(mutex_);
    events_.push_back(what);
  }
  CServiceControlHost services_;
  CMonitorProbe probe_;
  CKickOffLauncher launcher_;
  std::mutex mutex_;
  std::vector<std::string> events_;
};

class WatchdogRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.Install(&error)) << error;
    ASSERT_TRUE(server_.Start());
    // A frozen server answers no stop: the stop gives up after 3 s, not 30.
    qn::svc::SetTimeouts(30s, 3s);
    began_ = std::chrono::steady_clock::now();
    thread_ = std::thread([this] {
      // 20 s of the watchdog's are 1 s; its 240-second turn is 12 s.
      CWatchdog watchdog(WatchdogHosts{clock_, recorder_, recorder_, recorder_, recorder_},
                         Settings{20, 20, "/bin/true"}, clock_.Now());
      end_ = watchdog.Run();
    });
  }
  void TearDown() override {
    service_.SetStopped();
    if (thread_.joinable()) thread_.join();
    EXPECT_EQ(end_, WatchdogEnd::kStopped);
    qn::svc::SetTimeouts(30s, 30s);
    if (HasFailure()) {
      for (const std::string& e : recorder_.Events()) ADD_FAILURE() << e;
    }
  }

  // Waits for the server that replaces `old`, greeting and answering the
  // watchdog's probe; the time it took since `since`.
  std::chrono::steady_clock::duration AwaitRecovery(pid_t old, std::chrono::steady_clock::time_point since) {
    const int before = recorder_.answered;
    EXPECT_TRUE(qn::svctest::WaitUntil(
        [&] {
          const pid_t now = server_.Pid();
          return now > 0 && now != old && server_.Greets(1000) && recorder_.answered > before;
        },
        90s));
    return std::chrono::steady_clock::now() - since;
  }
  void ExpectKickOffBetweenStopAndStart() {
    const std::vector<std::string> events = recorder_.Events();
    std::vector<std::string> restart;
    for (const std::string& e : events)
      if (e.rfind("log ", 0) != 0) restart.push_back(e);
    EXPECT_EQ(restart, (std::vector<std::string>{"stop", "ended", "kickoff with the server in state 1",
                                                 "start"}));
  }

  qn::test::ServerService server_;
  CNTService service_{"QuillnetGuardian", nullptr, false, 7, 5000};
  CServiceClock clock_{service_, kDivisor};
  Recorder recorder_{clock_};
  std::chrono::steady_clock::time_point began_;
  std::thread thread_;
  WatchdogEnd end_ = WatchdogEnd::kGaveUp;
};

TEST_F(WatchdogRecoveryTest, AKilledServerIsBackAfterItsTurn) {
  ASSERT_TRUE(qn::svctest::WaitUntil([&] { return recorder_.answered > 0; }, 30s));
  const pid_t old = server_.Pid();
  ASSERT_EQ(::kill(old, SIGKILL), 0);
  const auto killed = std::chrono::steady_clock::now();
  AwaitRecovery(old, killed);
  // Not before the watchdog's first 240 s (12 s here) and the 30 s (1.5 s)
  // before the start.
  EXPECT_GE(std::chrono::steady_clock::now() - began_, 13500ms);
  ExpectKickOffBetweenStopAndStart();
}

TEST_F(WatchdogRecoveryTest, AFrozenServerIsEndedAndBack) {
  ASSERT_TRUE(qn::svctest::WaitUntil([&] { return recorder_.answered > 0; }, 30s));
  const pid_t old = server_.Pid();
  ASSERT_TRUE(qn::svctest::FreezeProcess(old));
  AwaitRecovery(old, std::chrono::steady_clock::now());
  EXPECT_FALSE(qn::svctest::ProcessAlive(old));
  ExpectKickOffBetweenStopAndStart();
}

}  // namespace
}  // namespace guardian
