// The SMTP server and relay client against the real server, in both storage
// modes. Inbound: swaks delivering to a member's alias, seen through
// "GetMail"; open-relay probes refused; two messages in one connection; the
// 32K reply; commands pipelined in one write; junk. Outbound, with postfix's
// smtp-sink as the relay: a letter with its exact headers, mail forwarded to
// the Internet with its notices, a refused recipient and an early close each
// bouncing to the member; with a relay of the tests' own: a 421 greeting
// bouncing exactly once, and a member's text (subject, body, home address)
// adding nothing to the relay dialogue.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/registry.h"
#include "support/mail_seed.h"
#include "support/member_client.h"
#include "support/member_install.h"
#include "support/protocol_client.h"
#include "support/server_process.h"
#include "support/smtp_peers.h"

namespace {

using qn::client::TableReply;
using qn::test::Ended;
using qn::test::MailSeed;
using qn::test::Member;
using qn::test::MemberInstall;
using qn::test::ScriptedRelay;
using qn::test::SmtpClient;
using qn::test::SmtpSink;
using qn::test::StorageMode;
using qn::test::WaitUntil;

std::string Text(const qn::DecodedValue& v) { return std::get<std::string>(v); }
int32_t Number(const qn::DecodedValue& v) { return std::get<int32_t>(v); }

const std::string kBounced = "Subject='Mail returned to sender' AND SenderID='Quillnet SMTP Gateway'";

class SmtpEndToEnd : public ::testing::TestWithParam<StorageMode> {
 protected:
  void SetUp() override {
    if (GetParam() == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    port_ = qn::test::FindFreePort();
    smtpPort_ = qn::test::FindFreePort();
    relayPort_ = qn::test::FindFreePort();
    std::string error;
    ASSERT_TRUE(install_.Create(GetParam(), port_, &error)) << error;
    install_.SeedAccountDefaults(0, 0, -1);
    seed_.AddComposeKey(1);
    seed_.AddAccount("Ann", 1000, "", "ann");
    seed_.AddAccount("Bob", 1000, "", "bob");
    seed_.AddAccount("Cat", 1000, "cat@far.example", "cat");
    CQuillnetRegistry registry;
    registry.WriteString("SMTP", "MailRelayAddress", "127.0.0.1");
    registry.WriteString("SMTP", "PrimaryDomainName", "q.example");
    registry.WriteString("SMTP", "AdditionalDomainNames", "extra.example");
    registry.WriteDWORD("SMTP", "Port", smtpPort_);
    registry.WriteDWORD("SMTP", "MailRelayPort", relayPort_);
    ASSERT_TRUE(server_.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port_))
        << server_.StderrText();
    ASSERT_TRUE(WaitUntil([&] { return qn::test::IsPortListening(smtpPort_); }));
  }
  void TearDown() override {
    if (server_.IsRunning()) {
      Member next;
      EXPECT_TRUE(next.Open(port_));
      EXPECT_EQ(qn::test::Code(next.Call("Logon", "Logon", {"nobody", "pw"})), 0x130B);
      EXPECT_EQ(server_.Stop(), 0);
    }
    CQuillnetRegistry().WriteString("SMTP", "MailRelayAddress", "");
    if (HasFailure()) ADD_FAILURE() << "server's standard error:\n" << server_.StderrText();
  }

  std::unique_ptr<Member> LogOn(const std::string& id) {
    auto member = std::make_unique<Member>();
    EXPECT_TRUE(member->Open(port_));
    EXPECT_TRUE(Ended(member->Call("Logon", "Logon", {id, "pw"}))) << id;
    return member;
  }
  // A connection past the greeting.
  std::unique_ptr<SmtpClient> Connect() {
    auto client = std::make_unique<SmtpClient>();
    EXPECT_TRUE(client->Connect(smtpPort_));
    EXPECT_EQ(client->ReadReply().rfind("220 ", 0), 0u);
    return client;
  }
  // One command and its reply.
  static std::string Say(SmtpClient& client, const std::string& line) {
    EXPECT_TRUE(client.Send(line + "\r\n"));
    return client.ReadReply();
  }
  long Bounces(const std::string& member) { return seed_.Messages("RecipID='" + member + "' AND " + kBounced); }
  std::string BounceNote(const std::string& member) {
    return seed_.Query("SELECT Note FROM MessageStore WHERE RecipID='" + member + "' AND " + kBounced);
  }

