#include "support/x_display.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>

#include "support/deadline.h"
#include "support/service_helpers.h"

extern char** environ;

namespace qn::test {

namespace {

constexpr const char* kXvfb = "/usr/bin/Xvfb";
constexpr const char* kXdotool = "/usr/bin/xdotool";
constexpr const char* kImport = "/usr/bin/import";

std::regex Exact(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex("^" + std::regex_replace(text, special, R"(\$&)") + "$");
}

}  // namespace

bool XDisplay::ToolsAvailable() {
  for (const char* tool : {kXvfb, kXdotool, kImport})
    if (::access(tool, X_OK) != 0) return false;
  return true;
}

bool XDisplay::Start(int width, int height) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  // Xvfb writes the display number it chose to descriptor 3.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  std::vector<std::string> args{kXvfb, "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int rc = ::posix_spawn(&pid_, kXvfb, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    pid_ = -1;
    ::close(fds[0]);
    return false;
  }
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
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
  ::setenv("DISPLAY", name_.c_str(), 1);
  return true;
}

XDisplay::~XDisplay() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  if (!svctest::WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(10))) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
}

std::optional<std::string> XDisplay::Xdotool(const std::vector<std::string>& args) {
  std::vector<std::string> argv{kXdotool};
  argv.insert(argv.end(), args.begin(), args.end());
  svctest::RunResult run = svctest::RunProgram(argv, std::chrono::seconds(30));
  if (run.exitCode != 0) return std::nullopt;
  while (!run.output.empty() && run.output.back() == '\n') run.output.pop_back();
  return run.output;
}

std::optional<std::string> XDisplay::FindWindow(const std::string& name, std::chrono::milliseconds limit) {
  std::optional<std::string> found;
  const std::regex exact = Exact(name);
  svctest::WaitUntil(
      [&] {
        std::optional<std::string> ids = Xdotool({"search", "--onlyvisible", "--name", "."});
        if (!ids) return false;
        size_t start = 0;
        while (start < ids->size()) {
          size_t end = ids->find('\n', start);
          if (end == std::string::npos) end = ids->size();
          const std::string id = ids->substr(start, end - start);
          if (std::regex_match(WindowName(id), exact)) {
            found = id;
            return true;
          }
          start = end + 1;
        }
        return false;
      },
      limit);
  return found;
}

std::string XDisplay::WindowName(const std::string& window) {
  return Xdotool({"getwindowname", window}).value_or("");
}

bool XDisplay::Screenshot(const std::string& path) {
  return svctest::RunProgram({kImport, "-display", name_, "-window", "root", path}, std::chrono::seconds(30))
             .exitCode == 0;
}

}  // namespace qn::test
