#include "server/data/data_source.h"

#include <cctype>
#include <utility>
#include <vector>

#include "platform/odbc_config.h"
#include "platform/paths.h"

namespace {

// A waiting writer gives up after this long; cursors stay open across loop
// steps, so readers and writers overlap.
constexpr const char* kBusyTimeoutMs = "10000";

bool EqualsNoCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return i == a.size() && b[i] == 0;
}

}  // namespace

std::vector<std::string> SplitConnectAttributes(const std::string& text) {
  std::vector<std::string> parts;
  std::string current;
  bool braced = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (braced) {
      current += c;
      if (c == '}') {
        if (i + 1 < text.size() && text[i + 1] == '}') current += text[++i];
        else braced = false;
      }
    } else if (c == '{') {
      braced = true;
      current += c;
    } else if (c == ';') {
      if (!current.empty()) parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) parts.push_back(current);
  return parts;
}

bool EnsureOdbcSetup() {
  static int state = 0;  // 0 not tried, 1 done, -1 failed
  if (state != 0) return state > 0;
  const auto dir = qn::paths::ConfigDir() / "odbc";
  bool ok = qn::odbc::UseConfigDirectory(dir) &&
            qn::odbc::RegisterDriver(kSqliteDriverName, kSqliteDriverLibrary) &&
            qn::odbc::RegisterDriver(kPostgresDriverName, kPostgresDriverLibrary);
  if (ok && qn::odbc::ReadDataSourceAttribute(kServerDataSource, "Driver").empty())
    ok = qn::odbc::WriteDataSource(kServerDataSource, kSqliteDriverName, {});
  state = ok ? 1 : -1;
  return ok;
}

std::string TranslateConnectString(const std::string& connect) {
  std::string text = connect;
  if (text.size() >= 5 && EqualsNoCase(text.substr(0, 5), "ODBC;")) text.erase(0, 5);
  // In the one-database mode the pool appends "ODBCConnectString" after the
  // system data source, and that string's own data source is the one meant:
  // a DSN given twice keeps its last value. Any other attribute keeps its
  // first, as ODBC drivers do, so a data source's own login is not replaced
  // by the one the pool lends it.
  std::vector<std::pair<std::string, std::string>> attributes;
  bool file = false;
  for (const std::string& part : SplitConnectAttributes(text)) {
    const size_t eq = part.find('=');
    std::string name = eq == std::string::npos ? part : part.substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : part.substr(eq + 1);
    if (EqualsNoCase(name, "DBQ")) {
      for (char& c : value)
        if (c == '\\') c = '/';
      if (value.empty() || value[0] != '/') value = (qn::paths::ProgramDir() / value).string();
      name = "Database";
      file = true;
    }
    bool known = false;
    for (auto& [n, v] : attributes) {
      if (EqualsNoCase(n, name.c_str())) {
        if (EqualsNoCase(name, "DSN")) v = value;
        known = true;
      }
    }
    if (!known) attributes.emplace_back(name, value);
  }
  std::string out;
  for (const auto& [name, value] : attributes) {
    if (!out.empty()) out += ';';
    out += name + "=" + value;
  }
  if (file) {
    out += ";Timeout=";
    out += kBusyTimeoutMs;
    // StepAPI: rows come from the file as they are fetched, not all at once.
    out += ";JournalMode=WAL;SyncPragma=NORMAL;NoCreat=1;StepAPI=1";
  }
  return out;
}
