// Requests through the running server: routing, follow-ups, cancel, file
// transfers and the limit on queued output.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <fstream>
#include <thread>

#include "support/server_fixture.h"

using qn::client::Bytes;
using qn::client::ProtocolClient;

class RoutingTest : public qn::test::ServerFixture {
 protected:
  void SetUp() override { StartServer(); }
};

TEST_F(RoutingTest, ResultCodesOfTheCore) {
  ProtocolClient client = LoggedOn();
  struct Case {
    std::string service, item, params;
    uint16_t code;
  };
  for (const Case& c : {Case{"NoSuchService", "x", "", qn::kResultNoService},
                        Case{"TestOff", "x", "", qn::kResultNoService},
                        Case{"test", "Nothing", "", qn::kResultNoSuchRequest},
                        Case{"Test", "Fail", "4867", 4867},
                        Case{"Test", "Throw", "", qn::kResultServiceException}}) {
    ASSERT_TRUE(client.Request(11, c.service, c.item, c.params));
    auto table = qn::client::ReadTable(client, 11);
    ASSERT_TRUE(table) << c.service << " " << c.item;
    EXPECT_EQ(table->result, c.code) << c.service << " " << c.item;
    EXPECT_FALSE(table->schema);
  }
}

TEST_F(RoutingTest, AnExceptionInAContinuedStepEndsTheRequestWith0x1306) {
  ProtocolClient client = LoggedOn();
  ASSERT_TRUE(client.Request(13, "Test", "ThrowInStep", ""));
  auto table = qn::client::ReadTable(client, 13);
  ASSERT_TRUE(table);
  EXPECT_TRUE(table->schema);
  EXPECT_EQ(table->result, qn::kResultServiceException);
  // The connection goes on serving.
  ASSERT_TRUE(client.Request(14, "Test", "Echo", "x"));
  auto echo = qn::client::ReadTable(client, 14);
  ASSERT_TRUE(echo);
  EXPECT_TRUE(echo->ended);
}

TEST_F(RoutingTest, EndInsideTheRequestGivesOneEndAndNoResult) {
  ProtocolClient client = LoggedOn();
  ASSERT_TRUE(client.Request(12, "Test", "Echo", qn::client::Params({"a", "", "c"})));
  auto table = qn::client::ReadTable(client, 12);
  ASSERT_TRUE(table);
  EXPECT_TRUE(table->ended);
  ASSERT_TRUE(table->schema);
  EXPECT_EQ(table->schema->rowCount, 3);
  ASSERT_EQ(table->rows.size(), 3u);
  EXPECT_EQ(std::get<std::string>(table->rows[1][0]), "");
  EXPECT_TRUE(client.StaysSilent(200));
}

TEST_F(RoutingTest, FollowUpOfAnotherConnectionIsDropped) {
  ProtocolClient owner = LoggedOn();
  ProtocolClient other = LoggedOn();
  ASSERT_TRUE(owner.Request(9, "Test", "Wait"));
  ASSERT_TRUE(other.FollowUp(9, "stolen"));
  EXPECT_TRUE(other.StaysSilent(300));
  EXPECT_TRUE(owner.StaysSilent(100));
  ASSERT_TRUE(owner.FollowUp(9, "mine"));
  auto reply = owner.ReadReply();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->type, qn::kPacketMoreData);
  EXPECT_EQ(reply->requestId, 9);
  auto row = qn::DecodeRow({{kColumnString, "Params"}}, reply->body.data(), reply->body.size());
  ASSERT_TRUE(row);
  EXPECT_EQ(std::get<std::string>((*row)[0]), "1|mine");
}

TEST_F(RoutingTest, SecondParameterFollowUpReplacesTheFirst) {
  ProtocolClient client = LoggedOn();
  ASSERT_TRUE(client.Request(2, "Test", "Wait", "original"));
  ASSERT_TRUE(client.FollowUp(2, qn::client::Params({"a", "b"})));
  ASSERT_TRUE(client.FollowUp(2, "c"));
  std::vector<std::string> seen;
  for (int i = 0; i < 2; ++i) {
    auto reply = client.ReadReply();
    ASSERT_TRUE(reply);
    auto row = qn::DecodeRow({{kColumnString, "Params"}}, reply->body.data(), reply->body.size());
    ASSERT_TRUE(row);
    seen.push_back(std::get<std::string>((*row)[0]));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"2|a|b", "1|c"}));
}

