// The texts of the database service's catalogue and of its clients, read
// without any database: value lists of fields (MultipleChoices), the
// parameters and output columns of procedures, members' assignment lists,
// and the expansion of "$USERID" and "$SYSTEMTIME".
#pragma once
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qn::dbservice {

// Entries each enclosed in double quotes, separated by blanks and commas;
// a backslash before a double quote inside an entry is dropped. Reading
// stops at the first entry that does not begin with a quote or has no
// closing quote.
std::vector<std::string> ParseMultipleChoices(std::string_view text);

// A procedure's parameters: its SQL type each, and its default (empty for
// none): "12:$USERID, 4" is a VARCHAR whose value is always the member's
// user ID and an INTEGER the client supplies. False when a type reads as 0.
bool ParseParams(std::string_view text, std::vector<int>& types, std::vector<std::string>& defaults);

// A procedure's output column types: "4, 12". False when a type reads as 0.
bool ParseOutputColumnTypes(std::string_view text, std::vector<int>& types);

// Result codes of the assignment reader.
inline constexpr int kAssignmentMalformed = 0x150a;

// Reads an assignment list: name="value" entries separated by blanks and
// commas, a double quote inside a value written as a backslash and the
// quote. For each entry in order, `checkName` is called with the name once
// it is read (a non-zero result ends the reading with that code), then
// `take` with the name and the value. Returns 0, the first non-zero result
// of a callback, or kAssignmentMalformed (no "=", a value that does not
// begin with a double quote or lacks its closing one).
int ReadAssignmentList(std::string_view text, const std::function<int(const std::string&)>& checkName,
                       const std::function<int(const std::string&, const std::string&)>& take);

// Replaces every "$USERID" by the user ID (as an SQL literal when
// quoteUserId) and every "$SYSTEMTIME" by `systemTime`, in one pass: what
// they are replaced with is never read again.
std::string ExpandMacros(std::string_view text, std::string_view userId, bool quoteUserId,
                         std::string_view systemTime);

// The local time as an automation date number (days since 30 December
// 1899, the time of day as the fraction), to two seconds, printed "%f".
std::string FormatOleDate(std::time_t time);

}  // namespace qn::dbservice
