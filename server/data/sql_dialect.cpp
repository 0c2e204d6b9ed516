#include "server/data/sql_dialect.h"

#include <cctype>

namespace {

bool StartsWithWordNoCase(std::string_view text, size_t pos, std::string_view word) {
  if (pos + word.size() > text.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[pos + i])) !=
        std::toupper(static_cast<unsigned char>(word[i])))
      return false;
  }
  return true;
}

// Leading "UPDATE STATISTICS" (any case, any blanks between) to "ANALYZE".
std::string RewriteStatistics(std::string_view sql) {
  size_t pos = 0;
  while (pos < sql.size() && std::isspace(static_cast<unsigned char>(sql[pos]))) ++pos;
  if (!StartsWithWordNoCase(sql, pos, "UPDATE")) return std::string(sql);
  size_t next = pos + 6;
  size_t blanks = next;
  while (blanks < sql.size() && std::isspace(static_cast<unsigned char>(sql[blanks]))) ++blanks;
  if (blanks == next || !StartsWithWordNoCase(sql, blanks, "STATISTICS")) return std::string(sql);
  size_t end = blanks + 10;
  if (end < sql.size() && !std::isspace(static_cast<unsigned char>(sql[end]))) return std::string(sql);
  return std::string(sql.substr(0, pos)) + "ANALYZE" + std::string(sql.substr(end));
}

}  // namespace

SqlDialect DialectFromDbmsName(std::string_view dbmsName) {
  return StartsWithWordNoCase(dbmsName, 0, "PostgreSQL") ? SqlDialect::PostgreSQL
                                                          : SqlDialect::SQLite;
}

std::string RewriteSql(SqlDialect dialect, std::string_view sql) {
  std::string text = RewriteStatistics(sql);
  if (dialect == SqlDialect::SQLite) return text;
  std::string out;
  out.reserve(text.size());
  char quote = 0;
  for (char c : text) {
    if (quote) {
      // A doubled quote closes and reopens: the state comes out right.
      if (c == quote) quote = 0;
      out += c;
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      out += c;
    } else if (c != '[' && c != ']') {
      out += c;
    }
  }
  return out;
}

bool ReusesStatementsWithoutParameters(SqlDialect dialect) { return dialect == SqlDialect::PostgreSQL; }

int StoredTrue(SqlDialect dialect) { return dialect == SqlDialect::PostgreSQL ? 1 : -1; }
