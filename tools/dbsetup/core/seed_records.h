// The rows a new installation starts with, defined once: the schema script
// of the one database gets them after its tables, and the build puts them
// into the empty per-area templates.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qn::dbsetup {

struct SeedValue {
  enum Kind { Text, Number, Bool, KeyOf } kind;
  std::string text;   // Text
  int32_t number;     // Number, Bool (0 or 1), KeyOf (index of an earlier row)
};

struct SeedRow {
  const char* area;      // "QNACCOUN" ...
  const char* table;
  const char* identity;  // the key column the database numbers, or ""
  std::vector<std::pair<const char*, SeedValue>> columns;
};

// In the order they are inserted.
const std::vector<SeedRow>& SeedRows();

// Runs the INSERT statements of one seed row at a time.
class ISeedTarget {
 public:
  virtual ~ISeedTarget() = default;
  // Runs `sql`; with `wantKey` returns the identity key the database gave
  // the row. Throws on failure.
  virtual int32_t Insert(const std::string& sql, bool wantKey) = 0;
};

// Inserts the seed rows of `area` (all areas when empty), each reference to
// an earlier row given the number the database gave that row. TRUE is
// written as `trueValue` (-1 in the per-area files, 1 in the one database).
void InsertSeedRows(ISeedTarget& target, int trueValue, const std::string& area = {});

// The statement of one row with its references resolved through `keys`
// (the keys of the rows before it, by index).
std::string SeedStatement(const SeedRow& row, int trueValue, const std::vector<int32_t>& keys);

}  // namespace qn::dbsetup
