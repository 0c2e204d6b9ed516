// Databases of version 1.0 for the installer's upgrade tests and benches:
// the seven area files with the earlier schema, written out here on its own
// (not from the installer's column tables), and filled with SQL.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

namespace qn::test {

// The stems in the order of the areas.
extern const char* const kEarlierStems[7];

// Makes <dir>/<stem>.<extension> with the earlier tables of that file,
// empty, replacing an existing file.
void MakeEarlierFile(const std::filesystem::path& dir, const std::string& stem,
                     const std::string& extension = "MDB");
void MakeEarlierFiles(const std::filesystem::path& dir, const std::string& extension = "MDB");

// Runs SQL (several statements allowed) on a database file with sqlite3.
// Throws std::runtime_error.
void ExecSqlite(const std::filesystem::path& file, const std::string& sql);
// The first column of the first row as text ("" for none or NULL).
std::string QuerySqlite(const std::filesystem::path& file, const std::string& sql);
// Every row, its columns as text joined by '|' (NULL as "NULL").
std::vector<std::string> SqliteRows(const std::filesystem::path& file, const std::string& sql);

}  // namespace qn::test
