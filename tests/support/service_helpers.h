// Helpers for tests of services: the test program as a service image, and
// waiting on processes with time limits.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qn::svctest {

// The running test program, quoted as an image path.
std::string SelfImagePath();

// Polls `done` every 10 ms until it is true or the time is up.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

// True while the process exists and is not a zombie.
bool ProcessAlive(pid_t pid);

// Sends SIGSTOP and waits (up to 10 s) until every thread of the process
// has stopped: until the first thread takes the signal, the others go on
// running and may still answer. False when it did not stop in time.
bool FreezeProcess(pid_t pid);

// Kills the process group led by `pid` (and the process), then waits for it.
void KillProcessGroup(pid_t pid);

// Kills the process that the status file of the service names, whether or
// not the service is still installed: what a test started never outlives it.
void KillServiceProcess(const std::string& service);

struct RunResult {
  int exitCode = -1;  // -1 when killed on time-out or not started
  std::string output;  // standard output and error
};
// Runs a program to its end, killing it after `limit`.
RunResult RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit);

// Registers `helper` to run instead of the tests when the environment
// variable QN_TEST_SERVICE_HELPER names `mode`; the process then ends with its
// result. Call from a static initialiser.
bool RegisterHelperMode(const char* mode, int (*helper)());

}  // namespace qn::svctest