TEST_F(RoutingTest, CancelEndsARequestSilently) {
  ProtocolClient client = LoggedOn();
  ASSERT_TRUE(client.Request(3, "Test", "Stream"));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(client.ReadReply());
  ASSERT_TRUE(client.Cancel(3));
  ASSERT_TRUE(client.Request(4, "Test", "Echo", "after"));
  // Rows already under way may still come; no end or result for 3 does.
  bool ended = false;
  for (int i = 0; i < 100000 && !ended; ++i) {
    auto reply = client.ReadReply();
    ASSERT_TRUE(reply);
    if (reply->requestId == 3) {
      EXPECT_EQ(reply->type, qn::kPacketMoreData);
    } else if (reply->type == qn::kPacketEnd) {
      ended = true;
    }
  }
  ASSERT_TRUE(ended);
  EXPECT_TRUE(client.StaysSilent(300)) << "the stream went on after its cancel";
  ASSERT_TRUE(client.FollowUp(3, "late"));
  EXPECT_TRUE(client.StaysSilent(200));
}

TEST_F(RoutingTest, CancelOrFollowUpWithIdZeroIsNoRequest) {
  ProtocolClient client = LoggedOn();
  ASSERT_TRUE(client.Request(5, "Test", "Wait"));
  ASSERT_TRUE(client.SendFrame({2, 0, 0}));
  ASSERT_TRUE(client.SendFrame({4, 0, 0, 'x'}));
  EXPECT_TRUE(client.StaysSilent(200));
  ASSERT_TRUE(client.FollowUp(5, "open"));
  auto reply = client.ReadReply();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->requestId, 5);
}

