// What the watchdog needs of the world, as small interfaces: qnguard gives it
// the real ones (guardian_hosts), tests and benches give it fakes or real ones
// on a scaled clock.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/automation/status.h"

namespace guardian {

// The watchdog's time: monotonic, in its own units (seconds of qnguard, or
// fractions of them on a scaled clock).
using Duration = std::chrono::milliseconds;
using TimePoint = std::chrono::time_point<std::chrono::steady_clock, Duration>;

class IClock {
 public:
  virtual ~IClock() = default;
  virtual TimePoint Now() = 0;
  // Waits `d`; false as soon as the guardian is stopping. A paused guardian
  // waits here until it is continued.
  virtual bool Sleep(Duration d) = 0;
  // True once the guardian is stopping.
  virtual bool Stopping() = 0;
};

// The service control functions the watchdog calls.
class IServices {
 public:
  virtual ~IServices() = default;
  virtual unsigned long GetServiceState(const std::string& name) = 0;
  // True once the service runs (also when it ran already).
  virtual bool StartService(const std::string& name) = 0;
  // True when it stopped or did not run or did not answer.
  virtual bool StopService(const std::string& name) = 0;
  // Ends the service's program if one still runs (a stop it did not follow);
  // returns at once when none does.
  virtual void EndServiceProcess(const std::string& name) = 0;
};

// How a probe call ended.
struct ProbeOutcome {
  enum Kind { kAnswered, kOleException, kDispatchException };
  Kind kind = kAnswered;
  qn::automation::Status status = 0;  // of an OLE exception
};

// The server's Monitor object, made anew for every connect.
class IMonitor {
 public:
  virtual ~IMonitor() = default;
  // Creates the object within `limit` (which then holds for its calls).
  virtual qn::automation::Status Create(Duration limit) = 0;
  virtual ProbeOutcome GetNbrConnections() = 0;
  virtual void Release() = 0;
};

// How a command run before a restart ended.
enum class LaunchResult { kEnded, kNotStarted, kStillRunning };

class ILauncher {
 public:
  virtual ~ILauncher() = default;
  // Runs the command line (the program found through PATH, no shell) and
  // waits for its end, at most `limit` and only while the guardian is not
  // stopping; `error` says why one did not start.
  virtual LaunchResult Run(const std::string& commandLine, Duration limit, std::string* error) = 0;
};

// The lines the watchdog reports (standard error and syslog in qnguard).
class ILog {
 public:
  virtual ~ILog() = default;
  virtual void Line(const std::string& text) = 0;
};

// Read once when the watchdog starts.
struct Settings {
  uint32_t secCheckInterval = 120;
  uint32_t secDelayBeforeCheck = 300;
  std::string kickOffApp;
};

}  // namespace guardian
