// Reads one text of the version resource (VS_VERSIONINFO) straight out of a
// Windows program file (PE32 or PE32+), the way the Win32 version functions
// would find it: the first translation listed under "VarFileInfo" names the
// string table ("%04X%04X" of language and code page) in "StringFileInfo".
//
// The files come from outside (client programs put there by operators), so
// every offset and length is checked: a truncated or hostile file yields
// nullopt and never a read outside the given bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qn::pe {

// The named string (e.g. "Comments") in UTF-8, from a file image in memory.
// Names and table keys compare without regard to case.
std::optional<std::string> VersionStringFromBytes(const uint8_t* data, size_t size,
                                                  std::string_view name);

// The same from a file; nullopt when it cannot be read or is larger than
// kMaxFileSize.
std::optional<std::string> VersionStringFromFile(const std::string& path, std::string_view name);

inline constexpr size_t kMaxFileSize = 256u << 20;

}  // namespace qn::pe
