#include "tools/dbsetup/core/schema_scripts.h"

#include <strings.h>

#include <cctype>
#include <sstream>
#include <stdexcept>

#include "server/data/sql_script.h"

namespace qn::dbsetup {

namespace {

std::vector<std::string> Words(const std::string& statement, size_t count) {
  std::vector<std::string> words;
  std::string word;
  for (char c : statement) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
      word += c;
    } else {
      if (!word.empty()) words.push_back(word);
      word.clear();
      if (words.size() >= count) break;
    }
  }
  if (!word.empty() && words.size() < count) words.push_back(word);
  return words;
}

bool Is(const std::string& word, const char* expected) { return strcasecmp(word.c_str(), expected) == 0; }

// CREATE TABLE name / CREATE [UNIQUE] INDEX x ON name: the table, else "".
std::string CreatedTable(const std::string& statement) {
  const auto w = Words(statement, 6);
  if (w.size() >= 3 && Is(w[0], "CREATE") && Is(w[1], "TABLE")) return w[2];
  if (w.size() >= 5 && Is(w[0], "CREATE") && Is(w[1], "INDEX") && Is(w[3], "ON")) return w[4];
  if (w.size() >= 6 && Is(w[0], "CREATE") && Is(w[1], "UNIQUE") && Is(w[2], "INDEX") && Is(w[4], "ON"))
    return w[5];
  return {};
}

bool IsCreateTable(const std::string& statement) {
  const auto w = Words(statement, 2);
  return w.size() == 2 && Is(w[0], "CREATE") && Is(w[1], "TABLE");
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The column definitions inside the outer parentheses.
std::vector<std::string> ColumnDefinitions(const std::string& statement) {
  std::vector<std::string> columns;
  const size_t open = statement.find('(');
  if (open == std::string::npos) return columns;
  int depth = 0;
  std::string current;
  for (size_t i = open + 1; i < statement.size(); ++i) {
    const char c = statement[i];
    if (c == '(') ++depth;
    if (c == ')') {
      if (depth == 0) break;
      --depth;
    }
    if (c == ',' && depth == 0) {
      columns.push_back(Trim(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (!Trim(current).empty()) columns.push_back(Trim(current));
  return columns;
}

}  // namespace

ProceduresStatements ProceduresFromScript(std::string_view script) {
  ProceduresStatements out;
  for (const std::string& raw : SplitSqlScript(script)) {
    const std::string statement = Trim(raw);
    const std::string table = CreatedTable(statement);
    if (Is(table, "Procedures")) out.createTable.push_back(statement);
    if (Is(table, "Databases") && IsCreateTable(statement)) {
      for (const std::string& column : ColumnDefinitions(statement)) {
        const auto w = Words(column, 1);
        if (!w.empty() && Is(w[0], "ODBCConnectString"))
          out.addColumn = "ALTER TABLE Databases ADD COLUMN " + column;
      }
    }
  }
  if (out.addColumn.empty() || out.createTable.empty() || !IsCreateTable(out.createTable.front()))
    throw std::logic_error("the schema script lacks Procedures or Databases.ODBCConnectString");
  return out;
}

std::vector<std::string> TablesOfScript(std::string_view script) {
  std::vector<std::string> tables;
  for (const std::string& statement : SplitSqlScript(script))
    if (IsCreateTable(Trim(statement))) tables.push_back(CreatedTable(Trim(statement)));
  return tables;
}

}  // namespace qn::dbsetup
