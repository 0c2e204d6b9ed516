// The filter and sort a member sends with a database search, read by a small
// grammar instead of being pasted into SQL: only fields the member may read,
// literals that become bound parameters typed by the field they meet, and a
// fixed set of operators. What the grammar does not know is refused.
//
// filter    := or
// or        := and { OR and }
// and       := not { AND not }
// not       := NOT not | "(" or ")" | predicate
// predicate := operand compare operand
//            | operand [NOT] LIKE operand
//            | operand [NOT] IN "(" operand { "," operand } ")"
//            | operand [NOT] BETWEEN operand AND operand
//            | field IS [NOT] NULL
// compare   := "=" | "<>" | "<" | ">" | "<=" | ">="
// operand   := field | literal
// field     := name [ "." name ]        (a name: a word or [any text])
// literal   := [ "-" | "+" ] number | 'text' | {d 'yyyy-mm-dd'}
//            | {ts 'yyyy-mm-dd hh:mm:ss'} | $USERID | $SYSTEMTIME
// sort      := field [ ASC | DESC ] { "," field [ ASC | DESC ] }
//
// Keywords and names are read without regard to case. A predicate needs at
// least one field; its literals take that field's type, and LIKE needs a
// text field.
#pragma once
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/data/dyna_bind.h"

namespace qn::dbservice {

// A field as the statement names it, with its SQL type.
struct FilterField {
  std::string sql;
  int sqlType = 0;
};

// The field that a qualifier (a table or an alias; empty for a bare column)
// and a column name denote, as the client wrote them without brackets;
// nothing when they denote no field the member may read, or several.
using FieldResolver =
    std::function<std::optional<FilterField>(std::string_view qualifier, std::string_view column)>;

struct FilterContext {
  std::string userId;  // "$USERID"
  std::time_t now = 0;  // "$SYSTEMTIME"
};

struct FilterParam {
  CDynaHolder value;
  int sqlType = 0;
};

struct ParsedFilter {
  std::string sql;  // "?" for each parameter, in order; empty for no filter
  std::vector<FilterParam> params;
};

// At most this many literals: the recordset binds no more parameters.
inline constexpr size_t kMaxFilterParams = 100;

// Nothing when the text is refused. A text of blanks is no filter.
std::optional<ParsedFilter> ParseClientFilter(std::string_view text, const FieldResolver& resolve,
                                              const FilterContext& context);
// The ORDER BY list; nothing when refused, empty for a text of blanks.
std::optional<std::string> ParseClientSort(std::string_view text, const FieldResolver& resolve);

}  // namespace qn::dbservice
