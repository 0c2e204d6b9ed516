// The mail service against the real server, in both storage modes, with and
// without a mail relay configured: letters to members, forwarding members,
// unknown IDs and Internet addresses with their rows, charges and audit
// rows; the global message; listing and counting; attachments up and down;
// the Internet domain; home addresses; and bad input that leaves the server
// serving.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/registry.h"
#include "support/mail_seed.h"
#include "support/member_client.h"
#include "support/member_install.h"
#include "support/protocol_client.h"
#include "support/server_process.h"

namespace {

using qn::client::TableReply;
using qn::test::Code;
using qn::test::Ended;
using qn::test::MailSeed;
using qn::test::Member;
using qn::test::MemberInstall;
using qn::test::StorageMode;

std::string Text(const qn::DecodedValue& v) { return std::get<std::string>(v); }
int32_t Number(const qn::DecodedValue& v) { return std::get<int32_t>(v); }

const std::string kAnnounce = " has just sent you an Email message!";

struct Setting {
  StorageMode mode;
  bool relay;
};

class MailEndToEnd : public ::testing::TestWithParam<Setting> {
 protected:
  void SetUp() override {
    if (GetParam().mode == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    port_ = qn::test::FindFreePort();
    std::string error;
    ASSERT_TRUE(install_.Create(GetParam().mode, port_, &error)) << error;
    install_.SeedAccountDefaults(0, 0, -1);
    seed_.AddComposeKey(2);
    seed_.AddAccount("Ann", 1000, "", "ann");
    seed_.AddAccount("Bob");
    seed_.AddAccount("Cat", 1000, "Dan");
    seed_.AddAccount("Dan");
    seed_.AddAccount("Eve", 1000, "eve@x.example");
    CQuillnetRegistry registry;
    registry.WriteString("SMTP", "MailRelayAddress", GetParam().relay ? "relay.invalid" : "");
    registry.WriteString("SMTP", "PrimaryDomainName", "q.example");
    registry.WriteDWORD("SMTP", "Port", qn::test::FindFreePort());
    ASSERT_TRUE(server_.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port_))
        << server_.StderrText();
  }
  void TearDown() override {
    if (server_.IsRunning()) {
      // Whatever happened, the server serves the next client.
      Member next;
      EXPECT_TRUE(next.Open(port_));
      EXPECT_EQ(Code(next.Call("Logon", "Logon", {"nobody", "pw"})), 0x130B);
      EXPECT_EQ(server_.Stop(), 0);
    }
    CQuillnetRegistry().WriteString("SMTP", "MailRelayAddress", "");
    if (HasFailure()) ADD_FAILURE() << "server's standard error:\n" << server_.StderrText();
  }

  std::unique_ptr<Member> LogOn(const std::string& id, uint8_t flags = 0) {
    auto member = std::make_unique<Member>();
    EXPECT_TRUE(member->client.Connect(port_) && member->client.Hello(flags).has_value());
    EXPECT_TRUE(Ended(member->Call("Logon", "Logon", {id, "pw"}))) << id;
    return member;
  }
  static int32_t Credits(Member& member) {
    const TableReply reply = member.Call("Account", "GetCredits");
    return reply.rows.empty() ? -1 : Number(reply.rows[0][0]);
  }
  static std::string Attachment(int32_t id) {
    char name[24];
    std::snprintf(name, sizeof name, "%08d.ATT", id);
    return (MemberInstall::Root() / "var/lib/quillnet/QNMAIL" / name).string();
  }
  // Uploads `data` as the attachment of the messages; the reply.
  static TableReply Upload(Member& member, uint16_t id, const std::vector<std::string>& ids,
                           const std::string& data) {
    EXPECT_TRUE(member.client.Request(id, "Email", "UploadAttachedFile", qn::client::Params(ids)));
    EXPECT_TRUE(member.client.FollowUp(id, qn::client::Bytes{0x10, 0x20, 0x30, 0x40}));
    for (size_t at = 0; at < data.size(); at += 1000)
      EXPECT_TRUE(member.client.FollowUp(id, data.substr(at, 1000)));
    EXPECT_TRUE(member.client.FollowUp(id, qn::client::Bytes{}));
    return qn::client::ReadTable(member.client, id, 10000).value_or(TableReply{});
  }
  static std::string Downloaded(const TableReply& reply) {
    std::string data;
    for (size_t i = 1; i < reply.rows.size(); ++i) {
      const auto& bytes = std::get<std::vector<uint8_t>>(reply.rows[i][0]);
      data.append(bytes.begin(), bytes.end());
    }
    return data;
  }

