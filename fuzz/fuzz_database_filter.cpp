// Members' search filters and sorts on any text: what the grammar accepts
// becomes SQL made only of field names, keywords, operators and "?", with
// one bound value per "?".
#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/services/database_filter.h"

namespace {

std::optional<qn::dbservice::FilterField> Resolve(std::string_view qualifier, std::string_view column) {
  static const struct {
    const char* column;
    int type;
  } kFields[] = {{"Name", 12}, {"Age", 5}, {"Born", 11}, {"Notes", -1}, {"Flag", -7}, {"Score", 8}, {"Pic", -4}};
  if (!qualifier.empty() && !(qualifier.size() == 1 && (qualifier[0] == 'T' || qualifier[0] == 'a'))) return std::nullopt;
  for (const auto& f : kFields)
    if (column.size() == std::strlen(f.column) && strncasecmp(column.data(), f.column, column.size()) == 0)
      return qn::dbservice::FilterField{std::string(qualifier.empty() ? "" : "T.") + "[" + f.column + "]", f.type};
  return std::nullopt;
}

// Only what the grammar itself writes.
void CheckSql(const std::string& sql) {
  for (char c : sql) {
    if (std::isalnum(static_cast<unsigned char>(c))) continue;
    if (!std::strchr("[]._ (),?=<>", c)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const qn::dbservice::FilterContext context{"it's $USERID", 1700000000};
  if (auto filter = qn::dbservice::ParseClientFilter(text, Resolve, context)) {
    CheckSql(filter->sql);
    size_t marks = 0;
    for (char c : filter->sql) marks += c == '?';
    if (marks != filter->params.size() || marks > qn::dbservice::kMaxFilterParams) std::abort();
  }
  if (auto sort = qn::dbservice::ParseClientSort(text, Resolve)) {
    CheckSql(*sort);
    if (sort->find('?') != std::string::npos) std::abort();
  }
  return 0;
}
