// Values of the database service: which result column type an ODBC SQL type
// travels as, how a member's text becomes a bound value of a column or a
// parameter, and how a bound row becomes a reply row that fits one packet.
#pragma once
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "server/data/dyna_bind.h"

namespace qn::dbservice {

// ODBC 3's date and time types (91, 92, 93) as the ODBC 2 ones (9, 10, 11);
// every other type unchanged.
int NormaliseSqlType(int sqlType);

// The result column type (1 BOOL ... 8 binary) of an SQL type; 0 for a type
// the service does not carry.
uint8_t ResultColumnType(int sqlType);

// CHAR or VARCHAR: the types whose values are quoted names, media paths and
// choices.
inline bool IsCharType(int sqlType) { return sqlType == SQL_CHAR || sqlType == SQL_VARCHAR; }

enum class Conversion {
  kValue,       // `out` holds the value
  kNoValue,     // the type takes no value from text
  kOutOfRange,  // a number or date number the column cannot hold
};

// A member's text as the value of a column or procedure parameter of the
// SQL type, read as the C library's atol and atof read it; dates are
// automation date numbers (0: no date); long text (-1) is text.
Conversion ConvertText(const std::string& text, int sqlType, CDynaHolder& out);

// A primary-key value sent by a client, for a key column of the SQL type:
// the whole text must be a value of the type (blanks around it aside), so
// that no other text reaches the filter. False when it is not.
bool ConvertKey(const std::string& text, int sqlType, CDynaHolder& out);

// One value of a reply row, typed by its result column type.
struct RowCell {
  uint8_t type = 0;
  std::variant<int32_t, uint8_t, int16_t, float, std::string, std::vector<uint8_t>> value;
};

// The cell of a bound value of the SQL type (the column types of the
// result-set encoding: "%f" text for FLOAT and DOUBLE, seconds since 1970
// for dates, the bytes of long and binary values).
RowCell MakeRowCell(const CDynaHolder& holder, int sqlType);

// Bytes the cell takes in an encoded row.
size_t EncodedSize(const RowCell& cell);

// Cuts the longest texts and byte values until the encoded row takes at most
// `limit` bytes (so binary lengths stay true in their 16 bits).
void FitRow(std::vector<RowCell>& cells, size_t limit);

}  // namespace qn::dbservice
