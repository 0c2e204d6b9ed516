#include "guardian/guardian_hosts.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "common/message_box.h"
#include "common/service_state.h"
#include "common/service_verbs.h"
#include "platform/process_start.h"
#include "platform/service_control.h"

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

LaunchResult CKickOffLauncher::Run(const std::string& commandLine, Duration limit,
                                   std::string* error) {
  const std::vector<std::string> words = qn::SplitCommandWords(commandLine);
  if (words.empty()) {
    *error = "the command is empty";
    return LaunchResult::kNotStarted;
  }
  pid_t pid = -1;
  const int rc = qn::SpawnChild(words, qn::ChildSetup{}, &pid);
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
  qn::ReapWhenEnded(pid);
  return LaunchResult::kStillRunning;
}

// ---- Log --------------------------------------------------------------------

void CLogLines::Line(const std::string& text) { ShowMessageLine("", text); }

}  // namespace guardian
