// The SMTP server's side of one inbound connection as a pure state machine:
// bytes in, replies out (Output()), finished messages handed to the host.
// No socket inside: the session feeds what it reads and sends what comes out.
//
// Commands are read as a stream: every complete line is answered in order,
// however the bytes were cut into reads; lines after a message's "." in the
// same read are commands again. Nothing after QUIT is read.
#pragma once
#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

#include "server/mail/smtp_line_reader.h"

namespace qn::smtp {

// What the dialogue asks of the server around it.
class DialogueHost {
 public:
  virtual ~DialogueHost() = default;
  // The name in the greeting and in the replies to HELO and QUIT.
  virtual std::string GetHostName() const = 0;
  virtual bool IsLocalDomain(const std::string& domain) const = 0;
  // Whether a recipient (the local part of its address) exists.
  virtual bool VerifyRecipient(const std::string& name) = 0;
  // Stores a finished message (the text with its "Received:" line); false
  // when it could not.
  virtual bool DeliverMessage(const std::vector<std::string>& recipients, const std::string& sender,
                              const std::string& subject, const std::string& text) = 0;
};

class Dialogue {
 public:
  // A command line and a whole message (its "Received:" line, header block
  // and body, each line with its CR LF, after the dots are taken off) each
  // fit in this many bytes.
  static constexpr size_t kBufferBytes = 32767;
  // Recipients of one message; the next RCPT is refused with 452.
  static constexpr size_t kMaxRecipients = 100;
  // Feed stops after a line once this much output waits.
  static constexpr size_t kOutputPause = 64 * 1024;

  Dialogue(DialogueHost& host, std::string peerAddress);

  // Queues the greeting, with the local time of `now`.
  void Greet(std::time_t now);
  // Reads `size` bytes; returns how many it used. It stops early after a
  // whole line once kOutputPause bytes of output wait, and after QUIT (the
  // rest is never read).
  size_t Feed(const char* data, size_t size);

  // Replies not yet sent; the session takes them from the front.
  std::string& Output() { return m_output; }
  bool IsQuit() const { return m_bQuit; }
  bool InData() const { return m_bData; }
  // Memory the dialogue holds for unfinished input.
  size_t HeldBytes() const { return m_reader.Held() + m_message.size(); }

 private:
  void OnCommandLine(const std::string& line);
  void OnDataLine(std::string line);
  void FinishMessage();
  void ClearTransaction();

  void Helo(const std::string& rest);
  void Mail(const std::string& rest);
  void Rcpt(const std::string& rest);
  void Data(const std::string& rest);
  void Rset(const std::string& rest);
  void Noop(const std::string& rest);
  void Quit(const std::string& rest);
  void Help(const std::string& rest);

  struct Command {
    const char* word;
    void (Dialogue::*run)(const std::string& rest);
  };
  static const Command kCommands[];

  DialogueHost& m_host;
  std::string m_strPeer;
  LineReader m_reader{kBufferBytes};
  std::string m_output;

  bool m_bMail = false;
  bool m_bRcpt = false;
  bool m_bData = false;
  bool m_bHeaderScan = false;
  bool m_bOverflow = false;
  bool m_bQuit = false;
  std::string m_strSender;
  std::vector<std::string> m_recipients;
  std::string m_strSubject;
  std::string m_message;
};

// The address between `prefix` (ending in "<", any case) and the final ">"
// of a MAIL or RCPT argument; false when the argument is shorter than
// `minLength`, is not of that form, or the address holds a control
// character, "<" or ">".
bool ParsePathArgument(const std::string& argument, const char* prefix, size_t minLength,
                       std::string& address);

}  // namespace qn::smtp
