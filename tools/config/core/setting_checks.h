// The editor's checks of what the operator typed, as pure functions: whole
// numbers in a range (and the arrows beside them), texts the SMTP gateway
// reads, and advertisement names. A check gives the message to show, or
// nothing when the text is good.
#pragma once
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace qn::config {

// Blanks, an optional sign, digits, blanks; nothing else. Numbers beyond 32
// bits are kept, so that the range check names them.
std::optional<int64_t> ParseInteger(std::string_view text);
// "Please enter an integer." or "... between lo and hi.".
std::optional<std::string> CheckInteger(std::string_view text, long lo, long hi);
// The arrows: one step from the typed number (from `lo` when there is
// none), always within the range.
std::string StepInteger(std::string_view text, int delta, long lo, long hi);

// `field` names the setting in the message ("Mail Relay Address").
std::optional<std::string> CheckHostText(std::string_view text, const char* field);
// "Other Local Domains": also refused when the server would stop reading
// the list early; the message names the first domain it would lose.
std::optional<std::string> CheckOtherDomains(const std::string& text);

// Names of an advertisement: no "~" (it splits the name at the next load),
// no TAB and no control characters.
bool IsAdvertisementName(std::string_view name);
// A formatted line fits the list's value buffer with its terminating zero.
bool FitsAdvertisementValue(std::string_view line);

// `format` with its "%s" filled in, in turn.
template <class... Texts>
std::string Format(const char* format, const Texts&... texts) {
  const int size = std::snprintf(nullptr, 0, format, std::string(texts).c_str()...);
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
  std::snprintf(out.data(), out.size() + 1, format, std::string(texts).c_str()...);
  return out;
}

}  // namespace qn::config
