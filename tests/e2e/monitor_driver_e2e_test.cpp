// CMonitorDriver and GetServiceState against the real qnsvr32 run by the
// service control stand-in: every method with the types the server's object
// declares, and each way a call or creation fails (no server, a server killed
// during a call, a frozen one).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "common/monitor_driver.h"
#include "common/service_state.h"
#include "common/service_verbs.h"
#include "platform/automation/status.h"
#include "support/protocol_client.h"
#include "support/server_service.h"
#include "support/service_helpers.h"

using namespace std::chrono_literals;
namespace automation = qn::automation;

namespace {

// A sink that remembers the counts the server tells it.
class CountSink : public automation::IDispatch {
 public:
  automation::Status GetIDOfName(const std::string&, automation::DispId*) override {
    return automation::kUnknownName;
  }
  automation::Status Invoke(automation::DispId id, uint16_t, std::vector<automation::Variant>& args,
                            automation::Variant*, automation::ExcepInfo*) override {
    if (id == 1 && args.size() == 1) counts.push_back(static_cast<long>(args[0].Integer()));
    return automation::kOk;
  }
  std::vector<long> counts;
};

class MonitorDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.Install(&error)) << error;
  }
  std::unique_ptr<qn::client::ProtocolClient> LogOn(const std::string& id) {
    auto client = std::make_unique<qn::client::ProtocolClient>();
    EXPECT_TRUE(client->Connect(server_.port()));
    EXPECT_TRUE(client->Hello().has_value());
    EXPECT_TRUE(client->Request(1, "Logon", "Logon", qn::client::Params({id, "pw"})));
    auto reply = qn::client::ReadTable(*client, 1, 10000);
    EXPECT_TRUE(reply && reply->ended && !reply->result) << id;
    return client;
  }
  // Calls GetNbrConnections; the status of the OLE exception it raised (0
  // when it answered).
  static automation::Status CallStatus(CMonitorDriver& driver) {
    try {
      driver.GetNbrConnections();
      return automation::kOk;
    } catch (const COleException& e) {
      return e.m_sc;
    }
  }

  qn::test::ServerService server_;
};

TEST_F(MonitorDriverTest, EveryMethodReachesTheServerWithItsTypes) {
  ASSERT_TRUE(server_.Start());
  EXPECT_EQ(GetServiceState("QuillnetServer"), 4u);
  auto max = LogOn("Max");

  CMonitorDriver driver;
  automation::Status status = 1;
  ASSERT_TRUE(driver.CreateDispatch(CMonitorDriver::kDefaultTimeLimit, &status));
  EXPECT_EQ(status, automation::kOk);

  auto sink = automation::MakeRef<CountSink>();
  EXPECT_EQ(driver.Bind(sink.get()), 0);
  // The sink's first count arrives while Bind is out, or at the next call.
  EXPECT_EQ(driver.GetNbrUsersOnline(), 1);
  ASSERT_FALSE(sink->counts.empty());
  EXPECT_EQ(sink->counts[0], 0);

  EXPECT_EQ(driver.GetTimeUp().rfind("Running Time: 00", 0), 0u);
  EXPECT_EQ(driver.GetNbrConnections(), 1);
  EXPECT_EQ(driver.GetNbrUsersOnlineNoSynch(), 1);
  const double start = driver.GetServerStartTime();
  const double now = automation::DateFromTime(std::time(nullptr));
  EXPECT_GT(start, now - 60.0 / 86400);
  EXPECT_LE(start, now + 2.0 / 86400);

  std::string id = "u", last = "l", first = "f", connection = "c", online = "t";
  long credits = -1;
  EXPECT_EQ(driver.GetUserProfile(0, id, last, first, connection, online, credits), 0);
  EXPECT_EQ(id, "Max");
  EXPECT_EQ(last, "LastMax");
  EXPECT_EQ(first, "FirstMax");
  EXPECT_FALSE(connection.empty());
  EXPECT_EQ(online.size(), 8u) << online;
  EXPECT_EQ(credits, 1000);
  std::string untouched = "u";
  long keep = -1;
  EXPECT_EQ(driver.GetUserProfile(1, untouched, last, first, connection, online, keep), 0);
  EXPECT_EQ(untouched, "u");
  EXPECT_EQ(keep, -1);

  ASSERT_TRUE(max->Request(2, "Utility", "GetGlobalMessages"));
  ASSERT_TRUE(max->ReadReply(5000).has_value());  // the listener's schema
  EXPECT_EQ(driver.SendGlobalMsgToAll("to all", 1), 0);
  EXPECT_EQ(driver.SendGlobalMsgToUserID("MAX", "to max", 0), 0);
  for (const char* text : {"to all", "to max"}) {
    auto row = max->ReadReply(5000);
    ASSERT_TRUE(row.has_value()) << text;
    EXPECT_NE(std::string(row->body.begin(), row->body.end()).find(text), std::string::npos);
  }

  driver.AllowNewConnections(false);
  qn::client::ProtocolClient refused;
  ASSERT_TRUE(refused.Connect(server_.port()));
  EXPECT_TRUE(refused.WaitClosed(5000));
  driver.AllowNewConnections(true);
  EXPECT_TRUE(server_.Greets());

  driver.LockUserList();
  EXPECT_EQ(driver.GetNbrUsersOnline(), 1);
  driver.UnlockUserList();
  EXPECT_EQ(driver.KillUser("Nobody"), -1);
  EXPECT_EQ(driver.KillUser("mAX"), 0);
  EXPECT_TRUE(max->WaitClosed(5000));

  // Without an object a call fails at once.
  driver.ReleaseDispatch();
  EXPECT_EQ(CallStatus(driver), automation::kUnexpected);
}

