#include "guardian/guardian_settings.h"

#include "common/registry.h"
#include "platform/registry_store.h"

namespace guardian {

namespace reg = qn::reg;

namespace {

uint32_t ReadNumber(reg::Store& store, const reg::KeyHandle& key, const char* name, uint32_t def) {
  reg::Value value;
  if (store.QueryValue(key, name, value) != reg::kOk || value.data.size() != 4) return def;
  return uint32_t(value.data[0]) | uint32_t(value.data[1]) << 8 | uint32_t(value.data[2]) << 16 |
         uint32_t(value.data[3]) << 24;
}

}  // namespace

Settings ReadSettings() {
  Settings settings;
  auto& store = reg::Store::Default();
  reg::KeyHandle key;
  // Opened for reading only: the guardian's run creates nothing.
  if (store.OpenKey(reg::KeyHandle::Root(reg::Hive::LocalMachine),
                    std::string(kQuillnetKey) + "\\" + kGuardianSection, key) != reg::kOk) {
    return settings;
  }
  settings.secCheckInterval = ReadNumber(store, key, "SecCheckInterval", settings.secCheckInterval);
  settings.secDelayBeforeCheck =
      ReadNumber(store, key, "SecDelayBeforeCheck", settings.secDelayBeforeCheck);
  reg::Value command;
  if (store.QueryValue(key, "KickOffApp", command) == reg::kOk) {
    // The text up to its first zero, whatever the value's type.
    const std::string data(command.data.begin(), command.data.end());
    settings.kickOffApp = data.substr(0, data.find('\0'));
  }
  return settings;
}

}  // namespace guardian