  uint16_t port_ = 0;
  MemberInstall install_;
  MailSeed seed_{install_};
  qn::test::ServerProcess server_;
};

TEST_P(MailEndToEnd, LettersListingsAndAttachments) {
  const bool relay = GetParam().relay;
  auto ann = LogOn("Ann");
  auto bob = LogOn("Bob");
  ASSERT_TRUE(bob->client.Request(100, "Utility", "GetGlobalMessages"));
  ASSERT_TRUE(bob->client.ReadReply(5000).has_value());  // the listener's schema

  const TableReply domain = ann->Call("Email", "GetInternetDomain");
  ASSERT_EQ(domain.rows.size(), 1u);
  EXPECT_EQ(Text(domain.rows[0][0]), relay ? "q.example" : "");

  const TableReply letter =
      ann->Call("Email", "MailLtr", {"Hello", "Body", "-", "bob", "Cat", "Ghost", "Eve", "x@y.example"});
  ASSERT_TRUE(Ended(letter)) << Code(letter);
  EXPECT_EQ(letter.schema->rowCount, 5);
  // Internet recipients get a row only when refused.
  ASSERT_EQ(letter.rows.size(), relay ? 3u : 5u);
  const int32_t toBob = Number(letter.rows[0][0]);
  EXPECT_GT(toBob, 0);
  EXPECT_GT(Number(letter.rows[1][0]), toBob);
  EXPECT_EQ(Number(letter.rows[2][0]), -1);
  EXPECT_EQ(Text(letter.rows[2][1]), "Ghost");
  if (!relay) {
    EXPECT_EQ(Text(letter.rows[3][1]), "Eve");
    EXPECT_EQ(Text(letter.rows[4][1]), "x@y.example");
  }
  EXPECT_EQ(Credits(*ann), 1000 - 5 * 2);
  EXPECT_EQ(seed_.Messages("RecipID='Dan' AND Note LIKE '(Original message automatically forwarded "
                           "from Cat)%'"),
            1);
  EXPECT_EQ(seed_.Audits("UserID='Ann' AND KeyWord='MailLtr' AND Description LIKE 'Posted an "
                         "E-Mail Message to %'"),
            2);
  EXPECT_EQ(seed_.Audits("UserID='Ann' AND KeyWord='MailLtr' AND Description IN ('Posted an "
                         "Internet E-Mail Message to eve@x.example', 'Posted an Internet E-Mail "
                         "Message to x@y.example')"),
            relay ? 2 : 0);

  auto heard = bob->client.ReadReply(5000);
  ASSERT_TRUE(heard.has_value());
  EXPECT_EQ(heard->requestId, 100);
  const std::string text(heard->body.begin() + 1, heard->body.end() - 1);
  EXPECT_EQ(text, "Ann" + kAnnounce);

  EXPECT_EQ(Number(bob->Call("Email", "Count").rows.at(0)[0]), 1);
  const TableReply list = bob->Call("Email", "GetMail");
  ASSERT_TRUE(Ended(list));
  ASSERT_EQ(list.rows.size(), 1u);
  EXPECT_EQ(Number(list.rows[0][0]), toBob);
  EXPECT_EQ(Text(list.rows[0][1]), "Hello");
  EXPECT_EQ(Text(list.rows[0][2]), "Body");
  EXPECT_EQ(Text(list.rows[0][3]), "Ann");
  EXPECT_EQ(Number(bob->Call("Email", "Count").rows.at(0)[0]), 0);

  // An attachment to Bob and Dan, down once for each; a cancelled download
  // keeps the file.
  const TableReply withFile = ann->Call("Email", "MailLtr", {"f", "n", "f.txt", "Bob", "Dan"});
  ASSERT_EQ(withFile.rows.size(), 2u);
  const int32_t bobsFile = Number(withFile.rows[0][0]);
  const int32_t dansFile = Number(withFile.rows[1][0]);
  const std::string data(5000, 'z');
  const TableReply up = Upload(*ann, 60, {std::to_string(bobsFile), std::to_string(dansFile)}, data);
  EXPECT_TRUE(Ended(up)) << Code(up);
  auto dan = LogOn("Dan", qn::kHelloFlagAckBlocks);
  ASSERT_TRUE(dan->client.Request(70, "Email", "DownloadAttachedFile", std::to_string(dansFile)));
  ASSERT_TRUE(dan->client.ReadReply(5000).has_value());  // schema
  ASSERT_TRUE(dan->client.ReadReply(5000).has_value());  // the file time
  ASSERT_TRUE(dan->client.Cancel(70));
  EXPECT_EQ(Code(dan->Call("Email", "DownloadAttachedFile", {std::to_string(bobsFile)})), 0x1304);
  EXPECT_TRUE(std::filesystem::exists(Attachment(dansFile)));
  const TableReply down = bob->Call("Email", "DownloadAttachedFile", {std::to_string(bobsFile)});
  ASSERT_TRUE(Ended(down));
  EXPECT_EQ(Downloaded(down), data);
  EXPECT_EQ(Code(bob->Call("Email", "DownloadAttachedFile", {std::to_string(bobsFile)})), 0x1304);

  // Client text is never SQL; the member's own mail alone goes.
  const long before = seed_.Messages("1=1");
  EXPECT_TRUE(Ended(bob->Call("Email", "DeleteMail", {"0) OR (1=1", std::to_string(dansFile)})));
  EXPECT_EQ(seed_.Messages("1=1"), before);
  EXPECT_TRUE(Ended(bob->Call("Email", "DeleteMail", {std::to_string(bobsFile)})));
  EXPECT_EQ(seed_.Messages("1=1"), before - 1);
}

TEST_P(MailEndToEnd, InternetForwardingHomeAddressesAndBadInput) {
  const bool relay = GetParam().relay;
  seed_.SetHomeEmail("Bob", "bob@x.example");
  auto ann = LogOn("Ann");
  auto cat = LogOn("Cat");
  // Bob forwards to the Internet: with an attachment the letter waits for him.
  const TableReply plain = ann->Call("Email", "MailLtr", {"s", "n", "", "Bob"});
  const TableReply withFile = ann->Call("Email", "MailLtr", {"s", "n", "a.zip", "Bob"});
  ASSERT_TRUE(Ended(plain) && Ended(withFile));
  if (relay) {
    EXPECT_TRUE(plain.rows.empty());
    ASSERT_EQ(withFile.rows.size(), 1u);
    EXPECT_GT(Number(withFile.rows[0][0]), 0);
    EXPECT_EQ(seed_.Messages("RecipID='Bob' AND FileTitle='a.zip'"), 1);
  } else {
    ASSERT_EQ(plain.rows.size(), 1u);
    EXPECT_EQ(Number(plain.rows[0][0]), -1);
    EXPECT_EQ(Number(withFile.rows.at(0)[0]), -1);
  }
  // A member without an alias cannot write to the Internet.
  const TableReply noAlias = cat->Call("Email", "MailLtr", {"s", "n", "-", "x@y.example"});
  ASSERT_EQ(noAlias.rows.size(), 1u);
  EXPECT_EQ(Number(noAlias.rows[0][0]), -1);

  const TableReply home = cat->Call("Account", "SetHomeEmailAddress", {"cat@x.example"});
  if (relay) {
    EXPECT_TRUE(Ended(home));
    const TableReply shown = cat->Call("Account", "GetHomeEmailAddress");
    EXPECT_EQ(Text(shown.rows.at(0)[0]), "cat@x.example");
  } else {
    EXPECT_EQ(Code(home), 0x1601);
  }
  EXPECT_TRUE(Ended(cat->Call("Account", "SetHomeEmailAddress", {"Dan"})));

  // Bad input: refused with its code, and the next request is served.
  EXPECT_EQ(Code(cat->Call("Email", "Nothing")), 0x1303);
  EXPECT_EQ(Code(cat->Call("Email", "DownloadAttachedFile")), 0x1304);
  EXPECT_EQ(Code(cat->Call("Email", "DownloadAttachedFile", {"../../etc/passwd"})), 0x1304);
  EXPECT_EQ(Code(cat->Call("Email", "UploadAttachedFile", {"1 OR 1=1"})), 0x1304);
  install_.Exec("QNMAIL", "DROP TABLE MessageStore");
  EXPECT_EQ(Code(cat->Call("Email", "GetMail")), 0x1306);
  EXPECT_EQ(Number(cat->Call("Email", "Count").rows.at(0)[0]), 0);
  const TableReply lost = ann->Call("Email", "MailLtr", {"s", "n", "-", "Dan"});
  EXPECT_TRUE(Ended(lost));
  EXPECT_TRUE(lost.rows.empty());
  EXPECT_TRUE(Ended(cat->Call("Utility", "GetSystemTime")));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, MailEndToEnd,
    ::testing::Values(Setting{StorageMode::Access, false}, Setting{StorageMode::Access, true},
                      Setting{StorageMode::Postgres, false}, Setting{StorageMode::Postgres, true}),
    [](const auto& info) {
      return std::string(info.param.mode == StorageMode::Access ? "Access" : "Postgres") +
             (info.param.relay ? "WithRelay" : "WithoutRelay");
    });

}  // namespace
