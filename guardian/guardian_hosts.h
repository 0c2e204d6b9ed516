// The watchdog's real hosts: the monotonic clock with the service's waits,
// the service control stand-in, the Monitor driver, the kick-off command and
// the log. `divisor` runs the watchdog's times that many times faster (1 in
// qnguard; tests and benches only scale them).
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "common/monitor_driver.h"
#include "common/nt_service.h"
#include "guardian/watchdog_host.h"

namespace guardian {

class CServiceClock : public IClock {
 public:
  // Waits go through the service's WaitForStop: a stop ends them, a pause
  // holds them.
  explicit CServiceClock(CNTService& service, int divisor = 1);
  TimePoint Now() override;
  bool Sleep(Duration d) override;
  bool Stopping() override;
  // A span of watchdog time as real time.
  std::chrono::milliseconds ToReal(Duration d) const { return d / m_divisor; }

 private:
  CNTService& m_service;
  int m_divisor;
};

class CServiceControlHost : public IServices {
 public:
  // How long a server that reported its stop may take to end before it is
  // ended.
  static constexpr std::chrono::seconds kStopGrace{10};

  unsigned long GetServiceState(const std::string& name) override;
  bool StartService(const std::string& name) override;
  bool StopService(const std::string& name) override;
  void EndServiceProcess(const std::string& name) override;
};

class CMonitorProbe : public IMonitor {
 public:
  explicit CMonitorProbe(const CServiceClock& clock) : m_clock(clock) {}
  qn::automation::Status Create(Duration limit) override;
  ProbeOutcome GetNbrConnections() override;
  void Release() override { m_driver.reset(); }

 private:
  const CServiceClock& m_clock;
  std::unique_ptr<CMonitorDriver> m_driver;
};

class CKickOffLauncher : public ILauncher {
 public:
  explicit CKickOffLauncher(CServiceClock& clock) : m_clock(clock) {}
  // The program through PATH with the guardian's environment and directory;
  // it inherits standard input, output and error and nothing else. One still
  // running when the wait ends is left to run (and reaped when it ends).
  LaunchResult Run(const std::string& commandLine, Duration limit, std::string* error) override;

 private:
  CServiceClock& m_clock;
};

// Lines on standard error (the service's log) and in syslog.
class CLogLines : public ILog {
 public:
  void Line(const std::string& text) override;
};

}  // namespace guardian
