// WIP pages as text: the Startup values, which member may see a page, the
// member's copy with the form entries and sections of keys the member lacks
// cut out, and the names of pages and resources a client may ask for.
//
// A page is text with CR LF line ends; sections are headed by "[name]". Form
// entries tied to a WIP key look like
//   ABC=SEC:KEY,DEFsection`rest of the line
// and any line whose fourth character is "=" names, from its eighth
// character up to a backquote, a further section.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qn::wip {

struct Startup {
  bool isPage = false;       // "W" present and not 65535
  bool isProtected = false;  // "SecType" present and 0
  std::string neededKey;     // "SEC" of a protected page
  std::string version;       // "V"
};

// A value of a section read as a profile file does: section and value names
// without regard to case, the value trimmed, the first occurrence winning.
std::optional<std::string> ReadProfileValue(std::string_view text, std::string_view section,
                                            std::string_view name);

Startup ReadStartupSettings(std::string_view page);

// The page may be seen by a member holding these WIP keys (upper case).
bool IsPageAllowed(const Startup& startup, const std::vector<std::string>& memberKeys);

// The member's copy of an allowed page: a public page as it is; a protected
// one only in format version 1.1 (nothing otherwise), with the form entries
// of keys the member lacks cut out together with the sections they name.
std::optional<std::string> FilterFormSections(const std::string& page, const Startup& startup,
                                              const std::vector<std::string>& memberKeys);

// Cuts the section out of the text, then every section its lines name, and
// so on; ends on circular and long chains with a bounded stack.
void RemoveSection(std::string& text, const std::string& name);

// The copy names the resource: its name, followed by CR, stands in the text,
// both compared without regard to case.
bool NamesResource(std::string_view copy, std::string_view resource);

// A page or resource name that stays inside its folder: not empty, not
// absolute, no drive letter or share, no ".." component.
bool IsNameInsideFolder(std::string_view name);

}  // namespace qn::wip
