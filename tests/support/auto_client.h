// qnauto driven from a test: one process with its standard input and output
// on pipes, a call per line, the event lines its sink prints kept apart.
#pragma once
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace qn::test {

class AutoClient {
 public:
  AutoClient() = default;
  ~AutoClient();
  AutoClient(const AutoClient&) = delete;
  AutoClient& operator=(const AutoClient&) = delete;

  // Runs QN_BIN_DIR/qnauto [-t seconds] cls with the test's QN_ROOT.
  bool Start(const std::string& cls, int timeoutSeconds = 0);
  // Sends one line; the next line that is not an event (empty when none
  // came within the time).
  std::string Call(const std::string& line, int timeoutMs = 15000);
  // The next line of any kind.
  std::optional<std::string> ReadLine(int timeoutMs);
  // Waits until an event line equal to `line` has been seen after the first
  // `from` events; true when it came within the time.
  bool AwaitEvent(const std::string& line, size_t from, int timeoutMs);
  // Event lines seen so far ("event\t1\t3").
  const std::vector<std::string>& events() const { return events_; }

  void Signal(int signal);
  // Closes standard input and waits for the exit code (-1 on time-out).
  int Finish(int timeoutMs = 15000);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffer_;
  std::vector<std::string> events_;
};

}  // namespace qn::test
