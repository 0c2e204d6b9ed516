// The version resource reader on arbitrary program files.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/pe_version.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that any read past the end is reported.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size ? size : 1]);
  if (size) std::memcpy(copy.get(), data, size);
  (void)qn::pe::VersionStringFromBytes(copy.get(), size, "Comments");
  return 0;
}
