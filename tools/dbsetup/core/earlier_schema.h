// The schema of version 1.0 as the upgrade reads it: its 24 tables, one
// column table each, in binding order, with the names as that version
// spelt them ("[Billing First Name]", "[Userid2Keys]").
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qn::dbsetup {

// How a column is read: T text cut at 255 characters, M long text, L 32-bit
// integer, I 16-bit, Y byte, B BOOL, D date and time, F double.
enum class OldKind : uint8_t { T, M, L, I, Y, B, D, F };

struct OldColumn {
  const char* name;
  OldKind kind;
};

struct OldTable {
  const char* className;  // "CAccounts_1"
  const char* table;      // "Accounts"
  const char* file;       // "QNACCOUN"
  std::vector<OldColumn> columns;
};

// The 24 tables, by file in the order of the areas.
const std::vector<OldTable>& EarlierSchema();
// One of them by its table name (exactly as spelt); throws std::out_of_range.
const OldTable& EarlierTable(const std::string& table);
// The position of a column (exactly as spelt); throws std::out_of_range.
size_t ColumnIndex(const OldTable& table, const std::string& column);

// Text columns other than long text are read up to this many characters.
inline constexpr size_t kOldTextWidth = 255;

}  // namespace qn::dbsetup
