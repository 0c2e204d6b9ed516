// The relay client's side of one outgoing connection as a pure state
// machine: the relay's replies in, commands and the message out (Output()),
// and at most one bounce for the sender.
//
// Steps: 0 greeting -> HELO, 1 -> MAIL, 2 -> first RCPT, 3 the RCPT replies
// -> DATA, 4 "354" -> the text and ".", 5 -> QUIT, 6 done (the reply to QUIT
// asks for the close). An unexpected reply bounces the message with that
// line, sends QUIT and ends the dialogue, so nothing the relay says after
// it makes a second bounce.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "server/mail/smtp_line_reader.h"

// The relay's answer for one recipient.
struct CSmtpRecipientResult {
  int status = 0;         // 1 accepted by the relay, 0 not (yet)
  std::string errorLine;  // the refusal ("55x ..."), without its CR LF
};

// One outgoing message.
struct CSmtpEnvelope {
  std::string senderAddress;  // a member's alias, or a whole Internet address
  bool senderHasDomain = false;
  std::vector<std::string> recipients;
  std::vector<CSmtpRecipientResult> results;  // one per recipient, in order
  std::string subject;
  std::string text;  // headers and wrapped body, as composed
};

namespace qn::smtp {

class RelayDialogue {
 public:
  // Reply lines longer than this are skipped.
  static constexpr size_t kMaxReplyLine = 4096;

  // `hostName` goes with HELO; `primaryDomain` completes a sender address
  // without "@".
  RelayDialogue(CSmtpEnvelope envelope, std::string hostName, std::string primaryDomain);

  // The relay's bytes; every final reply line moves the dialogue on.
  void Feed(const char* data, size_t size);
  // The connection ended, could not be made, or the relay went silent:
  // the message bounces unless the dialogue was done.
  void OnClosed();
  // The server gives the message up (it stops): bounced with `line` unless
  // the dialogue was done.
  void GiveUp(const std::string& line);

  std::string& Output() { return m_output; }
  int GetStep() const { return m_nStep; }
  bool IsDone() const { return m_bDone; }
  // The relay answered QUIT (or the dialogue has nothing more to say).
  bool WantsClose() const { return m_bWantsClose; }
  // The bounce body for the sender, once.
  std::optional<std::string> TakeBounce();
  const CSmtpEnvelope& GetEnvelope() const { return m_envelope; }

 private:
  void OnReply(const std::string& line);
  void SendRcpt();
  void Bounce(const std::string& line);

  CSmtpEnvelope m_envelope;
  std::string m_strHostName;
  std::string m_strPrimaryDomain;
  LineReader m_reader{kMaxReplyLine};
  std::string m_output;
  int m_nStep = 0;
  size_t m_nNextRcpt = 0;
  bool m_bDone = false;
  bool m_bWantsClose = false;
  std::optional<std::string> m_bounce;
};

}  // namespace qn::smtp
