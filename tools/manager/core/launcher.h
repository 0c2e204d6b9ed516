// Starting the administration programs the way the manager always has
// (WinExec and its small result numbers), here without any shell: a command
// line is split into words, the first names the program, and the result of
// the start is told as the numbers the launch messages are chosen by.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "tools/manager/core/manager_host.h"

namespace qn::manager {

// WinExec's results: above 31 the program started.
inline constexpr int kExecOutOfResources = 0;
inline constexpr int kExecFileNotFound = 2;
inline constexpr int kExecPathNotFound = 3;
inline constexpr int kExecAccessDenied = 5;
inline constexpr int kExecBadFormat = 11;
inline constexpr int kExecStarted = 33;

// The result a failed start (its errno) stands for; kExecStarted for 0.
int ExecResultFromErrno(int error);

// The launch message with the reason for `result` appended, or nullopt when
// the result shows nothing (the start worked, or a result no text names).
std::optional<std::string> WinExecErrorText(int result, const std::string& message);

class Launcher {
 public:
  explicit Launcher(const ManagerHost& host) : host_(host) {}

  // A bare program name (no slash) is sought beside qnman32, then along
  // PATH; a name with a slash is taken as it stands.
  std::optional<std::string> FindProgram(const std::string& name) const;
  // The first word of the command line names an existing program.
  bool ProgramExists(const std::string& commandLine) const;
  // Starts the command line; the WinExec result.
  int WinExec(const std::string& commandLine) const;
  // Starts the program at `path` as it stands, without arguments.
  int Run(const std::string& path) const;

 private:
  const ManagerHost& host_;
};

}  // namespace qn::manager
