#include "common/helpers.h"

#include <strings.h>

#include <cctype>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <mutex>

#include "common/registry.h"
#include "platform/path_layer.h"
#include "platform/paths.h"
#include "platform/pe_version.h"

namespace {

// The decimal number at the start of the text as the C library reads it
// (leading blanks, a sign, digits, a fraction, an exponent), but never in
// the locale's notation nor as the hexadecimal, infinity or NaN forms that
// the program's own texts never mean. 0 when there is no number.
double DecimalValue(const char* text) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (!std::isdigit(static_cast<unsigned char>(*p)) &&
      !(*p == '.' && std::isdigit(static_cast<unsigned char>(p[1]))))
    return 0.0;
  const char* end = p;
  while (*end != '\0') ++end;
  double value = 0.0;
  auto [stop, error] = std::from_chars(p, end, value, std::chars_format::general);
  if (error == std::errc::result_out_of_range) return negative ? -HUGE_VAL : HUGE_VAL;
  if (error != std::errc()) return 0.0;
  return negative ? -value : value;
}

// Days from 1 January 1970 of a civil date (proleptic Gregorian).
long DaysFromCivil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

void CivilFromDays(long z, int& y, int& m, int& d) {
  z += 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<long>(yoe) + era * 400 + (m <= 2));
}

}  // namespace

std::string GetProgramDirectory() {
  // Derived from $QN_ROOT on each call, which costs little and follows a
  // test's change of root.
  std::string directory = qn::paths::ProgramDir().string();
  if (directory.empty() || directory.back() != '/') directory += '/';
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
  CQuillnetRegistry registry;
  const std::string type = registry.ReadString("General", "ODBCType", "MSAccess");
  if (strcasecmp(type.c_str(), "MSAccess") == 0) return flag == 1 ? "-1" : "0";
  return flag == 1 ? "1" : "0";
}

bool DateStringToCTime(const std::string& text, std::time_t& out) {
  // An automation DATE counts days from 30 December 1899, its fraction the
  // time of day. The DOS date and time format holds 1980 to 2107 in
  // two-second steps, read as local time.
  const double date = DecimalValue(text.c_str());
  if (date == 0.0 || !std::isfinite(date)) return false;
  const long epoch = DaysFromCivil(1899, 12, 30);
  if (date < static_cast<double>(DaysFromCivil(1980, 1, 1) - epoch) ||
      date >= static_cast<double>(DaysFromCivil(2108, 1, 1) - epoch))
    return false;
  long day = static_cast<long>(date);
  long seconds = std::lround((date - static_cast<double>(day)) * 86400.0);
  if (seconds >= 86400) {
    seconds -= 86400;
    ++day;
  }
  int year, month, mday;
  CivilFromDays(day + epoch, year, month, mday);
  if (year > 2107) return false;
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = mday;
  local.tm_hour = static_cast<int>(seconds / 3600);
  local.tm_min = static_cast<int>(seconds / 60 % 60);
  local.tm_sec = static_cast<int>(seconds % 60) / 2 * 2;
  local.tm_isdst = -1;
  const std::time_t t = std::mktime(&local);
  if (t == static_cast<std::time_t>(-1)) return false;
  out = t;
  return true;
}

float ReadClientProgramVersion(const std::string& path) {
  auto comments = qn::pe::VersionStringFromFile(qn::path::FindExistingNoCase(path), "Comments");
  if (!comments) return 0.0f;
  const size_t v = comments->find('V');
  if (v == std::string::npos) return 0.0f;
  const double value = DecimalValue(comments->c_str() + v + 1);
  if (!std::isfinite(value) || std::fabs(value) > FLT_MAX) return 0.0f;
  return static_cast<float>(value);
}

float GetClientProgramVersion() {
  // Once per program directory: a failed read is not repeated, and a test
  // that moves to another root reads that root's file.
  static std::mutex lock;
  static std::string readFrom;
  static float version = -1.0f;
  const std::string directory = GetProgramDirectory();
  std::lock_guard<std::mutex> guard(lock);
  if (version == -1.0f || readFrom != directory) {
    version = ReadClientProgramVersion(directory + "QUILLNET.EXE");
    readFrom = directory;
  }
  return version;
}
