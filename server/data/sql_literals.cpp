#include "server/data/sql_literals.h"

#include <charconv>
#include <cstdint>

namespace {

// What the last token was decides whether a sign is unary and whether a
// literal is a value of its own.
enum class Prev { Start, Operator, Keyword, Name, Value };

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsWordStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}

bool IsWordChar(char c) { return IsWordStart(c) || IsDigit(c) || c == '$'; }

bool EqualsUpper(std::string_view word, std::string_view upper) {
  if (word.size() != upper.size()) return false;
  for (size_t i = 0; i < word.size(); ++i)
    if (Upper(word[i]) != upper[i]) return false;
  return true;
}

// Words after which a literal is a value compared or listed, not part of a
// name or a typed literal.
bool IsValueKeyword(std::string_view word) {
  static constexpr std::string_view kWords[] = {
      "AND",  "OR",   "NOT",    "LIKE",   "ILIKE", "GLOB",   "IN",       "IS",    "BETWEEN",
      "WHEN", "THEN", "ELSE",   "CASE",   "ESCAPE", "WHERE", "ON",       "HAVING", "SELECT",
      "DISTINCT", "LIMIT", "OFFSET", "TO"};
  for (std::string_view k : kWords)
    if (EqualsUpper(word, k)) return true;
  return false;
}

// The end of the quoted run starting at `pos` (the opening quote); a doubled
// quote stands for one. npos when unterminated.
size_t QuotedEnd(std::string_view sql, size_t pos, char quote) {
  for (size_t i = pos + 1; i < sql.size(); ++i) {
    if (sql[i] != quote) continue;
    if (i + 1 < sql.size() && sql[i + 1] == quote) {
      ++i;
      continue;
    }
    return i + 1;
  }
  return std::string_view::npos;
}

std::string Unquote(std::string_view quoted) {
  std::string value;
  value.reserve(quoted.size());
  for (size_t i = 1; i + 1 < quoted.size(); ++i) {
    value += quoted[i];
    if (quoted[i] == '\'') ++i;
  }
  return value;
}

bool Matches(std::string_view text, std::string_view pattern) {
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (pattern[i] == '9' ? !IsDigit(text[i]) : text[i] != pattern[i]) return false;
  }
  return true;
}

bool FitsInt32(std::string_view number) {
  if (!number.empty() && number.front() == '+') number.remove_prefix(1);
  int32_t n = 0;
  const char* end = number.data() + number.size();
  const auto [at, ec] = std::from_chars(number.data(), end, n);
  return ec == std::errc() && at == end;
}

class Reader {
 public:
  Reader(std::string_view sql, ParameterisedSql& out) : sql_(sql), out_(out) {}

  bool Run() {
    out_.text.clear();
    out_.markers.clear();
    out_.literals.clear();
    out_.text.reserve(sql_.size());
    while (i_ < sql_.size()) {
      if (bad_) return false;
      const char c = sql_[i_];
      const char next = i_ + 1 < sql_.size() ? sql_[i_ + 1] : '\0';
      if (IsBlank(c)) {
        Copy(1);
      } else if (c == '\'') {
        if (!String()) return false;
      } else if (c == '"' || c == '`') {
        if (!Name(QuotedEnd(sql_, i_, c))) return false;
      } else if (c == '[') {
        if (!Name(FindFrom(']'))) return false;
      } else if (c == '{') {
        if (!Escape()) return false;
      } else if (c == '?') {
        if (IsDigit(next)) return false;
        OwnMarker();
      } else if ((c == '-' && next == '-') || (c == '/' && next == '*') || c == '$' || c == '@' ||
                 c == '#' || c == '\0' || (c == ':' && next != ':')) {
        // Comments and named parameters are not read here.
        return false;
      } else if (c == ':') {
        Copy(2);
        prev_ = Prev::Operator;
      } else if ((c == '-' || c == '+') && (IsDigit(next) || next == '.') &&
                 (prev_ == Prev::Start || prev_ == Prev::Operator || prev_ == Prev::Keyword)) {
        Number(i_ + 1);
      } else if (IsDigit(c) || (c == '.' && IsDigit(next) && prev_ != Prev::Name)) {
        Number(i_);
      } else if (IsWordStart(c)) {
        Word();
      } else {
        Copy(1);
        prev_ = c == ')' ? Prev::Value : Prev::Operator;
      }
    }
    return !bad_;
  }

 private:
  void Copy(size_t n) {
    out_.text.append(sql_.substr(i_, n));
    i_ += n;
  }

  size_t FindFrom(char c) const {
    const size_t end = sql_.find(c, i_ + 1);
    return end == std::string_view::npos ? end : end + 1;
  }

  void OwnMarker() {
    Copy(1);
    out_.markers.push_back(ParameterisedSql::kOwnMarker);
    prev_ = Prev::Value;
  }

  void Literal(SqlLiteral::Kind kind, std::string value, size_t end) {
    // Text run on into a marker ("?1" names a parameter to SQLite) is no
    // statement to read.
    if (end < sql_.size() && (IsWordChar(sql_[end]) || sql_[end] == '?' || sql_[end] == '\'')) bad_ = true;
    out_.text += '?';
    out_.markers.push_back(static_cast<int>(out_.literals.size()));
    out_.literals.push_back({kind, std::move(value)});
    i_ = end;
    prev_ = Prev::Value;
  }

