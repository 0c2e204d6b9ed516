// The service control stand-in: installed services, their start, controls and
// status, for programs that were written against a service control manager.
//
// The service database is kept in the registry store under
// SYSTEM\CurrentControlSet\Services\<name> (ImagePath, DisplayName, Start,
// ErrorControl, Type, DependOnService, ObjectName). Run-time state lives under
// paths::RunDir(), per service (file names are the lower-cased service name):
//   <name>.lock    held (an open-file-description lock) by the running
//                  process for its whole life: a crash releases it, so a
//                  crashed service reads as stopped whatever its status file
//                  says, and a reused process id cannot fool the check;
//   <name>.status  rewritten (temporary file renamed into place) by the
//                  running service at each status report;
//   <name>.sock    the control channel: a Unix-domain socket answered by a
//                  thread of the service's dispatcher, so controls arrive while
//                  the program's own threads are busy;
//   <name>.log     standard output and error of the started program.
//
// A start runs the dependencies first, then starts the image detached (own
// session), with environment variables that mark it as started by the stand-in
// for that service and hand it the lock. That marking is how the dispatcher
// knows that it runs as a service; an own-process service's dispatcher may
// register under any name.
//
// Results are the Win32 error numbers, so callers' branches carry over.
#pragma once
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qn::svc {

using Error = long;
inline constexpr Error kOk = 0;
inline constexpr Error kAccessDenied = 5;
inline constexpr Error kInvalidParameter = 87;
inline constexpr Error kInvalidName = 123;
inline constexpr Error kAlreadyExists = 183;
inline constexpr Error kFilenameTooLong = 206;
inline constexpr Error kInvalidServiceControl = 1052;
inline constexpr Error kRequestTimeout = 1053;
inline constexpr Error kServiceNoThread = 1054;
inline constexpr Error kServiceAlreadyRunning = 1056;
inline constexpr Error kServiceDisabled = 1058;
inline constexpr Error kCircularDependency = 1059;
inline constexpr Error kServiceDoesNotExist = 1060;
inline constexpr Error kServiceCannotAcceptControl = 1061;
inline constexpr Error kServiceNotActive = 1062;
inline constexpr Error kFailedServiceControllerConnect = 1063;
inline constexpr Error kServiceSpecificError = 1066;
inline constexpr Error kProcessAborted = 1067;
inline constexpr Error kServiceDependencyFail = 1068;
inline constexpr Error kServiceExists = 1073;
inline constexpr Error kServiceDependencyDeleted = 1075;

// Service states.
inline constexpr uint32_t kStopped = 1;
inline constexpr uint32_t kStartPending = 2;
inline constexpr uint32_t kStopPending = 3;
inline constexpr uint32_t kRunning = 4;
inline constexpr uint32_t kContinuePending = 5;
inline constexpr uint32_t kPausePending = 6;
inline constexpr uint32_t kPaused = 7;

// Control codes; 128 to 255 are the service's own.
inline constexpr uint32_t kControlStop = 1;
inline constexpr uint32_t kControlPause = 2;
inline constexpr uint32_t kControlContinue = 3;
inline constexpr uint32_t kControlInterrogate = 4;
inline constexpr uint32_t kControlShutdown = 5;

// Accepted-control bits.
inline constexpr uint32_t kAcceptStop = 1;
inline constexpr uint32_t kAcceptPauseContinue = 2;
inline constexpr uint32_t kAcceptShutdown = 4;

inline constexpr uint32_t kOwnProcess = 16;
inline constexpr uint32_t kAutoStart = 2;
inline constexpr uint32_t kDemandStart = 3;
inline constexpr uint32_t kDisabled = 4;

struct ServiceStatus {
  uint32_t serviceType = kOwnProcess;
  uint32_t currentState = kStopped;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
  int32_t processId = 0;  // 0 when stopped
};

struct ServiceConfig {
  std::string name;
  std::string displayName;
  // The program, optionally in double quotes followed by arguments.
  std::string imagePath;
  uint32_t serviceType = kOwnProcess;
  uint32_t startType = kDemandStart;
  uint32_t errorControl = 1;
  std::vector<std::string> dependencies;
  std::string account;  // empty: the local system account
};

// ---- The controlling side -------------------------------------------------

Error CreateService(const ServiceConfig& config);
// Removes the service's entry; a running service keeps running.
Error DeleteService(std::string_view name);
// kOk when the service is installed (the stand-in's OpenService).
Error OpenService(std::string_view name);
Error QueryServiceConfig(std::string_view name, ServiceConfig& out);
// Returns once the started program has connected its dispatcher (the service
// then reports start-pending or later), or with kRequestTimeout when it does
// not connect within the start timeout (the program is then killed).
Error StartService(std::string_view name, const std::vector<std::string>& args = {});
// Delivers the control and returns the status the service reports after
// handling it. kServiceNotActive when the service does not run.
Error ControlService(std::string_view name, uint32_t control, ServiceStatus& out);
Error QueryServiceStatus(std::string_view name, ServiceStatus& out);

// Services that exist outside the stand-in: a dependency on one of them that
// is not installed here counts as running (the event log, a database server).
bool IsExternalService(std::string_view name);

// The system's text for one of the errors above ("Access is denied.").
std::string ErrorText(Error error);

// The end of the service's output file (<name>.log), and what the program
// wrote there since such an end, at most `limit` bytes of it (the last
// ones): what a start that failed has to say.
uint64_t ServiceOutputEnd(std::string_view name);
std::string ServiceOutputSince(std::string_view name, uint64_t end, size_t limit = 4096);

// Ends the program that runs the service when one still does (a hung
// program answers no control). A program whose status says stopped first
// gets `grace` to end by itself. The process is found by the service's lock:
// the one whose open file holds it is killed (SIGKILL) through a descriptor
// of the process itself, so a process id given again since is never hit.
// kOk once no program holds the lock (at once when none did),
// kRequestTimeout when one still does after 10 s.
Error EndServiceProcess(std::string_view name, std::chrono::milliseconds grace);

// The service's run-time file with `ext` (".lock", ".status", ...), and
// whether a program of the service holds its lock (runs).
std::filesystem::path ServiceStateFile(std::string_view name, const char* ext);
bool IsServiceLockHeld(std::string_view name);

// How long a start waits for the dispatcher (30 s) and a control for its
// answer (30 s); tests shorten them.
void SetTimeouts(std::chrono::milliseconds start, std::chrono::milliseconds control);

// ---- The service's side ---------------------------------------------------

// True when this process was started by the stand-in to serve a service.
bool StartedByServiceControl();

using ServiceMain = std::function<void(const std::vector<std::string>& args)>;
using ControlHandler = std::function<void(uint32_t control)>;
struct StatusHandleImpl;
using StatusHandle = StatusHandleImpl*;

// Connects the process to the stand-in and runs `serviceMain` on a thread of
// its own with the start arguments (the service name first). Returns kOk once
// the main function has returned (the service then counts as stopped), or
// kFailedServiceControllerConnect when the process was not started by the
// stand-in. `name` is the name in the program's dispatch table.
Error StartServiceCtrlDispatcher(std::string_view name, const ServiceMain& serviceMain);
// Called by the service main function; the handler runs on the dispatcher's
// control thread. Null when no dispatcher runs.
StatusHandle RegisterServiceCtrlHandler(std::string_view name, ControlHandler handler);
Error SetServiceStatus(StatusHandle handle, const ServiceStatus& status);

}  // namespace qn::svc
