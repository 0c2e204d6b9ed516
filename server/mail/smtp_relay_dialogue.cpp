#include "server/mail/smtp_relay_dialogue.h"

#include <cstring>

#include "server/mail/smtp_relay_text.h"

namespace qn::smtp {

namespace {

bool Begins(const std::string& line, const char* code) {
  return line.compare(0, std::strlen(code), code) == 0;
}

}  // namespace

RelayDialogue::RelayDialogue(CSmtpEnvelope envelope, std::string hostName, std::string primaryDomain)
    : m_envelope(std::move(envelope)),
      m_strHostName(std::move(hostName)),
      m_strPrimaryDomain(std::move(primaryDomain)) {
  m_envelope.results.assign(m_envelope.recipients.size(), CSmtpRecipientResult{});
}

void RelayDialogue::Feed(const char* data, size_t size) {
  size_t used = 0;
  while (used < size) {
    used += m_reader.Take(data + used, size - used);
    if (!m_reader.HasLine()) break;
    const std::string& line = m_reader.Line();
    // Continuation lines ("250-...") and scraps are skipped; the final line
    // of a reply has a blank or the line end after its code.
    if (!m_reader.TooLong() && line.size() >= 4 && (line[3] == ' ' || line[3] == '\r'))
      OnReply(line.substr(0, line.size() - 2));
    m_reader.Next();
  }
}

void RelayDialogue::OnReply(const std::string& line) {
  switch (m_nStep) {
    case 0:
      if (!Begins(line, "220")) return Bounce(line);
      m_output += "HELO " + OneLine(m_strHostName) + "\r\n";
      m_nStep = 1;
      return;
    case 1:
      if (!Begins(line, "250")) return Bounce(line);
      m_output += "MAIL From:<" +
                  OneLine(FullSenderAddress(m_envelope.senderAddress, m_strPrimaryDomain)) + ">\r\n";
      m_nStep = 2;
      return;
    case 2:
      if (!Begins(line, "250")) return Bounce(line);
      if (m_envelope.recipients.empty()) return Bounce(line);
      SendRcpt();
      m_nStep = 3;
      return;
    case 3: {
      CSmtpRecipientResult& result = m_envelope.results[m_nNextRcpt - 1];
      if (Begins(line, "55")) {
        result.status = 0;
        result.errorLine = line;
      } else if (Begins(line, "250")) {
        result.status = 1;
      }
      if (m_nNextRcpt < m_envelope.recipients.size()) {
        SendRcpt();
        return;
      }
      bool anyAccepted = false;
      std::vector<std::string> refusals;
      for (const CSmtpRecipientResult& r : m_envelope.results) {
        if (r.status == 1) anyAccepted = true;
        if (!r.errorLine.empty()) refusals.push_back(r.errorLine);
      }
      if (anyAccepted) {
        m_output += "DATA\r\n";
        m_nStep = 4;
        return;
      }
      m_bDone = true;
      m_output += "QUIT\r\n";
      m_nStep = 6;
      // The bounce says QUIT once more, as it always does.
      m_output += "QUIT\r\n";
      m_bounce = BounceRefusedText(refusals, m_envelope.text);
      return;
    }
    case 4:
      if (!Begins(line, "354")) return Bounce(line);
      m_output += m_envelope.text;
      m_output += "\r\n.\r\n";
      m_nStep = 5;
      return;
    case 5:
      if (!Begins(line, "250")) return Bounce(line);
      m_bDone = true;
      m_output += "QUIT\r\n";
      m_nStep = 6;
      return;
    default:
      m_bWantsClose = true;
      return;
  }
}

void RelayDialogue::SendRcpt() {
  m_output += "RCPT To:<" + OneLine(m_envelope.recipients[m_nNextRcpt]) + ">\r\n";
  ++m_nNextRcpt;
}

void RelayDialogue::Bounce(const std::string& line) {
  m_bounce = BounceFailedText(line, m_envelope.text);
  m_output += "QUIT\r\n";
  m_bDone = true;
  m_nStep = 6;
}

void RelayDialogue::OnClosed() { GiveUp(kRelayClosedLine); }

void RelayDialogue::GiveUp(const std::string& line) {
  if (m_bDone) return;
  Bounce(line);
  m_bWantsClose = true;
}

std::optional<std::string> RelayDialogue::TakeBounce() {
  std::optional<std::string> bounce;
  bounce.swap(m_bounce);
  return bounce;
}

}  // namespace qn::smtp
