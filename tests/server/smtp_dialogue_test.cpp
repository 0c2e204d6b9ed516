// The SMTP server's dialogue without sockets: every reply verbatim, the same
// replies and deliveries however the bytes are cut into reads (one at a
// time, in pieces, everything pipelined in one read), the message text with
// its "Received:" line, dots and subject, the 32K limits, the recipient cap,
// a refused delivery, output that waits, and the mail domains.
#include <gtest/gtest.h>
#include <strings.h>

#include <set>
#include <string>
#include <vector>

#include "server/mail/smtp_dialogue.h"
#include "server/mail/smtp_domains.h"

namespace {

using qn::smtp::Dialogue;

struct Delivery {
  std::vector<std::string> recipients;
  std::string sender, subject, text;
  bool operator==(const Delivery&) const = default;
};

class FakeHost : public qn::smtp::DialogueHost {
 public:
  std::string GetHostName() const override { return "mx.q.example"; }
  bool IsLocalDomain(const std::string& domain) const override {
    return strcasecmp(domain.c_str(), "q.example") == 0 ||
           strcasecmp(domain.c_str(), "mx.q.example") == 0;
  }
  bool VerifyRecipient(const std::string& name) override {
    asked.push_back(name);
    return name == "ann" || name == "bob" || name.rfind("m", 0) == 0;
  }
  bool DeliverMessage(const std::vector<std::string>& recipients, const std::string& sender,
                      const std::string& subject, const std::string& text) override {
    deliveries.push_back({recipients, sender, subject, text});
    return deliver;
  }
  std::vector<std::string> asked;
  std::vector<Delivery> deliveries;
  bool deliver = true;
};

const std::string kHelp =
    "214-Commands:\r\n214-    HELO    MAIL    RCPT    DATA\r\n"
    "214-    RSET    NOOP    QUIT    HELP\r\n214 End of HELP\r\n";

// Feeds `input` in pieces of `piece` bytes (0: all at once), taking the
// output as a peer that always reads would; what came out.
std::string Drive(Dialogue& dialogue, const std::string& input, size_t piece = 0) {
  std::string out;
  size_t at = 0;
  while (at < input.size() && !dialogue.IsQuit()) {
    const size_t size = piece == 0 ? input.size() - at : std::min(piece, input.size() - at);
    size_t used = 0;
    while (used < size && !dialogue.IsQuit()) {
      used += dialogue.Feed(input.data() + at + used, size - used);
      out += dialogue.Output();
      dialogue.Output().clear();
    }
    at += size;
  }
  return out;
}

struct Session {
  FakeHost host;
  Dialogue dialogue{host, "192.0.2.7"};
  std::string Send(const std::string& input, size_t piece = 0) { return Drive(dialogue, input, piece); }
};

TEST(SmtpDialogue, EveryReplyVerbatim) {
  const std::string mail = "MAIL From:<a@b.example>\r\n";
  const struct {
    std::string before;  // commands whose replies do not count
    std::string command;
    std::string reply;
  } cases[] = {
      {"", "HELO client.example\r\n", "250 mx.q.example Hello [192.0.2.7], pleased to meet you\r\n"},
      {"", "helo\r\n", "250 mx.q.example Hello [192.0.2.7], pleased to meet you\r\n"},
      {"", "MAIL From:<a@b.example>\r\n", "250 <a@b.example>... Sender ok\r\n"},
      {"", "mail from:<>\r\n", "250 <>... Sender ok\r\n"},
      {"", "MAIL From:<a@b.example> SIZE=10\r\n", "250 <a@b.example>... Sender ok\r\n"},
      {mail, mail, "503 Nested MAIL command: MAIL From:<a@b.example>\r\n"},
      {"", "MAIL\r\n", "501 MAIL requires one argument\r\n"},
      {"", "MAIL   \r\n", "501 MAIL requires one argument\r\n"},
      {"", "MAIL FROM: <a@b.example>\r\n", "501 Syntax error in argument, \"FROM:\"\r\n"},
      {"", "MAIL To:<a@b.example>\r\n", "501 Syntax error in argument, \"To:<a@b.example>\"\r\n"},
      {"", "MAIL From:<a@b.example\r\n", "501 Syntax error in argument, \"From:<a@b.example\"\r\n"},
      {"", "MAIL From:<a<b@c>\r\n", "501 Syntax error in argument, \"From:<a<b@c>\"\r\n"},
      {"", "MAIL From:<a>b@c>\r\n", "501 Syntax error in argument, \"From:<a>b@c>\"\r\n"},
      {"", "MAIL From:<a\x01@c>\r\n", "501 Syntax error in argument, \"From:<a\x01@c>\"\r\n"},
      {"", "MAIL From:<a\r@c>\r\n", "501 Syntax error in argument, \"From:<a\"\r\n"},
      {"", "RCPT To:<ann@q.example>\r\n", "503 Need MAIL before RCPT\r\n"},
      {mail, "RCPT\r\n", "501 RCPT requires one argument\r\n"},
      {mail, "RCPT To:<>\r\n", "501 Syntax error in argument, \"To:<>\"\r\n"},
      {mail, "RCPT To: <ann@q.example>\r\n", "501 Syntax error in argument, \"To:\"\r\n"},
      {mail, "RCPT To:<ann@x.example>\r\n", "550 Non-local recipient - cannot forward\r\n"},
      {mail, "RCPT To:<ann>\r\n", "550 Non-local recipient - cannot forward\r\n"},
      {mail, "RCPT To:<@q.example:ann@x.example>\r\n", "550 Non-local recipient - cannot forward\r\n"},
      {mail, "RCPT To:<ann@q.example@x.example>\r\n", "550 Non-local recipient - cannot forward\r\n"},
      {mail, "RCPT To:<ghost@q.example>\r\n", "550 Recipient does not exist on this system\r\n"},
      {mail, "RCPT To:<ann%x.example@q.example>\r\n", "550 Recipient does not exist on this system\r\n"},
      {mail, "RCPT To:<@q.example>\r\n", "550 Recipient does not exist on this system\r\n"},
      {mail, "RCPT To:<ann@Q.Example>\r\n", "250 <ann@Q.Example>... Recipient ok\r\n"},
      {mail, "rcpt to:<bob@mx.q.example>\r\n", "250 <bob@mx.q.example>... Recipient ok\r\n"},
      {mail, "RCPT To:<a\x7f@q.example>\r\n", "501 Syntax error in argument, \"To:<a\x7f@q.example>\"\r\n"},
      {"", "DATA\r\n", "503 Need MAIL command\r\n"},
      {mail, "DATA\r\n", "503 Need RCPT (recipient)\r\n"},
      {mail + "RCPT To:<ghost@q.example>\r\n", "DATA\r\n", "503 Need RCPT (recipient)\r\n"},
      {mail + "RCPT To:<ann@q.example>\r\n", "DATA\r\n",
       "354 Enter mail, end with \".\" on a line by itself\r\n"},
      {mail + "RCPT To:<ann@q.example>\r\nRSET\r\n", "DATA\r\n", "503 Need MAIL command\r\n"},
      {mail, "RSET\r\n", "250 Reset state\r\n"},
      {"", "NOOP\r\n", "250 OK\r\n"},
      {"", "HELP\r\n", kHelp},
      {"", "QUIT\r\n", "221 mx.q.example closing connection\r\n"},
      {"", "HELLO\r\n", "500 Command unrecognized\r\n"},
      {"", "HEL\r\n", "500 Command unrecognized\r\n"},
      {"", "EHLO client.example\r\n", "500 Command unrecognized\r\n"},
      {"", std::string("\x00\x01\xfe\xff\r\n", 6), "500 Command unrecognized\r\n"},
      {"", std::string("QUI\0\r\n", 6), "500 Command unrecognized\r\n"},
      {"", "NOOP\n", ""},  // no line end yet: a lone LF is an ordinary byte
      {"", "   \t\r\n", ""},
      {"", "\r\n", ""},
      {"", "\t noop \r\n", "250 OK\r\n"},
  };
  for (const auto& c : cases) {
    Session s;
    s.Send(c.before);
    EXPECT_EQ(s.Send(c.command), c.reply) << c.before << c.command;
  }
}

TEST(SmtpDialogue, GreetingNamesHostVersionAndTime) {
  Session s;
  s.dialogue.Greet(0);
  const std::string greeting = s.dialogue.Output();
  EXPECT_EQ(greeting.rfind("220 mx.q.example Quillnet-SMTP 1.0 ready at ", 0), 0u) << greeting;
  EXPECT_TRUE(greeting.find(" 1970 ") != std::string::npos ||
              greeting.find(" 1969 ") != std::string::npos)
      << greeting;
  EXPECT_EQ(greeting.substr(greeting.size() - 2), "\r\n");
}

// Two messages, dots, subjects, a reset and QUIT, with what follows QUIT
// never read.
const std::string kScript =
    "HELO there\r\n"
    "MAIL From:<x@y.example>\r\n"
    "RCPT To:<ann@q.example>\r\n"
    "RCPT To:<ghost@q.example>\r\n"
    "RCPT To:<bob@q.example>\r\n"
    "DATA\r\n"
    "From: x@y.example\r\n"
    "Subject:   First  \r\n"
    "subject: Second one\r\n"
    "\r\n"
    "Subject: not a header\r\n"
    "..leading dot\r\n"
    ". \r\n"
    "tail\r\n"
    ".\r\n"
    "MAIL From:<z@y.example>\r\n"
    "RCPT To:<bob@q.example>\r\n"
    "DATA\r\n"
    "No header block at all\r\n"
    ".\r\n"
    "RSET\r\n"
    "QUIT\r\n"
    "NOOP\r\n";

const std::string kScriptReplies =
    "250 mx.q.example Hello [192.0.2.7], pleased to meet you\r\n"
    "250 <x@y.example>... Sender ok\r\n"
    "250 <ann@q.example>... Recipient ok\r\n"
    "550 Recipient does not exist on this system\r\n"
    "250 <bob@q.example>... Recipient ok\r\n"
    "354 Enter mail, end with \".\" on a line by itself\r\n"
    "250 Message delivered\r\n"
    "250 <z@y.example>... Sender ok\r\n"
    "250 <bob@q.example>... Recipient ok\r\n"
    "354 Enter mail, end with \".\" on a line by itself\r\n"
    "250 Message delivered\r\n"
    "250 Reset state\r\n"
    "221 mx.q.example closing connection\r\n";

const std::vector<Delivery> kScriptDeliveries = {
    {{"ann", "bob"},
     "x@y.example",
     "Second one",
     "Received: from [192.0.2.7]\r\nFrom: x@y.example\r\nSubject:   First  \r\n"
     "subject: Second one\r\n\r\nSubject: not a header\r\n.leading dot\r\n \r\ntail\r\n"},
    {{"bob"}, "z@y.example", "", "Received: from [192.0.2.7]\r\nNo header block at all\r\n"},
};

TEST(SmtpDialogue, SameRepliesAndDeliveriesHoweverTheBytesAreCut) {
  for (size_t piece : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{64}}) {
    Session s;
    EXPECT_EQ(s.Send(kScript, piece), kScriptReplies) << "pieces of " << piece;
    EXPECT_EQ(s.host.deliveries, kScriptDeliveries) << "pieces of " << piece;
    EXPECT_TRUE(s.dialogue.IsQuit());
  }
}

