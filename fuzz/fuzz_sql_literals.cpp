// The reader of literals on any text (filters carry members' text): what it
// accepts reads again to the same markers and no literal, and every literal
// stands for exactly one marker, in order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "server/data/sql_literals.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view sql(reinterpret_cast<const char*>(data), size);
  ParameterisedSql out;
  if (!ParameteriseSql(sql, out)) return 0;
  int next = 0;
  for (int marker : out.markers) {
    if (marker == ParameterisedSql::kOwnMarker) continue;
    if (marker != next++) std::abort();
  }
  if (static_cast<size_t>(next) != out.literals.size()) std::abort();
  ParameterisedSql again;
  if (!ParameteriseSql(out.text, again)) std::abort();
  if (!again.literals.empty() || again.markers.size() != out.markers.size() || again.text != out.text)
    std::abort();
  return 0;
}
