#include "common/helpers.h"

#include <cstdlib>
#include <cstring>

#include "common/registry.h"
#include "platform/paths.h"

std::string GetProgramDirectory() {
  static std::string directory;
  if (directory.empty()) {
    directory = qn::paths::ProgramDir().string();
    if (!directory.empty() && directory.back() != '/') directory += '/';
  }
  return directory;
}

std::string SQLQuote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  out += '\'';
  return out;
}

std::string FormatODBCTimestamp(std::time_t time) {
  std::tm local{};
  localtime_r(&time, &local);
  char buf[64];
  std::strftime(buf, sizeof buf, "{ts '%Y-%m-%d %H:%M:%S'}", &local);
  return buf;
}

std::string SQLBoolLiteral(int flag) {
  // Both modes write 0 for FALSE; only TRUE differs.
  if (flag != 1) return "0";
  return IsOdbcTypeMsSql() ? "1" : "-1";
}

bool DateStringToCTime(const std::string& text, std::time_t& out) {
  const double date = std::strtod(text.c_str(), nullptr);
  if (date == 0.0) return false;
  // An automation DATE counts days from 30 December 1899; the fraction is the
  // time of day. It is taken as local time, through the DOS date and time
  // format (years 1980 to 2107, two-second steps).
  const double days = date;
  long whole = static_cast<long>(days);
  double fraction = days - static_cast<double>(whole);
  if (fraction < 0) fraction = -fraction;
  long seconds = static_cast<long>(fraction * 86400.0 + 0.5);
  if (seconds >= 86400) {
    seconds -= 86400;
    whole += (days >= 0) ? 1 : -1;
  }
  // Civil date of day number `whole` from 1899-12-30.
  std::tm tm{};
  tm.tm_year = 1899 - 1900;
  tm.tm_mon = 11;
  tm.tm_mday = 30 + static_cast<int>(whole);
  tm.tm_hour = 12;  // normalise the date without DST surprises
  timegm(&tm);      // normalises tm fields
  const int year = tm.tm_year + 1900;
  if (year < 1980 || year > 2107) return false;
  std::tm local{};
  local.tm_year = tm.tm_year;
  local.tm_mon = tm.tm_mon;
  local.tm_mday = tm.tm_mday;
  local.tm_hour = static_cast<int>(seconds / 3600);
  local.tm_min = static_cast<int>(seconds / 60 % 60);
  local.tm_sec = static_cast<int>(seconds % 60) / 2 * 2;
  local.tm_isdst = -1;
  const std::time_t t = std::mktime(&local);
  if (t == static_cast<std::time_t>(-1)) return false;
  out = t;
  return true;
}

float GetClientProgramVersion() {
  static float version = -1.0f;
  if (version == -1.0f) version = ReadClientProgramVersion(GetProgramDirectory() + "QUILLNET.EXE");
  return version;
}