TEST_F(MonitorDriverTest, FailuresArriveWithTheStatusTheirCauseGives) {
  EXPECT_EQ(GetServiceState("QuillnetServer"), 1u);
  EXPECT_EQ(GetServiceState("NoSuchService"), kServiceStateUnknown);
  {
    // No server: the program the class names ends at once when started for it.
    CMonitorDriver driver;
    automation::Status status = 0;
    EXPECT_FALSE(driver.CreateDispatch(5s, &status));
    EXPECT_EQ(status & 0xFFFF, 5u) << automation::StatusText(status);
  }

  ASSERT_TRUE(server_.Start());
  ASSERT_TRUE(PauseService("QuillnetServer"));
  EXPECT_EQ(GetServiceState("QuillnetServer"), 7u);
  ASSERT_TRUE(ContinueService("QuillnetServer"));
  const pid_t pid = server_.Pid();
  ASSERT_GT(pid, 0);

  {
    // Frozen: the call ends at the driver's limit; the next one is answered.
    CMonitorDriver driver;
    ASSERT_TRUE(driver.CreateDispatch(1500ms));
    ASSERT_TRUE(qn::svctest::FreezeProcess(pid));
    EXPECT_EQ(CallStatus(driver), automation::kTimeout);
    ::kill(pid, SIGCONT);
    EXPECT_EQ(CallStatus(driver), automation::kOk);
  }
  {
    // Killed while a call is out: 1726; the next call finds it gone: 1727.
    CMonitorDriver driver;
    ASSERT_TRUE(driver.CreateDispatch(30s));
    ::kill(pid, SIGSTOP);
    std::thread killer([pid] {
      std::this_thread::sleep_for(300ms);
      ::kill(pid, SIGKILL);
    });
    const automation::Status during = CallStatus(driver);
    killer.join();
    EXPECT_EQ(during & 0xFFFF, 1726u) << automation::StatusText(during);
    const automation::Status after = CallStatus(driver);
    EXPECT_EQ(after & 0xFFFF, 1727u) << automation::StatusText(after);
  }
  EXPECT_TRUE(qn::svctest::WaitUntil([] { return GetServiceState("QuillnetServer") == 1; }, 10s));
}

}  // namespace