  uint16_t port_ = 0, smtpPort_ = 0, relayPort_ = 0;
  MemberInstall install_;
  MailSeed seed_{install_};
  qn::test::ServerProcess server_;
};

TEST_P(SmtpEndToEnd, InboundMail) {
  // swaks to an alias, then the member reads it.
  std::string output;
  ASSERT_EQ(qn::test::RunSwaks({"--protocol", "SMTP", "--server", "127.0.0.1", "--port",
                                std::to_string(smtpPort_), "--from", "friend@far.example", "--to",
                                "ANN@q.example", "--header", "Subject: Greetings",
                                "--body", "Hello Ann\n.hidden dot"},
                               &output),
            0)
      << output;
  auto ann = LogOn("Ann");
  const TableReply mail = ann->Call("Email", "GetMail");
  ASSERT_TRUE(Ended(mail));
  ASSERT_EQ(mail.rows.size(), 1u);
  EXPECT_EQ(Text(mail.rows[0][1]), "Greetings");
  EXPECT_EQ(Text(mail.rows[0][3]), "friend@far.example");
  const std::string note = Text(mail.rows[0][2]);
  EXPECT_EQ(note.rfind("Received: from [127.0.0.1]\r\n", 0), 0u) << note;
  EXPECT_NE(note.find("\r\nHello Ann\r\n.hidden dot\r\n"), std::string::npos) << note;

  // Open-relay probes, and a sender that would break out of its brackets.
  auto probe = Connect();
  EXPECT_EQ(Say(*probe, "HELO probe.example").rfind("250 ", 0), 0u);
  EXPECT_EQ(Say(*probe, "MAIL From:<spam@far.example>"), "250 <spam@far.example>... Sender ok\r\n");
  const struct {
    const char* rcpt;
    const char* reply;
  } probes[] = {
      {"RCPT To:<victim@far.example>", "550 Non-local recipient - cannot forward\r\n"},
      {"RCPT To:<victim%far.example@q.example>", "550 Recipient does not exist on this system\r\n"},
      {"RCPT To:<@q.example:victim@far.example>", "550 Non-local recipient - cannot forward\r\n"},
      {"RCPT To:<victim@far.example@q.example>", "550 Non-local recipient - cannot forward\r\n"},
      {"RCPT To:<\"victim@far.example\"@q.example>", "550 Non-local recipient - cannot forward\r\n"},
      {"RCPT To:<@q.example>", "550 Recipient does not exist on this system\r\n"},
      {"RCPT To:<victim>", "550 Non-local recipient - cannot forward\r\n"},
  };
  for (const auto& p : probes) EXPECT_EQ(Say(*probe, p.rcpt), p.reply) << p.rcpt;
  EXPECT_EQ(Say(*probe, "DATA"), "503 Need RCPT (recipient)\r\n");
  EXPECT_EQ(Say(*probe, "RSET"), "250 Reset state\r\n");
  EXPECT_EQ(Say(*probe, "MAIL From:<a@b>\r\nRCPT To:<bob@q.example>>"),
            "250 <a@b>... Sender ok\r\n");
  EXPECT_EQ(probe->ReadReply(), "501 Syntax error in argument, \"To:<bob@q.example>>\"\r\n");

  // Two messages in one connection, each to its own recipients; an
  // additional domain is local too.
  auto two = Connect();
  EXPECT_EQ(Say(*two, "MAIL From:<one@far.example>").substr(0, 3), "250");
  EXPECT_EQ(Say(*two, "RCPT To:<ann@q.example>"), "250 <ann@q.example>... Recipient ok\r\n");
  EXPECT_EQ(Say(*two, "DATA").substr(0, 3), "354");
  EXPECT_EQ(Say(*two, "Subject: first\r\n\r\none\r\n."), "250 Message delivered\r\n");
  EXPECT_EQ(Say(*two, "MAIL From:<two@far.example>").substr(0, 3), "250");
  EXPECT_EQ(Say(*two, "RCPT To:<Bob@Extra.Example>"), "250 <Bob@Extra.Example>... Recipient ok\r\n");
  EXPECT_EQ(Say(*two, "DATA").substr(0, 3), "354");
  EXPECT_EQ(Say(*two, "Subject: second\r\n\r\ntwo\r\n."), "250 Message delivered\r\n");
  EXPECT_EQ(seed_.Messages("RecipID='Ann' AND Subject='first' AND SenderID='one@far.example'"), 1);
  EXPECT_EQ(seed_.Messages("RecipID='Bob' AND Subject='second' AND SenderID='two@far.example'"), 1);
  EXPECT_EQ(seed_.Messages("Subject IN ('first', 'second')"), 2);

  // Past 32K: the two-line refusal after ".", nothing stored, the
  // connection goes on.
  EXPECT_EQ(Say(*two, "MAIL From:<big@far.example>").substr(0, 3), "250");
  EXPECT_EQ(Say(*two, "RCPT To:<ann@q.example>").substr(0, 3), "250");
  EXPECT_EQ(Say(*two, "DATA").substr(0, 3), "354");
  std::string big = "Subject: big\r\n\r\n";
  for (int i = 0; i < 400; ++i) big += std::string(98, 'x') + "\r\n";
  EXPECT_EQ(Say(*two, big + "."),
            "552-Message can't be delivered - 32K limit reached\r\n"
            "552 Please break the message into pieces and retry.\r\n");
  EXPECT_EQ(Say(*two, "NOOP"), "250 OK\r\n");
  EXPECT_EQ(seed_.Messages("Subject='big'"), 0);

  // Everything in one write: each line answered in order, the message
  // stored, the connection closed after QUIT.
  auto piped = Connect();
  ASSERT_TRUE(piped->Send(
      "HELO piped.example\r\nMAIL From:<p@far.example>\r\nRCPT To:<bob@q.example>\r\nDATA\r\n"
      "Subject: piped\r\n\r\nbody\r\n.\r\nNOOP\r\nHELP\r\nQUIT\r\nNOOP\r\n"));
  const std::string replies = piped->ReadReplies(8);
  EXPECT_EQ(replies.substr(replies.find("\r\n") + 2),
            "250 <p@far.example>... Sender ok\r\n250 <bob@q.example>... Recipient ok\r\n"
            "354 Enter mail, end with \".\" on a line by itself\r\n250 Message delivered\r\n"
            "250 OK\r\n"
            "214-Commands:\r\n214-    HELO    MAIL    RCPT    DATA\r\n"
            "214-    RSET    NOOP    QUIT    HELP\r\n214 End of HELP\r\n"
            "221 " + replies.substr(4, replies.find(' ', 4) - 4) + " closing connection\r\n");
  EXPECT_TRUE(piped->WaitClosed());
  EXPECT_EQ(seed_.Messages("RecipID='Bob' AND Subject='piped'"), 1);

  // Junk is answered and costs nobody else anything.
  auto junk = Connect();
  EXPECT_EQ(Say(*junk, std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11)),
            "500 Command unrecognized\r\n");
  EXPECT_EQ(Say(*junk, "EHLO junk.example"), "500 Command unrecognized\r\n");
  EXPECT_EQ(Say(*junk, std::string(40000, 'A')), "500 Line too long\r\n");
  EXPECT_EQ(Say(*probe, "NOOP"), "250 OK\r\n");
}

