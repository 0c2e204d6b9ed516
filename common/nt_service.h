// The service framework shared by the server and the guardian: connects the
// process to the service control stand-in, reports the service's status, runs
// an optional worker thread and turns stop, pause and continue into calls of
// virtual operations.
//
// Pause is cooperative: the worker calls WaitForStop, which does not return
// while the service is paused. A worker must return once WaitForStop reports
// the stop, since the service reports stopped only after its worker ended.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/service_control.h"

class CNTService {
 public:
  using WorkerProc = void (*)(CNTService* service);

  // Flag bits.
  static constexpr uint32_t kFlagRunning = 1;
  static constexpr uint32_t kFlagPaused = 2;
  static constexpr uint32_t kFlagStopped = 4;

  // Sets the process's service pointer (one instance per program).
  CNTService(const std::string& name, WorkerProc worker, bool runAsService,
             uint32_t acceptedControls, uint32_t waitHint);
  virtual ~CNTService();
  CNTService(const CNTService&) = delete;
  CNTService& operator=(const CNTService&) = delete;

  static CNTService* Instance();

  // As a service: runs the dispatcher until the service has stopped and
  // returns whether the process could be connected to it. Stand-alone: runs
  // the worker on the calling thread and returns true.
  virtual bool Run();
  // The service arguments (the service name first): "-d" or "-D" sets the
  // debug flag and does what "-i" does; "-i" or "-I" shows the process id.
  virtual void Init(const std::vector<std::string>& args);
  virtual void OnUserControl(uint32_t control) {}
  virtual void OnStop() {}
  virtual void OnBeforeWorker() {}
  virtual void OnPause() {}
  virtual void OnContinue() {}

  // A Win32 exit code of 1066 is reported when a service exit code is given.
  bool ReportStatus(uint32_t state, uint32_t win32ExitCode = 0, uint32_t checkPoint = 0,
                    uint32_t waitHint = 0, uint32_t serviceExitCode = 0);
  // State stopped; wakes the service main function and the worker.
  void SetStopped();
  // The service-specific code the final stopped report carries (its Win32
  // exit code then is 1066).
  void SetServiceExitCode(uint32_t code);

  // For the worker: waits up to `timeout`; true once the service is stopped.
  // While the service is paused it waits for continue or stop.
  bool WaitForStop(std::chrono::milliseconds timeout);

  const std::string& Name() const { return m_name; }
  bool IsDebug() const { return m_debug; }
  uint32_t CurrentState() const;
  uint32_t Flags() const;

 protected:
  void ServiceMain(const std::vector<std::string>& args);
  void ControlHandler(uint32_t control);

 private:
  std::string m_name;
  WorkerProc m_worker;
  bool m_runAsService;
  uint32_t m_acceptedControls;
  uint32_t m_waitHint;

  // Guards everything below.
  mutable std::recursive_mutex m_lock;
  std::condition_variable_any m_event;
  uint32_t m_state = qn::svc::kStartPending;
  uint32_t m_flags = 0;
  bool m_stopEvent = false;
  std::thread m_workerThread;
  qn::svc::StatusHandle m_status = nullptr;
  uint32_t m_serviceExitCode = 0;
  bool m_debug = false;
};
