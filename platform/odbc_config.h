// Private ODBC configuration: the driver manager reads and writes its data
// sources and driver entries in one directory of ours instead of /etc and the
// home directory.
#pragma once
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace qn::odbc {

// Points the driver manager at `dir` (odbc.ini and odbcinst.ini there, made
// empty if absent) for user and system data sources alike. Call before the
// first ODBC call of the process: the driver manager keeps the directory it
// saw first for the rest of the run. False when the directory cannot be made.
bool UseConfigDirectory(const std::filesystem::path& dir);

// Registers a driver entry `name` with its library in our odbcinst.ini.
bool RegisterDriver(const std::string& name, const std::string& library);

// Writes (or rewrites) a system data source with its driver entry and
// attributes.
bool WriteDataSource(const std::string& name, const std::string& driver,
                     const std::vector<std::pair<std::string, std::string>>& attributes);

// An attribute of a data source in odbc.ini; empty when absent.
std::string ReadDataSourceAttribute(const std::string& name, const std::string& key);

// Every attribute of a data source (its Driver among them), in file order;
// empty when there is no such data source.
std::vector<std::pair<std::string, std::string>> DataSourceAttributes(const std::string& name);

// Removes a data source's section; true when it is gone.
bool RemoveDataSource(const std::string& name);

// Sets (or, with null, removes) one key of any section of odbc.ini, such as
// the list "[ODBC Data Sources]".
bool WriteOdbcIniValue(const std::string& section, const std::string& key, const char* value);

}  // namespace qn::odbc
