// The Monitor object from other processes (qnauto) against the real server,
// in both storage modes: every method and its edge cases, a sink hearing the
// member count, clients that stop or die while holding what the server gave
// them, a server that freezes, dies, stops or was never started, and bytes
// on the class socket that are not frames.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/automation/class_registry.h"
#include "platform/automation/wire.h"
#include "support/auto_client.h"
#include "support/member_install.h"
#include "support/protocol_client.h"
#include "support/server_process.h"
#include "support/service_helpers.h"

namespace {

using qn::client::Params;
using qn::client::ProtocolClient;
using qn::client::TableReply;
using qn::test::AutoClient;
using qn::test::MemberInstall;
using qn::test::StorageMode;

constexpr const char* kMonitor = "QuillnetServer.Monitor";
constexpr const char* kClsid = "{7DFB3D26-47E3-11CF-B5E0-00001D13DB37}";

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

class Member {
 public:
  bool Open(uint16_t port) { return client.Connect(port) && client.Hello().has_value(); }
  bool LogOn(const std::string& id) {
    const TableReply r = Call("Logon", "Logon", {id, "pw"});
    return r.ended && !r.result;
  }
  TableReply Call(const std::string& service, const std::string& item,
                  const std::vector<std::string>& params = {}) {
    const uint16_t id = nextId++;
    EXPECT_TRUE(client.Request(id, service, item, Params(params)));
    return qn::client::ReadTable(client, id, 10000).value_or(TableReply{});
  }
  // Opens the global-message listener (schema first, rows later).
  void Listen() {
    listenId = nextId++;
    ASSERT_TRUE(client.Request(listenId, "Utility", "GetGlobalMessages", ""));
    auto schema = client.ReadReply(5000);
    ASSERT_TRUE(schema.has_value());
  }
  // The next global message's text, empty when none came.
  std::string NextMessage(int timeoutMs = 5000) {
    auto reply = client.ReadReply(timeoutMs);
    if (!reply || reply->body.size() < 2) return "";
    const std::vector<uint8_t>& b = reply->body;
    return std::string(b.begin(), b.end());
  }
  ProtocolClient client;
  uint16_t nextId = 1;
  uint16_t listenId = 0;
};

class MonitorFromOutside : public ::testing::TestWithParam<StorageMode> {
 protected:
  void SetUp() override {
    if (GetParam() == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    port_ = qn::test::FindFreePort();
    std::string error;
    ASSERT_TRUE(install_.Create(GetParam(), port_, &error)) << error;
    install_.SeedAccountDefaults(1000, 0, -1);
    for (const char* id : {"Max", "Ann", "Bob"}) {
      install_.ExecAccount(std::string("INSERT INTO Accounts (UserID, Password, Credits, FirstName, "
                                       "LastName) VALUES ('") + id + "', 'pw', 1000, 'First" + id +
                           "', 'Last" + id + "')");
    }
    ASSERT_TRUE(qn::automation::RegisterLocalServerClass(kMonitor, kClsid,
                                                         "\"" QN_BIN_DIR "/qnsvr32\""));
    StartServer();
  }
  void TearDown() override {
    if (server_.IsRunning()) {
      EXPECT_EQ(server_.Stop(), 0);
    }
    if (HasFailure()) ADD_FAILURE() << "server's standard error:\n" << server_.StderrText();
  }
  void StartServer() {
    ASSERT_TRUE(server_.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port_))
        << server_.StderrText();
  }
  std::unique_ptr<Member> LogOn(const std::string& id) {
    auto m = std::make_unique<Member>();
    EXPECT_TRUE(m->Open(port_));
    // A member's previous connection may still be going.
    for (int i = 0; i < 500 && !m->LogOn(id); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return m;
  }
  std::unique_ptr<AutoClient> Monitor(int timeoutSeconds = 0) {
    auto a = std::make_unique<AutoClient>();
    EXPECT_TRUE(a->Start(kMonitor, timeoutSeconds));
    return a;
  }

  uint16_t port_ = 0;
  MemberInstall install_;
  qn::test::ServerProcess server_;
};

TEST_P(MonitorFromOutside, EveryMethodWithItsEdgeCasesAndASinkHearingTheCount) {
  auto monitor = Monitor();
  // The sink hears 0 during Bind, before Bind's own answer.
  EXPECT_EQ(monitor->Call("Bind\tsink"), "ok\t0");
  ASSERT_EQ(monitor->events().size(), 1u);
  EXPECT_EQ(monitor->events()[0], "event\t1\t0");

  EXPECT_EQ(monitor->Call("GetNbrConnections"), "ok\t0");
  auto max = LogOn("max");
  EXPECT_TRUE(monitor->AwaitEvent("event\t1\t1", 1, 5000));
  auto ann = LogOn("Ann");
  EXPECT_TRUE(monitor->AwaitEvent("event\t1\t2", 1, 5000));
  EXPECT_EQ(monitor->Call("GetNbrConnections"), "ok\t2");
  EXPECT_EQ(monitor->Call("#3"), "ok\t2");
  EXPECT_EQ(monitor->Call("GetNbrUsersOnlineNoSynch"), "ok\t2");

  const std::string profile = monitor->Call("GetUserProfile\ti2:0\t&s:u\t&s:l\t&s:f\t&s:c\t&s:t\t&i4:-1");
  const std::vector<std::string> p = Fields(profile);
  ASSERT_EQ(p.size(), 8u) << profile;
  EXPECT_EQ(p[0], "ok");
  EXPECT_EQ(p[1], "0");
  EXPECT_EQ(p[2], "Max");  // the stored form
  EXPECT_EQ(p[3], "LastMax");
  EXPECT_EQ(p[4], "FirstMax");
  EXPECT_FALSE(p[5].empty());
  EXPECT_TRUE(std::regex_match(p[6], std::regex("\\d\\d:\\d\\d:\\d\\d"))) << p[6];
  EXPECT_EQ(p[7], "1000");
  // Out of range, past the end or below it: the values come back untouched.
  for (const char* index : {"i2:2", "i2:-1"}) {
    EXPECT_EQ(monitor->Call(std::string("GetUserProfile\t") + index +
                            "\t&s:u\t&s:l\t&s:f\t&s:c\t&s:t\t&i4:-1"),
              "ok\t0\tu\tl\tf\tc\tt\t-1");
  }

  const std::string up1 = monitor->Call("GetTimeUp"), up2 = monitor->Call("GetTimeUp");
  EXPECT_TRUE(std::regex_match(up1, std::regex("ok\tRunning Time: 00[: ]0\\d"))) << up1;
  ASSERT_EQ(up1.size(), up2.size());
  EXPECT_NE(up1[up1.size() - 3], up2[up2.size() - 3]);  // the separator blinks
  const std::string start = monitor->Call("GetServerStartTime");
  EXPECT_TRUE(std::regex_match(start, std::regex("ok\t\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d"))) << start;

  // Global messages reach the listeners they name.
  max->Listen();
  ann->Listen();
  EXPECT_EQ(monitor->Call("SendGlobalMsgToAll\ts:to everyone\ti2:1"), "ok\t0");
  EXPECT_NE(max->NextMessage().find("to everyone"), std::string::npos);
  EXPECT_NE(ann->NextMessage().find("to everyone"), std::string::npos);
  EXPECT_EQ(monitor->Call("SendGlobalMsgToUserID\ts:ANN\ts:just you\ti2:0"), "ok\t0");
  EXPECT_NE(ann->NextMessage().find("just you"), std::string::npos);
  EXPECT_EQ(monitor->Call("SendGlobalMsgToUserID\ts:Nobody\ts:lost\ti2:0"), "ok\t0");
  EXPECT_TRUE(max->client.StaysSilent(200));

  // Refusals by status.
  EXPECT_EQ(monitor->Call("#8"), "error\t0x80020003");
  EXPECT_EQ(monitor->Call("#15"), "error\t0x80020003");
  EXPECT_EQ(monitor->Call("GetUsersOnline"), "error\t0x80020006");
  EXPECT_EQ(monitor->Call("KillUser"), "error\t0x8002000E");
  EXPECT_EQ(monitor->Call("AllowNewConnections\ts:perhaps"), "error\t0x80020005");
  EXPECT_EQ(monitor->Call("GetUserProfile\ti2:0\ts:u\ts:l\ts:f\ts:c\ts:t\ti4:0"), "error\t0x80020005");
  EXPECT_EQ(monitor->Call("no tabs allowed here\tx:1"), "error\t0x80070057");

  // Refusing new connections leaves the open ones working.
  EXPECT_EQ(monitor->Call("AllowNewConnections\tb:0"), "ok\t");
  ProtocolClient refused;
  ASSERT_TRUE(refused.Connect(port_));
  EXPECT_TRUE(refused.WaitClosed(5000));
  EXPECT_TRUE(max->Call("Utility", "GetSystemTime").ended);
  EXPECT_EQ(monitor->Call("AllowNewConnections\tb:1"), "ok\t");
  Member later;
  EXPECT_TRUE(later.Open(port_));

  EXPECT_EQ(monitor->Call("LockUserList"), "ok\t");
  EXPECT_EQ(monitor->Call("GetNbrUsersOnline"), "ok\t2");
  EXPECT_EQ(monitor->Call("UnlockUserList"), "ok\t");
  EXPECT_EQ(monitor->Call("UnlockUserList"), "ok\t");

  const size_t before = monitor->events().size();
  EXPECT_EQ(monitor->Call("KillUser\ts:Nobody"), "ok\t-1");
  EXPECT_EQ(monitor->Call("KillUser\ts:aNN"), "ok\t0");
  EXPECT_TRUE(ann->client.WaitClosed(5000));
  EXPECT_TRUE(monitor->AwaitEvent("event\t1\t1", before, 5000));
  max.reset();
  EXPECT_TRUE(monitor->AwaitEvent("event\t1\t0", before, 5000));
  // Then the user timer's pass tells the count again, every 15 seconds.
  const size_t afterLogoff = monitor->events().size();
  EXPECT_TRUE(monitor->AwaitEvent("event\t1\t0", afterLogoff, 20000));
  EXPECT_EQ(monitor->Finish(), 0);
}

TEST_P(MonitorFromOutside, StoppedSinksAndDeadLockHoldersCostTheServerNothing) {
  auto stopped = Monitor();
  EXPECT_EQ(stopped->Call("Bind\tsink"), "ok\t0");
  stopped->Signal(SIGSTOP);
  auto holder = Monitor();
  EXPECT_EQ(holder->Call("LockUserList"), "ok\t");
  EXPECT_EQ(holder->Call("LockUserList"), "ok\t");
  holder->Signal(SIGKILL);
  EXPECT_EQ(holder->Finish(), 128 + SIGKILL);

  // Logons and logoffs go on while one sink does not read.
  for (int i = 0; i < 20; ++i) {
    auto m = LogOn(i % 2 == 0 ? "Bob" : "Ann");
    ASSERT_TRUE(m->Call("Utility", "GetSystemTime").ended) << i;
  }
  auto other = Monitor();
  EXPECT_EQ(other->Call("LockUserList"), "ok\t");
  EXPECT_EQ(other->Call("UnlockUserList"), "ok\t");
  EXPECT_EQ(other->Call("GetNbrConnections"), "ok\t0");
  stopped->Signal(SIGCONT);
  EXPECT_TRUE(stopped->AwaitEvent("event\t1\t1", 1, 5000));
  EXPECT_EQ(stopped->Call("GetNbrUsersOnline"), "ok\t0");
}

INSTANTIATE_TEST_SUITE_P(BothStorageModes, MonitorFromOutside,
                         ::testing::Values(StorageMode::Access, StorageMode::Postgres),
                         [](const auto& info) {
                           return std::string(info.param == StorageMode::Access ? "Access"
                                                                                : "Postgres");
                         });

class MonitorServerGone : public MonitorFromOutside {};

TEST_P(MonitorServerGone, FrozenKilledStoppedAndAbsentServers) {
  auto monitor = Monitor(2);
  EXPECT_EQ(monitor->Call("GetNbrConnections"), "ok\t0");
  ASSERT_TRUE(qn::svctest::FreezeProcess(server_.pid()));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(monitor->Call("GetNbrConnections"), "error\t0x8001011F");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  ::kill(server_.pid(), SIGCONT);
  // The late answer is dropped; the next call is answered.
  EXPECT_EQ(monitor->Call("GetNbrConnections"), "ok\t0");

  // A stop ends the server while objects are held; their calls then fail.
  EXPECT_EQ(server_.Stop(SIGTERM, 10000), 0);
  const std::string gone = monitor->Call("GetNbrConnections");
  EXPECT_TRUE(gone == "error\t0x800706BF" || gone == "error\t0x800706BE") << gone;
  EXPECT_EQ(monitor->Finish(), 0);

  // A killed one, mid-session.
  StartServer();
  auto second = Monitor(5);
  EXPECT_EQ(second->Call("GetNbrConnections"), "ok\t0");
  server_.Stop(SIGKILL);
  const std::string killed = second->Call("GetNbrUsersOnline");
  EXPECT_TRUE(killed == "error\t0x800706BF" || killed == "error\t0x800706BE") << killed;

  // None at all: the registered program, started to serve, ends at once.
  AutoClient absent;
  ASSERT_TRUE(absent.Start(kMonitor, 5));
  EXPECT_EQ(absent.ReadLine(15000).value_or(""), "error\t0x80080005");
  EXPECT_EQ(absent.Finish(), 2);
  AutoClient unknown;
  ASSERT_TRUE(unknown.Start("QuillnetServer.Nothing", 5));
  EXPECT_EQ(unknown.ReadLine(15000).value_or(""), "error\t0x80040154");
  EXPECT_EQ(unknown.Finish(), 2);
}

// Raw bytes on the server's class socket.
int RawConnect() {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = (MemberInstall::Root() / "run/quillnet" / (std::string(kClsid) + ".sock")).string();
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  return fd;
}

bool ClosedWithin(int fd, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    char c;
    if (::recv(fd, &c, 1, MSG_DONTWAIT) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST_P(MonitorServerGone, BytesThatAreNotFramesCostOnlyTheirPeer) {
  const int half = RawConnect(), huge = RawConnect(), garbage = RawConnect();
  const uint8_t halfFrame[] = {200, 0, 0, 0, 1, 1, 0};
  const uint8_t hugeFrame[] = {0, 0, 0, 0x40};
  const uint8_t garbageFrame[] = {5, 0, 0, 0, 3, 9, 9, 9, 9};
  ASSERT_GT(::send(half, halfFrame, sizeof halfFrame, 0), 0);
  ASSERT_GT(::send(huge, hugeFrame, sizeof hugeFrame, 0), 0);
  ASSERT_GT(::send(garbage, garbageFrame, sizeof garbageFrame, 0), 0);
  EXPECT_TRUE(ClosedWithin(huge, 5000));
  EXPECT_TRUE(ClosedWithin(garbage, 5000));
  // The silent peer holds its socket and nothing more; others are served.
  auto monitor = Monitor();
  EXPECT_EQ(monitor->Call("GetNbrConnections"), "ok\t0");
  auto member = LogOn("Bob");
  EXPECT_EQ(monitor->Call("GetNbrUsersOnline"), "ok\t1");
  EXPECT_FALSE(ClosedWithin(half, 100));
  for (int fd : {half, huge, garbage}) ::close(fd);
}

TEST_P(MonitorServerGone, APeerThatCallsWithoutReadingIsDroppedWithAllItHeld) {
  const int greedy = RawConnect();
  std::string frames;
  qn::automation::wire::EncodeCreate(frames, 1, kClsid);
  ASSERT_EQ(::send(greedy, frames.data(), frames.size(), 0), static_cast<ssize_t>(frames.size()));
  uint8_t reply[32];
  ASSERT_EQ(::recv(greedy, reply, sizeof reply, 0), 22);
  uint32_t handle = 0;
  std::memcpy(&handle, reply + 15, 4);
  ASSERT_NE(handle, 0u);

  // Far more answers than the server keeps for a peer that does not read.
  class NoObjects : public qn::automation::wire::ObjectMarshal {
    void Export(qn::automation::IDispatch*, uint32_t*, bool*) override {}
    bool Import(uint32_t, bool, qn::automation::Ref<qn::automation::IDispatch>*) override { return false; }
  } none;
  frames.clear();
  for (uint32_t call = 2; call < 80000; ++call)
    qn::automation::wire::EncodeInvoke(frames, none, call, handle, 9, 1, 0, {});
  timeval limit{10, 0};
  ::setsockopt(greedy, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  size_t sent = 0;
  while (sent < frames.size()) {
    const ssize_t n = ::send(greedy, frames.data() + sent, frames.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  // Dropped: what was queued before arrives, then the end, well before all answers.
  ::setsockopt(greedy, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  size_t received = 0;
  char buf[65536];
  ssize_t n = 0;
  while ((n = ::recv(greedy, buf, sizeof buf, 0)) > 0) received += static_cast<size_t>(n);
  EXPECT_EQ(n, 0) << "no end after " << received << " bytes";
  EXPECT_LT(received, 79998u * 21u);  // 21 bytes an answer
  ::close(greedy);

  auto monitor = Monitor();
  EXPECT_EQ(monitor->Call("GetNbrConnections"), "ok\t0");
}

INSTANTIATE_TEST_SUITE_P(FileMode, MonitorServerGone, ::testing::Values(StorageMode::Access),
                         [](const auto&) { return std::string("Access"); });

}  // namespace
