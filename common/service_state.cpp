#include "common/service_state.h"

#include "platform/service_control.h"

unsigned long GetServiceState(const std::string& serviceName) {
  qn::svc::ServiceStatus status;
  if (qn::svc::QueryServiceStatus(serviceName, status) != qn::svc::kOk) return kServiceStateUnknown;
  return status.currentState;
}
