// Random and truncated input at every state of a connection: the server
// answers or closes exactly as the protocol says, and serves the next client.
#include <algorithm>
#include <filesystem>
#include <random>

#include "support/external_seed.h"
#include "support/pe_writer.h"
#include "support/server_fixture.h"

using qn::client::Bytes;
using qn::client::ProtocolClient;

class MalformedInputTest : public qn::test::ServerFixture {
 protected:
  void SetUp() override {
    StartServer();
    std::random_device device;
    seed = device();
    rng.seed(seed);
  }

  Bytes RandomPacket(size_t maxLength) {
    std::uniform_int_distribution<size_t> length(0, maxLength);
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes packet(length(rng));
    for (uint8_t& b : packet) b = static_cast<uint8_t>(byte(rng));
    // Bias toward the packet types the server knows, and toward zero bytes
    // that end the texts of a request.
    if (!packet.empty() && byte(rng) < 192) packet[0] = static_cast<uint8_t>(1 + byte(rng) % 6);
    for (uint8_t& b : packet)
      if (byte(rng) < 40) b = 0;
    return packet;
  }

  // A request that must come back with 0x1302 (before logon) marks how far
  // the server has read.
  void Sync(ProtocolClient& client, uint16_t id) {
    ASSERT_TRUE(client.Request(id, "NoSuchService", "x"));
    for (;;) {
      auto reply = client.ReadReply();
      ASSERT_TRUE(reply) << "seed " << seed;
      if (reply->type == qn::kPacketResult && reply->requestId == id) return;
    }
  }

  unsigned seed = 0;
  std::mt19937 rng;
};

TEST_F(MalformedInputTest, RandomHellosAreAnsweredOnlyWhenValid) {
  for (int i = 0; i < 150; ++i) {
    ProtocolClient client = Connect();
    Bytes hello = RandomPacket(10);
    if (i % 5 == 0) hello.resize(6);
    ASSERT_TRUE(client.SendFrame(hello));
    const bool valid = hello.size() == 6 && hello[0] == 1;
    if (valid) {
      auto answer = client.ReadFrame();
      ASSERT_TRUE(answer) << "seed " << seed;
      EXPECT_EQ(*answer, (Bytes{1, 0}));
    } else {
      int frames = -1;
      EXPECT_TRUE(client.WaitClosed(5000, &frames)) << "seed " << seed << " size " << hello.size();
      EXPECT_EQ(frames, 0);
    }
  }
  ExpectServerServes();
}

TEST_F(MalformedInputTest, RandomPacketsBeforeLogonGetNoServiceOrNothing) {
  ProtocolClient client = Greeted();
  for (int i = 0; i < 300; ++i) {
    const Bytes packet = RandomPacket(60);
    if (!packet.empty() && packet[0] == kMarkLoggedOn) continue;
    ASSERT_TRUE(client.SendFrame(packet));
    auto request = qn::ParseRequestPacket(packet.data(), packet.size());
    if (!request) continue;
    auto reply = client.ReadReply();
    ASSERT_TRUE(reply) << "seed " << seed;
    // Logon, WIP and CAM are open before logon but not built here either.
    EXPECT_EQ(reply->type, qn::kPacketResult);
    EXPECT_EQ(reply->requestId, request->requestId);
  }
  Sync(client, 0x4242);
  EXPECT_TRUE(client.StaysSilent(100));
  ExpectServerServes();
}

TEST_F(MalformedInputTest, RandomFollowUpsAndRequestsAfterLogonKeepTheConnection) {
  ProtocolClient client = LoggedOn();
  ASSERT_TRUE(client.Request(77, "Test", "Wait"));
  for (int i = 0; i < 300; ++i) {
    Bytes packet = RandomPacket(80);
    if (i % 3 == 0 && packet.size() >= 3) {
      packet[0] = qn::kPacketMoreData;
      packet[1] = 77;
      packet[2] = 0;
    }
    if (!packet.empty() && packet[0] == qn::kPacketCancel && packet.size() >= 3 && packet[1] == 77 &&
        packet[2] == 0)
      packet[1] = 78;  // keep the open request open
    if (!packet.empty() && packet[0] == kMarkLoggedOn) continue;
    ASSERT_TRUE(client.SendFrame(packet));
  }
  // The open request still takes parameters, and new requests are served.
  ASSERT_TRUE(client.FollowUp(77, "last"));
  ASSERT_TRUE(client.Request(9000, "Test", "Echo", "sync"));
  bool sawLast = false, sawSync = false;
  while (!sawSync) {
    auto reply = client.ReadReply();
    ASSERT_TRUE(reply) << "seed " << seed;
    if (reply->requestId == 77 && reply->type == qn::kPacketMoreData) {
      auto row = qn::DecodeRow({{kColumnString, "Params"}}, reply->body.data(), reply->body.size());
      if (row && std::get<std::string>((*row)[0]) == "1|last") sawLast = true;
    }
    if (reply->requestId == 9000 && reply->type == qn::kPacketEnd) sawSync = true;
  }
  EXPECT_TRUE(sawLast) << "seed " << seed;
  ExpectServerServes();
}

