#include "xvfb_display.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "support/deadline.h"

namespace qn::test {

XvfbDisplay::~XvfbDisplay() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 500 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (::waitpid(pid_, &status, WNOHANG) == 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
}

bool XvfbDisplay::Start(int timeoutMs) {
  int fds[2];
  if (::pipe(fds) != 0) return false;
  const std::string fd = std::to_string(fds[1]);  // no allocation after the fork
  pid_ = ::fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    // A test killed on its time limit takes its display with it.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::close(fds[0]);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24", "-nolisten", "tcp",
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, MillisLeft(deadline)) <= 0) break;
    char c;
    if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
    number += c;
  }
  ::close(fds[0]);
  if (number.empty()) return false;
  name_ = ":" + number;
  return true;
}

int XvfbDisplay::Run(const std::string& command, std::string* out) const {
  const std::string line = "DISPLAY=" + name_ + " timeout 30 " + command;
  FILE* pipe = ::popen(line.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  const int status = ::pclose(pipe);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> XvfbDisplay::Windows(const std::string& title) const {
  std::string out;
  Run("xdotool search --onlyvisible --name '^" + title + "$'", &out);
  std::vector<std::string> ids;
  std::istringstream lines(out);
  for (std::string id; lines >> id;) ids.push_back(id);
  return ids;
}

std::vector<std::string> XvfbDisplay::WaitWindows(const std::string& title, size_t count, int timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<std::string> ids = Windows(title);
  while (ids.size() != count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ids = Windows(title);
  }
  return ids;
}

bool XvfbDisplay::Screenshot(const std::string& path) const {
  return Run("import -window root '" + path + "'") == 0;
}

}  // namespace qn::test
