// The literals of a query's conditions as parameters: the text with each
// literal replaced by a marker, so that every read of the same shape shares
// one prepared statement whatever the values it compares with.
#pragma once
#include <string>
#include <string_view>
#include <vector>

struct SqlLiteral {
  enum class Kind { Text, Integer, Decimal, Date, Time, Timestamp };
  Kind kind = Kind::Text;
  // Text: the characters between the quotes, doubled quotes made single.
  // Integer and Decimal: the number as written, its sign included. Date,
  // Time and Timestamp: the text inside the escape's quotes.
  std::string value;
};

struct ParameterisedSql {
  std::string text;
  // One entry per marker of `text`, in order: the index of its literal, or
  // kOwnMarker for a marker the statement had already.
  std::vector<int> markers;
  std::vector<SqlLiteral> literals;
  static constexpr int kOwnMarker = -1;
};

// Replaces the literals of the conditions, after the first WHERE (a string in
// single quotes, a number, an ODBC date, time or timestamp escape), by
// markers; the select list and the FROM list stay as they are.
// Literals stay in the text where a parameter could change the statement's
// meaning or be refused: numbers after ORDER or GROUP (column positions),
// literals that follow a name (typed literals such as DATE '...', aliases),
// prefixed strings (X'..', E'..'), integers that overflow 32 bits, timestamps
// with fractions, and everything inside other escapes ({fn ...}). False,
// with `out` unusable, for text that is not read safely (an unterminated
// quote or escape, a comment, a named parameter).
bool ParameteriseSql(std::string_view sql, ParameterisedSql& out);
