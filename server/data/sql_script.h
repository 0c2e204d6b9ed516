// Schema scripts: statements separated by semicolons, "--" comments.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "server/data/database.h"

// The statements of a script, without comments and blank ones; a semicolon
// inside a quoted literal does not end a statement.
std::vector<std::string> SplitSqlScript(std::string_view script);

// Runs every statement of the script as it stands (scripts are written for
// their database). Throws CDBException at the first failure.
void RunSqlScript(CDatabase& database, std::string_view script);

// Reads a whole file; empty when it cannot be read.
std::string ReadScriptFile(const std::string& path);
