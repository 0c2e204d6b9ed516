// Global messages to open listeners, on connections without sockets: one
// pass over the listeners, and a listener that goes while a message is being
// sent neither receives it nor breaks the pass.
#include <gtest/gtest.h>

#include <functional>

#include "core_fakes.h"
#include "server/core/request_packet.h"
#include "server/core/server.h"
#include "server/core/user.h"
#include "server/services/service_utility.h"
#include "support/scoped_root.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Runs `onRow` when a pushed row (a type-4 packet) arrives.
class ListeningConnection : public FakeConnection {
 public:
  void Send(CByteBlock* payload, int32_t flag) override {
    const bool row = payload->length > 0 && payload->data[0] == qn::kPacketMoreData;
    FakeConnection::Send(payload, flag);
    if (row) {
      ++rows;
      if (onRow) onRow();
    }
  }
  int rows = 0;
  std::function<void()> onRow;
};

class GlobalMessages : public ::testing::Test {
 protected:
  void SetUp() override { CTransportBase::SetServer(&server_); }
  void TearDown() override {
    for (ListeningConnection* c : connections_) delete c;
    CTransportBase::SetServer(nullptr);
  }
  ListeningConnection* Listen(const std::string& userId) {
    auto* c = new ListeningConnection();
    server_.AddConnection(c);
    c->SetHandshakeState(CTransportBase::kNormal);
    auto* user = new CUser();
    user->Attach(userId, c, 100, 0, -1, 0);
    c->SetUser(user);
    const Bytes packet = qn::EncodeRequestPacket({1, "Utility", "GetGlobalMessages", ""});
    bool ended = false;
    server_.RoutePacket(c, new CByteBlock(packet.data(), static_cast<int32_t>(packet.size())),
                        ended);
    connections_.push_back(c);
    return c;
  }
  void Drop(ListeningConnection* c) {
    std::erase(connections_, c);
    delete c;
  }

  qn::test::ScopedRoot root_;
  CServer server_;
  std::vector<ListeningConnection*> connections_;
};

TEST_F(GlobalMessages, AListenerThatGoesDuringASendIsPassedOverAndTheRestReceive) {
  ListeningConnection* first = Listen("Ann");
  ListeningConnection* second = Listen("Ben");
  ListeningConnection* third = Listen("ann");
  ASSERT_EQ(GetGlobalListenerCount(), 3);
  // The first row's send takes the second listener's connection away, and
  // starts a new listener that this message does not reach.
  ListeningConnection* late = nullptr;
  first->onRow = [&] {
    if (late != nullptr) return;
    Drop(second);
    late = Listen("Cat");
  };
  PostGlobalMsgToAll("to all", 2);
  EXPECT_EQ(first->rows, 1);
  EXPECT_EQ(third->rows, 1);
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(late->rows, 0);
  EXPECT_EQ(GetGlobalListenerCount(), 3);

  EXPECT_TRUE(PostGlobalMsgToUserID("ANN", "to Ann", 0));
  EXPECT_EQ(first->rows, 2);
  EXPECT_EQ(third->rows, 2);
  EXPECT_EQ(late->rows, 0);
  EXPECT_FALSE(PostGlobalMsgToUserID("Ben", "gone", 0));
  PostGlobalMsgToAll("again", 0);
  EXPECT_EQ(late->rows, 1);
}

}  // namespace
