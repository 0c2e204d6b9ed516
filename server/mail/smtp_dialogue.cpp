#include "server/mail/smtp_dialogue.h"

#include <strings.h>

#include <cstring>

namespace qn::smtp {

namespace {

constexpr const char* kVersion = "1.0";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool EndsWord(char c) { return IsBlank(c) || c == '\r' || c == '\n'; }

// The first blank-separated word of `text` from `at`; `at` moves past it.
std::string NextWord(const std::string& text, size_t& at) {
  while (at < text.size() && IsBlank(text[at])) ++at;
  const size_t start = at;
  while (at < text.size() && !EndsWord(text[at])) ++at;
  return text.substr(start, at - start);
}

}  // namespace

bool ParsePathArgument(const std::string& argument, const char* prefix, size_t minLength,
                       std::string& address) {
  const size_t prefixLength = std::strlen(prefix);
  if (argument.size() < minLength) return false;
  if (strncasecmp(argument.c_str(), prefix, prefixLength) != 0 || argument.back() != '>') return false;
  address = argument.substr(prefixLength, argument.size() - prefixLength - 1);
  for (unsigned char c : address)
    if (c < 0x20 || c == 0x7F || c == '<' || c == '>') return false;
  return true;
}

const Dialogue::Command Dialogue::kCommands[] = {
    {"HELO", &Dialogue::Helo}, {"MAIL", &Dialogue::Mail}, {"RCPT", &Dialogue::Rcpt},
    {"DATA", &Dialogue::Data}, {"RSET", &Dialogue::Rset}, {"NOOP", &Dialogue::Noop},
    {"QUIT", &Dialogue::Quit}, {"HELP", &Dialogue::Help},
};

Dialogue::Dialogue(DialogueHost& host, std::string peerAddress)
    : m_host(host), m_strPeer(std::move(peerAddress)) {}

void Dialogue::Greet(std::time_t now) {
  std::tm local{};
  localtime_r(&now, &local);
  char when[64];
  std::strftime(when, sizeof when, "%a, %d %b %Y %H:%M:%S %Z", &local);
  m_output += "220 " + m_host.GetHostName() + " Quillnet-SMTP " + kVersion + " ready at " + when + "\r\n";
}

size_t Dialogue::Feed(const char* data, size_t size) {
  size_t used = 0;
  while (used < size && !m_bQuit) {
    used += m_reader.Take(data + used, size - used);
    if (!m_reader.HasLine()) break;
    if (m_bData) {
      if (m_reader.TooLong()) m_bOverflow = true;
      OnDataLine(m_reader.Line());
    } else if (m_reader.TooLong()) {
      m_output += "500 Line too long\r\n";
    } else {
      OnCommandLine(m_reader.Line());
    }
    m_reader.Next();
    if (m_output.size() >= kOutputPause) break;
  }
  return used;
}

void Dialogue::OnCommandLine(const std::string& line) {
  size_t at = 0;
  const std::string word = NextWord(line, at);
  if (word.empty()) return;
  if (word.size() == 4) {
    for (const Command& command : kCommands) {
      if (strncasecmp(word.c_str(), command.word, 4) != 0) continue;
      (this->*command.run)(line.substr(at));
      return;
    }
  }
  m_output += "500 Command unrecognized\r\n";
}

void Dialogue::OnDataLine(std::string line) {
  if (line == ".\r\n") {
    FinishMessage();
    return;
  }
  if (m_bOverflow) return;
  if (line[0] == '.') line.erase(0, 1);
  if (m_bHeaderScan) {
    if (line == "\r\n") {
      m_bHeaderScan = false;
    } else if (line.size() - 2 >= 8 && strncasecmp(line.c_str(), "Subject:", 8) == 0) {
      size_t at = 8;
      while (at < line.size() - 2 && line[at] == ' ') ++at;
      m_strSubject = line.substr(at, line.size() - 2 - at);
    }
  }
  if (m_message.size() + line.size() > kBufferBytes) {
    // Read on to the "." and refuse it then.
    m_bOverflow = true;
    m_message.clear();
    m_message.shrink_to_fit();
    return;
  }
  m_message += line;
}

void Dialogue::FinishMessage() {
  if (m_bOverflow) {
    m_output +=
        "552-Message can't be delivered - 32K limit reached\r\n"
        "552 Please break the message into pieces and retry.\r\n";
  } else if (m_host.DeliverMessage(m_recipients, m_strSender, m_strSubject, m_message)) {
    m_output += "250 Message delivered\r\n";
  } else {
    m_output += "552 Message delivery failed\r\n";
  }
  m_bData = false;
  m_bHeaderScan = false;
  m_bOverflow = false;
  ClearTransaction();
}

void Dialogue::ClearTransaction() {
  m_bMail = false;
  m_bRcpt = false;
  m_strSender.clear();
  m_recipients.clear();
  m_strSubject.clear();
  m_message.clear();
  m_message.shrink_to_fit();
}

void Dialogue::Helo(const std::string&) {
  m_output += "250 " + m_host.GetHostName() + " Hello [" + m_strPeer + "], pleased to meet you\r\n";
}

void Dialogue::Mail(const std::string& rest) {
  if (m_bMail) {
    m_output += "503 Nested MAIL command: MAIL" + rest;
    return;
  }
  size_t at = 0;
  const std::string argument = NextWord(rest, at);
  if (argument.empty()) {
    m_output += "501 MAIL requires one argument\r\n";
    return;
  }
  std::string address;
  if (!ParsePathArgument(argument, "From:<", 7, address)) {
    m_output += "501 Syntax error in argument, \"" + argument + "\"\r\n";
    return;
  }
  m_output += "250 <" + address + ">... Sender ok\r\n";
  m_strSender = address;
  m_bMail = true;
}

void Dialogue::Rcpt(const std::string& rest) {
  if (!m_bMail) {
    m_output += "503 Need MAIL before RCPT\r\n";
    return;
  }
  size_t at = 0;
  const std::string argument = NextWord(rest, at);
  if (argument.empty()) {
    m_output += "501 RCPT requires one argument\r\n";
    return;
  }
  std::string address;
  if (!ParsePathArgument(argument, "To:<", 6, address)) {
    m_output += "501 Syntax error in argument, \"" + argument + "\"\r\n";
    return;
  }
  if (m_recipients.size() >= kMaxRecipients) {
    m_output += "452 Too many recipients\r\n";
    return;
  }
  const size_t atSign = address.find('@');
  if (atSign == std::string::npos || !m_host.IsLocalDomain(address.substr(atSign + 1))) {
    m_output += "550 Non-local recipient - cannot forward\r\n";
    return;
  }
  const std::string name = address.substr(0, atSign);
  // "<@domain>" names nobody, whatever the hook would say of an empty name.
  if (name.empty() || !m_host.VerifyRecipient(name)) {
    m_output += "550 Recipient does not exist on this system\r\n";
    return;
  }
  m_output += "250 <" + address + ">... Recipient ok\r\n";
  m_recipients.push_back(name);
  m_bRcpt = true;
}

void Dialogue::Data(const std::string&) {
  if (!m_bMail) {
    m_output += "503 Need MAIL command\r\n";
    return;
  }
  if (!m_bRcpt) {
    m_output += "503 Need RCPT (recipient)\r\n";
    return;
  }
  m_output += "354 Enter mail, end with \".\" on a line by itself\r\n";
  m_bData = true;
  m_bHeaderScan = true;
  m_message = "Received: from [" + m_strPeer + "]\r\n";
}

void Dialogue::Rset(const std::string&) {
  ClearTransaction();
  m_output += "250 Reset state\r\n";
}

void Dialogue::Noop(const std::string&) { m_output += "250 OK\r\n"; }

void Dialogue::Quit(const std::string&) {
  m_output += "221 " + m_host.GetHostName() + " closing connection\r\n";
  m_bQuit = true;
}

void Dialogue::Help(const std::string&) {
  m_output +=
      "214-Commands:\r\n"
      "214-    HELO    MAIL    RCPT    DATA\r\n"
      "214-    RSET    NOOP    QUIT    HELP\r\n"
      "214 End of HELP\r\n";
}

}  // namespace qn::smtp
