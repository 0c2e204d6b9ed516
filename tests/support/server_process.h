// Starting the real server programs for end-to-end tests and benchmarks: a
// registry file in a private root, a free port, the process with QN_ROOT set,
// and a stop that never waits forever.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qn::test {

// A TCP port on the loopback that nothing listens on right now.
uint16_t FindFreePort();

// Values by section under "SOFTWARE\Brenlo\Quillnet Server" (or by a full
// key path beginning "HKEY_"), as export lines ("\"Port\"=dword:00007a11").
using RegistrySections = std::map<std::string, std::vector<std::string>>;
std::string DwordLine(const std::string& name, uint32_t value);
std::string StringLine(const std::string& name, const std::string& text);
// Writes $root/etc/quillnet/registry.reg.
void WriteRegistry(const std::string& root, const RegistrySections& sections);

// The listening state of a local TCP port, from /proc/net/tcp.
bool IsPortListening(uint16_t port);

class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Runs QN_BIN_DIR/<program> with `args` and QN_ROOT=root; standard error
  // goes to $root/<program>.stderr. Waits until `port` listens when it is
  // not 0. False when the program did not come up within the time (generous:
  // a loaded machine running sanitizer builds starts a server slowly).
  bool Start(const std::string& program, const std::vector<std::string>& args,
             const std::string& root, uint16_t port, int timeoutMs = 60000);
  // Sends the signal and waits for the exit; SIGKILL after the time. The
  // exit code, 128 + signal for a killed process, -1 when none ran.
  int Stop(int signal = 15, int timeoutMs = 60000);
  // Waits for the process to end by itself.
  int Wait(int timeoutMs);
  bool IsRunning();
  pid_t pid() const { return m_pid; }
  std::string StderrText() const;

 private:
  pid_t m_pid = -1;
  std::string m_stderrPath;
  int m_status = -1;
};

// The resident set of a process in bytes, from /proc; 0 when unknown.
uint64_t ResidentBytes(pid_t pid);

}  // namespace qn::test