TEST_F(RoutingTest, ClientThatDoesNotReadIsClosedAtTheOutputLimit) {
  ProtocolClient slow = LoggedOn();
  // 700 rows of 30000 bytes exceed the 16 MiB that a connection may queue.
  ASSERT_TRUE(slow.Request(6, "Test", "Flood", "700"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ExpectServerServes();
  // What reached the socket before the close drains, then the close shows.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool closed = false;
  while (!closed && std::chrono::steady_clock::now() < deadline) {
    auto frame = slow.ReadFrame(2000);
    closed = !frame;
  }
  EXPECT_TRUE(closed);
}

class FileTransferTest : public qn::test::ServerFixture {
 protected:
  void SetUp() override {
    StartServer();
    std::filesystem::create_directories(ProgramDir());
  }

  std::string MakeFile(size_t size) {
    const std::string path = ProgramDir() + "file" + std::to_string(size);
    std::ofstream out(path, std::ios::binary);
    for (size_t i = 0; i < size; ++i) out.put(static_cast<char>(i * 13 % 251));
    out.close();
    struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    return path;
  }

  static Bytes Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
};

TEST_F(FileTransferTest, PushedFileRowCounts) {
  ProtocolClient client = LoggedOn();
  uint16_t id = 20;
  for (size_t size : {0u, 768u, 769u}) {
    const std::string path = MakeFile(size);
    ASSERT_TRUE(client.Request(++id, "Test", "SendFile", path));
    auto table = qn::client::ReadTable(client, id);
    ASSERT_TRUE(table) << size;
    ASSERT_TRUE(table->ended);
    ASSERT_TRUE(table->schema);
    const int32_t expected = size == 0 ? 1 : size == 768 ? 2 : 3;
    EXPECT_EQ(table->schema->rowCount, expected) << size;
    ASSERT_EQ(table->rows.size(), static_cast<size_t>(expected)) << size;
    const Bytes& stamp = std::get<Bytes>(table->rows[0][0]);
    ASSERT_EQ(stamp.size(), 4u);
    EXPECT_EQ(qn::GetU32(stamp.data()), 1000000000u);
    Bytes data;
    for (size_t r = 1; r < table->rows.size(); ++r) {
      const Bytes& piece = std::get<Bytes>(table->rows[r][0]);
      data.insert(data.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(data, Contents(path)) << size;
  }
}

TEST_F(FileTransferTest, AcknowledgingClientPullsEachPiece) {
  ProtocolClient client = LoggedOn(qn::kHelloFlagAckBlocks);
  const std::string path = MakeFile(2000);
  ASSERT_TRUE(client.Request(30, "Test", "SendFile", path));
  auto schema = client.ReadReply();
  auto stamp = client.ReadReply();
  ASSERT_TRUE(schema && stamp);
  EXPECT_TRUE(client.StaysSilent(200)) << "pieces come only when pulled";
  Bytes data;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(client.FollowUp(30, Bytes{}));
    auto row = client.ReadReply();
    ASSERT_TRUE(row);
    auto values = qn::DecodeRow({{kColumnBinary, "Block"}}, row->body.data(), row->body.size());
    ASSERT_TRUE(values);
    const Bytes& piece = std::get<Bytes>((*values)[0]);
    data.insert(data.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(data, Contents(path));
  ASSERT_TRUE(client.FollowUp(30, Bytes{}));
  auto end = client.ReadReply();
  ASSERT_TRUE(end);
  EXPECT_EQ(end->type, qn::kPacketEnd);
}

TEST_F(FileTransferTest, MissingFileIsRefused) {
  ProtocolClient client = LoggedOn();
  ASSERT_TRUE(client.Request(31, "Test", "SendFile", ProgramDir() + "absent"));
  auto table = qn::client::ReadTable(client, 31);
  ASSERT_TRUE(table);
  EXPECT_EQ(table->result, 0x7001);
  EXPECT_FALSE(table->schema);
}

TEST_F(FileTransferTest, UploadWaitsForTheTimeBlockAndKeepsIt) {
  ProtocolClient client = LoggedOn(qn::kHelloFlagAckBlocks);
  const std::string path = ProgramDir() + "upload.bin";
  ASSERT_TRUE(client.Request(40, "Test", "ReceiveFile", path));
  auto schema = client.ReadReply();
  ASSERT_TRUE(schema);
  EXPECT_EQ(schema->body, (Bytes{0xFF, 0xFF, 2, 'S', 't', 'a', 't', 'u', 's', 0}));
  auto expectStatus = [&] {
    auto status = client.ReadReply();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->type, qn::kPacketMoreData);
    EXPECT_EQ(status->body, (Bytes{1}));
  };
  ASSERT_TRUE(client.FollowUp(40, Bytes{1, 2, 3}));  // not a time block: ignored
  expectStatus();
  ASSERT_TRUE(client.FollowUp(40, Bytes{0x00, 0xCA, 0x9A, 0x3B}));  // 1000000000
  expectStatus();
  ASSERT_TRUE(client.FollowUp(40, Bytes{'a', 'b'}));
  expectStatus();
  ASSERT_TRUE(client.FollowUp(40, Bytes{'c'}));
  expectStatus();
  ASSERT_TRUE(client.FollowUp(40, Bytes{}));
  auto end = client.ReadReply();
  ASSERT_TRUE(end);
  EXPECT_EQ(end->type, qn::kPacketEnd);
  EXPECT_EQ(Contents(path), (Bytes{'a', 'b', 'c'}));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1000000000);
}

TEST_F(FileTransferTest, UploadWithoutAcknowledgementsIsSilentUntilTheEnd) {
  ProtocolClient client = LoggedOn();
  const std::string path = ProgramDir() + "quiet.bin";
  ASSERT_TRUE(client.Request(41, "Test", "ReceiveFile", path));
  ASSERT_TRUE(client.ReadReply());
  ASSERT_TRUE(client.FollowUp(41, Bytes{0, 0, 0, 0}));
  ASSERT_TRUE(client.FollowUp(41, Bytes(1000, 'z')));
  EXPECT_TRUE(client.StaysSilent(200));
  ASSERT_TRUE(client.FollowUp(41, Bytes{}));
  auto end = client.ReadReply();
  ASSERT_TRUE(end);
  EXPECT_EQ(end->type, qn::kPacketEnd);
  EXPECT_EQ(Contents(path).size(), 1000u);
}

// The names in a directory; the server may still be closing a connection's
// request, so callers wait for the set they expect.
std::vector<std::string> Names(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool AwaitNames(const std::string& directory, const std::vector<std::string>& want) {
  for (int i = 0; i < 100; ++i) {
    if (Names(directory) == want) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ADD_FAILURE() << "left in " << directory << ": " << ::testing::PrintToString(Names(directory));
  return false;
}

TEST_F(FileTransferTest, UploadTakesItsNameOnlyWhenCompleteAndNeverLeavesPieces) {
  const std::string dir = ProgramDir() + "up/";
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "Taken.BIN") << "kept";
  ProtocolClient client = LoggedOn();
  auto upload = [&](uint16_t id, const std::string& item, const std::string& name) {
    ASSERT_TRUE(client.Request(id, "Test", item, dir + name));
    auto schema = client.ReadReply();
    ASSERT_TRUE(schema);
    ASSERT_EQ(schema->type, qn::kPacketSchema);
    ASSERT_TRUE(client.FollowUp(id, Bytes{0, 0, 0, 0}));
    ASSERT_TRUE(client.FollowUp(id, Bytes(3000, 'n')));
  };

  // The name stays free while the data comes; the data waits beside it.
  upload(70, "ReceiveNew", "fresh.bin");
  ASSERT_TRUE(client.Request(71, "Test", "Echo", "sync"));
  ASSERT_TRUE(qn::client::ReadTable(client, 71));
  const std::vector<std::string> during = Names(dir);
  ASSERT_EQ(during.size(), 2u);
  EXPECT_TRUE(during[0].starts_with("QNS") && during[0].ends_with(".TMP")) << during[0];
  EXPECT_EQ(during[1], "Taken.BIN");
  ASSERT_TRUE(client.FollowUp(70, Bytes{}));
  auto done = qn::client::ReadTable(client, 70);
  ASSERT_TRUE(done);
  EXPECT_TRUE(done->ended && !done->result);
  EXPECT_EQ(Contents(dir + "fresh.bin").size(), 3000u);

  // A name taken in any case refuses the finished upload and keeps the file.
  upload(72, "ReceiveNew", "TAKEN.bin");
  ASSERT_TRUE(client.FollowUp(72, Bytes{}));
  auto refused = qn::client::ReadTable(client, 72);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->result, qn::kResultServiceException);
  EXPECT_EQ(Contents(dir + "Taken.BIN"), (Bytes{'k', 'e', 'p', 't'}));

  // Cancelled, or cut off with the connection: nothing replaces, nothing stays.
  upload(73, "ReceiveFile", "Taken.BIN");
  ASSERT_TRUE(client.Cancel(73));
  upload(74, "ReceiveFile", "cut.bin");
  client.Close();
  AwaitNames(dir, {"Taken.BIN", "fresh.bin"});
  EXPECT_EQ(Contents(dir + "Taken.BIN"), (Bytes{'k', 'e', 'p', 't'}));

  // Replacing is the default once the upload is complete.
  ProtocolClient again = LoggedOn();
  ASSERT_TRUE(again.Request(75, "Test", "ReceiveFile", dir + "Taken.BIN"));
  ASSERT_TRUE(again.ReadReply());
  ASSERT_TRUE(again.FollowUp(75, Bytes{0, 0, 0, 0}));
  ASSERT_TRUE(again.FollowUp(75, Bytes{'n', 'e', 'w'}));
  ASSERT_TRUE(again.FollowUp(75, Bytes{}));
  auto replaced = qn::client::ReadTable(again, 75);
  ASSERT_TRUE(replaced && replaced->ended);
  EXPECT_EQ(Contents(dir + "Taken.BIN"), (Bytes{'n', 'e', 'w'}));
  EXPECT_EQ(Names(dir), (std::vector<std::string>{"Taken.BIN", "fresh.bin"}));
}

TEST_F(FileTransferTest, BlockThatCannotBeWrittenFailsTheUploadAndLeavesNothing) {
  // A file size limit stands in for a full disk: writes past it fail.
  struct rlimit limit = {256 * 1024, RLIM_INFINITY};
  ASSERT_EQ(::prlimit(server.pid(), RLIMIT_FSIZE, &limit, nullptr), 0);
  const std::string dir = ProgramDir() + "full/";
  std::filesystem::create_directories(dir);
  ProtocolClient client = LoggedOn(qn::kHelloFlagAckBlocks);
  ASSERT_TRUE(client.Request(80, "Test", "ReceiveFile", dir + "big.bin"));
  ASSERT_TRUE(client.ReadReply());
  ASSERT_TRUE(client.FollowUp(80, Bytes{0, 0, 0, 0}));
  ASSERT_TRUE(client.ReadReply());
  std::optional<uint16_t> code;
  for (int block = 0; block < 40 && !code; ++block) {
    ASSERT_TRUE(client.FollowUp(80, Bytes(30000, 'f')));
    // Each block is acknowledged until one cannot be written.
    auto reply = client.ReadReply();
    ASSERT_TRUE(reply);
    if (reply->type == qn::kPacketResult)
      code = qn::GetU16(reply->body.data());
    else
      ASSERT_EQ(reply->body, (Bytes{1}));
  }
  EXPECT_EQ(code, qn::kResultServiceException);
  AwaitNames(dir, {});
  limit.rlim_cur = RLIM_INFINITY;
  ASSERT_EQ(::prlimit(server.pid(), RLIMIT_FSIZE, &limit, nullptr), 0);
  ExpectServerServes();
}

TEST_F(FileTransferTest, SendIsDueOnceItsLastRowIsQueuedEvenWithoutTheFinalPull) {
  ProtocolClient client = LoggedOn(qn::kHelloFlagAckBlocks);
  uint16_t id = 90;
  auto queued = [&] {
    const uint16_t ask = ++id;
    EXPECT_TRUE(client.Request(ask, "Test", "Queued"));
    auto table = qn::client::ReadTable(client, ask);
    return table && table->rows.size() == 1 ? std::get<int32_t>(table->rows[0][0]) : -1;
  };
  const std::string path = MakeFile(2000);  // three pieces
  const uint16_t send = ++id;
  ASSERT_TRUE(client.Request(send, "Test", "SendFile", path));
  ASSERT_TRUE(client.ReadReply());  // schema
  ASSERT_TRUE(client.ReadReply());  // time row
  for (int piece = 0; piece < 2; ++piece) {
    ASSERT_TRUE(client.FollowUp(send, Bytes{}));
    ASSERT_TRUE(client.ReadReply());
  }
  EXPECT_EQ(queued(), 0);
  ASSERT_TRUE(client.FollowUp(send, Bytes{}));
  ASSERT_TRUE(client.ReadReply());
  EXPECT_EQ(queued(), 1) << "due with the last row, before the final pull";
  ASSERT_TRUE(client.Cancel(send));
  EXPECT_EQ(queued(), 1);

  // Cancelled before its last row: not due.
  const uint16_t early = ++id;
  ASSERT_TRUE(client.Request(early, "Test", "SendFile", path));
  ASSERT_TRUE(client.ReadReply());
  ASSERT_TRUE(client.ReadReply());
  ASSERT_TRUE(client.Cancel(early));
  EXPECT_EQ(queued(), 1);
  // An empty file's last row is its time row.
  const uint16_t empty = ++id;
  ASSERT_TRUE(client.Request(empty, "Test", "SendFile", MakeFile(0)));
  ASSERT_TRUE(client.ReadReply());
  ASSERT_TRUE(client.ReadReply());
  EXPECT_EQ(queued(), 2);
  ASSERT_TRUE(client.FollowUp(empty, Bytes{}));
  auto end = client.ReadReply();
  ASSERT_TRUE(end);
  EXPECT_EQ(end->type, qn::kPacketEnd);
}

TEST_F(FileTransferTest, SlowReaderGetsTheWholeFileWithoutTheServerQueueingIt) {
  // Larger than a connection may queue: the push must rest once the socket
  // and the queue are full, and go on as the client reads, or the output
  // limit would close the connection.
  const std::string path = MakeFile(20 * 1024 * 1024);
  ProtocolClient client = LoggedOn();
  ASSERT_TRUE(client.Request(50, "Test", "SendFile", path));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto table = qn::client::ReadTable(client, 50, 30000);
  ASSERT_TRUE(table);
  ASSERT_TRUE(table->ended);
  Bytes data;
  for (size_t r = 1; r < table->rows.size(); ++r) {
    const Bytes& piece = std::get<Bytes>(table->rows[r][0]);
    data.insert(data.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(data, Contents(path));
}

// The system path of a network drive reaches the file through the drive
// connection and the share's directory.
class DriveConnectionTest : public FileTransferTest {
 protected:
  void SetUp() override {
    StartServer({{"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\DOS Devices",
                  {qn::test::StringLine("X:", "\\\\srv\\share"), qn::test::StringLine("\\\\srv\\share", "shared")}},
                 {"Drive Connections", {qn::test::StringLine("X:", "\\\\srv\\share")}}});
    std::filesystem::create_directories(RootPath() + "/shared/Dir");
    std::ofstream(RootPath() + "/shared/Dir/Note.txt") << "through the share";
  }
};

TEST_F(DriveConnectionTest, DownloadByDriveLetter) {
  ProtocolClient client = LoggedOn();
  ASSERT_TRUE(client.Request(60, "Test", "SendFile", "X:\\dir\\note.TXT"));
  auto table = qn::client::ReadTable(client, 60);
  ASSERT_TRUE(table);
  ASSERT_TRUE(table->ended) << (table->result ? *table->result : 0);
  ASSERT_EQ(table->rows.size(), 2u);
  const Bytes& piece = std::get<Bytes>(table->rows[1][0]);
  EXPECT_EQ(std::string(piece.begin(), piece.end()), "through the share");
}

TEST_F(RoutingTest, ReplyTooLongForItsLengthFieldIsNotSent) {
  ProtocolClient client = LoggedOn();
  ASSERT_TRUE(client.Request(13, "Test", "Huge"));
  auto reply = client.ReadReply();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->type, qn::kPacketEnd) << "the stream stays in step";
  EXPECT_EQ(reply->requestId, 13);
}

TEST_F(RoutingTest, ClientHoldingTooManyOpenRequestsIsClosed) {
  ProtocolClient client = LoggedOn();
  // The server may close before all of these are sent.
  for (int i = 1; i <= 600; ++i) client.Request(static_cast<uint16_t>(i), "Test", "Wait");
  EXPECT_TRUE(client.WaitClosed());
  ExpectServerServes();
}

TEST_F(RoutingTest, StreamRestsWhileTheClientDoesNotReadAndGoesOnAfter) {
  ProtocolClient client = LoggedOn();
  // Rows of 20000 bytes: unread, they would pass the output limit quickly.
  ASSERT_TRUE(client.Request(14, "Test", "Stream", "20000"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  int32_t expected = 0;
  ASSERT_TRUE(client.ReadReply());  // the schema
  const std::vector<CColumnDef> columns{{kColumnLong, "Counter"}, {kColumnBinary, "Filler"}};
  for (int i = 0; i < 3000; ++i) {
    auto reply = client.ReadReply();
    ASSERT_TRUE(reply) << "row " << i;
    auto row = qn::DecodeRow(columns, reply->body.data(), reply->body.size());
    ASSERT_TRUE(row);
    ASSERT_EQ(std::get<int32_t>((*row)[0]), expected++);
  }
  ASSERT_TRUE(client.Cancel(14));
}

TEST_F(RoutingTest, ServiceThatCannotBeMadeCostsOnlyItsRequest) {
  ProtocolClient client = LoggedOn();
  ASSERT_TRUE(client.Request(15, "Test", "Echo", "before"));
  ASSERT_TRUE(client.Request(16, "TestBroken", "x"));
  ASSERT_TRUE(client.Request(17, "Test", "Echo", "after"));
  auto before = qn::client::ReadTable(client, 15);
  auto after = qn::client::ReadTable(client, 17);
  ASSERT_TRUE(before && after);
  EXPECT_TRUE(after->ended);
  EXPECT_TRUE(client.StaysSilent(200));
}
