// What a request costs the database, in statements, against the test build
// of the server (the "Test" "Statements" item sums every pooled connection's
// counter), in both storage modes: a logon and a logoff with a request
// between, an inbound SMTP message to one member, a letter to one member and
// a file-library list. Each figure is exact, so a statement that comes back
// fails its test.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "common/registry.h"
#include "support/filelib_seed.h"
#include "support/mail_seed.h"
#include "support/member_client.h"
#include "support/member_install.h"
#include "support/server_process.h"
#include "support/smtp_peers.h"

namespace {

using qn::test::Code;
using qn::test::Ended;
using qn::test::MailSeed;
using qn::test::Member;
using qn::test::MemberInstall;
using qn::test::StorageMode;

constexpr uint8_t kMarkLoggedOn = 0x7F;

class StatementCounts : public ::testing::TestWithParam<StorageMode> {
 protected:
  void SetUp() override {
    if (GetParam() == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    port_ = qn::test::FindFreePort();
    smtpPort_ = qn::test::FindFreePort();
    std::string error;
    ASSERT_TRUE(install_.Create(GetParam(), port_, &error)) << error;
    install_.SeedAccountDefaults(1000, 0, -1);
    mail_.AddComposeKey(1);
    for (const char* id : {"Ann", "Bob", "Cy", "Dee"}) {
      std::string alias = id;
      alias[0] = static_cast<char>(alias[0] - 'A' + 'a');
      mail_.AddAccount(id, 1000, "", alias);
    }
    qn::test::FileLibrarySeed library(install_);
    library.AddFolder({10, "Docs", -1, -1, "C:\\lib\\docs"});
    library.AddFile({100, "a.txt", "C:\\lib\\docs", "text", 1'600'000'000, "Ann", "short", "long",
                     1'600'000'000},
                    {10});
    CQuillnetRegistry registry;
    registry.WriteString("SMTP", "MailRelayAddress", "127.0.0.1");
    registry.WriteString("SMTP", "PrimaryDomainName", "q.example");
    registry.WriteDWORD("SMTP", "Port", smtpPort_);
    registry.WriteDWORD("SMTP", "MailRelayPort", qn::test::FindFreePort());
    ASSERT_TRUE(server_.Start("qnsvr32_test", {"-sa"}, MemberInstall::Root().string(), port_))
        << server_.StderrText();
    ASSERT_TRUE(qn::test::WaitUntil([&] { return qn::test::IsPortListening(smtpPort_); }));
    ASSERT_TRUE(observer_.Open(port_));
    ASSERT_TRUE(observer_.client.SendFrame({kMarkLoggedOn}));
    // Every pooled connection opened (and, with PostgreSQL, its statistics
    // refreshed) before anything is counted.
    Cycle("Dee");
    ASSERT_EQ(Inbound("dee"), "250 Message delivered\r\n");
    auto dee = LogOn("Dee");
    ASSERT_TRUE(Ended(dee->Call("Email", "MailLtr", {"s", "n", "", "Cy"})));
    ASSERT_TRUE(Ended(dee->Call("FileLib", "GetFiles4FolderByNameAsc", {"10"})));
    dee.reset();
    ASSERT_TRUE(AwaitMembers(0));
  }
  void TearDown() override {
    if (server_.IsRunning()) {
      EXPECT_EQ(server_.Stop(), 0);
    }
    CQuillnetRegistry().WriteString("SMTP", "MailRelayAddress", "");
    if (HasFailure()) ADD_FAILURE() << "server's standard error:\n" << server_.StderrText();
  }

  // Statements run so far, and members logged on.
  std::pair<long, long> Counters() {
    const qn::client::TableReply reply = observer_.Call("Test", "Statements");
    EXPECT_EQ(reply.rows.size(), 1u);
    if (reply.rows.size() != 1) return {-1, -1};
    return {std::get<int32_t>(reply.rows[0][0]), std::get<int32_t>(reply.rows[0][1])};
  }
  long Statements() { return Counters().first; }
  bool OnPostgres() const { return GetParam() == StorageMode::Postgres; }
  // Waits until `members` are logged on: a logoff has run whole by then.
  bool AwaitMembers(long members) {
    return qn::test::WaitUntil([&] { return Counters().second == members; });
  }

  std::unique_ptr<Member> LogOn(const std::string& id) {
    auto member = std::make_unique<Member>();
    EXPECT_TRUE(member->Open(port_));
    EXPECT_TRUE(Ended(member->Call("Logon", "Logon", {id, "pw"}))) << id;
    return member;
  }
  void Cycle(const std::string& id) {
    LogOn(id).reset();
    ASSERT_TRUE(AwaitMembers(0));
  }
  // One message to `alias` through a session of its own; the reply to ".".
  std::string Inbound(const std::string& alias) {
    qn::test::SmtpClient smtp;
    if (!smtp.Connect(smtpPort_)) return "no connection";
    smtp.ReadReply();
    smtp.Send("HELO far.example\r\nMAIL From:<pen@far.example>\r\nRCPT To:<" + alias +
              "@q.example>\r\nDATA\r\n");
    const std::string replies = smtp.ReadReplies(4);
    if (replies.find("354") == std::string::npos) return replies;
    smtp.Send("Subject: Hello\r\n\r\nA line.\r\n.\r\n");
    const std::string delivered = smtp.ReadReply();
    smtp.Send("QUIT\r\n");
    return delivered;
  }

  uint16_t port_ = 0, smtpPort_ = 0;
  MemberInstall install_;
  MailSeed mail_{install_};
  qn::test::ServerProcess server_;
  Member observer_;
};

TEST_P(StatementCounts, LogonAndLogoffWithARequestBetweenCostAtMostFour) {
  const long start = Statements();
  auto ann = LogOn("Ann");
  const long afterLogon = Statements();
  // The row and the keys in one read, the audit row in one insert.
  EXPECT_EQ(afterLogon - start, 2);
  EXPECT_TRUE(Ended(ann->Call("Utility", "GetSystemTime")));
  EXPECT_EQ(Statements(), afterLogon);
  ann.reset();
  ASSERT_TRUE(AwaitMembers(0));
  // One update by UserID and the audit row, in one statement where they
  // share the database.
  EXPECT_EQ(Statements() - afterLogon, OnPostgres() ? 1 : 2);
  EXPECT_EQ(install_.CountAccount("SELECT UserID FROM Accounts WHERE UserID='Ann' AND LastOn IS NOT NULL"), 1);

  // Refusals: the read alone, and for a wrong password its audit row.
  const long beforeRefusals = Statements();
  Member refused;
  ASSERT_TRUE(refused.Open(port_));
  EXPECT_EQ(Code(refused.Call("Logon", "Logon", {"Nobody", "pw"})), 0x130B);
  EXPECT_EQ(Statements() - beforeRefusals, 1);
  EXPECT_EQ(Code(refused.Call("Logon", "Logon", {"Ann", "wrong"})), 0x130A);
  EXPECT_EQ(Statements() - beforeRefusals, 3);
}

TEST_P(StatementCounts, InboundMessageToOneMemberCostsAtMostThree) {
  const long start = Statements();
  EXPECT_EQ(Inbound("ann"), "250 Message delivered\r\n");
  // The alias read at RCPT (its row ends the forwarding), the stored
  // message and the audit row (with the message where they share the
  // database).
  EXPECT_EQ(Statements() - start, OnPostgres() ? 2 : 3);
  EXPECT_EQ(mail_.Messages("RecipID='Ann' AND SenderID='pen@far.example'"), 1);
}

TEST_P(StatementCounts, LetterToOneMemberAndAFileListing) {
  auto ann = LogOn("Ann");
  long start = Statements();
  const qn::client::TableReply letter = ann->Call("Email", "MailLtr", {"Hi", "Note", "", "Bob"});
  ASSERT_TRUE(Ended(letter));
  ASSERT_EQ(letter.rows.size(), 1u);
  EXPECT_GT(std::get<int32_t>(letter.rows[0][0]), 0);
  // Bob's forwarding, the message with its new MessageID (read back by a
  // statement of its own from SQLite), the audit row.
  EXPECT_EQ(Statements() - start, OnPostgres() ? 3 : 4);

  start = Statements();
  const qn::client::TableReply files = ann->Call("FileLib", "GetFiles4FolderByNameAsc", {"10"});
  ASSERT_TRUE(Ended(files));
  EXPECT_EQ(files.rows.size(), 1u);
  // The folder's read key, then its files.
  EXPECT_EQ(Statements() - start, 2);
  start = Statements();
  ASSERT_TRUE(Ended(ann->Call("FileLib", "GetFolderTree")));
  EXPECT_EQ(Statements() - start, 1);
}

INSTANTIATE_TEST_SUITE_P(BothStorageModes, StatementCounts,
                         ::testing::Values(StorageMode::Access, StorageMode::Postgres),
                         [](const auto& info) {
                           return std::string(info.param == StorageMode::Access ? "Access" : "Postgres");
                         });

}  // namespace
