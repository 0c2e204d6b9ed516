// The manager's surroundings on this machine against the real server run by
// the service control stand-in: the states it reads, its three Monitor
// calls as a member and a new client see them, and a server that does not
// answer, told within the manager's limit instead of the runtime's 30 s.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

#include "support/protocol_client.h"
#include "support/server_service.h"
#include "tools/manager/core/local_host.h"
#include "support/service_helpers.h"

namespace {

using namespace std::chrono_literals;
using qn::client::Params;
using qn::manager::kStateRunning;
using qn::manager::kStateStopped;
using qn::manager::kStateUnknown;

TEST(ManagerHostOnTheServer, StatesMonitorCallsAndAServerThatDoesNotAnswer) {
  qn::test::ServerService server;
  std::string error;
  ASSERT_TRUE(server.Install(&error)) << error;
  qn::manager::LocalServiceControl services;
  qn::manager::LocalMonitorFactory monitors;
  EXPECT_EQ(services.GetServiceState("QuillnetServer"), kStateStopped);
  EXPECT_EQ(services.GetServiceState("QuillnetGuardian"), kStateUnknown);  // not installed
  EXPECT_EQ(monitors.Create(), nullptr);                                   // no server

  ASSERT_TRUE(server.Start());
  EXPECT_EQ(services.GetServiceState("QuillnetServer"), kStateRunning);
  qn::client::ProtocolClient member;
  ASSERT_TRUE(member.Connect(server.port()) && member.Hello());
  ASSERT_TRUE(member.Request(1, "Logon", "Logon", Params({"Max", "pw"})));
  ASSERT_TRUE(qn::client::ReadTable(member, 1, 10000).has_value());
  ASSERT_TRUE(member.Request(2, "Utility", "GetGlobalMessages", ""));
  ASSERT_TRUE(member.ReadReply(5000).has_value());

  std::unique_ptr<qn::manager::IMonitor> monitor = monitors.Create();
  ASSERT_NE(monitor, nullptr);
  EXPECT_EQ(monitor->GetNbrConnections(), 1);
  EXPECT_TRUE(monitor->SendGlobalMsgToAll("going down \xE9", 0));
  const auto message = member.ReadReply(5000);
  ASSERT_TRUE(message.has_value());
  EXPECT_NE(std::string(message->body.begin(), message->body.end()).find("going down \xE9"), std::string::npos);
  ASSERT_TRUE(monitor->AllowNewConnections(false));
  {
    qn::client::ProtocolClient refused;
    ASSERT_TRUE(refused.Connect(server.port()));
    EXPECT_TRUE(refused.WaitClosed(10000));
  }
  ASSERT_TRUE(monitor->AllowNewConnections(true));
  EXPECT_TRUE(server.Greets());

  // Stopped in the middle of the manager's use: the call fails within the
  // limit, and so does the next creation.
  const pid_t pid = server.Pid();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(qn::svctest::FreezeProcess(pid));
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(monitor->GetNbrConnections(), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 20s);
  monitor.reset();
  begin = std::chrono::steady_clock::now();
  EXPECT_EQ(monitors.Create(), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 20s);
  ::kill(pid, SIGCONT);
  EXPECT_TRUE(server.Greets(10000));
}

}  // namespace
