#include "server/services/database_texts.h"

#include <cstdio>
#include <cstdlib>

#include "common/helpers.h"

namespace qn::dbservice {

namespace {

void DropBlanksAndCommas(std::string_view& text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == ',')) text.remove_prefix(1);
}

// `text` begins with a double quote: the position of the closing one, the
// first later quote not preceded by a backslash; npos when there is none.
size_t ClosingQuote(std::string_view text) {
  for (size_t i = 1; i < text.size(); ++i)
    if (text[i] == '"' && text[i - 1] != '\\') return i;
  return std::string_view::npos;
}

std::string Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '"') continue;
    out += text[i];
  }
  return out;
}

int LeadingInt(std::string_view text) { return std::atoi(std::string(text.substr(0, 32)).c_str()); }

// What follows the next comma, else the next blank, else nothing.
std::string_view AfterSeparator(std::string_view text) {
  size_t at = text.find(',');
  if (at == std::string_view::npos) at = text.find(' ');
  return at == std::string_view::npos ? std::string_view() : text.substr(at + 1);
}

}  // namespace

std::vector<std::string> ParseMultipleChoices(std::string_view text) {
  std::vector<std::string> choices;
  for (;;) {
    DropBlanksAndCommas(text);
    if (text.empty() || text.front() != '"') break;
    const size_t close = ClosingQuote(text);
    if (close == std::string_view::npos) break;
    choices.push_back(Unescape(text.substr(1, close - 1)));
    text.remove_prefix(close + 1);
  }
  return choices;
}

bool ParseParams(std::string_view text, std::vector<int>& types, std::vector<std::string>& defaults) {
  types.clear();
  defaults.clear();
  for (;;) {
    DropBlanksAndCommas(text);
    if (text.empty()) return true;
    const int type = LeadingInt(text);
    if (type == 0) return false;
    const size_t colon = text.find(':');
    const size_t comma = text.find(',');
    std::string_view kept = colon != std::string_view::npos && colon < comma ? text.substr(colon)
                                                                            : AfterSeparator(text);
    types.push_back(type);
    std::string value;
    if (!kept.empty() && kept.front() == ':') {
      kept.remove_prefix(1);
      if (!kept.empty() && kept.front() == '$') {
        const size_t end = kept.find(',');
        value = std::string(kept.substr(0, end));
        kept = end == std::string_view::npos ? std::string_view() : kept.substr(end + 1);
      } else if (!kept.empty() && kept.front() == '"') {
        kept.remove_prefix(1);
        const size_t end = kept.find('"');
        value = std::string(kept.substr(0, end));
        kept = end == std::string_view::npos || end + 2 > kept.size() ? std::string_view()
                                                                       : kept.substr(end + 2);
      } else {
        kept = std::string_view();
      }
    }
    defaults.push_back(std::move(value));
    text = kept;
  }
}

bool ParseOutputColumnTypes(std::string_view text, std::vector<int>& types) {
  types.clear();
  for (;;) {
    DropBlanksAndCommas(text);
    if (text.empty()) return true;
    const int type = LeadingInt(text);
    if (type == 0) return false;
    types.push_back(type);
    text = AfterSeparator(text);
  }
}

int ReadAssignmentList(std::string_view text, const std::function<int(const std::string&)>& checkName,
                       const std::function<int(const std::string&, const std::string&)>& take) {
  for (;;) {
    DropBlanksAndCommas(text);
    if (text.empty()) return 0;
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos) return kAssignmentMalformed;
    const std::string name(text.substr(0, equals));
    if (const int code = checkName(name)) return code;
    text.remove_prefix(equals + 1);
    if (text.empty() || text.front() != '"') return kAssignmentMalformed;
    const size_t close = ClosingQuote(text);
    if (close == std::string_view::npos) return kAssignmentMalformed;
    const std::string value = Unescape(text.substr(1, close - 1));
    text.remove_prefix(close + 1);
    if (const int code = take(name, value)) return code;
  }
}

std::string ExpandMacros(std::string_view text, std::string_view userId, bool quoteUserId,
                         std::string_view systemTime) {
  static constexpr std::string_view kUserId = "$USERID";
  static constexpr std::string_view kSystemTime = "$SYSTEMTIME";
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const std::string_view rest = text.substr(i);
    if (rest.substr(0, kUserId.size()) == kUserId) {
      out += quoteUserId ? SQLQuote(userId) : std::string(userId);
      i += kUserId.size();
    } else if (rest.substr(0, kSystemTime.size()) == kSystemTime) {
      out += systemTime;
      i += kSystemTime.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

std::string FormatOleDate(std::time_t time) {
  // The civil local time counted as if it were UTC gives the days and
  // seconds of the local date; 25569 days lie from 30 December 1899 to 1970.
  std::tm local{};
  localtime_r(&time, &local);
  local.tm_sec = local.tm_sec / 2 * 2;
  const long long civil = static_cast<long long>(timegm(&local));
  const long long days = civil >= 0 ? civil / 86400 : (civil - 86399) / 86400;
  const long long seconds = civil - days * 86400;
  char text[64];
  std::snprintf(text, sizeof text, "%f", static_cast<double>(days + 25569) + static_cast<double>(seconds) / 86400.0);
  return text;
}

}  // namespace qn::dbservice
