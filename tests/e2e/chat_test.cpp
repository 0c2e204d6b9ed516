// Chat against the real server, in both storage modes: entering and its
// refusals, lines and their audiences, leaving in every way, private rooms
// and invitations, the room lists, and a member who never reads.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/core/counter_block.h"
#include "support/chat_seed.h"
#include "support/member_install.h"
#include "support/protocol_client.h"
#include "support/server_process.h"

namespace {

using qn::client::Params;
using qn::client::ProtocolClient;
using qn::client::TableReply;
using qn::test::MemberInstall;
using qn::test::StorageMode;
using Seen = std::vector<std::string>;
using namespace qn::test;

std::string Format(const qn::DecodedValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  if (const auto* number = std::get_if<int32_t>(&value)) return std::to_string(*number);
  return "?";
}

// One member's connection; every reply is read as "id:event", rows as their
// values joined by '|' ("5:Ann||0|hello"), "5:end", "5:result:1304".
class Chatter {
 public:
  bool Open(uint16_t port, const std::string& userId) {
    if (!client.Connect(port) || !client.Hello()) return false;
    if (!client.Request(1, "Logon", "Logon", Params({userId, "pw"}))) return false;
    auto reply = qn::client::ReadTable(client, 1, 10000);
    return reply && reply->ended && !reply->result;
  }
  // The next event, or "" when none comes in time.
  std::string Next(int timeoutMs = 10000) {
    auto reply = client.ReadReply(timeoutMs);
    if (!reply) return "";
    const std::string id = std::to_string(reply->requestId) + ":";
    switch (reply->type) {
      case qn::kPacketSchema: {
        auto schema = qn::DecodeSchema(reply->body.data(), reply->body.size());
        if (!schema) return id + "bad schema";
        schemas[reply->requestId] = schema->columns;
        return id + "schema";
      }
      case qn::kPacketMoreData: {
        auto row = qn::DecodeRow(schemas[reply->requestId], reply->body.data(), reply->body.size());
        if (!row) return id + "bad row";
        std::string text;
        for (size_t i = 0; i < row->size(); ++i) text += (i ? "|" : "") + Format((*row)[i]);
        return id + text;
      }
      case qn::kPacketEnd:
        return id + "end";
      case qn::kPacketResult: {
        char text[16];
        std::snprintf(text, sizeof text, "result:%x", reply->body[0] | reply->body[1] << 8);
        return id + text;
      }
    }
    return id + "?";
  }
  Seen Take(size_t count) {
    Seen seen;
    for (size_t i = 0; i < count; ++i) seen.push_back(Next());
    return seen;
  }
  // A request and its events up to its end or result.
  Seen Call(uint16_t id, const std::string& item, const std::vector<std::string>& params = {}) {
    EXPECT_TRUE(client.Request(id, "Chat", item, Params(params)));
    Seen seen;
    const std::string prefix = std::to_string(id) + ":";
    for (;;) {
      const std::string event = Next();
      seen.push_back(event);
      if (event.empty() || event == prefix + "end" || event.rfind(prefix + "result:", 0) == 0) break;
    }
    return seen;
  }
  void Send(uint16_t id, const std::string& params) { EXPECT_TRUE(client.FollowUp(id, params)); }
  bool Silent(int ms = 200) { return client.StaysSilent(ms); }

  ProtocolClient client;
  std::map<uint16_t, std::vector<CColumnDef>> schemas;
};

// Reads everything until the server's close (true) or the time runs out.
bool ReadsToTheClose(int fd, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  static char buffer[1 << 16];
  size_t total = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) total += static_cast<size_t>(n);
    else return total > 0;
  }
  return false;
}

