// The client transport against the running server: framing, the hello, the
// client update push, the status block, the API log, start and stop.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/paths.h"
#include "server/core/frame_decoder.h"
#include "support/pe_writer.h"
#include "support/server_fixture.h"

using qn::client::Bytes;
using qn::client::ProtocolClient;
using qn::test::DwordLine;

namespace {

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Framed(const Bytes& payload) {
  Bytes out{static_cast<uint8_t>(payload.size() & 0xFF), static_cast<uint8_t>(payload.size() >> 8)};
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

}  // namespace

class FramingTest : public qn::test::ServerFixture {
 protected:
  void SetUp() override { StartServer(); }
};

TEST_F(FramingTest, LargestFrameIsAcceptedAndOneMoreByteCloses) {
  ProtocolClient client = LoggedOn();
  Bytes largest(qn::kMaxFrame, 0x09);  // an unknown packet type: dropped
  ASSERT_TRUE(client.SendFrame(largest));
  ASSERT_TRUE(client.Request(2, "Test", "Echo", "after"));
  auto table = qn::client::ReadTable(client, 2);
  ASSERT_TRUE(table);
  EXPECT_TRUE(table->ended);

  ASSERT_TRUE(client.SendRaw({0x00, 0x80}));  // announces 32768 bytes
  EXPECT_TRUE(client.WaitClosed());
  ExpectServerServes();
}

TEST_F(FramingTest, TwoFramesInOneWriteAndOneFrameInManyWrites) {
  ProtocolClient client = Connect();
  const Bytes hello = Framed(qn::EncodeHello({1, 0, 9.0f}));
  const Bytes mark = Framed({kMarkLoggedOn});
  ASSERT_TRUE(client.SendRaw(Join({hello, mark})));
  EXPECT_EQ(client.ReadFrame(), (Bytes{1, 0}));

  const Bytes request = Framed(qn::EncodeRequestPacket({3, "Test", "Echo", "x"}));
  for (uint8_t byte : request) {
    ASSERT_TRUE(client.SendRaw({byte}));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  auto table = qn::client::ReadTable(client, 3);
  ASSERT_TRUE(table);
  ASSERT_EQ(table->rows.size(), 1u);
  EXPECT_EQ(std::get<std::string>(table->rows[0][0]), "x");
}

TEST_F(FramingTest, ZeroLengthFrameAfterHelloIsDropped) {
  ProtocolClient client = LoggedOn();
  ASSERT_TRUE(client.SendFrame({}));
  ASSERT_TRUE(client.SendFrame({1, 0}));  // two bytes: dropped
  ASSERT_TRUE(client.Request(4, "Test", "Echo", "still"));
  auto table = qn::client::ReadTable(client, 4);
  ASSERT_TRUE(table);
  EXPECT_TRUE(table->ended);
}

class HelloTest : public qn::test::ServerFixture {
 protected:
  void SetUp() override { StartServer(); }
};

TEST_F(HelloTest, BadHellosCloseWithoutReply) {
  const Bytes good = qn::EncodeHello({1, 0, 9.0f});
  Bytes five(good.begin(), good.begin() + 5);
  Bytes seven = good;
  seven.push_back(0);
  Bytes typeTwo = good;
  typeTwo[0] = 2;
  for (const Bytes& hello : {five, seven, typeTwo, Bytes{}}) {
    ProtocolClient client = Connect();
    ASSERT_TRUE(client.SendFrame(hello));
    int frames = -1;
    EXPECT_TRUE(client.WaitClosed(5000, &frames)) << "hello of " << hello.size() << " bytes";
    EXPECT_EQ(frames, 0);
  }
  ExpectServerServes();
}

TEST_F(HelloTest, NoClientProgramAcceptsEveryVersion) {
  ProtocolClient client = Connect();
  EXPECT_EQ(client.Hello(0, 0.5f), (Bytes{1, 0}));
}

TEST_F(HelloTest, RequestBeforeLogonGetsNoService) {
  ProtocolClient client = Greeted();
  ASSERT_TRUE(client.Request(7, "Test", "Echo", "a"));
  auto table = qn::client::ReadTable(client, 7);
  ASSERT_TRUE(table);
  EXPECT_EQ(table->result, qn::kResultNoService);
}

// A client program file announcing version 2.1 and the updater, as the
// client update push finds them in the program directory.
class UpdateTest : public qn::test::ServerFixture {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(ProgramDir());
    program = qn::test::BuildProgramFileWithString(u"Comments", u"Quillnet client V2.1");
    program.resize(2500, 0xAB);  // three update pieces: 1024, 1024, 452
    qn::test::WriteFile(ProgramDir() + "QUILLNET.EXE", program);
    updater = Bytes(100, 0x55);
    qn::test::WriteFile(ProgramDir() + "QNCLIUPD.EXE", updater);
    StartServer();
  }

  static uint32_t U32(const Bytes& b, size_t at) { return qn::GetU32(b.data() + at); }

  Bytes program;
  Bytes updater;
};

TEST_F(UpdateTest, PushedWithoutPulling) {
  ProtocolClient client = Connect();
  EXPECT_EQ(client.Hello(0, 2.05f), (Bytes{2, 0}));
  auto header = client.ReadFrame();
  ASSERT_TRUE(header);
  ASSERT_EQ(header->size(), 8u);
  EXPECT_EQ(U32(*header, 0), program.size());
  Bytes received;
  std::vector<size_t> sizes;
  while (received.size() < program.size()) {
    auto piece = client.ReadFrame();
    ASSERT_TRUE(piece);
    sizes.push_back(piece->size());
    received.insert(received.end(), piece->begin(), piece->end());
  }
  EXPECT_EQ(received, program);
  EXPECT_EQ(sizes, (std::vector<size_t>{1024, 1024, 452}));
  // Afterwards the connection is in normal operation.
  ASSERT_TRUE(client.SendFrame({kMarkLoggedOn}));
  ASSERT_TRUE(client.Request(1, "Test", "Echo", "ok"));
  auto table = qn::client::ReadTable(client, 1);
  ASSERT_TRUE(table);
  EXPECT_TRUE(table->ended);
}

TEST_F(UpdateTest, PulledPieceByPiece) {
  ProtocolClient client = Connect();
  EXPECT_EQ(client.Hello(qn::kHelloFlagPullUpdate, 2.05f), (Bytes{2, 1}));
  EXPECT_TRUE(client.StaysSilent(300)) << "nothing comes before the client asks";
  ASSERT_TRUE(client.SendFrame({0}));
  auto header = client.ReadFrame();
  ASSERT_TRUE(header);
  EXPECT_EQ(U32(*header, 0), program.size());
  Bytes received;
  while (received.size() < program.size()) {
    ASSERT_TRUE(client.SendFrame({0}));
    auto piece = client.ReadFrame();
    ASSERT_TRUE(piece);
    received.insert(received.end(), piece->begin(), piece->end());
    EXPECT_TRUE(client.StaysSilent(50));
  }
  EXPECT_EQ(received, program);
}

TEST_F(UpdateTest, OlderThan202GetsTheUpdaterAnd202ItselfCountsAsOlder) {
  for (float version : {1.5f, 2.02f}) {
    ProtocolClient client = Connect();
    EXPECT_EQ(client.Hello(0, version), (Bytes{2, 0}));
    auto header = client.ReadFrame();
    ASSERT_TRUE(header);
    EXPECT_EQ(U32(*header, 0), updater.size()) << version;
    auto piece = client.ReadFrame();
    ASSERT_TRUE(piece);
    EXPECT_EQ(*piece, updater);
  }
}

TEST_F(UpdateTest, SameVersionIsAccepted) {
  ProtocolClient client = Connect();
  EXPECT_EQ(client.Hello(0, 2.1f), (Bytes{1, 0}));
}

// The version is read from a file found without regard to case; the update
// push must find the same files.
TEST_F(UpdateTest, FilesNamedInLowerCaseAreSentToo) {
  StopServer();
  std::filesystem::rename(ProgramDir() + "QUILLNET.EXE", ProgramDir() + "quillnet.exe");
  std::filesystem::rename(ProgramDir() + "QNCLIUPD.EXE", ProgramDir() + "QnCliUpd.exe");
  stopped = false;
  StartServer();
  for (float version : {2.05f, 1.5f}) {
    const Bytes& expected = version > 2.02f ? program : updater;
    ProtocolClient client = Connect();
    EXPECT_EQ(client.Hello(0, version), (Bytes{2, 0}));
    auto header = client.ReadFrame();
    ASSERT_TRUE(header) << version;
    ASSERT_EQ(header->size(), 8u);
    EXPECT_EQ(U32(*header, 0), expected.size()) << version;
    Bytes received;
    while (received.size() < expected.size()) {
      auto piece = client.ReadFrame();
      ASSERT_TRUE(piece);
      received.insert(received.end(), piece->begin(), piece->end());
    }
    EXPECT_EQ(received, expected);
  }
}

class LifecycleTest : public qn::test::ServerFixture {};

TEST_F(LifecycleTest, ApiLogNumbersConnectionsAndRequests) {
  StartServer({{"Logging", {DwordLine("APILog", 1)}}});
  {
    ProtocolClient client = LoggedOn();
    ASSERT_TRUE(client.Request(5, "Test", "Echo", qn::client::Params({"a", "b"})));
    ASSERT_TRUE(qn::client::ReadTable(client, 5));
    ASSERT_TRUE(client.Request(6, "Test", "Fail", "4867"));
    ASSERT_TRUE(qn::client::ReadTable(client, 6));
  }
  StopServer();
  std::ifstream in(ProgramDir() + "QNAPILOG.TXT", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const std::string log = text.str();
  // Two transports made at start take numbers 1 and 2; the first client
  // is number 3.
  EXPECT_EQ(log.rfind("# Quillnet Server started\r\n", 0), 0u) << log;
  EXPECT_NE(log.find("c 1\r\nd 1\r\nc 2\r\nd 2\r\nc 3\r\n"), std::string::npos) << log;
  // A service class that cannot be made is logged at start, which goes on.
  EXPECT_NE(log.find("# Exception while creating CServiceTestBroken\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("s 3 5 Test;Echo;a,b;\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("s 3 6 Test;Fail;4867;\r\n# failed\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("d 3\r\n"), std::string::npos) << log;
}

TEST_F(LifecycleTest, NoApiLogFileWhenOff) {
  StartServer();
  { ProtocolClient client = Greeted(); }
  StopServer();
  EXPECT_FALSE(std::filesystem::exists(ProgramDir() + "QNAPILOG.TXT"));
}

TEST_F(LifecycleTest, StatusBlockCountsConnectionsInTheirSlots) {
  StartServer({{"General", {DwordLine("NoDNSLookup", 1)}}});
  const std::string name =
      "/QuillnetSvrAndConnections." + qn::paths::RootTag();  // QN_ROOT is the fixture's root
  ProtocolClient first = Greeted();
  ProtocolClient second = LoggedOn();
  ASSERT_TRUE(second.Request(1, "Test", "Wait"));
  // Routing is asynchronous to us: wait for the open request to show.
  const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0) << name;
  auto* block = static_cast<const uint8_t*>(::mmap(nullptr, 65536, PROT_READ, MAP_SHARED, fd, 0));
  ::close(fd);
  ASSERT_NE(block, MAP_FAILED);
  auto read32 = [&](size_t at) { return qn::GetU32(block + at); };
  for (int i = 0; i < 1500 && read32(0x120C) != 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(read32(0x1200), 24u);
  EXPECT_EQ(read32(0x1204), 2u);
  EXPECT_EQ(read32(0x120C), 1u);
  EXPECT_EQ(read32(0), 1u);
  EXPECT_EQ(read32(144), 1u);
  EXPECT_EQ(read32(0x7C), 20u);
  std::u16string slotName;
  for (size_t i = 4; block[i] != 0 || block[i + 1] != 0; i += 2)
    slotName += static_cast<char16_t>(block[i] | block[i + 1] << 8);
  EXPECT_EQ(slotName, u"TCP/IP (127.0.0.1)");
  EXPECT_GE(read32(0x80), 1u);  // the hello
  EXPECT_GE(read32(0x84), 1u);  // its answer
  first.Close();
  for (int i = 0; i < 1500 && read32(0x1204) != 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(read32(0x1204), 1u);
  EXPECT_EQ(read32(0), 0u);
  ::munmap(const_cast<uint8_t*>(block), 65536);
}

TEST_F(LifecycleTest, SecondServerOfTheSameRootRefusesToStart) {
  StartServer();
  qn::test::ServerProcess second;
  ASSERT_TRUE(second.Start("qnsvr32_test", {"-sa"}, RootPath(), 0));
  EXPECT_EQ(second.Wait(15000), 1);
  EXPECT_NE(second.StderrText().find("An instance of the Quillnet NT Server is (probably) already running."),
            std::string::npos);
  ExpectServerServes();
}

TEST_F(LifecycleTest, ShippedProgramNeedsTheStandAloneSwitch) {
  qn::test::ServerProcess plain;
  ASSERT_TRUE(plain.Start("qnsvr32", {}, RootPath(), 0));
  EXPECT_EQ(plain.Wait(15000), 1);
  EXPECT_NE(plain.StderrText().find("The Quillnet NT Server must be started as an NT Service."),
            std::string::npos);
}

TEST_F(LifecycleTest, ShippedProgramKnowsNoTestMarker) {
  StartServer({}, "qnsvr32");
  ProtocolClient client = Greeted();
  ASSERT_TRUE(client.SendFrame({kMarkLoggedOn, 0, 0}));
  ASSERT_TRUE(client.Request(1, "Test", "Echo", "a"));
  auto table = qn::client::ReadTable(client, 1);
  ASSERT_TRUE(table);
  EXPECT_EQ(table->result, qn::kResultNoService);
}

TEST_F(LifecycleTest, StopsCleanlyOnSigintWithOpenConnections) {
  StartServer();
  ProtocolClient client = LoggedOn();
  ASSERT_TRUE(client.Request(1, "Test", "Stream"));
  ASSERT_TRUE(client.ReadReply());
  stopped = true;
  EXPECT_EQ(server.Stop(SIGINT), 0) << server.StderrText();
  const std::string name = "/dev/shm/QuillnetSvrAndConnections." + qn::paths::RootTag();
  EXPECT_FALSE(std::filesystem::exists(name));
}

TEST_F(UpdateTest, LargeUpdateToASlowClientArrivesWhole) {
  StopServer();
  stopped = false;
  program.resize(20 * 1024 * 1024 + 17, 0x3C);  // more than a connection may queue
  qn::test::WriteFile(ProgramDir() + "QUILLNET.EXE", program);
  StartServer();
  ProtocolClient client = Connect();
  EXPECT_EQ(client.Hello(0, 2.05f), (Bytes{2, 0}));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto header = client.ReadFrame();
  ASSERT_TRUE(header);
  Bytes received;
  while (received.size() < program.size()) {
    auto piece = client.ReadFrame(10000);
    ASSERT_TRUE(piece) << received.size();
    received.insert(received.end(), piece->begin(), piece->end());
  }
  EXPECT_EQ(received, program);
}

// Slow by nature: the logon timeout counts in minutes and silence in 90
// seconds, on the server's own clock.
TEST_F(LifecycleTest, LogonTimeoutAndSilenceCloseConnections) {
  StartServer({{"General", {DwordLine("Timeout", 1)}}});
  ProtocolClient anonymous = Greeted();
  ProtocolClient talking = LoggedOn();
  ProtocolClient silent = LoggedOn();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_until(start + std::chrono::seconds(62));
  // The frames of the read that finds the timeout are still served.
  ASSERT_TRUE(anonymous.Request(9, "Test", "Echo"));
  ASSERT_TRUE(talking.SendFrame({}));
  auto late = qn::client::ReadTable(anonymous, 9);
  ASSERT_TRUE(late) << "the request that comes after the logon timeout gets its reply";
  EXPECT_EQ(late->result, qn::kResultNoService);
  EXPECT_TRUE(anonymous.WaitClosed()) << "data after the logon timeout closes an anonymous connection";
  EXPECT_TRUE(talking.StaysSilent(500));
  // Silence is checked every 15 seconds: after 90 to 105 seconds it closes.
  std::this_thread::sleep_until(start + std::chrono::seconds(107));
  EXPECT_TRUE(silent.WaitClosed(1000));
  EXPECT_TRUE(talking.StaysSilent(100)) << "45 seconds of silence are allowed";
}

TEST_F(LifecycleTest, ReverseLookupExtendsTheSlotName) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  char host[1025];
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&address), sizeof address, host, sizeof host, nullptr, 0,
                    NI_NAMEREQD) != 0)
    GTEST_SKIP() << "this machine has no name for 127.0.0.1";
  StartServer();
  ProtocolClient client = Greeted();
  const std::string name = "/QuillnetSvrAndConnections." + qn::paths::RootTag();
  const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  auto* block = static_cast<const uint8_t*>(::mmap(nullptr, 65536, PROT_READ, MAP_SHARED, fd, 0));
  ::close(fd);
  ASSERT_NE(block, MAP_FAILED);
  const std::u16string expected = u"TCP/IP (127.0.0.1) (" +
                                  std::u16string(host, host + std::strlen(host)) + u")";
  std::u16string slotName;
  for (int i = 0; i < 1500 && slotName != expected.substr(0, 59); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    slotName.clear();
    for (size_t at = 4; at < 124 && (block[at] != 0 || block[at + 1] != 0); at += 2)
      slotName += static_cast<char16_t>(block[at] | block[at + 1] << 8);
  }
  EXPECT_EQ(slotName, expected.substr(0, 59));
  ::munmap(const_cast<uint8_t*>(block), 65536);
}
