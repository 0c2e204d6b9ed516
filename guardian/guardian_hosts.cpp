#include "guardian/guardian_hosts.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "common/command_line.h"
#include "common/message_box.h"
#include "common/service_state.h"
#include "common/service_verbs.h"
#include "platform/service_control.h"

extern char** environ;

namespace guardian {

namespace automation = qn::automation;
using SteadyClock = std::chrono::steady_clock;

// ---- Clock ------------------------------------------------------------------

CServiceClock::CServiceClock(CNTService& service, int divisor)
    : m_service(service), m_divisor(std::max(divisor, 1)) {}

TimePoint CServiceClock::Now() {
  const auto real = std::chrono::duration_cast<Duration>(SteadyClock::now().time_since_epoch());
  return TimePoint(real * m_divisor);
}

bool CServiceClock::Sleep(Duration d) {
  // In slices, so that no deadline the waits compute can overflow.
  constexpr std::chrono::milliseconds kSlice = std::chrono::hours(24);
  for (auto left = ToReal(d); left.count() > 0; left -= std::min(left, kSlice)) {
    if (m_service.WaitForStop(std::min(left, kSlice))) return false;
  }
  return !Stopping();
}

bool CServiceClock::Stopping() { return (m_service.Flags() & CNTService::kFlagStopped) != 0; }

// ---- Services ---------------------------------------------------------------

unsigned long CServiceControlHost::GetServiceState(const std::string& name) {
  return ::GetServiceState(name);
}

bool CServiceControlHost::StartService(const std::string& name) { return ::StartService(name); }

bool CServiceControlHost::StopService(const std::string& name) { return ::StopService(name); }

void CServiceControlHost::EndServiceProcess(const std::string& name) {
  qn::svc::EndServiceProcess(name, kStopGrace);
}

// ---- Monitor ----------------------------------------------------------------

automation::Status CMonitorProbe::Create(Duration limit) {
  m_driver = std::make_unique<CMonitorDriver>();
  automation::Status status = automation::kOk;
  if (!m_driver->CreateDispatch(m_clock.ToReal(limit), &status)) m_driver.reset();
  return status;
}

ProbeOutcome CMonitorProbe::GetNbrConnections() {
  ProbeOutcome outcome;
  if (!m_driver) {
    outcome.kind = ProbeOutcome::kOleException;
    outcome.status = automation::kUnexpected;
    return outcome;
  }
  try {
    m_driver->GetNbrConnections();  // the number itself says nothing here
  } catch (const COleException& e) {
    outcome.kind = ProbeOutcome::kOleException;
    outcome.status = e.m_sc;
  } catch (const COleDispatchException&) {
    outcome.kind = ProbeOutcome::kDispatchException;
  }
  return outcome;
}

// ---- Kick-off command -------------------------------------------------------

std::vector<std::string> SplitCommandWords(const std::string& commandLine) {
  std::vector<std::string> words;
  const char* cursor = commandLine.c_str();
  while (*cursor == ' ' || *cursor == '\t') ++cursor;
  while (*cursor != '\0') {
    std::string word;
    GetCommandLineToken(cursor, commandLine.size(), &word);
    words.push_back(std::move(word));
  }
  return words;
}

LaunchResult CKickOffLauncher::Run(const std::string& commandLine, Duration limit,
                                   std::string* error) {
  std::vector<std::string> words = SplitCommandWords(commandLine);
  if (words.empty()) {
    *error = "the command is empty";
    return LaunchResult::kNotStarted;
  }
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  // glibc reports a program that cannot be run as the call's result.
  const int rc = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    *error = std::strerror(rc);
    return LaunchResult::kNotStarted;
  }

  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  const auto deadline = SteadyClock::now() + m_clock.ToReal(limit);
  bool ended = false;
  while (!ended && !m_clock.Stopping() && SteadyClock::now() < deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    const int wait = static_cast<int>(std::clamp<int64_t>(left.count(), 0, 100));
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      ended = ::poll(&p, 1, wait) > 0;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(wait));
      ended = ::waitpid(pid, nullptr, WNOHANG) == pid;
      if (ended) pid = -1;
    }
  }
  if (pidfd >= 0) ::close(pidfd);
  if (ended) {
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    return LaunchResult::kEnded;
  }
  // Left running; reaped whenever it ends.
  std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
  return LaunchResult::kStillRunning;
}

// ---- Log --------------------------------------------------------------------

void CLogLines::Line(const std::string& text) { ShowMessageLine("", text); }

}  // namespace guardian
