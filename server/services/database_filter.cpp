#include "server/services/database_filter.h"

#include <cctype>
#include <cstdio>

#include "server/services/database_values.h"

namespace qn::dbservice {

namespace {

// Nesting of parentheses and NOT beyond this is refused, so that no text
// can exhaust the stack.
constexpr int kMaxDepth = 64;

enum class Tok { End, Name, Keyword, Number, String, Date, Macro, Compare, Open, Close, Comma, Dot, Sign };

struct Token {
  Tok kind = Tok::End;
  std::string text;  // Name: as written; Keyword, Macro: upper case; Date: the quoted text
};

constexpr const char* kKeywords[] = {"AND", "OR", "NOT", "LIKE", "IN", "BETWEEN", "IS", "NULL", "ASC", "DESC"};

bool IsWordStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  // False when the text holds anything the grammar has no token for.
  bool Run(std::vector<Token>& out) {
    for (;;) {
      while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
      if (pos_ >= text_.size()) {
        out.push_back({Tok::End, {}});
        return true;
      }
      Token token;
      if (!Next(token)) return false;
      out.push_back(std::move(token));
    }
  }

 private:
  bool Next(Token& token) {
    const char c = text_[pos_];
    if (IsWordStart(c)) {
      const std::string word = Word();
      const std::string upper = Upper(word);
      for (const char* keyword : kKeywords)
        if (upper == keyword) {
          token = {Tok::Keyword, upper};
          return true;
        }
      token = {Tok::Name, word};
      return true;
    }
    if (std::isdigit(static_cast<unsigned char>(c))) return Number(token);
    switch (c) {
      case '[': {
        const size_t close = text_.find(']', pos_ + 1);
        if (close == std::string_view::npos || close == pos_ + 1) return false;
        token = {Tok::Name, std::string(text_.substr(pos_ + 1, close - pos_ - 1))};
        pos_ = close + 1;
        return token.text.find('[') == std::string::npos;
      }
      case '\'': return String(token);
      case '{': return Escape(token);
      case '$': {
        ++pos_;
        if (pos_ >= text_.size() || !IsWordStart(text_[pos_])) return false;
        const std::string upper = Upper(Word());
        if (upper != "USERID" && upper != "SYSTEMTIME") return false;
        token = {Tok::Macro, upper};
        return true;
      }
      case '<':
      case '>': {
        std::string op(1, c);
        ++pos_;
        if (pos_ < text_.size() && (text_[pos_] == '=' || (c == '<' && text_[pos_] == '>'))) op += text_[pos_++];
        token = {Tok::Compare, op};
        return true;
      }
      case '=': token = {Tok::Compare, "="}; break;
      case '(': token = {Tok::Open, "("}; break;
      case ')': token = {Tok::Close, ")"}; break;
      case ',': token = {Tok::Comma, ","}; break;
      case '.': token = {Tok::Dot, "."}; break;
      case '-':
      case '+': token = {Tok::Sign, std::string(1, c)}; break;
      default: return false;
    }
    ++pos_;
    return true;
  }

  std::string Word() {
    const size_t start = pos_;
    while (pos_ < text_.size() && IsWordChar(text_[pos_])) ++pos_;
    return std::string(text_.substr(start, pos_ - start));
  }

  bool Digits() {
    const size_t start = pos_;
    while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    return pos_ > start;
  }

  bool Number(Token& token) {
    const size_t start = pos_;
    Digits();
    if (pos_ < text_.size() && text_[pos_] == '.') {
      ++pos_;
      Digits();
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      if (!Digits()) return false;
    }
    // "12abc" is neither a number nor a name.
    if (pos_ < text_.size() && (IsWordChar(text_[pos_]) || text_[pos_] == '.')) return false;
    token = {Tok::Number, std::string(text_.substr(start, pos_ - start))};
    return true;
  }

  bool String(Token& token) {
    std::string value;
    for (size_t i = pos_ + 1; i < text_.size(); ++i) {
      if (text_[i] != '\'') {
        value += text_[i];
        continue;
      }
      if (i + 1 < text_.size() && text_[i + 1] == '\'') {
        value += '\'';
        ++i;
        continue;
      }
      pos_ = i + 1;
      token = {Tok::String, std::move(value)};
      return true;
    }
    return false;
  }

