#include "server/core/server_service.h"

#include <atomic>

#include "common/command_line.h"
#include "common/message_box.h"
#include "common/service_verbs.h"
#include "platform/paths.h"
#include "server/core/server_install.h"

namespace {

std::atomic<bool> g_bStop{false};
std::mutex g_closeMutex;
std::function<void()> g_closeMainWindow;

// The path of the running executable: the service's program.
std::string ProgramPath() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace

CServerService::CServerService(bool runAsService, WorkerProc worker, ServerControl control)
    : CNTService(kServerDispatchName, worker, runAsService,
                 qn::svc::kAcceptStop | qn::svc::kAcceptPauseContinue | qn::svc::kAcceptShutdown,
                 5000),
      m_control(std::move(control)) {}

bool CServerService::Run() { return CNTService::Run(); }

void CServerService::Init(const std::vector<std::string>& args) { CNTService::Init(args); }

void CServerService::OnBeforeWorker() {
  if (!m_control.awaitStart) return;
  constexpr auto kHint = std::chrono::milliseconds(5000);
  uint32_t error = 0;
  uint32_t checkPoint = 4;
  while (!m_control.awaitStart(kHint / 2, error))
    ReportStatus(qn::svc::kStartPending, 0, checkPoint++, static_cast<uint32_t>(kHint.count()));
  if (error != 0) {
    SetServiceExitCode(error);
    SetStopped();
  }
}

void CServerService::OnStop() {
  if (m_control.closeMainWindow) m_control.closeMainWindow();
  std::unique_lock lock(m_stopMutex);
  m_stopDone.wait_for(lock, kStopWait, [this] { return m_serverStopped; });
}

void CServerService::OnPause() {
  if (m_control.setAcceptConnections) m_control.setAcceptConnections(false);
}

void CServerService::OnContinue() {
  if (m_control.setAcceptConnections) m_control.setAcceptConnections(true);
}

void CServerService::ServerStopped() {
  std::lock_guard lock(m_stopMutex);
  m_serverStopped = true;
  m_stopDone.notify_all();
}

bool RunServiceCommandLine(const std::string& commandLine, int* exitCode) {
  if (exitCode != nullptr) *exitCode = 0;
  bool install = commandLine.size() > 1 && commandLine.compare(1, 7, "install") == 0;
  if (install) RegisterServerInstallation();
  std::string programPath = ProgramPath();
  if (ProcessServiceCommand(kServerServiceName, commandLine, exitCode)) return true;
  if (install) {
    InstallServerService(commandLine, programPath);
    return true;
  }
  return false;
}

bool AsksForAutomationStart(const std::string& commandLine) {
  const char* cursor = commandLine.c_str();
  std::string token;
  while (*cursor != '\0') {
    if (GetCommandLineToken(cursor, commandLine.size(), &token) <= 1) continue;
    if (token[0] != '-' && token[0] != '/') continue;
    std::string flag;
    for (char c : token.substr(1)) flag += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (flag == "embedding" || flag == "automation") return true;
  }
  return false;
}

void CloseMainWindow() {
  g_bStop = true;
  std::function<void()> close;
  {
    std::lock_guard lock(g_closeMutex);
    close = g_closeMainWindow;
  }
  if (close) close();
}

bool IsStopFlagSet() { return g_bStop; }

void ServiceWorkerProc(CNTService* service) {
  while (!service->WaitForStop(std::chrono::seconds(10))) {
    if (g_bStop) CloseMainWindow();
  }
}

CServiceThread::~CServiceThread() { Finish(); }

void CServiceThread::Start(bool mustBeService, ServerControl control) {
  {
    std::lock_guard lock(g_closeMutex);
    g_closeMainWindow = control.closeMainWindow;
  }
  control.awaitStart = [this](std::chrono::milliseconds limit, uint32_t& error) {
    std::unique_lock lock(m_mutex);
    if (!m_startEnded.wait_for(lock, limit, [this] { return m_startKnown || m_finished; }))
      return false;
    error = m_startKnown ? m_startError : 1;
    return true;
  };
  m_thread = std::thread([this, mustBeService, control] { Body(mustBeService, control); });
}

void CServiceThread::Body(bool mustBeService, ServerControl control) {
  CServerService service(mustBeService, &ServiceWorkerProc, std::move(control));
  {
    std::lock_guard lock(m_mutex);
    // The server may have ended before this thread got going.
    if (m_finished) return;
    m_service = &service;
  }
  bool ran = service.Run();
  bool serverRuns;
  {
    std::lock_guard lock(m_mutex);
    m_service = nullptr;
    if (!ran && mustBeService) m_notAService = true;
    serverRuns = !m_finished;
  }
  if (!ran && mustBeService) {
    ShowMessageLine("", kNotAServiceMessage);
    CloseMainWindow();
  } else if (mustBeService && serverRuns) {
    // The service ended without the server (its status could not be
    // reported): a server that can no longer be stopped or started through
    // the service control, and that holds its port, must not go on running.
    CloseMainWindow();
  }
}

void CServiceThread::ServerStarted(uint32_t error) {
  std::lock_guard lock(m_mutex);
  m_startKnown = true;
  m_startError = error;
  m_startEnded.notify_all();
}

void CServiceThread::Finish() {
  {
    std::lock_guard lock(m_mutex);
    m_finished = true;
    m_startEnded.notify_all();
    if (m_service != nullptr) {
      m_service->ServerStopped();
      m_service->SetStopped();
    }
  }
  if (m_thread.joinable()) m_thread.join();
  std::lock_guard lock(g_closeMutex);
  g_closeMainWindow = nullptr;
}

bool CServiceThread::NotAService() const {
  std::lock_guard lock(m_mutex);
  return m_notAService;
}
