// The run-time list of service classes: each service module adds its class
// under the name "CService" + service name with a static registrar, and
// requests find their class by name.
#pragma once
#include <string>
#include <vector>

class CServiceBase;

struct CServiceClass {
  std::string className;
  CServiceBase* (*create)();
};

// In order of registration.
const std::vector<CServiceClass>& GetServiceClasses();
void RegisterServiceClass(const std::string& className, CServiceBase* (*create)());

// The class whose name after "CService" equals the service name without
// regard to case; none when it is not available. A name no class bears goes
// to "CServiceOLE" (the external automation services) when that is
// registered and available. The caller owns the result.
CServiceBase* CreateByName(const std::string& serviceName);

template <class Service>
struct CServiceRegistrar {
  explicit CServiceRegistrar(const char* className) {
    RegisterServiceClass(className, []() -> CServiceBase* { return new Service(); });
  }
};

// At namespace scope in the service's source file: QN_REGISTER_SERVICE(CServiceChat);
#define QN_REGISTER_SERVICE(cls) \
  static const CServiceRegistrar<cls> s_serviceRegistrar_##cls(#cls)
