#include "platform/process_start.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace qn {

bool StartProgramDetached(const std::string& program, std::string* error) {
  std::string name = program;
  char* argv[] = {name.data(), nullptr};
  pid_t pid = -1;
  // glibc reports a program that cannot be executed as the call's result.
  const int rc = ::posix_spawnp(&pid, name.c_str(), nullptr, nullptr, argv, environ);
  if (rc != 0) {
    if (error != nullptr) *error = std::strerror(rc);
    return false;
  }
  // The child is waited for on a thread of its own, so the caller never
  // blocks and nothing else's children are reaped.
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

}  // namespace qn
