#include "support/smtp_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/deadline.h"
#include "support/server_process.h"

extern char** environ;

namespace qn::test {

namespace {

using Clock = std::chrono::steady_clock;

bool SendAll(int fd, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

// The first complete reply in `buffer` (through its final line), or npos.
size_t ReplyEnd(const std::string& buffer) {
  size_t start = 0;
  for (size_t end; (end = buffer.find("\r\n", start)) != std::string::npos; start = end + 2)
    if (end - start < 4 || buffer[start + 3] != '-') return end + 2;
  return std::string::npos;
}

}  // namespace

// ---- SmtpClient ---------------------------------------------------------------

bool SmtpClient::Connect(uint16_t port, int timeoutMs) {
  Close();
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
    Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (Clock::now() < deadline);
  return false;
}

void SmtpClient::Close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  m_buffer.clear();
}

bool SmtpClient::Send(const std::string& bytes) { return m_fd >= 0 && SendAll(m_fd, bytes); }

bool SmtpClient::Fill(int timeoutMs) {
  pollfd p{m_fd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return false;
  char chunk[65536];
  const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
  if (n <= 0) return false;
  m_buffer.append(chunk, static_cast<size_t>(n));
  return true;
}

std::string SmtpClient::ReadReply(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t end = ReplyEnd(m_buffer);
    if (end != std::string::npos) {
      std::string reply = m_buffer.substr(0, end);
      m_buffer.erase(0, end);
      return reply;
    }
    if (m_fd < 0 || !Fill(MillisLeft(deadline))) return {};
  }
}

std::string SmtpClient::ReadReplies(int count, int timeoutMs) {
  std::string replies;
  for (int i = 0; i < count; ++i) {
    const std::string reply = ReadReply(timeoutMs);
    if (reply.empty()) break;
    replies += reply;
  }
  return replies;
}

bool SmtpClient::WaitClosed(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (m_fd >= 0) {
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, MillisLeft(deadline)) <= 0) return false;
    char chunk[65536];
    const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
    if (n <= 0) return true;
  }
  return false;
}

// ---- ScriptedRelay --------------------------------------------------------------

bool ScriptedRelay::Start(uint16_t port, Mode mode) {
  Stop();
  m_mode = mode;
  m_transcripts.clear();
  m_accepted = 0;
  m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(m_listenFd, 64) != 0 || ::pipe2(m_stopPipe, O_CLOEXEC) != 0) {
    Stop();
    return false;
  }
  m_thread = std::thread([this] { Serve(); });
  return true;
}

void ScriptedRelay::Stop() {
  if (m_thread.joinable()) {
    const char stop = 's';
    if (::write(m_stopPipe[1], &stop, 1) != 1) {
    }
    m_thread.join();
  }
  for (int* fd : {&m_listenFd, &m_stopPipe[0], &m_stopPipe[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void ScriptedRelay::Serve() {
  for (;;) {
    pollfd p[2] = {{m_listenFd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) continue;
    if (p[1].revents != 0) return;
    const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      ++m_accepted;
    }
    std::string transcript = Converse(fd);
    ::close(fd);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_transcripts.push_back(std::move(transcript));
    m_changed.notify_all();
  }
}

std::string ScriptedRelay::Converse(int fd) {
  std::string received;
  if (m_mode == Mode::kAccept || m_mode == Mode::kHang) SendAll(fd, "220 relay.test ready\r\n");
  if (m_mode == Mode::kGreet421) SendAll(fd, "421 relay.test closing for maintenance\r\n");
  size_t at = 0;  // start of the next unanswered line
  bool inData = false;
  for (;;) {
    pollfd p[2] = {{fd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
    const int timeoutMs = m_mode == Mode::kHang ? -1 : 30000;
    if (::poll(p, 2, timeoutMs) <= 0 || p[1].revents != 0) return received;
    char chunk[65536];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return received;
    received.append(chunk, static_cast<size_t>(n));
    if (m_mode == Mode::kSilent || m_mode == Mode::kHang) continue;
    for (;;) {
      if (inData) {
        const size_t end = received.find("\r\n.\r\n", at - 2);
        if (end == std::string::npos) break;
        at = end + 5;
        inData = false;
        SendAll(fd, "250 2.0.0 queued\r\n");
        continue;
      }
      const size_t end = received.find("\r\n", at);
      if (end == std::string::npos) break;
      std::string word = received.substr(at, std::min<size_t>(4, end - at));
      at = end + 2;
      for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (word == "QUIT") {
        SendAll(fd, "221 relay.test bye\r\n");
        return received;
      }
      if (m_mode == Mode::kGreet421) {
        SendAll(fd, "503 5.5.1 bad sequence\r\n");
      } else if (word == "DATA") {
        SendAll(fd, "354 go ahead\r\n");
        inData = true;
      } else {
        SendAll(fd, "250 ok\r\n");
      }
    }
  }
}

std::vector<std::string> ScriptedRelay::WaitTranscripts(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [&] { return m_transcripts.size() >= count; });
  return m_transcripts;
}

size_t ScriptedRelay::Accepted() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_accepted;
}

// ---- SmtpSink -------------------------------------------------------------------

bool SmtpSink::Start(uint16_t port, const std::vector<std::string>& options) {
  Stop();
  char dir[] = "/tmp/qn-smtp-sink-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return false;
  m_dir = dir;
  // smtp-sink writes its dumps as the user it switches to.
  ::chmod(dir, 0777);
  std::vector<std::string> args = {"smtp-sink"};
  if (::geteuid() == 0) args.insert(args.end(), {"-u", "nobody"});
  args.insert(args.end(), options.begin(), options.end());
  args.insert(args.end(), {"-d", m_dir + "/%Y%m%d%H%M%S.", "127.0.0.1:" + std::to_string(port), "64"});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const int failed = posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    m_pid = -1;
    return false;
  }
  return WaitUntil([&] { return IsPortListening(port); }, 10000);
}

void SmtpSink::Stop() {
  if (m_pid > 0) {
    ::kill(m_pid, SIGTERM);
    ::waitpid(m_pid, nullptr, 0);
  }
  m_pid = -1;
  if (!m_dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
  }
  m_dir.clear();
}

std::vector<std::string> SmtpSink::WaitMessages(size_t count, int timeoutMs) {
  std::vector<std::string> messages;
  WaitUntil(
      [&] {
        messages.clear();
        std::error_code ec;
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir, ec))
          files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
          std::ifstream in(file, std::ios::binary);
          std::string text(std::istreambuf_iterator<char>(in), {});
          // A dump is written whole when its transaction ends, with an empty
          // line after the message.
          if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\n\n") == 0)
            messages.push_back(std::move(text));
        }
        return messages.size() >= count;
      },
      timeoutMs);
  return messages;
}

// ---- swaks, waiting -------------------------------------------------------------

int RunSwaks(const std::vector<std::string>& args, std::string* output) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return -1;
  std::vector<std::string> all = {"swaks"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (failed != 0) {
    ::close(out[0]);
    return -1;
  }
  std::string text;
  char chunk[4096];
  for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace qn::test
