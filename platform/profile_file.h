// Profile (INI) files as Windows reads and writes them: "[Section]" lines,
// "key=value" lines below them, names compared without regard to ASCII
// case, blanks around names and values ignored, ';' lines comments. Writes
// keep every other line as it was.
#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qn::profile {

// The value of `key` in `section` of a file's text; nullopt when absent.
std::optional<std::string> Lookup(std::string_view text, std::string_view section, std::string_view key);

// The text with `key` of `section` set to `value` (the section added at the
// end when missing), or removed when `value` is nullopt. Names and values
// with a line break, names with '=' or a section name with ']' cannot be
// written: the text comes back unchanged.
std::string WithValue(std::string_view text, std::string_view section, std::string_view key,
                      const std::optional<std::string>& value);

std::optional<std::string> ReadString(const std::filesystem::path& file, std::string_view section,
                                      std::string_view key);

// Rewrites the file through a temporary file renamed into place. A new file
// is made readable by its owner only when `ownerOnly`, else 0644; `ownerOnly`
// also takes the other users' access from an existing one. False on failure.
bool WriteString(const std::filesystem::path& file, std::string_view section, std::string_view key,
                 const std::optional<std::string>& value, bool ownerOnly);

}  // namespace qn::profile
