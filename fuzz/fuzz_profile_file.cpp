// The profile file reader and writer on any text: a value written reads
// back as written, and writing never loses another section's value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/profile_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto before = qn::profile::Lookup(text, "Other", "Kept");
  const std::string after = qn::profile::WithValue(text, "General", "ODBCType", std::string("MSSQL"));
  if (qn::profile::Lookup(after, "general", "odbctype") != "MSSQL") std::abort();
  if (qn::profile::Lookup(after, "Other", "Kept") != before) std::abort();
  const std::string removed = qn::profile::WithValue(after, "General", "ODBCType", std::nullopt);
  if (qn::profile::Lookup(removed, "General", "ODBCType").has_value()) std::abort();
  return 0;
}
