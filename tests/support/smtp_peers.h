// SMTP peers for the tests: a raw client with deadlines, a relay of the
// tests' own that answers by a script and keeps what it was sent, postfix's
// smtp-sink dumping each message into a directory, and swaks.
#pragma once
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qn::test {

class SmtpClient {
 public:
  SmtpClient() = default;
  ~SmtpClient() { Close(); }
  SmtpClient(const SmtpClient&) = delete;
  SmtpClient& operator=(const SmtpClient&) = delete;

  bool Connect(uint16_t port, int timeoutMs = 5000);
  bool Send(const std::string& bytes);
  // The next whole reply, continuation lines included; empty on timeout or
  // close.
  std::string ReadReply(int timeoutMs = 5000);
  // `count` replies in a row.
  std::string ReadReplies(int count, int timeoutMs = 5000);
  // The server closed the connection within the time (what came before is
  // dropped).
  bool WaitClosed(int timeoutMs = 5000);
  void Close();
  int fd() const { return m_fd; }

 private:
  bool Fill(int timeoutMs);
  int m_fd = -1;
  std::string m_buffer;
};

// A relay on a loopback port, one connection at a time, each kept as the
// bytes the client sent.
class ScriptedRelay {
 public:
  enum class Mode {
    kAccept,    // 220, 250 to everything, 354 for DATA, 221 for QUIT
    kGreet421,  // 421 instead of the greeting, 221 for QUIT
    kSilent,    // accepts and says nothing
    kHang,      // greets, then answers nothing and holds on until stopped
  };
  ScriptedRelay() = default;
  ~ScriptedRelay() { Stop(); }
  ScriptedRelay(const ScriptedRelay&) = delete;
  ScriptedRelay& operator=(const ScriptedRelay&) = delete;

  bool Start(uint16_t port, Mode mode);
  void Stop();
  // What the finished connections sent, once `count` have ended (fewer
  // when the time ran out).
  std::vector<std::string> WaitTranscripts(size_t count, int timeoutMs = 10000);
  // Connections accepted so far.
  size_t Accepted();

 private:
  void Serve();
  std::string Converse(int fd);

  Mode m_mode = Mode::kAccept;
  int m_listenFd = -1;
  int m_stopPipe[2] = {-1, -1};
  std::thread m_thread;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::string> m_transcripts;
  size_t m_accepted = 0;
};

// postfix's smtp-sink on a loopback port (as root with "-u nobody"), each
// message dumped to a file of its own.
class SmtpSink {
 public:
  SmtpSink() = default;
  ~SmtpSink() { Stop(); }
  SmtpSink(const SmtpSink&) = delete;
  SmtpSink& operator=(const SmtpSink&) = delete;

  // `options` come before the address (e.g. {"-f", "RCPT"}).
  bool Start(uint16_t port, const std::vector<std::string>& options = {});
  void Stop();
  // The dumps once `count` are complete (fewer when the time ran out).
  std::vector<std::string> WaitMessages(size_t count, int timeoutMs = 10000);

 private:
  pid_t m_pid = -1;
  std::string m_dir;
};

// Runs swaks with the arguments; its exit code (-1 when it could not run),
// with what it printed in `output`.
int RunSwaks(const std::vector<std::string>& args, std::string* output = nullptr);

// Polls `condition` every 10 ms until it holds or the time runs out.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000);

}  // namespace qn::test