TEST_F(MalformedInputTest, TruncatedFramesAndRawBytesThenHangUp) {
  for (int i = 0; i < 100; ++i) {
    ProtocolClient client = Connect();
    if (i % 2 == 0) {
      ASSERT_EQ(client.Hello(), (Bytes{1, 0}));
    }
    Bytes frame = RandomPacket(200);
    Bytes raw(frame.size() + 2);
    raw[0] = static_cast<uint8_t>(frame.size() + 10);  // promises more than comes
    std::copy(frame.begin(), frame.end(), raw.begin() + 2);
    if (i % 3 == 0) raw = RandomPacket(400);  // anything at all, unframed
    client.SendRaw(raw);
    client.Close();
  }
  ExpectServerServes();
}

TEST_F(MalformedInputTest, OversizedLengthAfterPartialFrameCloses) {
  ProtocolClient client = LoggedOn();
  ASSERT_TRUE(client.SendRaw({5, 0, 1, 2}));  // half of a 5-byte frame
  ASSERT_TRUE(client.SendRaw({3, 4, 5, 0xFF, 0xFF}));  // its rest, then 65535
  EXPECT_TRUE(client.WaitClosed());
  ExpectServerServes();
}

// During a pulled update every packet, whatever it holds, only fetches the
// next piece; afterwards the connection is in normal operation.
TEST_F(MalformedInputTest, RandomPacketsDuringAPulledUpdateOnlyFetchPieces) {
  StopServer();
  stopped = false;
  std::filesystem::create_directories(ProgramDir());
  Bytes program = qn::test::BuildProgramFileWithString(u"Comments", u"V3.0");
  program.resize(2100, 0x11);
  qn::test::WriteFile(ProgramDir() + "QUILLNET.EXE", program);
  StartServer();
  ProtocolClient client = Connect();
  ASSERT_EQ(client.Hello(qn::kHelloFlagPullUpdate, 1.0f), (Bytes{2, 1}));
  Bytes received;
  for (int step = 0; step < 4; ++step) {  // header, 1024, 1024, 52
    ASSERT_TRUE(client.SendFrame(RandomPacket(40)));
    auto piece = client.ReadFrame();
    ASSERT_TRUE(piece) << "seed " << seed;
    if (step > 0) received.insert(received.end(), piece->begin(), piece->end());
  }
  EXPECT_EQ(received, program);
  ASSERT_TRUE(client.SendFrame(RandomPacket(40)));  // the step that ends the update
  EXPECT_TRUE(client.StaysSilent(200));
  Sync(client, 0x4343);
}

