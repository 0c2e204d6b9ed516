#include "common/service_verbs.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/service_control.h"

namespace svc = qn::svc;
using namespace std::chrono_literals;

namespace {

thread_local ServiceVerbFailure t_failure;

// Records why a verb fails; false, for the caller to return.
bool Fail(svc::Error error) {
  t_failure = ServiceVerbFailure{};
  t_failure.error = static_cast<uint32_t>(error);
  return false;
}

// A start that ended without the service running: the codes it stopped with
// and what it wrote since `outputEnd`.
bool FailedStart(const std::string& name, uint64_t outputEnd) {
  svc::ServiceStatus status;
  const svc::Error query = svc::QueryServiceStatus(name, status);
  t_failure = ServiceVerbFailure{};
  if (query != svc::kOk) {
    t_failure.error = static_cast<uint32_t>(query);
    return false;
  }
  if (status.currentState == svc::kStopped) {
    t_failure.error = status.win32ExitCode != 0 ? status.win32ExitCode
                                                : static_cast<uint32_t>(svc::kProcessAborted);
    t_failure.serviceError = status.serviceSpecificExitCode;
    t_failure.serviceOutput = svc::ServiceOutputSince(name, outputEnd);
  } else {
    t_failure.error = static_cast<uint32_t>(svc::kRequestTimeout);
  }
  return false;
}

// No wait for a pending state lasts longer than this: a service that hangs
// in a pending state must not hang the command with it.
constexpr auto kPendingLimit = 120s;

// Polls while the service reports `pending`; the last status read, or false
// when a query failed.
bool WaitWhilePending(const std::string& name, uint32_t pending, svc::ServiceStatus& status) {
  auto deadline = std::chrono::steady_clock::now() + kPendingLimit;
  while (status.currentState == pending) {
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(100ms);
    if (svc::QueryServiceStatus(name, status) != svc::kOk) return false;
  }
  return true;
}

// Waits for a started service to run. The service's wait hint is the time
// within which its check point should advance; the status is looked at more
// often so that the command ends as soon as the service runs.
bool WaitForRunning(const std::string& name, bool giveUpOnStall) {
  svc::ServiceStatus status;
  if (svc::QueryServiceStatus(name, status) != svc::kOk) return false;
  auto overall = std::chrono::steady_clock::now() + kPendingLimit;
  auto stallDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(status.waitHint);
  uint32_t checkPoint = status.checkPoint;
  while (status.currentState != svc::kRunning) {
    // A service that ended during its start will never run.
    if (status.currentState == svc::kStopped) return false;
    auto now = std::chrono::steady_clock::now();
    if (now >= overall) return false;
    if (giveUpOnStall && now >= stallDeadline) {
      if (status.checkPoint == checkPoint) return false;
      checkPoint = status.checkPoint;
      stallDeadline = now + std::chrono::milliseconds(status.waitHint);
    }
    std::this_thread::sleep_for(100ms);
    if (svc::QueryServiceStatus(name, status) != svc::kOk) return false;
  }
  return true;
}

}  // namespace

bool InstallService(const std::string& name, const std::string& displayName,
                    const std::vector<std::string>& dependencies, uint32_t startType,
                    const std::string& programPath, const std::string& account,
                    const std::string& password) {
  svc::ServiceConfig config;
  config.name = name;
  config.displayName = displayName;
  config.imagePath = programPath;
  config.serviceType = svc::kOwnProcess;
  config.startType = startType;
  config.errorControl = 1;
  config.dependencies = dependencies;
  config.account = account;
  return svc::CreateService(config) == svc::kOk;
}

bool UninstallService(const std::string& name) {
  t_failure = ServiceVerbFailure{};
  const svc::Error opened = svc::OpenService(name);
  if (opened == svc::kOk) {
    if (svc::Error e = svc::DeleteService(name)) Fail(e);
  } else if (opened != svc::kServiceDoesNotExist) {
    Fail(opened);
  }
  return false;
}

