#include "tools/config/core/registry_settings.h"

#include "common/registry.h"
#include "tools/config/core/config_texts.h"
#include "tools/config/core/setting_checks.h"

namespace qn::config {

namespace {

std::string SectionPath(const std::string& section) { return std::string(kQuillnetKey) + "\\" + section; }

std::string Reason(reg::Status status, const std::string& file) {
  switch (status) {
    case reg::kAccessDenied: return Format(texts::kReasonAccessDenied, file);
    case reg::kBadDb: return Format(texts::kReasonNotRegistry, file);
    default: return Format(texts::kReasonOther, file, std::to_string(status));
  }
}

}  // namespace

std::vector<reg::Value> RegistrySettings::ReadSection(const std::string& section) {
  reg::Store& store = reg::Store::Default();
  reg::KeyHandle key;
  std::vector<reg::Value> values;
  if (store.OpenKey(reg::KeyHandle::Root(HKEY_LOCAL_MACHINE), SectionPath(section), key) != reg::kOk ||
      store.QueryValues(key, values) != reg::kOk)
    values.clear();
  return values;
}

bool RegistrySettings::Write(const std::vector<SectionWrite>& writes, std::string& reason) {
  std::vector<reg::KeyWrite> keyWrites;
  for (const SectionWrite& w : writes)
    keyWrites.push_back(reg::KeyWrite{reg::KeyHandle::Root(HKEY_LOCAL_MACHINE), SectionPath(w.section), w.values,
                                      w.replace, w.keep});
  reg::Store& store = reg::Store::Default();
  const reg::Status status = store.WriteKeys(keyWrites);
  if (status == reg::kOk) return true;
  reason = Reason(status, store.file().string());
  return false;
}

}  // namespace qn::config
