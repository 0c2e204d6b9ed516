// What the mail module checks and writes without a database: message IDs
// from clients, the two Internet-address tests, the relay's recipient split,
// the notices and receipts, and the room a listed row leaves its note.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "server/mail/mail_texts.h"
#include "server/mail/smtp_gateway.h"

namespace {

using namespace qn::mail;

TEST(MailTexts, OnlyWholeDecimalNumbersNameMessages) {
  const struct {
    const char* text;
    bool ok;
    int32_t id;
  } cases[] = {
      {"1", true, 1},          {"0042", true, 42},        {"2147483647", true, 2147483647},
      {"2147483648", false, 0}, {"99999999999", false, 0}, {"", false, 0},
      {"-1", false, 0},         {"+1", false, 0},          {" 1", false, 0},
      {"1 ", false, 0},         {"12abc", false, 0},       {"0) OR (1=1", false, 0},
      {"1;DELETE", false, 0},   {"0x10", false, 0},        {"../1", false, 0},
  };
  for (const auto& c : cases) {
    int32_t id = -7;
    EXPECT_EQ(ParseMessageId(c.text, id), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(id, c.id) << c.text;
    }
  }
}

TEST(MailTexts, InternetAddressesHoldNoControlsNorBrackets) {
  const struct {
    std::string text;
    bool recipient;  // the mail service's test (forwarding, letters)
    bool relayable;  // the gateway's test (what reaches the relay)
  } cases[] = {
      {"ann@x.example", true, true},
      {"Ann", false, false},
      {"@x.example", true, false},
      {"x@", true, false},
      {"a b@x.example", false, true},
      {"a@x.example\r\nRCPT TO:<b@y.example>", false, false},
      {"a@x.example\n", false, false},
      {std::string("a@x\0b", 5), false, false},
      {"<a@x.example>", false, false},
      {"a@x.example>", false, false},
      {"a\t@x.example", false, false},
      {"a@x.example\x7f", false, false},
      {"", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsInternetRecipient(c.text), c.recipient) << c.text;
    EXPECT_EQ(IsInternetAddress(c.text), c.relayable) << c.text;
  }
}

TEST(MailTexts, RelayRecipientsSplitAtCommasThenSemicolons) {
  const struct {
    std::vector<std::string> in;
    std::vector<std::string> out;
  } cases[] = {
      {{"a@x.example,b@y.example;c@z.example"}, {"c@z.example", "a@x.example", "b@y.example"}},
      {{"a,b,c"}, {"c", "a", "b"}},
      {{"a;b", "c,d"}, {"b", "d", "c", "a"}},
      {{" a , b "}, {" b ", " a "}},
      {{"a,,b"}, {"b", "a", ""}},
      {{"only@x.example"}, {"only@x.example"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitRelayRecipients(c.in), c.out);
}

TEST(MailTexts, NoticesAndReceiptsStandAsTheSystemWritesThem) {
  EXPECT_EQ(ForwardNotice("Ann"), "(Original message automatically forwarded from Ann)\r\n\r\n");
  EXPECT_EQ(HeaderEnd("Received: x\r\nSubject: s\r\n\r\nbody\r\n\r\nmore"), 27u);
  EXPECT_EQ(HeaderEnd("no header block"), 0u);
  EXPECT_EQ(InboundSenderId(""), "(Unknown)");
  EXPECT_EQ(InboundSenderId(std::string(25, 'a')), std::string(25, 'a'));
  EXPECT_EQ(InboundSenderId(std::string(26, 'a')), "(See Below)");
  EXPECT_EQ(SenderNotice("a@b.example"),
            "(This message was sent by \"a@b.example\". To reply, cut-and-paste this address into "
            "the To: line of your new message.)\r\n\r\n");
  EXPECT_EQ(AttachmentNotice("q.example", "Ann"),
            "*****\r\nThe following E-Mail message was sent with a file attachment,\r\nwhich was not "
            "forwardable to this address. The original E-Mail\r\nmessage, with the file "
            "attachment, is waiting for you on the\r\nQuillnet Server at q.example, under the "
            "account of\r\n\"Ann\".\r\n*****\r\n\r\n");

  const char* zone = std::getenv("TZ");
  const std::string saved = zone ? zone : "";
  setenv("TZ", "UTC0", 1);
  tzset();
  EXPECT_EQ(ReceiptText("Bob", "Hi", 0, 86400 + 3661),
            "Your Email message\r\n\r\n   To: Bob\r\n   Subject: Hi\r\n   Sent: Thu Jan  1 00:00:00 "
            "1970\n\r\n\r\nwas delivered on Fri Jan  2 01:01:01 1970\n\r\n");
  if (zone) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

TEST(MailTexts, AListedRowWithTheRoomLeftForItsNoteFillsOneFrame) {
  const std::string subject(255, 's'), sender(255, 'f'), title(255, 't');
  const size_t room = NoteRoomInRow(subject, sender, title);
  // MessageID, DateSent, and four zero-ended strings after the 3-byte header.
  EXPECT_EQ(3 + 4 + 4 + (subject.size() + 1) + (room + 1) + (sender.size() + 1) + (title.size() + 1),
            32767u);
  EXPECT_EQ(NoteRoomInRow("", "", ""), 32767u - 3 - 4 - 4 - 4);
}

}  // namespace
