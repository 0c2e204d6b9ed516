#include "support/installed_server.h"

namespace qn::test {

bool Session::Open(uint16_t port, uint8_t flags) {
  return client.Connect(port) && client.Hello(flags).has_value();
}

uint16_t Session::Send(const std::string& service, const std::string& item,
                       const std::vector<std::string>& params) {
  const uint16_t id = nextId++;
  EXPECT_TRUE(client.Request(id, service, item, client::Params(params)));
  return id;
}

client::TableReply Session::Call(const std::string& service, const std::string& item,
                                 const std::vector<std::string>& params) {
  const uint16_t id = Send(service, item, params);
  auto reply = client::ReadTable(client, id, 20000);
  EXPECT_TRUE(reply.has_value()) << service << " " << item;
  return reply.value_or(client::TableReply{});
}

std::optional<Session::File> Session::Fetch(const std::string& service, const std::string& item,
                                            const std::vector<std::string>& params) {
  const client::TableReply reply = Call(service, item, params);
  if (!Ended(reply) || !reply.schema || reply.rows.empty()) return std::nullopt;
  const auto& columns = reply.schema->columns;
  if (columns.size() != 1 || columns[0].name != "Block" ||
      reply.schema->rowCount != static_cast<int32_t>(reply.rows.size()))
    return std::nullopt;
  File file;
  const auto& stamp = std::get<std::vector<uint8_t>>(reply.rows[0][0]);
  if (stamp.size() != 4) return std::nullopt;
  file.modified = GetU32(stamp.data());
  for (size_t i = 1; i < reply.rows.size(); ++i) {
    const auto& piece = std::get<std::vector<uint8_t>>(reply.rows[i][0]);
    file.bytes.insert(file.bytes.end(), piece.begin(), piece.end());
  }
  return file;
}

bool Ended(const client::TableReply& reply) { return reply.ended && !reply.result; }
uint16_t Code(const client::TableReply& reply) { return reply.result.value_or(0); }

void InstalledServerTest::SetUp() {
  if (GetParam() == StorageMode::Postgres && !PostgresTestServerAvailable())
    GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
  port_ = FindFreePort();
  std::string error;
  ASSERT_TRUE(install_.Create(GetParam(), port_, &error)) << error;
  install_.SeedAccountDefaults(1000, 0, -1);
  BeforeStart();
  if (HasFatalFailure()) return;
  ASSERT_TRUE(server_.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port_))
      << server_.StderrText();
}

void InstalledServerTest::TearDown() {
  if (server_.IsRunning()) EXPECT_EQ(server_.Stop(), 0);
  if (HasFailure()) ADD_FAILURE() << "server's standard error:\n" << server_.StderrText();
}

std::unique_ptr<Session> InstalledServerTest::Connect(uint8_t flags) {
  auto session = std::make_unique<Session>();
  EXPECT_TRUE(session->Open(port_, flags));
  return session;
}

std::unique_ptr<Session> InstalledServerTest::Create(const std::string& userId) {
  auto session = Connect();
  const client::TableReply reply = session->Call("Logon", "CreateAccount", {userId, "pw"});
  EXPECT_TRUE(Ended(reply)) << userId << " code " << Code(reply);
  return session;
}

std::string InstalledProgramDir() {
  return (MemberInstall::Root() / "var/lib/quillnet").string() + "/";
}

std::string StorageModeParamName(const ::testing::TestParamInfo<StorageMode>& info) {
  return info.param == StorageMode::Access ? "Access" : "Postgres";
}

}  // namespace qn::test
