#include "guardian/guardian_service.h"

#include <signal.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <atomic>
#include <cstdio>

#include "common/event_log_source.h"
#include "common/message_box.h"
#include "common/registry.h"
#include "common/service_verbs.h"
#include "guardian/guardian_hosts.h"
#include "guardian/guardian_install.h"
#include "guardian/guardian_settings.h"
#include "guardian/watchdog.h"
#include "platform/paths.h"
#include "platform/service_control.h"

bool g_bRunAsService = true;
const guardian::TimePoint g_timeLastRestart(
    std::chrono::duration_cast<guardian::Duration>(std::chrono::steady_clock::now().time_since_epoch()));

namespace {

constexpr const char* kDatabaseService = "MSSQLServer";
// How long the start waits after starting the database server.
constexpr std::chrono::seconds kDatabaseWait{30};
constexpr uint32_t kWaitHintMs = 5000;
// After the main window closed: how long the threads get to finish before
// the process ends wherever they are (a call to a hung server, a start).
constexpr std::chrono::seconds kEndGrace{3};

std::atomic<int> g_exitCode{0};
std::atomic<CGuardianService*> g_pService{nullptr};

}  // namespace

// ---- The main window ----------------------------------------------------------

CGuardianWindow::CGuardianWindow() : m_work(asio::make_work_guard(m_loop)) {}

void CGuardianWindow::RunMessageLoop(bool standAlone) {
  asio::signal_set signals(m_loop);
  if (standAlone) {
    signals.add(SIGINT);
    signals.add(SIGTERM);
    signals.async_wait([this](const std::error_code& error, int) {
      if (!error) Close();
    });
  }
  m_loop.run();
}

void CGuardianWindow::Close() {
  {
    std::lock_guard lock(m_mutex);
    m_closed = true;
    m_closedEvent.notify_all();
  }
  m_work.reset();
  m_loop.stop();
}

void CGuardianWindow::PostClose() {
  asio::post(m_loop, [this] { Close(); });
}

void CGuardianWindow::SendClose() {
  PostClose();
  WaitForClose(std::chrono::hours(24));
}

bool CGuardianWindow::IsClosed() {
  std::lock_guard lock(m_mutex);
  return m_closed;
}

bool CGuardianWindow::WaitForClose(std::chrono::milliseconds limit) {
  std::unique_lock lock(m_mutex);
  return m_closedEvent.wait_for(lock, limit, [this] { return m_closed; });
}

// ---- The service ----------------------------------------------------------------

CGuardianService::CGuardianService(bool runAsService, CGuardianWindow& window)
    : CNTService(kGuardianServiceName, &WatchdogThread, runAsService,
                 qn::svc::kAcceptStop | qn::svc::kAcceptPauseContinue | qn::svc::kAcceptShutdown,
                 kWaitHintMs),
      m_window(window) {}

bool CGuardianService::Run() { return CNTService::Run(); }

void CGuardianService::Init(const std::vector<std::string>& args) { CNTService::Init(args); }

void CGuardianService::OnStop() { m_window.SendClose(); }

void CGuardianService::OnBeforeWorker() {
  if (!IsOdbcTypeMsSql()) return;
  StartServiceIfNecessary(kDatabaseService);
  // Whoever waits for the start gives it up when the check point stands
  // still for longer than the wait hint.
  const auto end = std::chrono::steady_clock::now() + kDatabaseWait;
  for (uint32_t checkPoint = 4; std::chrono::steady_clock::now() < end; ++checkPoint) {
    ReportStatus(qn::svc::kStartPending, 0, checkPoint, kWaitHintMs);
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        std::chrono::milliseconds(kWaitHintMs / 2), end - std::chrono::steady_clock::now()));
  }
}

void WatchdogThread(CNTService* service) {
  using namespace guardian;
  const Settings settings = ReadSettings();
  CServiceClock clock(*service);
  CServiceControlHost services;
  CMonitorProbe monitor(clock);
  CKickOffLauncher launcher(clock);
  CLogLines log;
  CWatchdog watchdog(WatchdogHosts{clock, services, monitor, launcher, log}, settings,
                     g_timeLastRestart);
  if (watchdog.Run() != WatchdogEnd::kGaveUp) return;
  // The guardian ends: as a service with its own code in the stopped report.
  g_exitCode = kGuardianGaveUp;
  service->SetServiceExitCode(kGuardianGaveUp);
  service->SetStopped();
  if (auto* guardianService = dynamic_cast<CGuardianService*>(service))
    guardianService->Window().PostClose();
}

// ---- The application ------------------------------------------------------------

int CGuardianApp::Run(const std::string& commandLine) {
  const std::string programPath = (qn::paths::ExecutableDir() / "qnguard").string();
  int verbExit = 0;
  if (ProcessServiceCommand(kGuardianServiceName, commandLine, &verbExit)) return verbExit;
  // A switch, then "install": seven characters compared, more may follow.
  if (commandLine.size() > 1 && commandLine.compare(1, 7, "install") == 0)
    return InstallGuardian(programPath) ? 0 : 1;

  g_bRunAsService = !(commandLine == "/sa" || commandLine == "-sa");
  // The guardian reports no event; opening its source may fail without effect.
  bool eventLogOpen = false;
  CEventLogSource eventLog(kGuardianEventSource, static_cast<int>(kGuardianEventId), eventLogOpen);

  m_serviceThread = std::thread([this] { ServiceStartThread(); });
  m_window.RunMessageLoop(!g_bRunAsService);
  return ExitInstance();
}

void CGuardianApp::ServiceStartThread() {
  if (!g_bRunAsService && IsOdbcTypeMsSql()) {
    // As a service this wait runs once the dispatcher is connected.
    StartServiceIfNecessary(kDatabaseService);
    m_window.WaitForClose(kDatabaseWait);
  }
  if (!m_window.IsClosed()) {
    // Lives until the program ends.
    auto* service = new CGuardianService(g_bRunAsService, m_window);
    g_pService = service;
    if (!service->Run() && g_bRunAsService) {
      ShowMessageLine("", kGuardianNotAServiceMessage);
      g_exitCode = 1;
    }
  }
  m_window.PostClose();
  std::lock_guard lock(m_mutex);
  m_bServiceEnded = true;
  m_serviceEnded.notify_all();
}

int CGuardianApp::ExitInstance() {
  // The watchdog's waits end; stand-alone this is its stop.
  if (CGuardianService* service = g_pService) service->SetStopped();
  bool ended;
  {
    std::unique_lock lock(m_mutex);
    ended = m_serviceEnded.wait_for(lock, kEndGrace, [this] { return m_bServiceEnded; });
  }
  if (!ended) {
    // A thread that is still in a call or a start ends with the process, as
    // the threads of a program whose main window closed do.
    std::fflush(nullptr);
    ::_exit(g_exitCode);
  }
  m_serviceThread.join();
  return g_exitCode;
}
