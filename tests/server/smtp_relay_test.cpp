// The relay client without sockets: the message text (headers, the body
// wrapped at 70 columns with dots doubled, the sender completed with the
// primary domain, the Date's zone either side of Greenwich, nothing in a
// member's text that could end DATA or start a command), and the dialogue
// with the relay: the commands in order, continuation lines, refusals and
// failures bouncing once, and early closes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "server/mail/smtp_relay_dialogue.h"
#include "server/mail/smtp_relay_text.h"

namespace {

using qn::smtp::RelayDialogue;
using qn::smtp::WrapRelayBody;

// Sets TZ for the test's life.
class ZoneScope {
 public:
  explicit ZoneScope(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneScope() {
    if (old_) setenv("TZ", old_->c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> old_;
};

TEST(SmtpRelayText, BodyWrapsAtSeventyWithDotsDoubled) {
  const std::string a70(70, 'a');
  const struct {
    std::string body;
    std::string sent;
  } cases[] = {
      {std::string(100, 'x'), std::string(70, 'x') + "\r\n" + std::string(30, 'x')},
      {a70, a70},
      {a70 + "\r\nnext", a70 + "\r\nnext"},
      {std::string(65, 'a') + " bcdefghij", std::string(65, 'a') + "\r\nbcdefghij"},
      {std::string(68, 'a') + " b c", std::string(68, 'a') + "\r\nb c"},
      // Blanks at the start of a line made by a break are dropped.
      {a70 + "   tail", a70 + "\r\ntail"},
      {"word " + a70, "word\r\n" + a70},
      {".\r\n..x\r\n.", "..\r\n...x\r\n.."},
      // Text a break moves to the start of a line gets its dot too.
      {std::string(69, 'a') + " .\r\nz", std::string(69, 'a') + "\r\n..\r\nz"},
      {std::string(69, 'a') + " .", std::string(69, 'a') + "\r\n.."},
      // A lone CR or LF is a line end of its own.
      {"a\nb\rc\r\n", "a\r\nb\r\nc\r\n"},
      {"x\n.\nQUIT\n", "x\r\n..\r\nQUIT\r\n"},
      {"x\r.\rRSET", "x\r\n..\r\nRSET"},
      {"", ""},
      {"tab\there", "tab\there"},
  };
  for (const auto& c : cases) EXPECT_EQ(WrapRelayBody(c.body), c.sent) << c.body;

  // However long the text, no line of it is "." alone or over 71 bytes.
  std::string body;
  for (int i = 0; i < 2000; ++i) body += (i % 7 == 0 ? " ." : i % 5 == 0 ? "\n." : "ab");
  const std::string sent = WrapRelayBody(body);
  EXPECT_EQ(sent.find("\r\n.\r\n"), std::string::npos);
  size_t start = 0;
  for (size_t end; (end = sent.find("\r\n", start)) != std::string::npos; start = end + 2)
    EXPECT_LE(end - start, 71u);
}

TEST(SmtpRelayText, DateZoneEitherSideOfGreenwich) {
  std::tm t{};
  t.tm_year = 124;
  t.tm_mon = 1;
  t.tm_mday = 29;
  t.tm_wday = 4;
  t.tm_hour = 7;
  t.tm_min = 5;
  t.tm_sec = 9;
  EXPECT_EQ(qn::smtp::FormatRelayDate(t, -5 * 3600), "Thu, 29 Feb 2024 07:05:09 -0500");
  EXPECT_EQ(qn::smtp::FormatRelayDate(t, 5 * 3600 + 1800), "Thu, 29 Feb 2024 07:05:09 +0530");
  EXPECT_EQ(qn::smtp::FormatRelayDate(t, 0), "Thu, 29 Feb 2024 07:05:09 +0000");
  EXPECT_EQ(qn::smtp::FormatRelayDate(t, -(9 * 3600 + 1800)), "Thu, 29 Feb 2024 07:05:09 -0930");
}

TEST(SmtpRelayText, WholeMessageWithTheSenderCompleted) {
  const std::time_t when = 1709190309;  // Thu, 29 Feb 2024 07:05:09 UTC
  {
    ZoneScope zone("EST5");
    EXPECT_EQ(qn::smtp::ComposeRelayText("ann", "Ann\r\nBcc: x@y", {"x@y.example", "z@w.example"},
                                         "Hi\r\nRCPT To:<evil@x>", "Body " + std::string(70, 'b'),
                                         "q.example", when),
              "X-Mailer: Quillnet-SMTP 1.0\r\n"
              "To: x@y.example,\r\n    z@w.example\r\n"
              "Date: Thu, 29 Feb 2024 02:05:09 -0500\r\n"
              "From: Ann  Bcc: x@y <ann@q.example>\r\n"
              "Subject: Hi  RCPT To:<evil@x>\r\n\r\n"
              "Body\r\n" + std::string(70, 'b'));
  }
  {
    ZoneScope zone("IST-5:30");
    const std::string text =
        qn::smtp::ComposeRelayText("a@b.example", "A", {"x@y.example"}, "s", "", "q.example", when);
    EXPECT_NE(text.find("\r\nDate: Thu, 29 Feb 2024 12:35:09 +0530\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\nFrom: A <a@b.example>\r\n"), std::string::npos) << text;
  }
}

CSmtpEnvelope Envelope(std::vector<std::string> recipients = {"x@y.example"}) {
  CSmtpEnvelope envelope;
  envelope.senderAddress = "ann";
  envelope.recipients = std::move(recipients);
  envelope.subject = "s";
  envelope.text = "TEXT";
  return envelope;
}

// The relay's replies in turn; what the dialogue sent after each.
std::vector<std::string> Converse(RelayDialogue& dialogue, const std::vector<std::string>& replies,
                                  bool byteByByte = false) {
  std::vector<std::string> sent;
  for (const std::string& reply : replies) {
    if (byteByByte) {
      for (char c : reply) dialogue.Feed(&c, 1);
    } else {
      dialogue.Feed(reply.data(), reply.size());
    }
    sent.push_back(dialogue.Output());
    dialogue.Output().clear();
  }
  return sent;
}

TEST(SmtpRelayDialogue, CommandsInOrderUntilQuit) {
  for (bool byteByByte : {false, true}) {
    RelayDialogue dialogue(Envelope(), "host.q.example", "q.example");
    const auto sent = Converse(dialogue,
                               {"220-relay.example first\r\n220 ready\r\n", "250 hello\r\n",
                                "250 ok\r\n", "250-2.1.5 ok\r\n250 2.1.5 ok\r\n", "354 go\r\n",
                                "250 queued\r\n", "221 bye\r\n"},
                               byteByByte);
    EXPECT_EQ(sent, (std::vector<std::string>{"HELO host.q.example\r\n",
                                              "MAIL From:<ann@q.example>\r\n",
                                              "RCPT To:<x@y.example>\r\n", "DATA\r\n",
                                              "TEXT\r\n.\r\n", "QUIT\r\n", ""}));
    EXPECT_TRUE(dialogue.IsDone());
    EXPECT_TRUE(dialogue.WantsClose());
    EXPECT_EQ(dialogue.GetEnvelope().results.at(0).status, 1);
    dialogue.OnClosed();
    EXPECT_FALSE(dialogue.TakeBounce().has_value());
  }
}

TEST(SmtpRelayDialogue, EveryRecipientRefusedBouncesWithTheirLines) {
  RelayDialogue dialogue(Envelope({"x@y.example", "z@y.example"}), "h", "q.example");
  const auto sent = Converse(dialogue, {"220 r\r\n", "250 h\r\n", "250 ok\r\n",
                                        "550 5.1.1 <x@y.example>: no such user\r\n",
                                        "451 try later\r\n"});
  EXPECT_EQ(sent.back(), "QUIT\r\nQUIT\r\n");
  const auto bounce = dialogue.TakeBounce();
  ASSERT_TRUE(bounce.has_value());
  EXPECT_EQ(*bounce,
            "Your message could not be delivered to one or more of the recipients.\r\n"
            "The following errors were returned by the mail relay:\r\n\r\n"
            "550 5.1.1 <x@y.example>: no such user\r\n"
            "\r\nThe message text follows\r\n\r\n============================================\r\n"
            "TEXT");
  EXPECT_FALSE(dialogue.TakeBounce().has_value());
  Converse(dialogue, {"221 bye\r\n"});
  dialogue.OnClosed();
  EXPECT_FALSE(dialogue.TakeBounce().has_value());

  // One refused, one accepted: the message goes, the refusal is not told.
  RelayDialogue partly(Envelope({"x@y.example", "z@y.example"}), "h", "q.example");
  const auto partlySent =
      Converse(partly, {"220 r\r\n", "250 h\r\n", "250 ok\r\n", "550 no\r\n", "250 ok\r\n"});
  EXPECT_EQ(partlySent.back(), "DATA\r\n");
  EXPECT_FALSE(partly.TakeBounce().has_value());
}

TEST(SmtpRelayDialogue, UnexpectedRepliesAndClosesBounceOnce) {
  const auto failed = [](const std::string& line) {
    return "Your message could not be delivered to any of the recipients.\r\n"
           "The following error was returned by the mail relay:\r\n\r\n" +
           line +
           "\r\n\r\nThe message text follows\r\n\r\n============================================\r\n"
           "TEXT";
  };
  const struct {
    std::vector<std::string> replies;
    bool close;  // the connection ends after the replies
    std::string line;
  } cases[] = {
      {{"421 busy\r\n", "221 bye\r\n", "500 what\r\n"}, true, "421 busy"},
      {{"220 r\r\n", "554 no HELO\r\n"}, false, "554 no HELO"},
      {{"220 r\r\n", "250 h\r\n", "553 sender\r\n"}, false, "553 sender"},
      {{"220 r\r\n", "250 h\r\n", "250 ok\r\n", "250 ok\r\n", "552 no room\r\n"}, true,
       "552 no room"},
      {{"220 r\r\n", "250 h\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "451 later\r\n"}, true,
       "451 later"},
      {{"220 r\r\n", "250 h\r\n", "250 ok\r\n", "250 ok\r\n"}, true,
       "Connection to relay unexpectedly closed"},
      {{}, true, "Connection to relay unexpectedly closed"},
  };
  for (const auto& c : cases) {
    RelayDialogue dialogue(Envelope(), "h", "q.example");
    const auto sent = Converse(dialogue, c.replies);
    if (c.close) dialogue.OnClosed();
    const auto bounce = dialogue.TakeBounce();
    ASSERT_TRUE(bounce.has_value()) << c.line;
    EXPECT_EQ(*bounce, failed(c.line));
    EXPECT_TRUE(dialogue.IsDone());
    EXPECT_EQ(dialogue.GetStep(), 6);
    Converse(dialogue, {"221 bye\r\n", "421 again\r\n"});
    dialogue.OnClosed();
    EXPECT_FALSE(dialogue.TakeBounce().has_value()) << c.line;
  }
}

}  // namespace
