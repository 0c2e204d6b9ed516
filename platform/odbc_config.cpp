#include "platform/odbc_config.h"

#include <odbcinst.h>

#include <cstdlib>
#include <fstream>
#include <system_error>

namespace qn::odbc {

namespace {

bool Touch(const std::filesystem::path& file) {
  std::error_code ec;
  if (std::filesystem::exists(file, ec)) return true;
  std::ofstream out(file, std::ios::app);
  return static_cast<bool>(out);
}

}  // namespace

bool UseConfigDirectory(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return false;
  if (!Touch(dir / "odbc.ini") || !Touch(dir / "odbcinst.ini")) return false;
  // The user file is the system file too, so no mode of the driver manager
  // writes into the home directory.
  setenv("ODBCSYSINI", dir.c_str(), 1);
  setenv("ODBCINSTINI", "odbcinst.ini", 1);
  setenv("ODBCINI", (dir / "odbc.ini").c_str(), 1);
  return true;
}

bool RegisterDriver(const std::string& name, const std::string& library) {
  SQLSetConfigMode(ODBC_SYSTEM_DSN);
  bool ok = SQLWritePrivateProfileString(name.c_str(), "Driver", library.c_str(), "ODBCINST.INI") &&
            SQLWritePrivateProfileString(name.c_str(), "Description", name.c_str(), "ODBCINST.INI");
  SQLSetConfigMode(ODBC_BOTH_DSN);
  return ok;
}

bool WriteDataSource(const std::string& name, const std::string& driver,
                     const std::vector<std::pair<std::string, std::string>>& attributes) {
  SQLSetConfigMode(ODBC_SYSTEM_DSN);
  bool ok = SQLWriteDSNToIni(name.c_str(), driver.c_str());
  for (const auto& [key, value] : attributes) {
    if (!ok) break;
    ok = SQLWritePrivateProfileString(name.c_str(), key.c_str(), value.c_str(), "odbc.ini");
  }
  SQLSetConfigMode(ODBC_BOTH_DSN);
  return ok;
}

std::string ReadDataSourceAttribute(const std::string& name, const std::string& key) {
  char buffer[1024] = {0};
  SQLSetConfigMode(ODBC_BOTH_DSN);
  int n = SQLGetPrivateProfileString(name.c_str(), key.c_str(), "", buffer, sizeof buffer,
                                     "odbc.ini");
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::vector<std::pair<std::string, std::string>> DataSourceAttributes(const std::string& name) {
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<char> keys(8192, 0);
  SQLSetConfigMode(ODBC_BOTH_DSN);
  const int n = SQLGetPrivateProfileString(name.c_str(), nullptr, "", keys.data(),
                                           static_cast<int>(keys.size()), "odbc.ini");
  for (int i = 0; i < n && keys[i] != 0;) {
    const std::string key(&keys[i]);
    attributes.emplace_back(key, ReadDataSourceAttribute(name, key));
    i += static_cast<int>(key.size()) + 1;
  }
  return attributes;
}

bool RemoveDataSource(const std::string& name) {
  SQLSetConfigMode(ODBC_SYSTEM_DSN);
  SQLRemoveDSNFromIni(name.c_str());
  SQLSetConfigMode(ODBC_BOTH_DSN);
  return DataSourceAttributes(name).empty();
}

bool WriteOdbcIniValue(const std::string& section, const std::string& key, const char* value) {
  SQLSetConfigMode(ODBC_SYSTEM_DSN);
  const bool ok = SQLWritePrivateProfileString(section.c_str(), key.c_str(), value, "odbc.ini");
  SQLSetConfigMode(ODBC_BOTH_DSN);
  return ok;
}

}  // namespace qn::odbc
