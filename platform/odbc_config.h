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

}  // namespace qn::odbc
