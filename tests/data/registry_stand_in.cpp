// TEMPORARY: an in-memory registry until the registry store lands on main;
// removed at that merge.
#include <map>
#include <string>
#include <strings.h>

#include "common/registry.h"

namespace {
struct NoCase {
  bool operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  }
};
std::map<std::string, std::string, NoCase>& Values() {
  static std::map<std::string, std::string, NoCase> values;
  return values;
}
}  // namespace

CRegistry::CRegistry(qn::reg::Hive, const std::string&) {}
CRegistry::~CRegistry() = default;
CQuillnetRegistry::CQuillnetRegistry() : CRegistry(HKEY_LOCAL_MACHINE, kQuillnetKey) {}

std::string CRegistry::ReadString(const std::string& section, const std::string& name,
                                  const std::string& def) {
  auto it = Values().find(section + "\\" + name);
  return it == Values().end() ? def : it->second;
}

bool CRegistry::WriteString(const std::string& section, const char* name, const char* value) {
  if (name == nullptr) return false;
  if (value == nullptr) Values().erase(section + "\\" + name);
  else Values()[section + "\\" + name] = value;
  return true;
}

bool IsOdbcTypeMsSql() {
  return strcasecmp(CQuillnetRegistry().ReadString("General", "ODBCType", "MSAccess").c_str(),
                    "MSAccess") != 0;
}

float ReadClientProgramVersion(const std::string&) { return 0.0f; }
