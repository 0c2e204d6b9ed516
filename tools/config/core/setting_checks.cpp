#include "tools/config/core/setting_checks.h"

#include <algorithm>
#include <cstdio>

#include "server/mail/smtp_domains.h"
#include "tools/config/core/config_texts.h"

namespace qn::config {

namespace {

constexpr size_t kMaxHostName = 253;
constexpr size_t kMaxAdvertisementLine = 199;  // the list's 200-byte buffer, less the zero

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

std::optional<int64_t> ParseInteger(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && IsBlank(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
  const size_t digits = at;
  int64_t value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
    value = std::min<int64_t>(value * 10 + (text[at] - '0'), int64_t{1} << 40);
  if (at == digits) return std::nullopt;
  while (at < text.size() && IsBlank(text[at])) ++at;
  if (at != text.size()) return std::nullopt;
  return negative ? -value : value;
}

std::optional<std::string> CheckInteger(std::string_view text, long lo, long hi) {
  const auto value = ParseInteger(text);
  if (!value) return std::string(texts::kEnterInteger);
  if (*value >= lo && *value <= hi) return std::nullopt;
  char message[128];
  std::snprintf(message, sizeof message, texts::kEnterIntegerBetween, lo, hi);
  return std::string(message);
}

std::string StepInteger(std::string_view text, int delta, long lo, long hi) {
  const int64_t from = ParseInteger(text).value_or(lo);
  return std::to_string(std::clamp<int64_t>(from + delta, lo, hi));
}

std::optional<std::string> CheckHostText(std::string_view text, const char* field) {
  if (std::any_of(text.begin(), text.end(), [](char c) { return IsControl(static_cast<unsigned char>(c)); }))
    return Format(texts::kControlCharacters, field);
  // Names are what lies between the separators the gateway knows.
  size_t start = 0;
  for (size_t at = 0; at <= text.size(); ++at) {
    if (at < text.size() && text[at] != ',' && !IsBlank(text[at])) continue;
    if (at - start > kMaxHostName) return Format(texts::kNameTooLong, field);
    start = at + 1;
  }
  return std::nullopt;
}

std::optional<std::string> CheckOtherDomains(const std::string& text) {
  if (auto refused = CheckHostText(text, texts::kOtherDomainsField)) return refused;
  const size_t read = smtp::ParseAdditionalDomains(text).size();
  // Every name in the text, as a reader that skips empty entries sees them.
  size_t count = 0;
  for (size_t at = 0; at < text.size();) {
    while (at < text.size() && (text[at] == ',' || IsBlank(text[at]))) ++at;
    if (at == text.size()) break;
    size_t end = at;
    while (end < text.size() && text[end] != ',' && !IsBlank(text[end])) ++end;
    if (count++ == read) return Format(texts::kDomainsCutShort, text.substr(at, end - at));
    at = end;
  }
  return std::nullopt;
}

bool IsAdvertisementName(std::string_view name) {
  return std::none_of(name.begin(), name.end(),
                      [](char c) { return c == '~' || IsControl(static_cast<unsigned char>(c)); });
}

bool FitsAdvertisementValue(std::string_view line) { return line.size() <= kMaxAdvertisementLine; }

}  // namespace qn::config