bool StartServiceIfNecessary(const std::string& name) {
  t_failure = ServiceVerbFailure{};
  svc::ServiceStatus status;
  if (svc::Error e = svc::QueryServiceStatus(name, status)) return Fail(e);
  if (status.currentState != svc::kStopped) return false;
  const uint64_t outputEnd = svc::ServiceOutputEnd(name);
  if (svc::Error e = svc::StartService(name)) return Fail(e);
  return WaitForRunning(name, true) || FailedStart(name, outputEnd);
}

bool StartService(const std::string& name) {
  t_failure = ServiceVerbFailure{};
  const uint64_t outputEnd = svc::ServiceOutputEnd(name);
  svc::Error e = svc::StartService(name);
  if (e == svc::kServiceAlreadyRunning) return true;
  if (e == svc::kProcessAborted) return FailedStart(name, outputEnd);
  if (e != svc::kOk) return Fail(e);
  return WaitForRunning(name, false) || FailedStart(name, outputEnd);
}

bool StatusService(const std::string& name) {
  t_failure = ServiceVerbFailure{};
  svc::ServiceStatus status;
  if (svc::Error e = svc::QueryServiceStatus(name, status)) return Fail(e);
  return true;
}

bool PauseService(const std::string& name) {
  t_failure = ServiceVerbFailure{};
  svc::ServiceStatus status;
  if (svc::Error e = svc::ControlService(name, svc::kControlPause, status)) return Fail(e);
  if (!WaitWhilePending(name, svc::kPausePending, status)) return false;
  return status.currentState == svc::kPaused;
}

bool ContinueService(const std::string& name) {
  t_failure = ServiceVerbFailure{};
  svc::ServiceStatus status;
  if (svc::Error e = svc::ControlService(name, svc::kControlContinue, status)) return Fail(e);
  if (!WaitWhilePending(name, svc::kContinuePending, status)) return false;
  return status.currentState == svc::kRunning;
}

bool StopService(const std::string& name) {
  t_failure = ServiceVerbFailure{};
  if (svc::Error e = svc::OpenService(name)) return Fail(e);
  for (int attempt = 0; attempt < 2; ++attempt) {
    svc::ServiceStatus status;
    svc::Error e = svc::ControlService(name, svc::kControlStop, status);
    if (e == svc::kOk) {
      if (!WaitWhilePending(name, svc::kStopPending, status)) return false;
      return status.currentState == svc::kStopped;
    }
    if (e == svc::kServiceNotActive || e == svc::kRequestTimeout) return true;
    if (e != svc::kAlreadyExists || attempt == 1) return Fail(e);
    std::this_thread::sleep_for(8s);
  }
  return false;
}

const ServiceVerbFailure& LastServiceVerbFailure() { return t_failure; }

bool ProcessServiceCommand(const std::string& serviceName, const std::string& argument,
                           int* exitCode) {
  if (exitCode != nullptr) *exitCode = 0;
  if (argument.empty()) return false;
  t_failure = ServiceVerbFailure{};
  const std::string verb = argument.substr(1);
  if (verb == "uninstall") {
    UninstallService(serviceName);
  } else if (verb == "start") {
    StartService(serviceName);
  } else if (verb == "startif") {
    StartServiceIfNecessary(serviceName);
  } else if (verb == "status") {
    StatusService(serviceName);
  } else if (verb == "pause") {
    PauseService(serviceName);
  } else if (verb == "continue") {
    ContinueService(serviceName);
  } else if (verb == "stop") {
    StopService(serviceName);
  } else if (verb != "help") {
    return false;
  }
  const ServiceVerbFailure& failure = t_failure;
  if (failure.error != 0) {
    std::string text = serviceName + ": " + argument + " failed: " +
                       svc::ErrorText(static_cast<svc::Error>(failure.error)) + " (error " +
                       std::to_string(failure.error);
    if (failure.error == static_cast<uint32_t>(svc::kServiceSpecificError))
      text += ", service-specific error " + std::to_string(failure.serviceError);
    text += ")\n";
    if (!failure.serviceOutput.empty()) {
      text += failure.serviceOutput;
      if (text.back() != '\n') text += '\n';
    }
    std::fputs(text.c_str(), stderr);
    if (exitCode != nullptr) *exitCode = 1;
  }
  return true;
}
