#include "server/core/service_factory.h"

#include <cctype>
#include <memory>

#include "server/core/service_base.h"

namespace {

std::vector<CServiceClass>& Classes() {
  static std::vector<CServiceClass> classes;
  return classes;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
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
    if (EqualsNoCase(serviceClass.className.substr(kPrefixLength), serviceName))
      return CreateAvailable(serviceClass);
  }
  for (const CServiceClass& serviceClass : Classes())
    if (serviceClass.className == "CServiceOLE") return CreateAvailable(serviceClass);
  return nullptr;
}
