// The server object's routing and the request lifetimes, on a connection
// without a socket.
#include <gtest/gtest.h>

#include "common/outgoing_message.h"
#include "core_fakes.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/server.h"
#include "server/core/tcp_listener.h"
#include "server/core/user.h"
#include "support/scoped_root.h"

using Bytes = std::vector<uint8_t>;

class RoutingUnitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CTransportBase::SetServer(&server);
    connection = Connect();
    CServiceUnitProbe::destroyed = 0;
  }
  void TearDown() override {
    delete connection;
    CTransportBase::SetServer(nullptr);
    CServiceUnitProbe::onProcess = nullptr;
    CServiceUnitProbe::onMoreParams = nullptr;
  }
  FakeConnection* Connect() {
    auto* c = new FakeConnection();
    server.AddConnection(c);
    c->SetHandshakeState(CTransportBase::kNormal);
    c->SetUser(new CUser());  // a member object that never logged on
    return c;
  }
  void Route(FakeConnection* c, const Bytes& bytes) {
    bool ended = false;
    server.RoutePacket(c, new CByteBlock(bytes.data(), static_cast<int32_t>(bytes.size())), ended);
  }
  void Request(FakeConnection* c, uint16_t id, const std::string& params = "") {
    Route(c, qn::EncodeRequestPacket({id, "UnitProbe", "x", params}));
  }

  qn::test::ScopedRoot root;
  CServer server;
  FakeConnection* connection = nullptr;
};

TEST_F(RoutingUnitTest, OpenRequestIsListedUntilCancelled) {
  Request(connection, 5);
  ASSERT_EQ(server.GetRequests().size(), 1u);
  EXPECT_TRUE(connection->sent.empty());
  Route(connection, {2, 5, 0, 'x', 'y'});  // bytes after the ID are ignored
  EXPECT_TRUE(server.GetRequests().empty());
  EXPECT_EQ(CServiceUnitProbe::destroyed, 1);
  EXPECT_TRUE(connection->sent.empty());
}

TEST_F(RoutingUnitTest, FollowUpReachesTheFirstListedOfTwoWithTheSameId) {
  int calls = 0;
  CServiceUnitProbe* first = nullptr;
  CServiceUnitProbe::onProcess = [&](CServiceUnitProbe& s) {
    if (first == nullptr) first = &s;
    return 0;
  };
  CServiceUnitProbe::onMoreParams = [&](CServiceUnitProbe& s) {
    EXPECT_EQ(&s, first);
    ++calls;
    return 0;
  };
  Request(connection, 8);
  Request(connection, 8);
  EXPECT_EQ(server.GetRequests().size(), 2u);
  Route(connection, {4, 8, 0, 'p'});
  EXPECT_EQ(calls, 1);
}

TEST_F(RoutingUnitTest, EndingInsideAFollowUpDeletesTheRequestAfterItReturns) {
  CServiceUnitProbe::onMoreParams = [](CServiceUnitProbe& s) {
    s.GetRequest()->EndRequest();
    return 0x1303;  // a result after the end is still delivered safely
  };
  Request(connection, 3);
  Route(connection, {4, 3, 0});
  EXPECT_TRUE(server.GetRequests().empty());
  EXPECT_EQ(CServiceUnitProbe::destroyed, 1);
  ASSERT_EQ(connection->sent.size(), 1u);
  EXPECT_EQ(connection->sent[0], (Bytes{5, 3, 0}));
}

TEST_F(RoutingUnitTest, UnhandledFollowUpAnswers9999AndStaysOpen) {
  Request(connection, 4);
  Route(connection, {4, 4, 0, 'z'});
  ASSERT_EQ(connection->sent.size(), 1u);
  EXPECT_EQ(connection->sent[0], (Bytes{6, 4, 0, 0x99, 0x99}));
  EXPECT_EQ(server.GetRequests().size(), 1u);
}

TEST_F(RoutingUnitTest, GoneConnectionTakesItsRequestsAndReceivesNothing) {
  FakeConnection* other = Connect();
  Request(other, 1);
  Request(connection, 1);
  EXPECT_EQ(server.GetRequests().size(), 2u);
  delete other;
  EXPECT_EQ(server.GetRequests().size(), 1u);
  EXPECT_EQ(server.GetRequests().front()->GetConnection(), connection);

  // A reply addressed to a connection that is no longer listed is dropped.
  FakeConnection unlisted;
  server.SendToConnection(new COutgoingMessage(&unlisted, 0, new CByteBlock("ab", 2)));
  EXPECT_TRUE(unlisted.sent.empty());
}

TEST_F(RoutingUnitTest, ShortAndMalformedPacketsLeaveNothing) {
  Route(connection, {1, 2});
  Route(connection, {1, 0, 0, 'U', 0, 'x', 0});  // parameters not ended
  Route(connection, {9, 1, 0, 0, 0, 0});
  EXPECT_TRUE(server.GetRequests().empty());
  EXPECT_TRUE(connection->sent.empty());
}

TEST_F(RoutingUnitTest, ServiceExceptionBecomesResultCode) {
  CServiceUnitProbe::onProcess = [](CServiceUnitProbe&) -> int { throw std::runtime_error("boom"); };
  Request(connection, 2);
  ASSERT_EQ(connection->sent.size(), 1u);
  EXPECT_EQ(connection->sent[0], (Bytes{6, 2, 0, 0x06, 0x13}));
  EXPECT_TRUE(server.GetRequests().empty());
}

TEST_F(RoutingUnitTest, SilentConnectionsGoAfterNinetySeconds) {
  FakeConnection* quiet = Connect();
  const std::time_t now = std::time(nullptr);
  quiet->SetLastPacketTime(now - 89);
  connection->SetLastPacketTime(now);
  server.DropSilentConnections(now);
  EXPECT_EQ(server.GetConnections().size(), 2u);
  server.DropSilentConnections(now + 1);
  EXPECT_EQ(server.GetConnections().size(), 1u);
  EXPECT_EQ(server.GetConnections().front(), connection);
}

TEST_F(RoutingUnitTest, RefusedConnectionsAreDeletedAtOnce) {
  SetAcceptConnections(false);
  auto* refused = new FakeConnection();
  EXPECT_FALSE(server.AddConnection(refused));  // deleted: ASan sees a leak otherwise
  SetAcceptConnections(true);
  EXPECT_EQ(server.GetConnections().size(), 1u);
  Request(connection, 1);
  EXPECT_EQ(server.GetRequests().size(), 1u);
}

TEST_F(RoutingUnitTest, ClientAskingForTooManyOpenRequestsIsDisconnected) {
  for (int i = 0; i < CServer::kMaxOpenRequests; ++i) Request(connection, static_cast<uint16_t>(i + 1));
  EXPECT_EQ(server.GetRequests().size(), static_cast<size_t>(CServer::kMaxOpenRequests));
  EXPECT_FALSE(connection->disconnected);
  bool ended = false;
  auto bytes = qn::EncodeRequestPacket({999, "UnitProbe", "x", ""});
  server.RoutePacket(connection, new CByteBlock(bytes.data(), static_cast<int32_t>(bytes.size())), ended);
  EXPECT_TRUE(ended);
  EXPECT_TRUE(connection->disconnected);
  EXPECT_EQ(server.GetRequests().size(), static_cast<size_t>(CServer::kMaxOpenRequests));
  // Ending one makes room again.
  Route(connection, {2, 1, 0});
  EXPECT_EQ(server.GetRequests().size(), static_cast<size_t>(CServer::kMaxOpenRequests - 1));
}
