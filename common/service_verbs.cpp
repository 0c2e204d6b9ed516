#include "common/service_verbs.h"

#include <chrono>
#include <thread>

#include "platform/service_control.h"

namespace svc = qn::svc;
using namespace std::chrono_literals;

namespace {

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
  if (svc::OpenService(name) == svc::kOk) svc::DeleteService(name);
  return false;
}

bool StartServiceIfNecessary(const std::string& name) {
  svc::ServiceStatus status;
  if (svc::QueryServiceStatus(name, status) != svc::kOk) return false;
  if (status.currentState != svc::kStopped) return false;
  if (svc::StartService(name) != svc::kOk) return false;
  return WaitForRunning(name, true);
}

bool StartService(const std::string& name) {
  svc::Error e = svc::StartService(name);
  if (e == svc::kServiceAlreadyRunning) return true;
  if (e != svc::kOk) return false;
  return WaitForRunning(name, false);
}

bool StatusService(const std::string& name) {
  svc::ServiceStatus status;
  return svc::QueryServiceStatus(name, status) == svc::kOk;
}

bool PauseService(const std::string& name) {
  svc::ServiceStatus status;
  if (svc::ControlService(name, svc::kControlPause, status) != svc::kOk) return false;
  if (!WaitWhilePending(name, svc::kPausePending, status)) return false;
  return status.currentState == svc::kPaused;
}

bool ContinueService(const std::string& name) {
  svc::ServiceStatus status;
  if (svc::ControlService(name, svc::kControlContinue, status) != svc::kOk) return false;
  if (!WaitWhilePending(name, svc::kContinuePending, status)) return false;
  return status.currentState == svc::kRunning;
}

bool StopService(const std::string& name) {
  if (svc::OpenService(name) != svc::kOk) return false;
  for (int attempt = 0; attempt < 2; ++attempt) {
    svc::ServiceStatus status;
    svc::Error e = svc::ControlService(name, svc::kControlStop, status);
    if (e == svc::kOk) {
      if (!WaitWhilePending(name, svc::kStopPending, status)) return false;
      return status.currentState == svc::kStopped;
    }
    if (e == svc::kServiceNotActive || e == svc::kRequestTimeout) return true;
    if (e != svc::kAlreadyExists || attempt == 1) return false;
    std::this_thread::sleep_for(8s);
  }
  return false;
}

bool ProcessServiceCommand(const std::string& serviceName, const std::string& argument) {
  if (argument.empty()) return false;
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
  return true;
}
