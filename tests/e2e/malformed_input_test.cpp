// Random and truncated input at every state of a connection: the server
// answers or closes exactly as the protocol says, and serves the next client.
#include <algorithm>
#include <filesystem>
#include <random>

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