class Chat : public ::testing::TestWithParam<StorageMode> {
 protected:
  void SetUp() override {
    if (GetParam() == StorageMode::Postgres && !PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    port_ = FindFreePort();
    std::string error;
    ASSERT_TRUE(install_.Create(GetParam(), port_, &error)) << error;
    install_.SeedAccountDefaults(1000, 0, -1);
    SeedChat(install_, {{"Main Lobby", -1, -1}, {"Pair", -1, 2}, {"Gold Room", kChatKeyGold, 10},
                        {"Quiet", -1, 50}, {"Flood", -1, 10}});
    const std::vector<int32_t> member = {kChatKeyChat, kChatKeyPrivate};
    const std::vector<int32_t> sysop = {kChatKeyChat, kChatKeyPrivate, kChatKeySysop};
    for (const char* id : {"Ann", "Bob", "Cat", "Dan", "Eve"}) AddChatMember(install_, id, member, std::string(id) + "'s profile");
    AddChatMember(install_, "Sam", sysop, "sysop");
    AddChatMember(install_, "Gil", {kChatKeyChat, kChatKeyGold});
    AddChatMember(install_, "Pat", {kChatKeyChat});
    AddChatMember(install_, "Nok", {});
    ASSERT_TRUE(server_.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port_))
        << server_.StderrText();
  }
  void TearDown() override {
    if (server_.IsRunning()) EXPECT_EQ(server_.Stop(), 0);
    if (HasFailure()) ADD_FAILURE() << "server's standard error:\n" << server_.StderrText();
  }
  std::unique_ptr<Chatter> LogOn(const std::string& userId) {
    auto chatter = std::make_unique<Chatter>();
    EXPECT_TRUE(chatter->Open(port_, userId)) << userId;
    return chatter;
  }
  // The entry's first events: schema, row 100, the own code 2 line.
  void Enter(Chatter& c, uint16_t id, const std::string& room, const std::string& self,
             const std::string& mode = "") {
    EXPECT_TRUE(c.client.Request(id, "Chat", "EnterRoom", Params(mode.empty() ? std::vector<std::string>{room} : std::vector<std::string>{room, mode})));
    const std::string p = std::to_string(id) + ":";
    EXPECT_EQ(c.Take(2), (Seen{p + "schema", p + "||100|"})) << self << " into " << room;
  }
  // Chat totals of the status block: rooms in use, occupants.
  std::pair<uint32_t, uint32_t> ChatTotals() {
    const std::string name = "/" + CCounterBlock::NameForRoot("QuillnetSvrAndConnections");
    const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) return {~0u, ~0u};
    void* view = ::mmap(nullptr, CCounterBlock::kMappingSize, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (view == MAP_FAILED) return {~0u, ~0u};
    const auto* totals = static_cast<const uint32_t*>(view) + CCounterBlock::kTotals / 4;
    const std::pair<uint32_t, uint32_t> result{totals[CCounterBlock::kChatRooms],
                                               totals[CCounterBlock::kChatOccupants]};
    ::munmap(view, CCounterBlock::kMappingSize);
    return result;
  }
  bool AwaitTotals(uint32_t rooms, uint32_t occupants) {
    for (int i = 0; i < 200; ++i) {
      if (ChatTotals() == std::make_pair(rooms, occupants)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
  }

  uint16_t port_ = 0;
  MemberInstall install_;
  ServerProcess server_;
};

TEST_P(Chat, EnteringRefusalsWatchersAndTheAuditRow) {
  auto ann = LogOn("Ann");
  auto bob = LogOn("Bob");
  auto cat = LogOn("Cat");
  auto sam = LogOn("Sam");
  auto pat = LogOn("Pat");
  auto nok = LogOn("Nok");
  EXPECT_EQ(nok->Call(1, "EnterRoom", {"Main Lobby"}), (Seen{"1:schema", "1:||103|", "1:result:9999"}));
  EXPECT_EQ(nok->Call(2, "GetRoomNames"), (Seen{"2:schema", "2:103||0", "2:result:9999"}));
  EXPECT_EQ(nok->Call(3, "gil"), (Seen{"3:schema", "3:nokey|", "3:result:9999"}));
  EXPECT_EQ(nok->Call(4, "i", {"Ann"}), (Seen{"4:schema", "4:103", "4:result:9999"}));

  Enter(*ann, 10, "pair", "Ann");
  EXPECT_EQ(ann->Next(), "10:Ann||2|Ann's profile");
  // Already in, in any letter case: 108.
  EXPECT_EQ(ann->Call(11, "room", {"PAIR"}), (Seen{"11:schema", "11:||108|", "11:result:9999"}));
  Enter(*bob, 10, "Pair", "Bob");
  EXPECT_EQ(bob->Next(), "10:Bob||2|Bob's profile");
  EXPECT_EQ(ann->Next(), "10:Bob||2|Bob's profile");
  EXPECT_EQ(cat->Call(10, "EnterRoom", {"Pair"}), (Seen{"10:schema", "10:||102|", "10:result:9999"}));
  // A sysop's "spy" gets in unseen by the ordinary occupants.
  Enter(*sam, 10, "Pair", "Sam", "SPY");
  EXPECT_EQ(sam->Next(), "10:Sam||2|sysop");
  EXPECT_TRUE(ann->Silent());
  EXPECT_EQ(pat->Call(1, "EnterRoom", {"Pair", "spy"}), (Seen{"1:schema", "1:||105|", "1:result:9999"}));
  EXPECT_EQ(pat->Call(2, "EnterRoom", {"*Pat"}), (Seen{"2:schema", "2:||104|", "2:result:9999"}));
  EXPECT_EQ(cat->Call(11, "EnterRoom", {"*Ann"}), (Seen{"11:schema", "11:||107|", "11:result:9999"}));
  EXPECT_EQ(cat->Call(12, "EnterRoom", {"Gold Room"}), (Seen{"12:schema", "12:||110|", "12:result:9999"}));
  EXPECT_EQ(cat->Call(13, "EnterRoom", {"Nowhere"}), (Seen{"13:schema", "13:||106|", "13:result:9999"}));
  EXPECT_EQ(cat->Call(14, "EnterRoom", {"Pair", "loud"}), (Seen{"14:result:1304"}));
  EXPECT_EQ(cat->Call(15, "EnterRoom"), (Seen{"15:result:1304"}));
  EXPECT_EQ(cat->Call(16, "Shout"), (Seen{"16:result:9999"}));

  // Occupants: watchers only for sysops.
  EXPECT_EQ(cat->Call(20, "go", {"pair"}),
            (Seen{"20:schema", "20:1|Ann|Ann's profile", "20:1|Bob|Bob's profile", "20:end"}));
  EXPECT_EQ(sam->Call(20, "GetRoomOccupants", {"Pair"}),
            (Seen{"20:schema", "20:1|Ann|Ann's profile", "20:1|Bob|Bob's profile", "20:2|Sam|sysop",
                  "20:end"}));
  EXPECT_EQ(cat->Call(21, "go", {"Quiet"}), (Seen{"21:end"}));
  EXPECT_EQ(cat->Call(22, "go", {"None"}), (Seen{"22:schema", "22:106||", "22:result:9999"}));

  EXPECT_TRUE(AwaitTotals(1, 3));
  EXPECT_EQ(install_.Query("QNAUDIT",
                           "SELECT Description FROM AuditTrail WHERE KeyWord='EnterRoom' AND "
                           "UserID='Ann'"),
            "Ann entered chat room pair");
  EXPECT_EQ(install_.Count("QNAUDIT", "SELECT * FROM AuditTrail WHERE KeyWord='EnterRoom'"), 3);
}

TEST_P(Chat, LinesAcknowledgementsAndEveryWayOfLeaving) {
  auto ann = LogOn("Ann");
  auto bob = LogOn("Bob");
  auto cat = LogOn("Cat");
  auto dan = LogOn("Dan");
  auto eve = LogOn("Eve");
  Enter(*ann, 5, "Main Lobby", "Ann", "ackfilter");
  EXPECT_EQ(ann->Next(), "5:Ann||8|");  // its own entry, acknowledged
  Enter(*bob, 5, "main lobby", "Bob");
  EXPECT_EQ(bob->Next(), "5:Bob||2|Bob's profile");
  EXPECT_EQ(ann->Next(), "5:Bob||2|Bob's profile");  // row 100 and this: two of three
  Enter(*dan, 7, "Quiet", "Dan");
  EXPECT_EQ(dan->Next(), "7:Dan||2|Dan's profile");
  bob->Send(5, "0\x01one");
  bob->Send(5, "0\x01two");
  EXPECT_EQ(bob->Take(2), (Seen{"5:Bob||0|one", "5:Bob||0|two"}));
  EXPECT_EQ(ann->Next(), "5:Bob||0|one");
  EXPECT_TRUE(ann->Silent());
  ann->Send(5, "8");
  bob->Send(5, "5\x01three");
  bob->Send(5, "0\x01" "four");
  EXPECT_EQ(bob->Take(2), (Seen{"5:Bob||5|three", "5:Bob||0|four"}));
  EXPECT_EQ(ann->Next(), "5:Bob||5|three");
  EXPECT_TRUE(ann->Silent());
  // Code 1 to a member of another room: nobody hears anything.
  bob->Send(5, "1\x01psst\x01" "Dan");
  bob->Send(5, "0\x01" "after");
  EXPECT_EQ(bob->Next(), "5:Bob||0|after");
  EXPECT_TRUE(dan->Silent());

  // Cancel and lost connection: the others hear code 3; the leaver nothing.
  Enter(*cat, 6, "Quiet", "Cat");
  EXPECT_EQ(cat->Next(), "6:Cat||2|Cat's profile");
  EXPECT_EQ(dan->Next(), "7:Cat||2|Cat's profile");
  Enter(*eve, 6, "Quiet", "Eve");
  EXPECT_EQ(eve->Next(), "6:Eve||2|Eve's profile");
  EXPECT_EQ(dan->Take(1), (Seen{"7:Eve||2|Eve's profile"}));
  EXPECT_EQ(cat->Take(1), (Seen{"6:Eve||2|Eve's profile"}));
  EXPECT_TRUE(AwaitTotals(2, 5));
  ASSERT_TRUE(cat->client.Cancel(6));
  EXPECT_EQ(dan->Next(), "7:Cat||3|");
  EXPECT_EQ(eve->Next(), "6:Cat||3|");
  EXPECT_TRUE(cat->Silent());
  eve.reset();
  EXPECT_EQ(dan->Next(), "7:Eve||3|");
  // An empty follow-up: the own code 3 line, then the end.
  dan->Send(7, "");
  EXPECT_EQ(dan->Take(2), (Seen{"7:Dan||3|", "7:end"}));
  dan->Send(7, "0\x01late");
  EXPECT_TRUE(dan->Silent());
  EXPECT_TRUE(AwaitTotals(1, 2));
  bob.reset();
  ann.reset();
  EXPECT_TRUE(AwaitTotals(0, 0));
}

TEST_P(Chat, PrivateRoomsInvitationsAndRoomLists) {
  auto ann = LogOn("Ann");
  auto bob = LogOn("Bob");
  auto cat = LogOn("Cat");
  auto sam = LogOn("Sam");
  auto gil = LogOn("Gil");
  ASSERT_TRUE(bob->client.Request(90, "Utility", "GetGlobalMessages"));
  EXPECT_EQ(bob->Next(), "90:schema");

  EXPECT_EQ(ann->Call(1, "InviteUser", {"ann"}), (Seen{"1:schema", "1:109", "1:result:9999"}));
  EXPECT_EQ(ann->Call(2, "InviteUser"), (Seen{"2:result:1304"}));
  EXPECT_EQ(ann->Call(3, "i", {"bob"}), (Seen{"3:end"}));
  EXPECT_EQ(bob->Next(), "90:0|Chat: You have been invited to enter Ann's Private Chat Room (\"*Ann\")");
  EXPECT_EQ(ann->Call(4, "i", {"BOB"}), (Seen{"4:end"}));  // a second time: one pair
  EXPECT_EQ(bob->Next(), "90:0|Chat: You have been invited to enter Ann's Private Chat Room (\"*Ann\")");
  EXPECT_EQ(ann->Call(5, "i", {"Cat"}), (Seen{"5:end"}));
  EXPECT_EQ(ann->Call(6, "i", {"Offline"}), (Seen{"6:end"}));
  EXPECT_EQ(ann->Call(7, "gil"), (Seen{"7:schema", "7:bob|Bob's profile", "7:Cat|Cat's profile", "7:end"}));

  // The room is made by its first entry, named as its owner writes it.
  Enter(*bob, 10, "*ANN", "Bob");
  EXPECT_EQ(bob->Next(), "10:Bob||2|Bob's profile");
  Enter(*cat, 10, "*ann", "Cat");
  EXPECT_EQ(cat->Next(), "10:Cat||2|Cat's profile");
  EXPECT_EQ(bob->Next(), "10:Cat||2|Cat's profile");

  // Lists: own private room first, then invited rooms, then the room list
  // backwards; a room the sysop sees in the list is listed once.
  EXPECT_EQ(bob->Call(20, "gr"), (Seen{"20:schema", "20:1|*Bob|0", "20:1|*Ann|2", "20:0|Flood|0",
                                       "20:0|Quiet|0", "20:0|Pair|0", "20:0|Main Lobby|0",
                                       "20:end"}));
  EXPECT_EQ(gil->Call(20, "GetRoomNames"),
            (Seen{"20:schema", "20:0|Flood|0", "20:0|Quiet|0", "20:0|Gold Room|0", "20:0|Pair|0",
                  "20:0|Main Lobby|0", "20:end"}));
  EXPECT_EQ(ann->Call(21, "i", {"Sam"}), (Seen{"21:end"}));
  EXPECT_EQ(sam->Call(20, "gr"), (Seen{"20:schema", "20:1|*Sam|0", "20:1|*Ann|2", "20:0|Flood|0",
                                       "20:0|Quiet|0", "20:0|Pair|0", "20:0|Main Lobby|0",
                                       "20:end"}));

  // UninviteUser of a guest in the room: the code 4 line on both sides, the
  // guest's end, the others' code 3; a new entry is refused.
  Enter(*ann, 30, "*Ann", "Ann");
  EXPECT_EQ(ann->Next(), "30:Ann||2|Ann's profile");
  bob->Take(1);
  cat->Take(1);
  EXPECT_EQ(ann->Call(31, "UninviteUser", {"bob"}),
            (Seen{"31:schema", "31:Ann|Bob|4|", "30:Bob||3|", "31:end"}));
  EXPECT_EQ(bob->Take(2), (Seen{"10:Ann|Bob|4|", "10:end"}));
  EXPECT_EQ(cat->Next(), "10:Bob||3|");
  EXPECT_EQ(bob->Call(11, "EnterRoom", {"*Ann"}), (Seen{"11:schema", "11:||107|", "11:result:9999"}));
  EXPECT_EQ(ann->Call(32, "gil"), (Seen{"32:schema", "32:Cat|Cat's profile", "32:Sam|sysop", "32:end"}));

  // The owner leaves: code 3 for all, code 4 and the end for each guest, the
  // room gone.
  ann->Send(30, "");
  EXPECT_EQ(ann->Take(2), (Seen{"30:Ann||3|", "30:end"}));
  EXPECT_EQ(cat->Take(3), (Seen{"10:Ann||3|", "10:Ann|Cat|4|", "10:end"}));
  EXPECT_EQ(sam->Call(40, "gr"), (Seen{"40:schema", "40:1|*Sam|0", "40:1|*Ann|0", "40:0|Flood|0",
                                       "40:0|Quiet|0", "40:0|Pair|0", "40:0|Main Lobby|0",
                                       "40:end"}));
  EXPECT_TRUE(AwaitTotals(0, 0));

  // The inviter's logoff ends every invitation it gave.
  ann.reset();
  for (int i = 0; i < 200; ++i) {
    const Seen names = cat->Call(static_cast<uint16_t>(50 + i % 10), "gr");
    if (names.size() == 7) break;  // without "*Ann"
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  EXPECT_EQ(cat->Call(60, "gr"), (Seen{"60:schema", "60:1|*Cat|0", "60:0|Flood|0", "60:0|Quiet|0",
                                       "60:0|Pair|0", "60:0|Main Lobby|0", "60:end"}));
}

TEST_P(Chat, ALobbyWithoutLimitCountsTo255) {
  AddChatMembers(install_, "crowd", 260);
  std::vector<Chatter> crowd(260);
  for (int n = 0; n < 260; ++n) {
    ASSERT_TRUE(crowd[n].Open(port_, "crowd" + std::to_string(n)));
    ASSERT_TRUE(crowd[n].client.Request(2, "Chat", "EnterRoom", "Main Lobby"));
  }
  EXPECT_TRUE(AwaitTotals(1, 260));
  auto sam = LogOn("Sam");
  const Seen names = sam->Call(3, "gr");
  ASSERT_GE(names.size(), 3u);
  EXPECT_EQ(names.back(), "3:end");
  EXPECT_EQ(names[names.size() - 2], "3:0|Main Lobby|255");
}

TEST_P(Chat, AMemberWhoNeverReadsIsClosedAtTheOutputLimitAndTheOthersLoseNothing) {
  auto ann = LogOn("Ann");
  auto bob = LogOn("Bob");
  auto deaf = LogOn("Cat");
  Enter(*ann, 1, "Flood", "Ann");
  ann->Next();
  Enter(*bob, 1, "Flood", "Bob");
  bob->Next();
  ann->Next();
  Enter(*deaf, 1, "Flood", "Cat");  // from here on Cat reads nothing
  EXPECT_EQ(ann->Next(), "1:Cat||2|Cat's profile");
  EXPECT_EQ(bob->Next(), "1:Cat||2|Cat's profile");

  // Lines of about 32 KB: more than the 16 MiB limit plus what the sockets
  // hold. Ann and Bob read everything as it comes.
  const std::string text(32000, 'x');
  constexpr int kLines = 1200;
  int seenByBob = 0, seenByAnn = 0;
  bool catLeft = false;
  std::thread reader([&] {
    for (;;) {
      const std::string event = bob->Next(20000);
      if (event.empty()) return;
      if (event == "1:Cat||3|") catLeft = true;
      else if (event.rfind("1:Ann||0|", 0) == 0) ++seenByBob;
      if (seenByBob == kLines && catLeft) return;
    }
  });
  for (int i = 0; i < kLines; ++i) {
    ann->Send(1, "0\x01" + text);
    // Ann reads her own lines so that her connection keeps going.
    while (seenByAnn < i - 8) {
      const std::string event = ann->Next();
      ASSERT_FALSE(event.empty());
      if (event.rfind("1:Ann||0|", 0) == 0) ++seenByAnn;
    }
  }
  while (seenByAnn < kLines) {
    const std::string event = ann->Next();
    ASSERT_FALSE(event.empty());
    if (event.rfind("1:Ann||0|", 0) == 0) ++seenByAnn;
  }
  reader.join();
  EXPECT_EQ(seenByBob, kLines);
  EXPECT_TRUE(catLeft);
  // What reached Cat's socket before the close is still there, then the end.
  EXPECT_TRUE(ReadsToTheClose(deaf->client.fd(), 20000));
  EXPECT_TRUE(AwaitTotals(1, 2));
}

INSTANTIATE_TEST_SUITE_P(BothStorageModes, Chat,
                         ::testing::Values(StorageMode::Access, StorageMode::Postgres),
                         [](const auto& info) {
                           return std::string(info.param == StorageMode::Access ? "Access"
                                                                                : "Postgres");
                         });

}  // namespace