TEST_P(SmtpEndToEnd, RelayWithSmtpSink) {
  auto ann = LogOn("Ann");
  SmtpSink sink;
  ASSERT_TRUE(sink.Start(relayPort_)) << "smtp-sink (bash scripts/install-deps)";
  const TableReply letter = ann->Call(
      "Email", "MailLtr", {"Weekly news", "Line one\r\n.\r\nafter the dot", "-", "friend@far.example"});
  ASSERT_TRUE(Ended(letter));
  EXPECT_TRUE(letter.rows.empty());
  auto dumps = sink.WaitMessages(1);
  ASSERT_EQ(dumps.size(), 1u);
  const std::string& dump = dumps[0];
  EXPECT_NE(dump.find("X-Helo-Args: "), std::string::npos) << dump;
  EXPECT_NE(dump.find("X-Mail-Args: <ann@q.example>\n"), std::string::npos) << dump;
  EXPECT_NE(dump.find("X-Rcpt-Args: <friend@far.example>\n"), std::string::npos) << dump;
  const size_t headers = dump.find("X-Mailer: ");
  ASSERT_NE(headers, std::string::npos) << dump;
  const std::string message = dump.substr(headers);
  EXPECT_EQ(message.rfind("X-Mailer: Quillnet-SMTP 1.0\nTo: friend@far.example\nDate: ", 0), 0u)
      << message;
  const size_t from = message.find("\nFrom: ");
  ASSERT_NE(from, std::string::npos);
  // The Date line: "Date: Thu, 29 Feb 2024 07:05:09 +0100".
  const std::string date = message.substr(message.find("Date: ") + 6, from - message.find("Date: ") - 6);
  EXPECT_EQ(date.size(), 31u) << date;
  EXPECT_TRUE(date[26] == '+' || date[26] == '-') << date;
  EXPECT_EQ(message.substr(from + 1),
            "From: Ann <ann@q.example>\nSubject: Weekly news\n\nLine one\n.\nafter the dot\n\n");

  // Mail for members who forward to the Internet: inbound with the forward
  // notice, a letter with an attachment with the notice of where it waits.
  ASSERT_EQ(qn::test::RunSwaks({"--protocol", "SMTP", "--server", "127.0.0.1", "--port",
                                std::to_string(smtpPort_), "--from", "someone@else.example", "--to",
                                "cat@q.example", "--header", "Subject: For Cat", "--body", "Hi Cat"}),
            0);
  const TableReply attached = ann->Call("Email", "MailLtr", {"With file", "See file", "a.zip", "Cat"});
  ASSERT_TRUE(Ended(attached));
  ASSERT_EQ(attached.rows.size(), 1u);
  dumps = sink.WaitMessages(3);
  ASSERT_EQ(dumps.size(), 3u);
  std::string forwarded, notice;
  for (const std::string& d : dumps) {
    if (d.find("Subject: For Cat\n") != std::string::npos) forwarded = d;
    if (d.find("Subject: With file\n") != std::string::npos) notice = d;
  }
  EXPECT_NE(forwarded.find("X-Mail-Args: <someone@else.example>\nX-Rcpt-Args: <cat@far.example>\n"),
            std::string::npos)
      << forwarded;
  EXPECT_NE(forwarded.find("\nFrom: someone@else.example <someone@else.example>\n"), std::string::npos);
  EXPECT_NE(forwarded.find("\n(Original message automatically forwarded from Cat)\n\nHi Cat\n"),
            std::string::npos)
      << forwarded;
  EXPECT_NE(notice.find("X-Rcpt-Args: <cat@far.example>\n"), std::string::npos) << notice;
  EXPECT_NE(notice.find("\nQuillnet Server at q.example, under the account of\n\"Cat\".\n*****\n\nSee file\n"),
            std::string::npos)
      << notice;
  sink.Stop();

  // A recipient the relay refuses: the member gets the bounce with its line.
  ASSERT_TRUE(sink.Start(relayPort_, {"-f", "RCPT", "-B", "550 5.1.1 No such user here"}));
  ASSERT_TRUE(Ended(ann->Call("Email", "MailLtr", {"Refused", "text", "-", "nobody@far.example"})));
  ASSERT_TRUE(WaitUntil([&] { return Bounces("Ann") == 1; }));
  const std::string refused = BounceNote("Ann");
  EXPECT_EQ(refused.rfind("Your message could not be delivered to one or more of the recipients.\r\n"
                          "The following errors were returned by the mail relay:\r\n\r\n"
                          "550 5.1.1 No such user here\r\n\r\nThe message text follows\r\n",
                          0),
            0u)
      << refused;
  EXPECT_NE(refused.find("\r\nSubject: Refused\r\n\r\ntext"), std::string::npos) << refused;
  sink.Stop();

  // A relay that hangs up after DATA.
  ASSERT_TRUE(sink.Start(relayPort_, {"-q", "DATA"}));
  ASSERT_TRUE(Ended(ann->Call("Email", "MailLtr", {"Cut off", "text", "-", "x@far.example"})));
  ASSERT_TRUE(WaitUntil([&] { return Bounces("Ann") == 2; }));
  EXPECT_EQ(seed_.Messages("RecipID='Ann' AND " + kBounced +
                           " AND Note LIKE '%Connection to relay unexpectedly closed%Subject: Cut off%'"),
            1);
  const TableReply listed = ann->Call("Email", "GetMail");
  ASSERT_EQ(listed.rows.size(), 2u);
  EXPECT_EQ(Text(listed.rows[0][1]), "Mail returned to sender");
  EXPECT_EQ(Text(listed.rows[0][3]), "Quillnet SMTP Gateway");
}