TEST(SmtpDialogue, NothingAfterQuitIsRead) {
  Session s;
  const std::string input = "NOOP\r\nQUIT\r\nNOOP\r\nHELP\r\n";
  const size_t used = s.dialogue.Feed(input.data(), input.size());
  EXPECT_EQ(used, std::string("NOOP\r\nQUIT\r\n").size());
  EXPECT_EQ(s.dialogue.Output(), "250 OK\r\n221 mx.q.example closing connection\r\n");
  EXPECT_EQ(s.dialogue.Feed("NOOP\r\n", 6), 0u);
}

TEST(SmtpDialogue, LineEndsAreFoundAcrossReadsAndOnlyAtCrLf) {
  Session s;
  EXPECT_EQ(s.Send("NO"), "");
  EXPECT_EQ(s.Send("OP\r"), "");
  EXPECT_EQ(s.Send("\nNOOP\n\r"), "250 OK\r\n");
  // "NOOP\n\r" + "\n": the CR before the LF ends it; the word is still NOOP.
  EXPECT_EQ(s.Send("\n"), "250 OK\r\n");
  EXPECT_EQ(s.Send("NOOP\r\r\n"), "250 OK\r\n");
}

TEST(SmtpDialogue, ThirtyTwoKilobyteLimits) {
  const std::string open = "MAIL From:<x@y.example>\r\nRCPT To:<ann@q.example>\r\nDATA\r\n";
  const std::string received = "Received: from [192.0.2.7]\r\n";
  const std::string tooLong =
      "552-Message can't be delivered - 32K limit reached\r\n"
      "552 Please break the message into pieces and retry.\r\n";
  // Lines of 100 bytes, the last one sized so the text is exactly the limit.
  const auto body = [&](size_t textBytes) {
    std::string text;
    size_t room = textBytes - received.size();
    while (room > 0) {
      const size_t line = std::min<size_t>(room, 100);
      text += std::string(line - 2, 'b') + "\r\n";
      room -= line;
    }
    return text;
  };
  for (size_t piece : {size_t{0}, size_t{1000}, size_t{4093}}) {
    Session s;
    s.Send(open);
    EXPECT_EQ(s.Send(body(Dialogue::kBufferBytes) + ".\r\n", piece), "250 Message delivered\r\n");
    ASSERT_EQ(s.host.deliveries.size(), 1u);
    EXPECT_EQ(s.host.deliveries[0].text.size(), Dialogue::kBufferBytes);

    s.Send(open);
    EXPECT_EQ(s.Send(body(Dialogue::kBufferBytes + 1) + ".\r\n", piece), tooLong);
    // One line longer than the whole buffer, dots that would be taken off.
    s.Send(open);
    EXPECT_EQ(s.Send(std::string(70000, '.') + "\r\n.\r\n", piece), tooLong);
    EXPECT_EQ(s.host.deliveries.size(), 1u);
    // The connection goes on, with a fresh transaction.
    EXPECT_EQ(s.Send("DATA\r\n"), "503 Need MAIL command\r\n");
    EXPECT_EQ(s.Send(open + "small\r\n.\r\n", piece),
              "250 <x@y.example>... Sender ok\r\n250 <ann@q.example>... Recipient ok\r\n"
              "354 Enter mail, end with \".\" on a line by itself\r\n250 Message delivered\r\n");
    EXPECT_EQ(s.host.deliveries.back().text, received + "small\r\n");

    // Command lines: the limit counts the CR LF; the line after a long one
    // is read as it should be.
    EXPECT_EQ(s.Send("NOOP" + std::string(Dialogue::kBufferBytes - 6, ' ') + "\r\n", piece),
              "250 OK\r\n");
    EXPECT_EQ(s.Send("NOOP" + std::string(Dialogue::kBufferBytes - 5, ' ') + "\r\nNOOP\r\n", piece),
              "500 Line too long\r\n250 OK\r\n");
    EXPECT_LT(s.dialogue.HeldBytes(), 64u);
  }
}

