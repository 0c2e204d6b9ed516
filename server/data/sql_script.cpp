#include "server/data/sql_script.h"

#include <fstream>
#include <sstream>

namespace {

bool Blank(const std::string& text) { return text.find_first_not_of(" \t\r\n") == std::string::npos; }

}  // namespace

std::vector<std::string> SplitSqlScript(std::string_view script) {
  std::vector<std::string> statements;
  std::string current;
  char quote = 0;
  for (size_t i = 0; i < script.size(); ++i) {
    const char c = script[i];
    if (quote) {
      if (c == quote) quote = 0;
      current += c;
    } else if (c == '\'' || c == '"') {
      quote = c;
      current += c;
    } else if (c == '-' && i + 1 < script.size() && script[i + 1] == '-') {
      while (i < script.size() && script[i] != '\n') ++i;
      current += '\n';
    } else if (c == ';') {
      if (!Blank(current)) statements.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!Blank(current)) statements.push_back(current);
  return statements;
}

void RunSqlScript(CDatabase& database, std::string_view script) {
  for (const std::string& statement : SplitSqlScript(script)) {
    try {
      database.Connection().Execute(statement);
    } catch (const qn::odbc::Error& e) {
      throw CDBException(e);
    }
  }
}

std::string ReadScriptFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}
