// The service command verbs that the server's and the guardian's start-up
// carry out ("-stop", "/status", ...), and the service-control functions
// behind them. The functions return true or false and print nothing; a verb
// that failed for a reason (the service control's refusal, a service that
// ended during its start) says so on standard error.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// True when `argument` is a switch character followed by one of the verbs
// "uninstall", "start", "startif", "status", "pause", "continue", "stop",
// "help" (compared exactly, with letter case); the verb is then carried out
// on `serviceName`. "install" is not a verb here: the start-up handles it.
// A failure is reported as "<service>: <argument> failed: <text> (error N)"
// and makes `exitCode`, when given, 1; it is 0 otherwise.
bool ProcessServiceCommand(const std::string& serviceName, const std::string& argument,
                           int* exitCode = nullptr);

// Why the last function below that returned false failed, on this thread:
// the Win32 error (0 when it only found the service in another state, as
// "startif" on a running service) and what the service wrote when it ended
// during its start.
struct ServiceVerbFailure {
  uint32_t error = 0;
  uint32_t serviceError = 0;  // the service-specific code with error 1066
  std::string serviceOutput;
};
const ServiceVerbFailure& LastServiceVerbFailure();

// An own-process service with normal error control; true when created.
// An empty account is the local system account.
bool InstallService(const std::string& name, const std::string& displayName,
                    const std::vector<std::string>& dependencies, uint32_t startType,
                    const std::string& programPath, const std::string& account = {},
                    const std::string& password = {});
// Removes the service when it exists; always false.
bool UninstallService(const std::string& name);
// Starts the service only when it is stopped and waits while its start
// progresses; true when it ends running, false when it was not stopped.
bool StartServiceIfNecessary(const std::string& name);
// Starts the service and waits until it runs; true also when it already ran.
bool StartService(const std::string& name);
// True when the status could be queried.
bool StatusService(const std::string& name);
bool PauseService(const std::string& name);
bool ContinueService(const std::string& name);
// True when stopped, or when the service was not running or did not answer.
bool StopService(const std::string& name);
