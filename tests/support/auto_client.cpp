#include "auto_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "support/deadline.h"

extern char** environ;

namespace qn::test {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

AutoClient::~AutoClient() {
  if (in_ >= 0) ::close(in_);
  if (out_ >= 0) ::close(out_);
  if (pid_ > 0) {
    ::kill(pid_, SIGCONT);
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool AutoClient::Start(const std::string& cls, int timeoutSeconds) {
  int toChild[2], fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) return false;
  if (::pipe2(fromChild, O_CLOEXEC) != 0) return false;
  std::vector<std::string> words{std::string(QN_BIN_DIR) + "/qnauto"};
  if (timeoutSeconds > 0) {
    words.push_back("-t");
    words.push_back(std::to_string(timeoutSeconds));
  }
  words.push_back(cls);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  in_ = toChild[1];
  out_ = fromChild[0];
  if (rc != 0) pid_ = -1;
  return rc == 0;
}

std::optional<std::string> AutoClient::ReadLine(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    pollfd p{out_, POLLIN, 0};
    const int n = ::poll(&p, 1, MillisLeft(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    char buf[4096];
    const ssize_t got = ::read(out_, buf, sizeof buf);
    if (got <= 0) return std::nullopt;
    buffer_.append(buf, static_cast<size_t>(got));
  }
}

std::string AutoClient::Call(const std::string& line, int timeoutMs) {
  const std::string text = line + "\n";
  if (::write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return "";
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::optional<std::string> reply = ReadLine(MillisLeft(deadline));
    if (!reply) return "";
    if (reply->rfind("event\t", 0) == 0) {
      events_.push_back(*reply);
      continue;
    }
    return *reply;
  }
}

bool AutoClient::AwaitEvent(const std::string& line, size_t from, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (size_t i = from; i < events_.size(); ++i)
      if (events_[i] == line) return true;
    std::optional<std::string> next = ReadLine(MillisLeft(deadline));
    if (!next) return false;
    if (next->rfind("event\t", 0) == 0) events_.push_back(*next);
  }
}

void AutoClient::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

int AutoClient::Finish(int timeoutMs) {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (pid_ > 0) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

}  // namespace qn::test
