// The server's service: the framework's service class bound to the running
// server, and the start-up pieces around it (the dispatcher thread, the
// worker that closes the main loop when the stop flag is set, and the install
// and verb runs of the command line).
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/nt_service.h"

// What the service needs of the running server; the start-up code fills it.
// Both are called on the service's threads and must hand their work to the
// main loop.
struct ServerControl {
  std::function<void()> closeMainWindow;             // end the main loop
  std::function<void(bool)> setAcceptConnections;    // pause and continue
  // Waits at most the time for the server's start to end; true once it has,
  // with 0 or the error that ended it (CServiceThread fills it in).
  std::function<bool(std::chrono::milliseconds, uint32_t&)> awaitStart;
};

class CServerService : public CNTService {
 public:
  // The longest a stop waits for the server to finish stopping.
  static constexpr std::chrono::seconds kStopWait{10};

  CServerService(bool runAsService, WorkerProc worker, ServerControl control);
  bool Run() override;
  void Init(const std::vector<std::string>& args) override;
  // Running is reported only once clients can connect: until the server's
  // start has ended the service stays start-pending, its check point moving;
  // a start that failed stops the service with the error as its own code.
  void OnBeforeWorker() override;
  // Asks the main loop to close, then waits until the server has stopped
  // (ServerStopped), at most kStopWait, so that "stopped" is reported only once
  // the port is free.
  void OnStop() override;
  void OnPause() override;
  void OnContinue() override;

  // The start-up's exit path, once the server's Stop has finished.
  void ServerStopped();

 private:
  ServerControl m_control;
  std::mutex m_stopMutex;
  std::condition_variable m_stopDone;
  bool m_serverStopped = false;
};

// ---- Start-up (the application object's part) ------------------------------

inline constexpr const char* kServerServiceName = "QuillnetServer";
inline constexpr const char* kServerDisplayName = "Quillnet Server";
// The name in the process's dispatch table.
inline constexpr const char* kServerDispatchName = "QuillnetService";
inline constexpr const char* kNotAServiceMessage =
    "The Quillnet NT Server must be started as an NT Service.";

// The install run and the service verbs. True when the command line was one of
// them: the program then ends, with `exitCode` (1 when a verb failed).
bool RunServiceCommandLine(const std::string& commandLine, int* exitCode = nullptr);

// True when a switch argument asks for an embedding or automation start
// ("-Embedding", "/Automation", letter case ignored).
bool AsksForAutomationStart(const std::string& commandLine);

// Sets the stop flag and asks the main loop to close.
void CloseMainWindow();
bool IsStopFlagSet();
// Every 10 seconds, closes the main loop when the stop flag is set.
void ServiceWorkerProc(CNTService* service);

// The dispatcher thread of a server run: connects the process to the service
// control stand-in (or, stand-alone, runs the worker).
class CServiceThread {
 public:
  CServiceThread() = default;
  ~CServiceThread();
  CServiceThread(const CServiceThread&) = delete;
  CServiceThread& operator=(const CServiceThread&) = delete;

  void Start(bool mustBeService, ServerControl control);
  // From the main thread: the server's start has ended, with 0 or an error.
  void ServerStarted(uint32_t error);
  // After the server has stopped: lets a pending stop report, ends the service
  // and waits for the thread.
  void Finish();
  // True when the process had to run as a service and could not.
  bool NotAService() const;

 private:
  void Body(bool mustBeService, ServerControl control);

  mutable std::mutex m_mutex;
  std::condition_variable m_startEnded;
  CServerService* m_service = nullptr;
  bool m_finished = false;
  bool m_notAService = false;
  bool m_startKnown = false;
  uint32_t m_startError = 0;
  std::thread m_thread;
};