  bool Name(size_t end) {
    if (end == std::string_view::npos) return false;
    Copy(end - i_);
    prev_ = Prev::Name;
    return true;
  }

  bool String() {
    const size_t end = QuotedEnd(sql_, i_, '\'');
    if (end == std::string_view::npos) return false;
    const std::string_view quoted = sql_.substr(i_, end - i_);
    if (quoted.find('\0') != std::string_view::npos) return false;
    if (conditions_ && prev_ != Prev::Name) {
      Literal(SqlLiteral::Kind::Text, Unquote(quoted), end);
    } else {
      Copy(end - i_);
      prev_ = Prev::Value;
    }
    return true;
  }

  // A number at `start` (after its sign when i_ stands on one).
  void Number(size_t start) {
    size_t j = start;
    bool decimal = false;
    while (j < sql_.size() && IsDigit(sql_[j])) ++j;
    if (j < sql_.size() && sql_[j] == '.') {
      decimal = true;
      ++j;
      while (j < sql_.size() && IsDigit(sql_[j])) ++j;
    }
    if (j < sql_.size() && (sql_[j] == 'e' || sql_[j] == 'E')) {
      size_t k = j + 1;
      if (k < sql_.size() && (sql_[k] == '+' || sql_[k] == '-')) ++k;
      if (k < sql_.size() && IsDigit(sql_[k])) {
        decimal = true;
        j = k;
        while (j < sql_.size() && IsDigit(sql_[j])) ++j;
      }
    }
    const bool digits = j > start && !(j == start + 1 && sql_[start] == '.');
    if (!digits || (j < sql_.size() && (IsWordChar(sql_[j]) || sql_[j] == '.'))) {
      // Not a plain number (0x1F, 1abc, 1.2.3): kept as written.
      size_t k = j;
      while (k < sql_.size() && (IsWordChar(sql_[k]) || sql_[k] == '.')) ++k;
      Copy(k - i_);
      prev_ = Prev::Value;
      return;
    }
    const std::string_view number = sql_.substr(i_, j - i_);
    const bool asParameter =
        conditions_ && !numbersStay_ && prev_ != Prev::Name && (decimal || FitsInt32(number));
    if (asParameter) {
      Literal(decimal ? SqlLiteral::Kind::Decimal : SqlLiteral::Kind::Integer, std::string(number), j);
    } else {
      Copy(j - i_);
      prev_ = Prev::Value;
    }
  }

  void Word() {
    size_t j = i_;
    while (j < sql_.size() && IsWordChar(sql_[j])) ++j;
    const std::string_view word = sql_.substr(i_, j - i_);
    // After ORDER BY and GROUP BY a number names a column by position.
    if (EqualsUpper(word, "ORDER") || EqualsUpper(word, "GROUP")) numbersStay_ = true;
    if (EqualsUpper(word, "WHERE")) conditions_ = true;
    prev_ = IsValueKeyword(word) ? Prev::Keyword : Prev::Name;
    Copy(j - i_);
  }

  // "{d '...'}", "{t '...'}" and "{ts '...'}" become parameters; any other
  // escape is kept whole, its own markers counted.
  bool Escape() {
    size_t j = i_ + 1;
    auto blanks = [&] {
      while (j < sql_.size() && IsBlank(sql_[j])) ++j;
    };
    blanks();
    const size_t wordStart = j;
    while (j < sql_.size() && IsWordChar(sql_[j])) ++j;
    const std::string_view word = sql_.substr(wordStart, j - wordStart);
    blanks();
    if (j < sql_.size() && sql_[j] == '\'' && conditions_) {
      const size_t end = QuotedEnd(sql_, j, '\'');
      if (end == std::string_view::npos) return false;
      const std::string value = Unquote(sql_.substr(j, end - j));
      j = end;
      blanks();
      if (j < sql_.size() && sql_[j] == '}') {
        if (EqualsUpper(word, "D") && Matches(value, "9999-99-99")) {
          Literal(SqlLiteral::Kind::Date, value, j + 1);
          return true;
        }
        if (EqualsUpper(word, "T") && Matches(value, "99:99:99")) {
          Literal(SqlLiteral::Kind::Time, value, j + 1);
          return true;
        }
        if (EqualsUpper(word, "TS") && Matches(value, "9999-99-99 99:99:99")) {
          Literal(SqlLiteral::Kind::Timestamp, value, j + 1);
          return true;
        }
      }
    }
    int depth = 0;
    for (j = i_; j < sql_.size(); ++j) {
      const char c = sql_[j];
      if (c == '\'' || c == '"') {
        const size_t end = QuotedEnd(sql_, j, c);
        if (end == std::string_view::npos) return false;
        j = end - 1;
      } else if (c == '?') {
        out_.markers.push_back(ParameterisedSql::kOwnMarker);
      } else if (c == '{') {
        ++depth;
      } else if (c == '}' && --depth == 0) {
        Copy(j + 1 - i_);
        prev_ = Prev::Value;
        return true;
      }
    }
    return false;
  }

  std::string_view sql_;
  ParameterisedSql& out_;
  size_t i_ = 0;
  Prev prev_ = Prev::Start;
  bool numbersStay_ = false;
  bool conditions_ = false;  // past the first WHERE
  bool bad_ = false;
};

}  // namespace

bool ParameteriseSql(std::string_view sql, ParameterisedSql& out) {
  return Reader(sql, out).Run();
}
