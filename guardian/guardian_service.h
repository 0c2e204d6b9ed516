// qnguard's shell: the application object with its command line, the main
// thread's loop that stands in for the hidden main window, and the
// guardian's service, whose worker is the watchdog.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "common/nt_service.h"
#include "guardian/watchdog_host.h"

inline constexpr const char* kGuardianServiceName = "QuillnetGuardian";
inline constexpr const char* kGuardianDisplayName = "Quillnet Guardian";
inline constexpr const char* kGuardianNotAServiceMessage =
    "The Quillnet NT Guardian must be started as an NT Service.";
inline constexpr uint32_t kGuardianEventId = 0xC0020001;
// The exit code (and, as a service, the service-specific code) of a guardian
// that gave the server up.
inline constexpr int kGuardianGaveUp = 3;

// False only for the command line "-sa" or "/sa".
extern bool g_bRunAsService;
// The guardian's start: no restart happens within 240 s of it.
extern const guardian::TimePoint g_timeLastRestart;

// The main window: the main thread runs its loop until the window closes
// (or, stand-alone, until SIGINT or SIGTERM).
class CGuardianWindow {
 public:
  CGuardianWindow();
  void RunMessageLoop(bool standAlone);
  // The close, handled on the main thread; SendClose returns once it was.
  void PostClose();
  void SendClose();
  bool IsClosed();
  // Waits up to `limit` for the close; true when it came.
  bool WaitForClose(std::chrono::milliseconds limit);

 private:
  void Close();

  asio::io_context m_loop;
  asio::executor_work_guard<asio::io_context::executor_type> m_work;
  std::mutex m_mutex;
  std::condition_variable m_closedEvent;
  bool m_closed = false;
};

class CGuardianService : public CNTService {
 public:
  CGuardianService(bool runAsService, CGuardianWindow& window);
  bool Run() override;
  void Init(const std::vector<std::string>& args) override;
  void OnUserControl(uint32_t control) override {}
  // Closes the main window and waits until it is closed; the watchdog's
  // waits end with the stop that follows.
  void OnStop() override;
  // The database server's start in the one-database mode, with the check
  // point moving meanwhile.
  void OnBeforeWorker() override;
  void OnPause() override {}
  void OnContinue() override {}

  CGuardianWindow& Window() { return m_window; }

 private:
  CGuardianWindow& m_window;
};

// The service's worker: the watchdog on the real hosts.
void WatchdogThread(CNTService* service);

class CGuardianApp {
 public:
  // The whole program: the verbs and the install end at once; otherwise the
  // service thread runs the dispatcher (or, stand-alone, the watchdog) while
  // this thread runs the main window's loop. The process's exit code.
  int Run(const std::string& commandLine);

 private:
  void ServiceStartThread();
  int ExitInstance();

  CGuardianWindow m_window;
  std::thread m_serviceThread;
  std::mutex m_mutex;
  std::condition_variable m_serviceEnded;
  bool m_bServiceEnded = false;
};
