// The ODBC set-up of an installation and the translation of the system's
// connect strings at the driver boundary.
#pragma once
#include <string>
#include <vector>

// Driver entries of our own odbcinst.ini.
inline constexpr const char* kSqliteDriverName = "Quillnet SQLite3";
inline constexpr const char* kPostgresDriverName = "Quillnet PostgreSQL";
inline constexpr const char* kServerDataSource = "Quillnet Server";
// The Debian libraries behind them.
inline constexpr const char* kSqliteDriverLibrary = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";
inline constexpr const char* kPostgresDriverLibrary = "/usr/lib/x86_64-linux-gnu/odbc/psqlodbca.so";

// Once per process: points the driver manager at $QN_ROOT/etc/quillnet/odbc/,
// registers our driver entries there and, when absent, the system data
// source "Quillnet Server" on the SQLite driver (the per-area files). False
// when the directory cannot be written.
bool EnsureOdbcSetup();

// The connect string a driver gets for one the system wrote: the "ODBC;"
// prefix goes, and a DBQ= file (an Access file name, relative names in the
// program directory) becomes the SQLite file with WAL journal, a busy
// timeout and no creation of missing files. A DSN given twice keeps its
// last value, any other attribute its first.
std::string TranslateConnectString(const std::string& connect);

// A connect string's attributes: split at each ';' outside a braced value
// ("PWD={a;b}", with "}}" standing for a '}' inside the braces).
std::vector<std::string> SplitConnectAttributes(const std::string& text);