  bool Escape(Token& token) {
    ++pos_;
    while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
    if (pos_ >= text_.size() || !IsWordStart(text_[pos_])) return false;
    const std::string kind = Upper(Word());
    if (kind != "D" && kind != "TS") return false;
    while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
    if (pos_ >= text_.size() || text_[pos_] != '\'') return false;
    Token quoted;
    if (!String(quoted)) return false;
    while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
    if (pos_ >= text_.size() || text_[pos_] != '}') return false;
    ++pos_;
    token = {Tok::Date, quoted.text};
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

// "yyyy-mm-dd", optionally followed by " hh:mm", ":ss" and a fraction, as a
// local time.
bool ParseDateText(const std::string& text, std::time_t& out) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &year, &month, &day, &used) != 3 || used != 10) return false;
  size_t pos = static_cast<size_t>(used);
  if (pos < text.size()) {
    int more = 0;
    if (std::sscanf(text.c_str() + pos, " %2d:%2d%n", &hour, &minute, &more) != 2) return false;
    pos += static_cast<size_t>(more);
    if (pos < text.size() && text[pos] == ':') {
      if (std::sscanf(text.c_str() + pos, ":%2d%n", &second, &more) != 1) return false;
      pos += static_cast<size_t>(more);
      if (pos < text.size() && text[pos] == '.') {
        ++pos;
        while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) ++pos;
      }
    }
    if (pos != text.size()) return false;
  }
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 59)
    return false;
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  const std::time_t time = std::mktime(&local);
  if (time == static_cast<std::time_t>(-1) || local.tm_mday != day) return false;
  out = time;
  return true;
}

