// Ending a service's program that did not follow a stop: the process is
// found by the lock it holds and killed through a descriptor of its own.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/service_control.h"

namespace qn::svc {

namespace {

using Clock = std::chrono::steady_clock;

bool WaitForLockFree(std::string_view name, Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  while (IsServiceLockHeld(name)) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// True when one of the process's descriptors is the lock file through which
// it holds the lock: its fdinfo lists the locks of that open file only.
bool HoldsLock(pid_t pid, dev_t dev, ino_t ino) {
  const std::string base = "/proc/" + std::to_string(pid);
  DIR* dir = ::opendir((base + "/fd").c_str());
  if (dir == nullptr) return false;
  bool holds = false;
  while (!holds) {
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) break;
    if (entry->d_name[0] == '.') continue;
    struct stat st {};
    if (::stat((base + "/fd/" + entry->d_name).c_str(), &st) != 0) continue;
    if (st.st_dev != dev || st.st_ino != ino) continue;
    std::ifstream info(base + "/fdinfo/" + entry->d_name);
    for (std::string line; std::getline(info, line);) {
      if (line.rfind("lock:", 0) == 0) {
        holds = true;
        break;
      }
    }
  }
  ::closedir(dir);
  return holds;
}

// The process the status file names first (the service reports its own id
// while it runs), then every other.
std::vector<pid_t> Candidates(std::string_view name) {
  std::vector<pid_t> pids;
  ServiceStatus status;
  if (QueryServiceStatus(name, status) == kOk && status.processId > 0) pids.push_back(status.processId);
  if (DIR* dir = ::opendir("/proc")) {
    while (const dirent* entry = ::readdir(dir)) {
      char* end = nullptr;
      const long pid = std::strtol(entry->d_name, &end, 10);
      if (pid > 0 && *end == '\0' && pid != ::getpid()) pids.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(dir);
  }
  return pids;
}

// Kills the process if it holds the lock; true when it did.
bool KillHolder(pid_t pid, dev_t dev, ino_t ino) {
  // The descriptor names this process for good: if the id is given to
  // another process meanwhile, the signal fails instead of reaching it.
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return false;
  bool killed = false;
  if (HoldsLock(pid, dev, ino) && ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0) {
    pollfd ended{pidfd, POLLIN, 0};
    ::poll(&ended, 1, 5000);
    killed = true;
  }
  ::close(pidfd);
  return killed;
}

}  // namespace

Error EndServiceProcess(std::string_view name, std::chrono::milliseconds grace) {
  if (!IsServiceLockHeld(name)) return kOk;
  ServiceStatus status;
  if (QueryServiceStatus(name, status) == kOk && status.currentState == kStopped &&
      WaitForLockFree(name, grace)) {
    return kOk;
  }
  // Starts of the service wait meanwhile: while a start runs its starter
  // holds the lock too, and it must not be taken for the service.
  const int startFd =
      ::open(ServiceStateFile(name, ".start").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (startFd >= 0) ::flock(startFd, LOCK_EX);
  struct stat lock {};
  if (::stat(ServiceStateFile(name, ".lock").c_str(), &lock) == 0) {
    for (pid_t pid : Candidates(name)) {
      if (!IsServiceLockHeld(name)) break;
      KillHolder(pid, lock.st_dev, lock.st_ino);
    }
  }
  const bool freed = WaitForLockFree(name, std::chrono::seconds(10));
  if (startFd >= 0) ::close(startFd);
  return freed ? kOk : kRequestTimeout;
}

}  // namespace qn::svc