TEST_P(SmtpEndToEnd, RelayOfTheTestsOwn) {
  auto ann = LogOn("Ann");
  ScriptedRelay relay;

  // A 421 greeting: one bounce carrying it, and none when the relay then
  // answers QUIT and hangs up.
  ASSERT_TRUE(relay.Start(relayPort_, ScriptedRelay::Mode::kGreet421));
  ASSERT_TRUE(Ended(ann->Call("Email", "MailLtr", {"Busy", "text", "-", "x@far.example"})));
  const auto busy = relay.WaitTranscripts(1);
  ASSERT_EQ(busy.size(), 1u);
  EXPECT_EQ(busy[0], "QUIT\r\n");
  ASSERT_TRUE(WaitUntil([&] { return Bounces("Ann") >= 1; }));
  EXPECT_EQ(Bounces("Ann"), 1);
  EXPECT_NE(BounceNote("Ann").find("relay:\r\n\r\n421 relay.test closing for maintenance\r\n\r\n"),
            std::string::npos);
  relay.Stop();

  // Member text with line ends in every place: the subject, the body (a
  // lone LF before a dot line), and a home address holding commands (which
  // makes no Internet address: the letter stays with its member). The relay
  // hears one transaction and nothing else.
  ASSERT_TRUE(relay.Start(relayPort_, ScriptedRelay::Mode::kAccept));
  seed_.SetHomeEmail("Bob", "bob@far.example\r\nRCPT To:<evil@far.example>\r\n");
  const TableReply letter =
      ann->Call("Email", "MailLtr",
                {"Hi\r\nRCPT To:<evil@far.example>", "one\n.\nQUIT\n.\r\nRSET", "-", "Bob",
                 "x@far.example"});
  ASSERT_TRUE(Ended(letter));
  ASSERT_EQ(letter.rows.size(), 1u);
  EXPECT_GT(Number(letter.rows[0][0]), 0);
  const auto heard = relay.WaitTranscripts(1);
  ASSERT_EQ(heard.size(), 1u);
  const std::string& t = heard[0];
  const size_t data = t.find("DATA\r\n");
  ASSERT_NE(data, std::string::npos) << t;
  const std::string commands = t.substr(0, data);
  EXPECT_EQ(commands.substr(commands.find("\r\n") + 2),
            "MAIL From:<ann@q.example>\r\nRCPT To:<x@far.example>\r\n")
      << t;
  const std::string text = t.substr(data + 6);
  ASSERT_GE(text.size(), 11u);
  EXPECT_EQ(text.find("\r\n.\r\n"), text.size() - 11) << t;
  EXPECT_EQ(text.substr(text.size() - 11), "\r\n.\r\nQUIT\r\n");
  EXPECT_NE(text.find("\r\nSubject: Hi  RCPT To:<evil@far.example>\r\n\r\n"
                      "one\r\n..\r\nQUIT\r\n..\r\nRSET\r\n.\r\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(seed_.Messages("RecipID='Bob' AND Note='one\n.\nQUIT\n.\r\nRSET'"), 1);
  // By now the 421 connection is long closed: still the one bounce.
  EXPECT_TRUE(Ended(ann->Call("Email", "Count")));
  EXPECT_EQ(relay.Accepted(), 1u);
  EXPECT_EQ(Bounces("Ann"), 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, SmtpEndToEnd,
                         ::testing::Values(StorageMode::Access, StorageMode::Postgres),
                         [](const auto& info) {
                           return std::string(qn::test::StorageModeName(info.param));
                         });

}  // namespace
