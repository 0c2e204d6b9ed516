// Chat delivery and leaving on connections without sockets: the acknowledge
// limit, audiences and watchers' copies, refusals, the owner emptying the own
// private room, cancels and lost connections.
#include <gtest/gtest.h>

#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "core_fakes.h"
#include "server/core/counter_block.h"
#include "server/core/request_packet.h"
#include "server/core/result_set.h"
#include "server/core/server.h"
#include "server/core/user.h"
#include "server/services/service_chat.h"
#include "support/scoped_root.h"

namespace {

constexpr int32_t kChatKey = 1, kPrivateKey = 2, kSysopKey = 3, kRoomKey = 4;

class ChatDelivery : public ::testing::Test {
 protected:
  struct Member {
    FakeConnection* connection;
    size_t read = 0;
  };

  void SetUp() override {
    CTransportBase::SetServer(&server_);
    lobby_ = AddChatRoom("Lobby", 0, -1, -1);
    AddChatRoom("Pair", 0, 2, -1);
    AddChatRoom("Keyed", 0, 10, kRoomKey);
  }
  void TearDown() override {
    for (Member& m : members_) delete m.connection;
    CServiceChat::TermModule();
    CTransportBase::SetServer(nullptr);
  }

  // A logged-on member on its own connection; keys by id.
  Member& Join(const std::string& userId, std::vector<int32_t> keys = {kChatKey, kPrivateKey}) {
    auto* connection = new FakeConnection();
    server_.AddConnection(connection);
    connection->SetHandshakeState(CTransportBase::kNormal);
    auto* user = new CUser();
    for (int32_t key : keys) {
      const char* names[] = {"", "chat", "Private", "Sysop", "Gold"};
      user->AddKey(CUserKey(key, "Chat", names[key], key == kRoomKey ? 7 : 0));
    }
    connection->SetUser(user);
    user->Attach(userId, connection, 100, 0, -1, std::time(nullptr));
    members_.push_back({connection});
    return members_.back();
  }

  void Request(Member& m, uint16_t id, const std::string& item, const std::string& params) {
    auto bytes = qn::EncodeRequestPacket({id, "Chat", item, params});
    Route(m, bytes);
  }
  void Say(Member& m, uint16_t id, const std::string& params) {
    Route(m, qn::EncodeIdPacket(qn::kPacketMoreData, id,
                                reinterpret_cast<const uint8_t*>(params.data()), params.size()));
  }
  void Cancel(Member& m, uint16_t id) { Route(m, qn::EncodeIdPacket(2, id, nullptr, 0)); }
  void Route(Member& m, const std::vector<uint8_t>& bytes) {
    bool ended = false;
    server_.RoutePacket(m.connection,
                        new CByteBlock(bytes.data(), static_cast<int32_t>(bytes.size())), ended);
  }

  // What arrived since the last look: "src>dst:code:text" per chat row,
  // "schema", "end", "result:hex".
  std::vector<std::string> Take(Member& m) {
    std::vector<std::string> seen;
    const auto columns = qn::DecodeSchema(qn::chat::LineSchema().data(), qn::chat::LineSchema().size());
    for (; m.read < m.connection->sent.size(); ++m.read) {
      const auto& bytes = m.connection->sent[m.read];
      const auto packet = qn::ParseIdPacket(bytes.data(), bytes.size());
      if (!packet) continue;
      if (packet->type == qn::kPacketSchema) seen.push_back("schema");
      if (packet->type == qn::kPacketEnd) seen.push_back("end");
      if (packet->type == qn::kPacketResult) {
        char text[16];
        std::snprintf(text, sizeof text, "result:%x", packet->body[0] | packet->body[1] << 8);
        seen.push_back(text);
      }
      if (packet->type != qn::kPacketMoreData) continue;
      const auto row = qn::DecodeRow(columns->columns, packet->body.data(), packet->body.size());
      if (!row) {
        seen.push_back("undecodable");
        continue;
      }
      seen.push_back(std::get<std::string>((*row)[0]) + ">" + std::get<std::string>((*row)[1]) +
                     ":" + std::to_string(std::get<int32_t>((*row)[2])) + ":" +
                     std::get<std::string>((*row)[3]));
    }
    return seen;
  }