TEST(SmtpDialogue, HundredRecipientsAtMost) {
  Session s;
  std::string input = "MAIL From:<x@y.example>\r\n";
  for (int i = 0; i < 101; ++i) input += "RCPT To:<m" + std::to_string(i) + "@q.example>\r\n";
  input += "DATA\r\nhi\r\n.\r\n";
  const std::string out = s.Send(input);
  EXPECT_NE(out.find("250 <m99@q.example>... Recipient ok\r\n452 Too many recipients\r\n354 "),
            std::string::npos);
  ASSERT_EQ(s.host.deliveries.size(), 1u);
  ASSERT_EQ(s.host.deliveries[0].recipients.size(), 100u);
  EXPECT_EQ(s.host.deliveries[0].recipients.back(), "m99");
}

TEST(SmtpDialogue, RefusedDeliveryKeepsTheConnection) {
  Session s;
  s.host.deliver = false;
  const std::string out =
      s.Send("MAIL From:<x@y.example>\r\nRCPT To:<ann@q.example>\r\nDATA\r\nhi\r\n.\r\nNOOP\r\n");
  EXPECT_NE(out.find("552 Message delivery failed\r\n250 OK\r\n"), std::string::npos) << out;
  EXPECT_FALSE(s.dialogue.IsQuit());
}