// External services, both forms of the test plug-in: item names of any bytes
// and length, no to thirteen parameters, data packets of any bytes on kept
// requests, cancels while a call is out. Each request ends once with the
// code its route gives, data packets without a taker are answered 0x1306, a
// cancelled request is never answered, and the server serves on.
TEST_F(MalformedInputTest, ExternalServicesTakeAnyItemsParametersDataAndCancels) {
  StopServer();
  stopped = false;
  qn::test::RegistrySections sections;
  qn::test::AddTestPluginSections(sections);
  StartServer(sections);
  ProtocolClient client = LoggedOn();
  std::uniform_int_distribution<int> byte(1, 255);
  auto text = [&](size_t maxLength) {
    std::string t(std::uniform_int_distribution<size_t>(0, maxLength)(rng), ' ');
    for (char& c : t) c = static_cast<char>(byte(rng));
    return t;
  };
  // Replies to `id` until its end; every reply on the connection must be
  // one of them.
  auto replies = [&](uint16_t id) {
    std::vector<qn::IdPacket> seen;
    for (;;) {
      auto reply = client.ReadReply(15000);
      if (!reply) {
        ADD_FAILURE() << "seed " << seed << " no reply to " << id;
        return seen;
      }
      EXPECT_EQ(reply->requestId, id) << "seed " << seed;
      seen.push_back(*reply);
      if (reply->type == qn::kPacketEnd || reply->type == qn::kPacketResult) return seen;
    }
  };
  auto code = [](const qn::IdPacket& p) { return p.body.size() == 2 ? p.body[0] | p.body[1] << 8 : -1; };
  uint16_t id = 1;
  for (int round = 0; round < 120; ++round) {
    const std::string service = round % 2 == 0 ? qn::test::kLocalService : "quillnetINPROC";
    const int kind = round % 4;
    ++id;
    if (kind == 0) {
      // An item of any bytes: the object lacks it.
      std::string item = text(300);
      if (item.empty()) item = "\x01";
      ASSERT_TRUE(client.Request(id, service, item, text(40)));
      auto seen = replies(id);
      ASSERT_EQ(seen.size(), 1u) << "seed " << seed;
      EXPECT_EQ(code(seen[0]), 0x1303) << "seed " << seed;
    } else if (kind == 1) {
      // A known item with any parameters: none of them is a step it knows.
      const int count = std::uniform_int_distribution<int>(1, 13)(rng);
      std::vector<std::string> params;
      bool allEmpty = true;
      for (int i = 0; i < count; ++i) {
        std::string p = text(30);
        for (char& c : p)
          if (c == '\x01') c = 'x';
        allEmpty &= p.empty();
        params.push_back(p);
      }
      ASSERT_TRUE(client.Request(id, service, round % 3 == 0 ? "Bin" : "Run", qn::client::Params(params)));
      auto seen = replies(id);
      ASSERT_FALSE(seen.empty());
      if (count > 10)
        EXPECT_EQ(code(seen.back()), 0x1304) << "seed " << seed;
      else if (allEmpty)
        EXPECT_EQ(seen.back().type, qn::kPacketEnd) << "seed " << seed;
      else
        EXPECT_EQ(code(seen.back()), 999) << "seed " << seed;
    } else if (kind == 2) {
      // Data of any bytes on a kept request; an empty packet lets a binary
      // one go.
      const char* item = round % 3 == 0 ? "Bin" : (round % 3 == 1 ? "Run" : "Plain");
      ASSERT_TRUE(client.Request(id, service, item, "keep"));
      bool open = true;
      for (int i = 0; i < 4 && open; ++i) {
        std::string data = text(i == 0 ? 3000 : 20);
        if (data == "release") data += "!";
        ASSERT_TRUE(client.FollowUp(id, data));
        auto reply = client.ReadReply(15000);
        ASSERT_TRUE(reply) << "seed " << seed;
        ASSERT_EQ(reply->requestId, id) << "seed " << seed;
        // Only a binary taker's first packet can let the request go: any
        // failed data call leaves the request without one.
        if (i == 0 && data.empty() && std::string(item) == "Bin") {
          EXPECT_EQ(reply->type, qn::kPacketEnd) << "seed " << seed;
          open = false;
        } else {
          EXPECT_EQ(code(*reply), 0x1306) << "seed " << seed << " " << item;
        }
      }
      if (open) {
        ASSERT_TRUE(client.Cancel(id));
      }
    } else {
      // Cancelled while its calls are out (or, in-process, already done): at
      // most its schema was sent, never an end or a code.
      ASSERT_TRUE(client.Request(id, service, "Run", "types:I4"));
      ASSERT_TRUE(client.Cancel(id));
      const uint16_t cancelled = id;
      ASSERT_TRUE(client.Request(++id, "Test", "Echo", "after"));
      for (;;) {
        auto reply = client.ReadReply(15000);
        ASSERT_TRUE(reply) << "seed " << seed;
        if (reply->requestId == id && reply->type == qn::kPacketEnd) break;
        if (reply->requestId == id) continue;
        ASSERT_EQ(reply->requestId, cancelled) << "seed " << seed;
        if (service == qn::test::kLocalService) {
          EXPECT_EQ(reply->type, qn::kPacketSchema) << "seed " << seed;
        }
      }
    }
  }
  Sync(client, 0x4444);
  EXPECT_TRUE(client.StaysSilent(100));
  ExpectServerServes();
}