std::string LocalTimeText(std::time_t time) {
  std::tm local{};
  localtime_r(&time, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

struct Operand {
  bool isField = false;
  FilterField field;
  Token literal;
  bool negative = false;
};

class Parser {
 public:
  Parser(const std::vector<Token>& tokens, const FieldResolver& resolve, const FilterContext* context)
      : t_(tokens), resolve_(resolve), context_(context) {}

  bool Filter(ParsedFilter& out) {
    if (!Or()) return false;
    if (Peek().kind != Tok::End) return false;
    out = std::move(out_);
    return true;
  }

  bool Sort(std::string& out) {
    for (;;) {
      Operand field;
      if (!Field(field)) return false;
      out += field.field.sql;
      if (IsKeyword("ASC") || IsKeyword("DESC")) out += " " + t_[i_++].text;
      if (Peek().kind == Tok::End) return true;
      if (Peek().kind != Tok::Comma) return false;
      ++i_;
      out += ", ";
    }
  }

 private:
  const Token& Peek(size_t ahead = 0) const {
    const size_t at = i_ + ahead < t_.size() ? i_ + ahead : t_.size() - 1;
    return t_[at];
  }
  bool IsKeyword(const char* word, size_t ahead = 0) const {
    return Peek(ahead).kind == Tok::Keyword && Peek(ahead).text == word;
  }
  bool Accept(const char* word) {
    if (!IsKeyword(word)) return false;
    ++i_;
    return true;
  }

  bool Or() {
    if (!And()) return false;
    while (Accept("OR")) {
      out_.sql += " OR ";
      if (!And()) return false;
    }
    return true;
  }

  bool And() {
    if (!Not()) return false;
    while (Accept("AND")) {
      out_.sql += " AND ";
      if (!Not()) return false;
    }
    return true;
  }

  bool Not() {
    if (++depth_ > kMaxDepth) return false;
    bool ok;
    if (Accept("NOT")) {
      out_.sql += "NOT ";
      ok = Not();
    } else if (Peek().kind == Tok::Open) {
      ++i_;
      out_.sql += "(";
      ok = Or() && Peek().kind == Tok::Close;
      if (ok) {
        ++i_;
        out_.sql += ")";
      }
    } else {
      ok = Predicate();
    }
    --depth_;
    return ok;
  }

  bool Field(Operand& operand) {
    if (Peek().kind != Tok::Name) return false;
    std::string qualifier;
    std::string column = t_[i_++].text;
    if (Peek().kind == Tok::Dot) {
      if (Peek(1).kind != Tok::Name) return false;
      qualifier = std::move(column);
      column = t_[i_ + 1].text;
      i_ += 2;
    }
    auto field = resolve_(qualifier, column);
    if (!field) return false;
    operand.isField = true;
    operand.field = std::move(*field);
    return true;
  }

  bool OperandAt(Operand& operand) {
    const Token& token = Peek();
    switch (token.kind) {
      case Tok::Name: return Field(operand);
      case Tok::Sign:
        if (Peek(1).kind != Tok::Number) return false;
        operand.negative = token.text == "-";
        operand.literal = Peek(1);
        i_ += 2;
        return true;
      case Tok::Number:
      case Tok::String:
      case Tok::Date:
      case Tok::Macro:
        operand.literal = token;
        ++i_;
        return true;
      default: return false;
    }
  }

  bool Predicate() {
    std::vector<Operand> operands(1);
    if (!OperandAt(operands[0])) return false;
    // The SQL between and after the operands, "@" standing for each.
    std::string shape;
    bool needsText = false;
    if (Accept("IS")) {
      const bool negated = Accept("NOT");
      if (!Accept("NULL") || !operands[0].isField) return false;
      shape = negated ? "@ IS NOT NULL" : "@ IS NULL";
    } else {
      const bool negated = Accept("NOT");
      const std::string no = negated ? "NOT " : "";
      if (Accept("LIKE")) {
        operands.emplace_back();
        if (!OperandAt(operands.back())) return false;
        shape = "@ " + no + "LIKE @";
        needsText = true;
      } else if (Accept("IN")) {
        if (Peek().kind != Tok::Open) return false;
        ++i_;
        shape = "@ " + no + "IN (";
        for (;;) {
          operands.emplace_back();
          if (!OperandAt(operands.back())) return false;
          shape += "@";
          if (Peek().kind == Tok::Close) break;
          if (Peek().kind != Tok::Comma) return false;
          ++i_;
          shape += ", ";
        }
        ++i_;
        shape += ")";
      } else if (Accept("BETWEEN")) {
        operands.emplace_back();
        if (!OperandAt(operands.back()) || !Accept("AND")) return false;
        operands.emplace_back();
        if (!OperandAt(operands.back())) return false;
        shape = "@ " + no + "BETWEEN @ AND @";
      } else if (!negated && Peek().kind == Tok::Compare) {
        shape = "@ " + t_[i_++].text + " @";
        operands.emplace_back();
        if (!OperandAt(operands.back())) return false;
      } else {
        return false;
      }
    }
    const Operand* field = nullptr;
    for (const Operand& o : operands)
      if (o.isField) {
        field = &o;
        break;
      }
    if (field == nullptr) return false;
    const int type = field->field.sqlType;
    if (needsText && !(IsCharType(type) || type == SQL_LONGVARCHAR)) return false;
    size_t next = 0;
    for (char c : shape) {
      if (c != '@') {
        out_.sql += c;
        continue;
      }
      const Operand& o = operands[next++];
      if (o.isField) {
        out_.sql += o.field.sql;
        continue;
      }
      if (out_.params.size() >= kMaxFilterParams) return false;
      FilterParam param;
      if (!Bind(o, type, param)) return false;
      out_.params.push_back(std::move(param));
      out_.sql += "?";
    }
    return true;
  }

  bool Bind(const Operand& o, int type, FilterParam& param) const {
    const Token& literal = o.literal;
    const bool systemTime = literal.kind == Tok::Macro && literal.text == "SYSTEMTIME";
    const bool date = literal.kind == Tok::Date;
    std::string text = literal.text;
    if (literal.kind == Tok::Number && o.negative) text = "-" + text;
    if (literal.kind == Tok::Macro && !systemTime) text = context_->userId;
    param.sqlType = type;
    switch (type) {
      case SQL_CHAR:
      case SQL_VARCHAR:
      case SQL_LONGVARCHAR:
        param.value = systemTime ? LocalTimeText(context_->now) : text;
        return true;
      case SQL_DATE:
      case SQL_TIME:
      case SQL_TIMESTAMP: {
        std::time_t time = context_->now;
        if (!systemTime && !((date || literal.kind == Tok::String) && ParseDateText(text, time))) return false;
        param.value = time;
        return true;
      }
      default:
        if (systemTime || date) return false;
        // Numbers (and no binary type): the whole literal must be a value of
        // the field's type.
        return ConvertKey(text, type, param.value);
    }
  }

  const std::vector<Token>& t_;
  const FieldResolver& resolve_;
  const FilterContext* context_;
  size_t i_ = 0;
  int depth_ = 0;
  ParsedFilter out_;
};

bool Blank(std::string_view text) {
  for (char c : text)
    if (!IsBlank(c)) return false;
  return true;
}

}  // namespace

std::optional<ParsedFilter> ParseClientFilter(std::string_view text, const FieldResolver& resolve,
                                              const FilterContext& context) {
  if (Blank(text)) return ParsedFilter{};
  std::vector<Token> tokens;
  if (!Lexer(text).Run(tokens)) return std::nullopt;
  ParsedFilter out;
  if (!Parser(tokens, resolve, &context).Filter(out)) return std::nullopt;
  return out;
}

std::optional<std::string> ParseClientSort(std::string_view text, const FieldResolver& resolve) {
  if (Blank(text)) return std::string();
  std::vector<Token> tokens;
  if (!Lexer(text).Run(tokens)) return std::nullopt;
  std::string out;
  if (!Parser(tokens, resolve, nullptr).Sort(out)) return std::nullopt;
  return out;
}

}  // namespace qn::dbservice
