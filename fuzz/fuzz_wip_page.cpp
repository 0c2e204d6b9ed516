// WIP pages on arbitrary text: Startup, the member's copy for several sets
// of keys, section removal and resource names never read outside the text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "server/services/wip_page.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t select = data[0];
  const std::string page(reinterpret_cast<const char*>(data + 1), size - 1);
  static const char* const kKeys[] = {"KEY", "K", "GOLD", "SILVER", "MEMBERS", "", "KE"};
  std::vector<std::string> keys;
  for (int i = 0; i < 7; ++i)
    if (select & (1 << i)) keys.push_back(kKeys[i]);

  qn::wip::Startup startup = qn::wip::ReadStartupSettings(page);
  (void)qn::wip::IsPageAllowed(startup, keys);
  const auto copy = qn::wip::FilterFormSections(page, startup, keys);
  // The same page as a protected page of the right version, whatever its
  // Startup says.
  startup.isProtected = true;
  startup.version = "1.1";
  const auto forced = qn::wip::FilterFormSections(page, startup, keys);
  if (!forced || forced->size() > page.size()) __builtin_trap();
  if (select & 0x80) {
    std::string text = page;
    qn::wip::RemoveSection(text, page.substr(0, page.find('\n') == std::string::npos ? 0 : page.find('\n') % 8));
  }
  if (copy) (void)qn::wip::NamesResource(*copy, page.substr(0, 5));
  (void)qn::wip::IsNameInsideFolder(page);
  return 0;
}
