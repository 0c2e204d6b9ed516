#include "server/mail/mail_texts.h"

#include <climits>

namespace qn::mail {

namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// ctime's form: 24 characters and a newline.
std::string CTimeText(std::time_t t) {
  char text[32] = "";
  if (ctime_r(&t, text) == nullptr) return "\n";
  return text;
}

}  // namespace

bool ParseMessageId(const std::string& text, int32_t& id) {
  if (text.empty() || text.size() > 10) return false;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > INT32_MAX) return false;
  id = static_cast<int32_t>(value);
  return true;
}

bool IsInternetRecipient(const std::string& text) {
  if (text.find('@') == std::string::npos) return false;
  for (unsigned char c : text)
    if (c == ' ' || IsControl(c) || c == '<' || c == '>') return false;
  return true;
}

std::string ForwardNotice(const std::string& from) {
  return "(Original message automatically forwarded from " + from + ")\r\n\r\n";
}

size_t HeaderEnd(const std::string& body) {
  const size_t blank = body.find("\r\n\r\n");
  return blank == std::string::npos ? 0 : blank + 4;
}

std::string SenderNotice(const std::string& sender) {
  return "(This message was sent by \"" + sender +
         "\". To reply, cut-and-paste this address into the To: line of your new message.)\r\n\r\n";
}

std::string InboundSenderId(const std::string& sender) {
  if (sender.empty()) return "(Unknown)";
  if (sender.size() <= kInboundSenderChars) return sender;
  return "(See Below)";
}

std::string AttachmentNotice(const std::string& domain, const std::string& account) {
  return "*****\r\nThe following E-Mail message was sent with a file attachment,\r\n"
         "which was not forwardable to this address. The original E-Mail\r\n"
         "message, with the file attachment, is waiting for you on the\r\n"
         "Quillnet Server at " + domain + ", under the account of\r\n\"" + account +
         "\".\r\n*****\r\n\r\n";
}

std::string ReceiptText(const std::string& recipient, const std::string& subject,
                        std::time_t sent, std::time_t delivered) {
  return "Your Email message\r\n\r\n   To: " + recipient + "\r\n   Subject: " + subject +
         "\r\n   Sent: " + CTimeText(sent) + "\r\n\r\nwas delivered on " + CTimeText(delivered) +
         "\r\n";
}

std::string Cut(const std::string& text, size_t chars) {
  return text.size() <= chars ? text : text.substr(0, chars);
}

size_t NoteRoomInRow(const std::string& subject, const std::string& sender,
                     const std::string& fileTitle) {
  // A frame carries 32767 bytes: the packet type and request ID, then the
  // row: MessageID and DateSent (4 bytes each) and four zero-ended strings.
  constexpr size_t kRowBytes = 32767 - 3;
  const size_t fixed = 4 + 4 + (subject.size() + 1) + (sender.size() + 1) + (fileTitle.size() + 1) + 1;
  return fixed >= kRowBytes ? 0 : kRowBytes - fixed;
}

}  // namespace qn::mail
