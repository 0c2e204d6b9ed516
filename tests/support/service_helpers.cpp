#include "support/service_helpers.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/paths.h"

extern char** environ;

namespace qn::svctest {

std::string SelfImagePath() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  buf[n] = '\0';
  return std::string("\"") + buf + "\"";
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

namespace {
// The state letter of /proc/<path>/stat, '\0' when unreadable.
char StatState(const std::string& path) {
  std::ifstream stat(path);
  std::string line;
  if (!std::getline(stat, line)) return '\0';
  auto close = line.rfind(')');
  if (close == std::string::npos || close + 2 >= line.size()) return '\0';
  return line[close + 2];
}
}  // namespace

bool FreezeProcess(pid_t pid) {
  if (pid <= 0 || ::kill(pid, SIGSTOP) != 0) return false;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  return WaitUntil(
      [&] {
        std::error_code ec;
        bool any = false;
        for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
          const char state = StatState(task.path().string() + "/stat");
          if (state != 'T' && state != 't' && state != '\0') return false;
          any = true;
        }
        return any && !ec;
      },
      std::chrono::seconds(10));
}

bool ProcessAlive(pid_t pid) {
  if (pid <= 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  auto close = line.rfind(')');
  if (close == std::string::npos || close + 2 >= line.size()) return false;
  return line[close + 2] != 'Z' && line[close + 2] != 'X';
}

void KillProcessGroup(pid_t pid) {
  if (pid <= 0) return;
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  WaitUntil([pid] { return !ProcessAlive(pid); }, std::chrono::seconds(5));
}

void KillServiceProcess(const std::string& service) {
  std::string file;
  for (char c : service) file += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::ifstream in(qn::paths::RunDir() / (file + ".status"));
  long fields[7] = {};
  for (long& f : fields) in >> f;
  if (in && fields[6] > 0) KillProcessGroup(static_cast<pid_t>(fields[6]));
}

RunResult RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
  RunResult result;
  char outName[] = "/tmp/qnsvc-out-XXXXXX";
  int outFd = ::mkstemp(outName);
  if (outFd < 0) return result;
  ::unlink(outName);
  std::vector<std::string> args = argv;
  std::vector<char*> cargs;
  for (auto& a : args) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  posix_spawn_file_actions_adddup2(&actions, outFd, 2);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, cargs[0], &actions, nullptr, cargs.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc == 0) {
    int status = 0;
    bool ended = WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit);
    if (!ended) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
      result.exitCode = WEXITSTATUS(status);
    }
  }
  ::lseek(outFd, 0, SEEK_SET);
  char buf[4096];
  ssize_t n;
  while ((n = ::read(outFd, buf, sizeof buf)) > 0) result.output.append(buf, static_cast<size_t>(n));
  ::close(outFd);
  return result;
}

bool RegisterHelperMode(const char* mode, int (*helper)()) {
  const char* wanted = std::getenv("QN_TEST_SERVICE_HELPER");
  if (wanted == nullptr || std::strcmp(wanted, mode) != 0) return false;
  int code = helper();
  std::fflush(nullptr);
  ::_exit(code);
}

}  // namespace qn::svctest
