#include "guardian/guardian_install.h"

#include <vector>

#include "common/install_helpers.h"
#include "common/message_box.h"
#include "common/registry.h"
#include "common/service_verbs.h"
#include "guardian/guardian_service.h"
#include "guardian/guardian_settings.h"
#include "platform/registry_store.h"
#include "platform/service_control.h"

namespace reg = qn::reg;

namespace {

bool CannotWrite(reg::Status status) {
  ShowMessageLine("", "The guardian's settings cannot be written to the registry: " +
                          qn::svc::ErrorText(status) + " (error " + std::to_string(status) + ")");
  return false;
}

}  // namespace

bool InstallGuardian(const std::string& programPath) {
  std::vector<std::string> dependencies{"EventLog"};
  if (IsOdbcTypeMsSql()) dependencies.push_back("MSSQLServer");

  auto& store = reg::Store::Default();
  const std::string keyPath = std::string(kQuillnetKey) + "\\" + guardian::kGuardianSection;
  reg::KeyHandle key;
  if (reg::Status s = store.CreateKey(reg::KeyHandle::Root(reg::Hive::LocalMachine), keyPath, key))
    return CannotWrite(s);
  // Numbers an operator set stay as they are; only missing ones get their
  // defaults.
  const std::pair<const char*, uint32_t> numbers[] = {{"SecCheckInterval", 120},
                                                      {"SecDelayBeforeCheck", 300}};
  for (const auto& [name, number] : numbers) {
    reg::Value present;
    const reg::Status found = store.QueryValue(key, name, present);
    if (found == reg::kOk) continue;
    if (found != reg::kFileNotFound) return CannotWrite(found);
    if (reg::Status s = store.SetValue(key, reg::MakeDword(name, number))) return CannotWrite(s);
  }
  WriteRegistryMultiString(keyPath, "Logging", kDefaultLoggingConfiguration);
  InstallService(kGuardianServiceName, kGuardianDisplayName, dependencies, qn::svc::kAutoStart,
                 programPath);
  return true;
}
