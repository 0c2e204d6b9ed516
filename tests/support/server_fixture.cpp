#include "support/server_fixture.h"

namespace qn::test {

using qn::client::ProtocolClient;

void ServerFixture::StartServer(RegistrySections sections, const std::string& program) {
  port = FindFreePort();
  ASSERT_NE(port, 0);
  sections["General"].push_back(DwordLine("Port", port));
  WriteRegistry(RootPath(), sections);
  ASSERT_TRUE(server.Start(program, {"-sa"}, RootPath(), port)) << server.StderrText();
}

void ServerFixture::StopServer() {
  stopped = true;
  const int status = server.Stop();
  EXPECT_EQ(status, 0) << server.StderrText();
}

void ServerFixture::TearDown() {
  if (!stopped && server.pid() > 0) StopServer();
}

ProtocolClient ServerFixture::Connect() {
  ProtocolClient client;
  EXPECT_TRUE(client.Connect(port));
  return client;
}

ProtocolClient ServerFixture::Greeted(uint8_t flags) {
  ProtocolClient client = Connect();
  auto answer = client.Hello(flags);
  EXPECT_EQ(answer, (qn::client::Bytes{1, 0}));
  return client;
}

ProtocolClient ServerFixture::LoggedOn(uint8_t flags) {
  ProtocolClient client = Greeted(flags);
  EXPECT_TRUE(client.SendFrame({kMarkLoggedOn}));
  return client;
}

void ServerFixture::ExpectServerServes() {
  ProtocolClient client = LoggedOn();
  ASSERT_TRUE(client.Request(1, "Test", "Echo", "alive"));
  auto table = qn::client::ReadTable(client, 1);
  ASSERT_TRUE(table) << "the server no longer answers";
  ASSERT_EQ(table->rows.size(), 1u);
  EXPECT_EQ(std::get<std::string>(table->rows[0][0]), "alive");
}

}  // namespace qn::test