TEST(SmtpDialogue, ReadingWaitsWhileOutputPilesUp) {
  Session s;
  std::string input;
  for (int i = 0; i < 2000; ++i) input += "HELP\r\n";
  input += "QUIT\r\n";
  const size_t used = s.dialogue.Feed(input.data(), input.size());
  EXPECT_LT(used, input.size());
  EXPECT_GE(s.dialogue.Output().size(), Dialogue::kOutputPause);
  EXPECT_LT(s.dialogue.Output().size(), Dialogue::kOutputPause + kHelp.size());
  std::string out = s.dialogue.Output();
  s.dialogue.Output().clear();
  out += Drive(s.dialogue, input.substr(used));
  std::string expected;
  for (int i = 0; i < 2000; ++i) expected += kHelp;
  EXPECT_EQ(out, expected + "221 mx.q.example closing connection\r\n");
}

TEST(SmtpDomains, ListEndsAtItsFirstEmptyEntry) {
  const struct {
    const char* text;
    std::vector<std::string> domains;
  } cases[] = {
      {"", {}},
      {"a.example", {"a.example"}},
      {"a.example,b.example c.example\td.example", {"a.example", "b.example", "c.example", "d.example"}},
      {"  a.example, \tb.example", {"a.example", "b.example"}},
      {"a.example , b.example", {"a.example"}},
      {"a.example,,b.example", {"a.example"}},
      {",a.example", {}},
      {"a.example,", {"a.example"}},
  };
  for (const auto& c : cases) EXPECT_EQ(qn::smtp::ParseAdditionalDomains(c.text), c.domains) << c.text;

  qn::smtp::Domains domains("", "extra.example other.example");
  domains.SetHostName("host.example");
  EXPECT_FALSE(domains.IsLocal(""));
  EXPECT_TRUE(domains.IsLocal("HOST.example"));
  EXPECT_TRUE(domains.IsLocal("Other.Example"));
  EXPECT_FALSE(domains.IsLocal("q.example"));
  EXPECT_FALSE(domains.IsLocal("extra.example.evil"));
  domains.SetPrimary("q.example");
  EXPECT_TRUE(domains.IsLocal("Q.EXAMPLE"));
}

}  // namespace