  qn::test::ScopedRoot root_;
  CServer server_;
  CChatRoom* lobby_ = nullptr;
  std::deque<Member> members_;  // references stay valid

  using Seen = std::vector<std::string>;
};

TEST_F(ChatDelivery, AcknowledgeModeHoldsAtThreeRowsUntilAnAcknowledgement) {
  Member& ann = Join("Ann");
  Member& bob = Join("Bob");
  Request(ann, 1, "EnterRoom", "lobby\x01" "AckFilter");
  // Row 100 counts; its own entry comes back as an acknowledgement.
  EXPECT_EQ(Take(ann), (Seen{"schema", ">:100:", "Ann>:8:"}));
  Request(bob, 1, "room", "Lobby");
  Take(bob);
  EXPECT_EQ(Take(ann), (Seen{"Bob>:2:"}));
  Say(bob, 1, "0\x01one");
  Say(bob, 1, "5\x01two");
  EXPECT_EQ(Take(ann), (Seen{"Bob>:0:one"}));
  EXPECT_EQ(Take(bob), (Seen{"Bob>:0:one", "Bob>:5:two"}));
  // Acknowledgements of its own lines pass the limit.
  Say(ann, 1, "0\x01mine");
  EXPECT_EQ(Take(ann), (Seen{"Ann>:8:"}));
  Say(ann, 1, "8");
  Say(bob, 1, "0\x01three");
  Say(bob, 1, "0\x01four");
  EXPECT_EQ(Take(ann), (Seen{"Bob>:0:three"}));
  EXPECT_EQ(lobby_->CountOccupants(255), 2);
}

TEST_F(ChatDelivery, AudiencesWatchersAndPrivateLines) {
  Member& ann = Join("Ann");
  Member& bob = Join("Bob");
  Member& spy = Join("Spy", {kChatKey, kSysopKey});
  Member& sys = Join("Sys", {kChatKey, kSysopKey});
  Member& far = Join("Far");
  Request(far, 1, "EnterRoom", "Pair");
  Request(ann, 1, "EnterRoom", "Lobby");
  Request(bob, 1, "EnterRoom", "Lobby");
  Request(sys, 1, "EnterRoom", "Lobby");
  for (Member* m : {&ann, &bob, &sys, &far}) Take(*m);
  // A watcher's entry is seen only by watchers and sysops.
  Request(spy, 1, "EnterRoom", "LOBBY\x01spy");
  EXPECT_EQ(Take(spy), (Seen{"schema", ">:100:", "Spy>:2:"}));
  EXPECT_EQ(Take(sys), (Seen{"Spy>:2:"}));
  EXPECT_EQ(Take(ann), Seen{});
  EXPECT_EQ(lobby_->CountOccupants(5), 3);

  // A private line: sender, destination and the watcher; nobody else.
  Say(ann, 1, "1\x01psst\x01" "BOB");
  EXPECT_EQ(Take(ann), (Seen{"Ann>BOB:1:psst"}));
  EXPECT_EQ(Take(bob), (Seen{"Ann>BOB:1:psst"}));
  EXPECT_EQ(Take(spy), (Seen{"Ann>BOB:1:psst"}));
  EXPECT_EQ(Take(sys), Seen{});
  // To a member of another room, or to nobody: nothing at all.
  Say(ann, 1, "1\x01lost\x01" "Far");
  Say(ann, 1, std::string("6\x01lost\x01\0Far", 12));  // the destination ends at the zero
  EXPECT_EQ(Take(ann), Seen{});
  EXPECT_EQ(Take(far), Seen{});
  EXPECT_EQ(Take(spy), Seen{});
  // Code 7 speaks to each destination in turn as code 1; too few: nothing.
  Say(ann, 1, "7\x01hi\x01" "Bob\x01Sys");
  EXPECT_EQ(Take(bob), (Seen{"Ann>Bob:1:hi"}));
  EXPECT_EQ(Take(sys), (Seen{"Ann>Sys:1:hi"}));
  EXPECT_EQ(Take(ann), (Seen{"Ann>Bob:1:hi", "Ann>Sys:1:hi"}));
  EXPECT_EQ(Take(spy), (Seen{"Ann>Bob:1:hi", "Ann>Sys:1:hi"}));
  Say(ann, 1, "7\x01hi");
  EXPECT_EQ(Take(ann), Seen{});
  // A watcher's private line reaches the destination (and other watchers).
  Say(spy, 1, "1\x01watching\x01" "Ann");
  EXPECT_EQ(Take(ann), (Seen{"Spy>Ann:1:watching"}));
  EXPECT_EQ(Take(spy), (Seen{"Spy>Ann:1:watching"}));
  EXPECT_EQ(Take(bob), Seen{});
  // A watcher leaves without a line.
  Say(spy, 1, "");
  EXPECT_EQ(Take(spy), (Seen{"end"}));
  EXPECT_EQ(Take(ann), Seen{});

  // Bad input on the open request: the request stays open.
  Say(ann, 1, "0");
  Say(ann, 1, "1\x01text");
  Say(ann, 1, "6\x01text\x01");
  Say(ann, 1, "9\x01x");
  Say(ann, 1, "x\x01read as zero");
  EXPECT_EQ(Take(ann), (Seen{"result:1304", "result:1304", "result:1304", "result:9999", "Ann>:0:read as zero"}));
}

TEST_F(ChatDelivery, RefusalsSendOneRowThenTheResult) {
  Member& ann = Join("Ann");
  Member& none = Join("None", {});
  Member& bob = Join("Bob", {kChatKey});
  Member& cat = Join("Cat");
  struct Case {
    Member* member;
    std::string params;
    Seen seen;
  } cases[] = {
      {&none, "Lobby", {"schema", ">:103:", "result:9999"}},
      {&bob, "Lobby\x01spy", {"schema", ">:105:", "result:9999"}},
      {&bob, "Nowhere", {"schema", ">:106:", "result:9999"}},
      {&bob, "*Bob", {"schema", ">:104:", "result:9999"}},
      {&cat, "*Ann", {"schema", ">:107:", "result:9999"}},
      {&cat, "Keyed", {"schema", ">:110:", "result:9999"}},
      {&bob, "", {"result:1304"}},
      {&bob, "Lobby\x01loud", {"result:1304"}},
  };
  for (Case& c : cases) {
    Request(*c.member, 1, "EnterRoom", c.params);
    EXPECT_EQ(Take(*c.member), c.seen) << c.params;
  }
  Request(bob, 2, "Nothing", "");
  EXPECT_EQ(Take(bob), (Seen{"result:9999"}));
  EXPECT_EQ(FindChatRoom("*Ann"), nullptr);

  // Full: ordinary occupants equal the maximum; a sysop's "spy" still enters.
  Request(ann, 3, "EnterRoom", "Pair");
  Request(bob, 3, "EnterRoom", "pair");
  Request(cat, 3, "EnterRoom", "PAIR");
  EXPECT_EQ(Take(cat), (Seen{"schema", ">:102:", "result:9999"}));
  Request(ann, 4, "EnterRoom", "pair");
  EXPECT_EQ(Take(ann).back(), "result:9999");
  Member& spy = Join("Spy", {kChatKey, kSysopKey});
  Request(spy, 1, "EnterRoom", "Pair\x01spy");
  EXPECT_EQ(Take(spy), (Seen{"schema", ">:100:", "Spy>:2:"}));
  // A created private room that refuses its creator is removed again.
  Member& poor = Join("Poor", {kChatKey, kPrivateKey});
  AddChatInvitation("Ann", "Poor");
  FindChatRoom("Lobby")->m_nMaxInRoom = -1;
  Request(poor, 1, "EnterRoom", "*ann");
  EXPECT_NE(FindChatRoom("*Ann"), nullptr);  // named as the owner writes it
  EXPECT_EQ(FindChatRoom("*Ann")->m_strName, "*Ann");
}

TEST_F(ChatDelivery, TheOwnerLeavingPutsEveryOccupantOutAndDeletesTheRoom) {
  Member& own = Join("Own");
  Member& a = Join("A");
  Member& b = Join("B");
  Member& c = Join("C");
  Request(own, 1, "EnterRoom", "*Own");
  for (Member* m : {&a, &b, &c}) {
    AddChatInvitation("own", m == &a ? "a" : m == &b ? "b" : "c");
    Request(*m, 7, "EnterRoom", "*own");
  }
  for (Member* m : {&own, &a, &b, &c}) Take(*m);
  Say(own, 1, "");
  EXPECT_EQ(Take(own), (Seen{"Own>:3:", "end"}));
  EXPECT_EQ(Take(a), (Seen{"Own>:3:", "Own>A:4:", "end"}));
  EXPECT_EQ(Take(b), (Seen{"Own>:3:", "A>:3:", "Own>B:4:", "end"}));
  EXPECT_EQ(Take(c), (Seen{"Own>:3:", "A>:3:", "B>:3:", "Own>C:4:", "end"}));
  EXPECT_EQ(FindChatRoom("*Own"), nullptr);
  EXPECT_TRUE(server_.GetRequests().empty());
  // The ended requests take no more follow-ups.
  Say(a, 7, "0\x01late");
  EXPECT_EQ(Take(a), Seen{});
}

TEST_F(ChatDelivery, CancelAndLostConnectionTellTheOthersOnly) {
  Member& ann = Join("Ann");
  Member& bob = Join("Bob");
  Member& cat = Join("Cat");
  for (Member* m : {&ann, &bob, &cat}) Request(*m, 5, "EnterRoom", "Lobby");
  for (Member* m : {&ann, &bob, &cat}) Take(*m);
  Cancel(bob, 5);
  EXPECT_EQ(Take(bob), Seen{});
  EXPECT_EQ(Take(ann), (Seen{"Bob>:3:"}));
  delete cat.connection;
  cat.connection = nullptr;
  EXPECT_EQ(Take(ann), (Seen{"Cat>:3:"}));
  EXPECT_EQ(lobby_->CountOccupants(255), 1);
}

TEST_F(ChatDelivery, UninvitingAGuestInTheRoomPutsItOutFromTheUninvitingRequest) {
  Member& own = Join("Own");
  Member& gus = Join("Gus");
  Member& spy = Join("Spy", {kChatKey, kSysopKey, kPrivateKey});
  Request(own, 1, "EnterRoom", "*Own");
  AddChatInvitation("Own", "Gus");
  AddChatInvitation("Own", "Spy");
  AddChatInvitation("Spy", "Own");
  Request(gus, 1, "EnterRoom", "*Own");
  Request(spy, 1, "EnterRoom", "*Own");
  for (Member* m : {&own, &gus, &spy}) Take(*m);
  Request(own, 2, "UninviteUser", "gus");
  // The uninviting request's own copy in the chat format and its end; the
  // room entry of the owner hears the leave.
  EXPECT_EQ(Take(own), (Seen{"schema", "Own>Gus:4:", "Gus>:3:", "end"}));
  EXPECT_EQ(Take(gus), (Seen{"Own>Gus:4:", "end"}));
  EXPECT_EQ(Take(spy), (Seen{"Gus>:3:"}));
  EXPECT_FALSE(IsChatInvited("own", "gus"));
  Request(gus, 2, "EnterRoom", "*Own");
  EXPECT_EQ(Take(gus), (Seen{"schema", ">:107:", "result:9999"}));
  // An empty invitee drops every pair the member gave or got.
  Request(own, 3, "u", "\x01");
  EXPECT_EQ(Take(own), (Seen{"end"}));
  EXPECT_EQ(GetChatInvitationCount(), 0);
  Request(own, 4, "u", "");
  EXPECT_EQ(Take(own), (Seen{"result:1304"}));
}

TEST_F(ChatDelivery, ALineToSeveralReachesEachOccupantOnceHoweverOftenTheInputNamesIt) {
  Member& ann = Join("Ann");
  Member& bob = Join("Bob");
  Member& cat = Join("Cat");
  Member& spy = Join("Spy", {kChatKey, kSysopKey});
  Member& far = Join("Far");
  for (Member* m : {&ann, &bob, &cat}) Request(*m, 1, "EnterRoom", "Lobby");
  Request(spy, 1, "EnterRoom", "Lobby\x01spy");
  Request(far, 1, "EnterRoom", "Pair");
  for (Member* m : {&ann, &bob, &cat, &spy, &far}) Take(*m);

  // Repeats in other letter cases, behind a zero byte, beside empty names
  // and a member of another room: each occupant once, named as first typed.
  Say(ann, 1, std::string("7\x01hi\x01" "bob\x01" "BOB\x01" "Far\x01\x01" "bob\0x\x01" "Cat\x01" "bOb", 32));
  EXPECT_EQ(Take(bob), (Seen{"Ann>bob:1:hi"}));
  EXPECT_EQ(Take(cat), (Seen{"Ann>Cat:1:hi"}));
  EXPECT_EQ(Take(ann), (Seen{"Ann>bob:1:hi", "Ann>Cat:1:hi"}));
  EXPECT_EQ(Take(spy), (Seen{"Ann>bob:1:hi", "Ann>Cat:1:hi"}));
  EXPECT_EQ(Take(far), Seen{});

  // A frame full of one name, and the sender naming itself: one line each.
  std::string flood = "7\x01" + std::string(20000, 'x');
  while (flood.size() + 4 < 32000) flood += "\x01" "bob";
  Say(ann, 1, flood);
  ASSERT_EQ(Take(bob).size(), 1u);
  EXPECT_EQ(Take(ann).size(), 1u);
  Say(ann, 1, "7\x01me\x01" "ann\x01" "ANN");
  EXPECT_EQ(Take(ann), (Seen{"Ann>ann:1:me"}));
  EXPECT_EQ(Take(bob), Seen{});
}

TEST_F(ChatDelivery, AnInvitationToANameNoAccountCanBearIsAnsweredAndNotKept) {
  Member& own = Join("Own");
  Request(own, 1, "InviteUser", std::string(256, 'g'));
  Request(own, 2, "InviteUser", std::string(255, 'g'));
  EXPECT_EQ(Take(own), (Seen{"end", "end"}));
  EXPECT_EQ(GetChatInvitationCount(), 1);
}

TEST_F(ChatDelivery, RowsNeverPassOneFrame) {
  const std::string text(40000, 'x');
  const auto row = qn::chat::LineRow("Ann", "Bob", 0, text);
  EXPECT_EQ(row.size(), 32767u - 3);
  const auto columns = qn::DecodeSchema(qn::chat::LineSchema().data(), qn::chat::LineSchema().size());
  const auto values = qn::DecodeRow(columns->columns, row.data(), row.size());
  ASSERT_TRUE(values.has_value());
  EXPECT_EQ(std::get<std::string>((*values)[1]), "Bob");
  // A text ends at its first zero byte.
  const auto cut = qn::chat::LineRow("Ann", "", 0, std::string("ab\0cd", 5));
  EXPECT_EQ(cut, (std::vector<uint8_t>{'A', 'n', 'n', 0, 0, 0, 'a', 'b', 0}));
}

}  // namespace

namespace {

TEST_F(ChatDelivery, FiveHundredTwelveRoomsAtOnceAllGoWithTheConnection) {
  Member& ann = Join("Ann");
  Member& bob = Join("Bob");
  for (int r = 0; r < 512; ++r) {
    AddChatRoom("R" + std::to_string(r), 0, 5, -1);
    Request(ann, static_cast<uint16_t>(100 + r), "EnterRoom", "r" + std::to_string(r));
    Request(bob, static_cast<uint16_t>(100 + r), "EnterRoom", "R" + std::to_string(r));
  }
  EXPECT_EQ(server_.GetRequests().size(), 1024u);
  Take(bob);
  delete ann.connection;
  ann.connection = nullptr;
  const Seen seen = Take(bob);
  ASSERT_EQ(seen.size(), 512u);
  EXPECT_EQ(seen.front(), "Ann>:3:");
  int occupied = 0;
  for (const CChatRoom* room : GetChatRooms()) occupied += room->CountOccupants(255);
  EXPECT_EQ(occupied, 512);
  EXPECT_EQ(server_.GetRequests().size(), 512u);
}

}  // namespace
