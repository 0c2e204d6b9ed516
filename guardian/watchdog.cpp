#include "guardian/watchdog.h"

#include <algorithm>
#include <utility>

namespace guardian {

namespace automation = qn::automation;

namespace {
constexpr unsigned long kStateStopped = 1;
constexpr unsigned kNoServer = 5;
constexpr unsigned kServerStopping = 6;
constexpr unsigned kCallFailed = 1726;
constexpr unsigned kCallFailedDne = 1727;

long long Seconds(Duration d) { return std::chrono::duration_cast<std::chrono::seconds>(d).count(); }
}  // namespace

unsigned CreationFailureCode(automation::Status status) {
  // The runtime reports a server that goes during the creation as a failed
  // call; the creation is what the server's stop cut short.
  if (status == automation::kCallFailed) return kServerStopping;
  return status & 0xFFFF;
}

CWatchdog::CWatchdog(const WatchdogHosts& hosts, Settings settings, TimePoint timeLastRestart)
    : m_hosts(hosts),
      m_settings(std::move(settings)),
      // A zero interval would probe without a pause.
      m_checkInterval(std::chrono::seconds(std::max<uint32_t>(m_settings.secCheckInterval, 1))),
      m_delayBeforeCheck(std::chrono::seconds(m_settings.secDelayBeforeCheck)),
      m_timeLastRestart(timeLastRestart) {}

WatchdogEnd CWatchdog::Run() {
  try {
    StartStoppedServer();
    Sleep(m_delayBeforeCheck);
    for (;;) {
      Sleep(kConnectPause);
      ConnectAndProbe();
    }
  } catch (const Ended& e) {
    m_hosts.monitor.Release();
    return e.how;
  }
}

void CWatchdog::StartStoppedServer() {
  // Any other state (running, pending, paused, not known) starts nothing.
  if (m_hosts.services.GetServiceState(kServerService) != kStateStopped) return;
  while (!m_hosts.services.StartService(kServerService)) {
    m_hosts.log.Line(std::string(kServerService) + " could not be started.");
    CountFailure();
  }
}

void CWatchdog::ConnectAndProbe() {
  const automation::Status created = m_hosts.monitor.Create(kCallLimit);
  if (created == automation::kOk) {
    m_nStoppingCreations = 0;
    ProbeUntilFailure();
  } else {
    const std::string why = "its Monitor object could not be created (" +
                            automation::StatusText(created) + ")";
    switch (CreationFailureCode(created)) {
      case kServerStopping:
        // A server on its way down is given three more tries to go.
        if (++m_nStoppingCreations == kStoppingCreations) {
          m_nStoppingCreations = 0;
          CountUnlessDeferred(RestartServer(why));
          Sleep(m_delayBeforeCheck);
        }
        break;
      case kNoServer:
        CountUnlessDeferred(RestartServer(why));
        Sleep(m_delayBeforeCheck);
        break;
      default:
        m_hosts.log.Line(std::string(kServerService) + ": " + why + ".");
        CountFailure();
        break;
    }
  }
  m_hosts.monitor.Release();
}

void CWatchdog::ProbeUntilFailure() {
  for (;;) {
    const ProbeOutcome outcome = m_hosts.monitor.GetNbrConnections();
    if (outcome.kind == ProbeOutcome::kAnswered) {
      m_nFailures = 0;
      Sleep(m_checkInterval);
      continue;
    }
    if (outcome.kind == ProbeOutcome::kDispatchException) {
      m_hosts.log.Line(std::string(kServerService) + ": GetNbrConnections raised an error.");
      CountFailure();
      return;
    }
    const std::string why = "GetNbrConnections failed (" +
                            automation::StatusText(outcome.status) + ")";
    const unsigned code = outcome.status & 0xFFFF;
    if (outcome.status == automation::kTimeout) {
      // Hung: restarted at once, and probed again after the usual pause only.
      CountUnlessDeferred(RestartServer(why));
    } else if (code == kCallFailed || code == kCallFailedDne) {
      CountUnlessDeferred(RestartServer(why));
      Sleep(m_delayBeforeCheck);
    } else {
      m_hosts.log.Line(std::string(kServerService) + ": " + why + ".");
      CountFailure();
    }
    return;
  }
}

void CWatchdog::CountUnlessDeferred(Restart how) {
  if (how == Restart::kAtOnce) CountFailure();
}

CWatchdog::Restart CWatchdog::RestartServer(const std::string& why) {
  Restart how = Restart::kAtOnce;
  const TimePoint allowed = m_timeLastRestart + kRestartGap;
  const TimePoint now = m_hosts.clock.Now();
  if (now < allowed) {
    how = Restart::kDeferred;
    m_hosts.log.Line(std::string(kServerService) + ": " + why + "; restarting it in " +
                     std::to_string(Seconds(allowed - now)) + " s (one restart per " +
                     std::to_string(Seconds(kRestartGap)) + " s).");
    Sleep(allowed - now);
  } else {
    m_hosts.log.Line(std::string(kServerService) + ": " + why + "; restarting it.");
  }
  StopServer();
  if (!m_settings.kickOffApp.empty()) RunKickOffApp(m_settings.kickOffApp);
  for (;;) {
    Sleep(kStartPause);
    if (m_hosts.services.StartService(kServerService)) break;
    m_hosts.log.Line(std::string(kServerService) + " could not be started.");
    CountFailure();
  }
  m_timeLastRestart = m_hosts.clock.Now();
  return how;
}

void CWatchdog::CountFailure() {
  if (++m_nFailures < kFailuresToGiveUp) return;
  m_hosts.log.Line(std::string(kServerService) + " failed " + std::to_string(m_nFailures) +
                   " times without an answered probe between: stopping it; the guardian ends.");
  StopServer();
  throw Ended{WatchdogEnd::kGaveUp};
}

void CWatchdog::RunKickOffApp(const std::string& commandLine) {
  if (commandLine.size() >= kKickOffAppRoom) {
    m_hosts.log.Line("KickOffApp is longer than " + std::to_string(kKickOffAppRoom - 1) +
                     " characters and is not run: " + commandLine);
    return;
  }
  std::string error;
  switch (m_hosts.launcher.Run(commandLine, kKickOffLimit, &error)) {
    case LaunchResult::kEnded:
      break;
    case LaunchResult::kNotStarted:
      m_hosts.log.Line("KickOffApp \"" + commandLine + "\" could not be started: " + error +
                       "; the restart goes on.");
      break;
    case LaunchResult::kStillRunning:
      if (!m_hosts.clock.Stopping()) {
        m_hosts.log.Line("KickOffApp \"" + commandLine + "\" still runs after " +
                         std::to_string(Seconds(kKickOffLimit)) +
                         " s; the restart goes on and leaves it running.");
      }
      break;
  }
}

void CWatchdog::StopServer() {
  m_hosts.services.StopService(kServerService);
  // A server that did not follow the stop (a hung one answers no control)
  // would otherwise be "restarted" as it is.
  m_hosts.services.EndServiceProcess(kServerService);
}

void CWatchdog::Sleep(Duration d) {
  if (!m_hosts.clock.Sleep(d)) throw Ended{WatchdogEnd::kStopped};
}

}  // namespace guardian
