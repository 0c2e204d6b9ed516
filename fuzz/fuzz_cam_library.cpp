// The CAM library reader on arbitrary files: whatever it keeps can be
// written back, and what it writes reads back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "server/services/cam_library.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that any read past the end is reported.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size ? size : 1]);
  if (size) std::memcpy(copy.get(), data, size);
  CCAMLibrary library;
  library.Load(copy.get(), size);
  const std::vector<uint8_t> stored = library.Store();
  CCAMLibrary again;
  if (!again.Load(stored.data(), stored.size()) || again.Store() != stored) std::abort();
  for (const auto& app : library.m_apps)
    if (app) (void)StoreRecord(*app);
  for (const auto& component : library.m_components)
    if (component) (void)StoreRecord(*component);
  return 0;
}
