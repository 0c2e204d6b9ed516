#include "common/nt_service.h"

#include <unistd.h>

#include <cstdio>

#include "common/message_box.h"

namespace svc = qn::svc;

namespace {
CNTService* g_pService = nullptr;
}

CNTService::CNTService(const std::string& name, WorkerProc worker, bool runAsService,
                       uint32_t acceptedControls, uint32_t waitHint)
    : m_name(name.substr(0, 256)),
      m_worker(worker),
      m_runAsService(runAsService),
      m_acceptedControls(acceptedControls),
      m_waitHint(waitHint) {
  g_pService = this;
}

CNTService::~CNTService() {
  SetStopped();
  if (m_workerThread.joinable()) m_workerThread.join();
  if (g_pService == this) g_pService = nullptr;
}

CNTService* CNTService::Instance() { return g_pService; }

bool CNTService::Run() {
  if (!m_runAsService) {
    if (m_worker != nullptr) m_worker(this);
    return true;
  }
  return svc::StartServiceCtrlDispatcher(
             m_name, [this](const std::vector<std::string>& args) { ServiceMain(args); }) ==
         svc::kOk;
}

void CNTService::Init(const std::vector<std::string>& args) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() < 2 || (a[0] != '-' && a[0] != '/')) continue;
    char letter = a[1];
    if (letter == 'd' || letter == 'D') {
      m_debug = true;
      letter = 'i';
    }
    if (letter == 'i' || letter == 'I') {
      // Where a debugger attaches: the process id, in hex and decimal.
      char text[64];
      long pid = static_cast<long>(::getpid());
      std::snprintf(text, sizeof text, "pid %#lx %ld", pid, pid);
      ShowMessageLine(m_name, text);
    }
  }
}

bool CNTService::ReportStatus(uint32_t state, uint32_t win32ExitCode, uint32_t checkPoint,
                              uint32_t waitHint, uint32_t serviceExitCode) {
  svc::ServiceStatus status;
  status.serviceType = svc::kOwnProcess;
  status.currentState = state;
  status.controlsAccepted = state == svc::kStartPending ? 0 : m_acceptedControls;
  status.win32ExitCode = serviceExitCode != 0 ? svc::kServiceSpecificError : win32ExitCode;
  status.serviceSpecificExitCode = serviceExitCode;
  status.checkPoint = checkPoint;
  status.waitHint = waitHint;
  svc::StatusHandle handle;
  {
    std::lock_guard lock(m_lock);
    handle = m_status;
  }
  if (svc::SetServiceStatus(handle, status) != svc::kOk) {
    SetStopped();
    return false;
  }
  return true;
}

void CNTService::SetServiceExitCode(uint32_t code) {
  std::lock_guard lock(m_lock);
  m_serviceExitCode = code;
}

void CNTService::SetStopped() {
  std::lock_guard lock(m_lock);
  m_state = svc::kStopped;
  m_flags = (m_flags & ~kFlagRunning) | kFlagStopped;
  m_stopEvent = true;
  m_event.notify_all();
}

bool CNTService::WaitForStop(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_lock);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (m_stopEvent) return true;
    if (m_flags & kFlagPaused) {
      m_event.wait(lock);
      continue;
    }
    // A pause that began during the wait holds the worker here too.
    if (std::chrono::steady_clock::now() >= deadline) return false;
    m_event.wait_until(lock, deadline);
  }
}

uint32_t CNTService::CurrentState() const {
  std::lock_guard lock(m_lock);
  return m_state;
}

uint32_t CNTService::Flags() const {
  std::lock_guard lock(m_lock);
  return m_flags;
}

void CNTService::ServiceMain(const std::vector<std::string>& args) {
  {
    std::lock_guard lock(m_lock);
    m_status = svc::RegisterServiceCtrlHandler(
        m_name, [this](uint32_t control) { ControlHandler(control); });
    if (m_status == nullptr) {
      SetStopped();
      return;
    }
  }
  if (!ReportStatus(svc::kStartPending, 0, 1, m_waitHint)) return;
  ReportStatus(svc::kStartPending, 0, 2, m_waitHint);
  Init(args);
  ReportStatus(svc::kStartPending, 0, 3, m_waitHint);
  OnBeforeWorker();

  bool started = true;
  if (m_worker != nullptr) {
    try {
      std::lock_guard lock(m_lock);
      if (!m_stopEvent) m_workerThread = std::thread(m_worker, this);
    } catch (const std::system_error&) {
      started = false;
    }
  }
  if (!started) {
    SetStopped();
  } else {
    {
      std::lock_guard lock(m_lock);
      if (!m_stopEvent) m_flags |= kFlagRunning;
    }
    if (CurrentState() != svc::kStopped) {
      if (!ReportStatus(svc::kRunning)) return;
      std::lock_guard lock(m_lock);
      // Controls are taken as soon as running is reported: a pause or stop
      // handled in between has set the state, which must not be undone.
      if (!m_stopEvent && m_state == svc::kStartPending) m_state = svc::kRunning;
    }
    std::unique_lock lock(m_lock);
    m_event.wait(lock, [this] { return m_stopEvent; });
  }
  if (m_workerThread.joinable()) m_workerThread.join();
  svc::StatusHandle handle;
  uint32_t exitCode;
  {
    std::lock_guard lock(m_lock);
    handle = m_status;
    exitCode = m_serviceExitCode;
  }
  if (handle != nullptr) ReportStatus(svc::kStopped, 0, 0, 0, exitCode);
}

void CNTService::ControlHandler(uint32_t control) {
  switch (control) {
    case svc::kControlStop:
      ReportStatus(svc::kStopPending, 0, 1, m_waitHint);
      {
        std::lock_guard lock(m_lock);
        m_flags &= ~kFlagRunning;
        m_state = svc::kStopped;
      }
      OnStop();
      SetStopped();
      break;
    case svc::kControlPause: {
      std::unique_lock lock(m_lock);
      if ((m_flags & kFlagRunning) && !(m_flags & kFlagPaused)) {
        lock.unlock();
        ReportStatus(svc::kPausePending, 0, 1, m_waitHint);
        lock.lock();
        m_flags |= kFlagPaused;
        lock.unlock();
        OnPause();
        lock.lock();
        m_state = svc::kPaused;
      }
      break;
    }
    case svc::kControlContinue: {
      std::unique_lock lock(m_lock);
      if ((m_flags & kFlagRunning) && (m_flags & kFlagPaused)) {
        lock.unlock();
        ReportStatus(svc::kContinuePending, 0, 1, m_waitHint);
        lock.lock();
        m_flags &= ~kFlagPaused;
        m_event.notify_all();
        lock.unlock();
        OnContinue();
        lock.lock();
        m_state = svc::kRunning;
      }
      break;
    }
    case svc::kControlInterrogate:
    case svc::kControlShutdown:
      break;
    default:
      OnUserControl(control);
      break;
  }
  ReportStatus(CurrentState());
}
