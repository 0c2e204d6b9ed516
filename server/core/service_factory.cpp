#include "server/core/service_factory.h"

#include <strings.h>

#include <memory>

#include "server/core/service_base.h"

namespace {

std::vector<CServiceClass>& Classes() {
  static std::vector<CServiceClass> classes;
  return classes;
}

constexpr size_t kPrefixLength = 8;  // "CService"

CServiceBase* CreateAvailable(const CServiceClass& serviceClass) {
  std::unique_ptr<CServiceBase> service(serviceClass.create());
  if (!service->IsAvailable()) return nullptr;
  service->SetClassName(serviceClass.className);
  return service.release();
}

}  // namespace

const std::vector<CServiceClass>& GetServiceClasses() { return Classes(); }

void RegisterServiceClass(const std::string& className, CServiceBase* (*create)()) {
  Classes().push_back(CServiceClass{className, create});
}

CServiceBase* CreateByName(const std::string& serviceName) {
  for (const CServiceClass& serviceClass : Classes()) {
    if (serviceClass.className.compare(0, kPrefixLength, "CService") != 0) continue;
    if (strcasecmp(serviceClass.className.c_str() + kPrefixLength, serviceName.c_str()) == 0)
      return CreateAvailable(serviceClass);
  }
  for (const CServiceClass& serviceClass : Classes())
    if (serviceClass.className == "CServiceOLE") return CreateAvailable(serviceClass);
  return nullptr;
}
