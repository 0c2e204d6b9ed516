#include "tools/dbsetup/core/odbc_admin.h"

#include <odbcinst.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include "platform/odbc_config.h"
#include "platform/paths.h"
#include "server/data/data_source.h"
#include "tools/dbsetup/core/connect_text.h"
#include "tools/dbsetup/core/installer_texts.h"

namespace qn::dbsetup {

namespace {

// One environment per enumeration, as SQLAllocEnv gave one: it reads the
// files as they are now.
class Environment {
 public:
  Environment() {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_))) env_ = SQL_NULL_HENV;
    if (env_ != SQL_NULL_HENV)
      SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  }
  ~Environment() {
    if (env_ != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }
  SQLHENV get() const { return env_; }

 private:
  SQLHENV env_ = SQL_NULL_HENV;
};

// Enumerates with `next` from the first entry until no data or an error;
// false for an invalid handle.
template <class Next>
bool Enumerate(Next next) {
  Environment env;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  for (;;) {
    const SQLRETURN rc = next(env.get(), direction);
    if (rc == SQL_INVALID_HANDLE) return false;
    if (!SQL_SUCCEEDED(rc)) return true;
    direction = SQL_FETCH_NEXT;
  }
}

struct DriverEntry {
  const char* name;
  const char* library;
};
const DriverEntry kDriverEntries[] = {{texts::kAccessDriver, kSqliteDriverLibrary},
                                      {texts::kSqlServerDriver, kPostgresDriverLibrary}};

}  // namespace

bool LocalOdbcAdmin::Prepare() {
  if (!qn::odbc::UseConfigDirectory(qn::paths::ConfigDir() / "odbc")) return false;
  for (const DriverEntry& entry : kDriverEntries) {
    if (::access(entry.library, R_OK) == 0) {
      qn::odbc::RegisterDriver(entry.name, entry.library);
    } else {
      SQLSetConfigMode(ODBC_SYSTEM_DSN);
      SQLWritePrivateProfileString(entry.name, nullptr, nullptr, "ODBCINST.INI");
      SQLSetConfigMode(ODBC_BOTH_DSN);
    }
  }
  return true;
}

bool LocalOdbcAdmin::DataSources(std::vector<DataSource>& out) {
  return Enumerate([&](SQLHENV env, SQLUSMALLINT direction) {
    SQLCHAR name[32] = {0}, description[255] = {0};
    SQLSMALLINT nameLength = 0, descriptionLength = 0;
    const SQLRETURN rc = SQLDataSources(env, direction, name, sizeof name, &nameLength, description,
                                        sizeof description, &descriptionLength);
    if (SQL_SUCCEEDED(rc))
      out.push_back({reinterpret_cast<char*>(name), reinterpret_cast<char*>(description)});
    return rc;
  });
}

bool LocalOdbcAdmin::Drivers(std::vector<std::string>& out) {
  return Enumerate([&](SQLHENV env, SQLUSMALLINT direction) {
    SQLCHAR description[255] = {0}, attributes[32] = {0};
    SQLSMALLINT descriptionLength = 0, attributesLength = 0;
    const SQLRETURN rc = SQLDrivers(env, direction, description, sizeof description, &descriptionLength,
                                    attributes, sizeof attributes, &attributesLength);
    if (SQL_SUCCEEDED(rc)) out.emplace_back(reinterpret_cast<char*>(description));
    return rc;
  });
}

bool LocalOdbcAdmin::ConfigDataSource(int request, const std::string& driver, const std::string& attributes) {
  std::string name;
  std::vector<std::pair<std::string, std::string>> values;
  for (auto& [key, value] : ParseAttributeList(attributes)) {
    if (key == "DSN") name = value;
    else values.emplace_back(key, value);
  }
  if (name.empty()) return false;
  if (request == kAddSystemDsn) {
    // A data source is written whole: nothing of an earlier one stays.
    qn::odbc::RemoveDataSource(name);
    return qn::odbc::WriteDataSource(name, driver, values) &&
           qn::odbc::WriteOdbcIniValue(texts::kOdbcDataSourcesSection, name, driver.c_str());
  }
  if (request == kRemoveDsn || request == kRemoveSystemDsn) {
    const bool removed = qn::odbc::RemoveDataSource(name);
    qn::odbc::WriteOdbcIniValue(texts::kOdbcDataSourcesSection, name, nullptr);
    return removed;
  }
  return false;
}

std::string LocalOdbcAdmin::ListedDataSource(const std::string& name) {
  return qn::odbc::ReadDataSourceAttribute(texts::kOdbcDataSourcesSection, name);
}

DataSourceState LocalOdbcAdmin::SaveDataSource(const std::string& name) {
  DataSourceState state;
  state.name = name;
  state.attributes = qn::odbc::DataSourceAttributes(name);
  state.exists = !state.attributes.empty();
  state.listed = ListedDataSource(name);
  return state;
}

void LocalOdbcAdmin::RestoreDataSource(const DataSourceState& state) {
  qn::odbc::RemoveDataSource(state.name);
  if (state.exists) {
    std::string driver;
    std::vector<std::pair<std::string, std::string>> rest;
    for (const auto& [key, value] : state.attributes) {
      if (key == "Driver") driver = value;
      else rest.emplace_back(key, value);
    }
    qn::odbc::WriteDataSource(state.name, driver, rest);
  }
  qn::odbc::WriteOdbcIniValue(texts::kOdbcDataSourcesSection, state.name,
                              state.listed.empty() ? nullptr : state.listed.c_str());
}

}  // namespace qn::dbsetup
