#include "platform/automation/variant.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/automation/dispatch.h"

namespace qn::automation {

std::string StatusText(Status s) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", s);
  return buf;
}

bool IsScalarType(uint16_t vt) {
  switch (vt) {
    case VT_EMPTY: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_DATE: case VT_BSTR:
    case VT_DISPATCH: case VT_BOOL: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4:
      return true;
    default:
      return false;
  }
}

bool IsElementType(uint16_t vt) { return vt == VT_VARIANT || (IsScalarType(vt) && vt != VT_EMPTY); }

// ---- DATE -------------------------------------------------------------------

namespace {

// Days from 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (*m <= 2));
}

// 1899-12-30 counted from 1970-01-01.
constexpr int64_t kDateEpochDays = -25569;
constexpr double kMinDate = -657434.0;          // 0100-01-01
constexpr double kMaxDate = 2958465.99999999;   // 9999-12-31 23:59:59

bool ValidParts(const DateParts& p) {
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (p.year < 100 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1) return false;
  if (p.day > kDays[p.month - 1]) return false;
  const bool leap = (p.year % 4 == 0 && p.year % 100 != 0) || p.year % 400 == 0;
  if (p.month == 2 && p.day == 29 && !leap) return false;
  return p.hour >= 0 && p.hour < 24 && p.minute >= 0 && p.minute < 60 && p.second >= 0 &&
         p.second < 60;
}

}  // namespace

bool DateFromParts(const DateParts& p, double* date) {
  if (!ValidParts(p)) return false;
  const int64_t days = DaysFromCivil(p.year, static_cast<unsigned>(p.month),
                                     static_cast<unsigned>(p.day)) - kDateEpochDays;
  const double frac = (p.hour * 3600 + p.minute * 60 + p.second) / 86400.0;
  // Before the epoch the day counts down while the time of day still counts up.
  *date = days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
  return true;
}

bool PartsFromDate(double date, DateParts* parts) {
  if (!(date >= kMinDate && date <= kMaxDate)) return false;
  double whole = std::trunc(date);
  int64_t seconds = std::llround(std::fabs(date - whole) * 86400.0);
  int64_t days = static_cast<int64_t>(whole);
  if (seconds >= 86400) {  // rounded up into the next day
    seconds -= 86400;
    days += date >= 0 ? 1 : -1;
  }
  CivilFromDays(days + kDateEpochDays, &parts->year, &parts->month, &parts->day);
  parts->hour = static_cast<int>(seconds / 3600);
  parts->minute = static_cast<int>(seconds / 60 % 60);
  parts->second = static_cast<int>(seconds % 60);
  return parts->year >= 100 && parts->year <= 9999;
}

double DateFromTime(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  DateParts p{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
              tm.tm_sec > 59 ? 59 : tm.tm_sec};
  double date = 0;
  DateFromParts(p, &date);
  return date;
}

bool TimeFromDate(double date, std::time_t* t) {
  DateParts p;
  if (!PartsFromDate(date, &p)) return false;
  std::tm tm{};
  tm.tm_year = p.year - 1900;
  tm.tm_mon = p.month - 1;
  tm.tm_mday = p.day;
  tm.tm_hour = p.hour;
  tm.tm_min = p.minute;
  tm.tm_sec = p.second;
  tm.tm_isdst = -1;
  *t = std::mktime(&tm);
  return true;
}

std::string FormatDate(double date) {
  DateParts p;
  if (!PartsFromDate(date, &p)) return "";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour,
                p.minute, p.second);
  return buf;
}

bool ParseDate(const std::string& text, double* date) {
  DateParts p;
  p.hour = p.minute = p.second = 0;
  int used = 0;
  const char* s = text.c_str();
  if (std::sscanf(s, "%4d-%2d-%2d%n", &p.year, &p.month, &p.day, &used) != 3 || used != 10)
    return false;
  if (text.size() > 10) {
    int more = 0;
    if (std::sscanf(s + 10, " %2d:%2d%n", &p.hour, &p.minute, &more) != 2) return false;
    used += more;
    if (text.size() > static_cast<size_t>(used)) {
      int last = 0;
      if (std::sscanf(s + used, ":%2d%n", &p.second, &last) != 1) return false;
      used += last;
    }
    if (static_cast<size_t>(used) != text.size()) return false;
  }
  return DateFromParts(p, date);
}

// ---- Variant ----------------------------------------------------------------

Variant::Variant(const Variant& o) : vt_(o.vt_) {
  if (const auto* a = std::get_if<std::unique_ptr<SafeArray>>(&o.v_))
    v_ = std::make_unique<SafeArray>(**a);
  else if (const auto* i = std::get_if<int64_t>(&o.v_)) v_ = *i;
  else if (const auto* d = std::get_if<double>(&o.v_)) v_ = *d;
  else if (const auto* s = std::get_if<std::string>(&o.v_)) v_ = *s;
  else if (const auto* r = std::get_if<Ref<IDispatch>>(&o.v_)) v_ = *r;
  else if (const auto* p = std::get_if<Variant*>(&o.v_)) v_ = *p;
}

Variant& Variant::operator=(const Variant& o) {
  if (this != &o) *this = Variant(o);
  return *this;
}

Variant::~Variant() = default;
Variant::Variant(Variant&& o) noexcept = default;
Variant& Variant::operator=(Variant&& o) noexcept = default;

Variant Variant::Bstr(std::string v) { return Variant(VT_BSTR, std::move(v)); }
Variant Variant::Dispatch(Ref<IDispatch> v) { return Variant(VT_DISPATCH, std::move(v)); }

Variant Variant::Array(SafeArray array) {
  const uint16_t vt = VT_ARRAY | array.ElementType();
  return Variant(vt, std::make_unique<SafeArray>(std::move(array)));
}

Variant Variant::ByRef(Variant* target) {
  return Variant(static_cast<uint16_t>(VT_BYREF | target->vt()), target);
}

Variant Variant::Zero(uint16_t vt) {
  switch (vt) {
    case VT_R4: case VT_R8: case VT_DATE: return Variant(vt, 0.0);
    case VT_BSTR: return Bstr("");
    case VT_DISPATCH: return Dispatch(nullptr);
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: case VT_BOOL:
      return Variant(vt, int64_t{0});
    default: return Variant();
  }
}

const Variant& Variant::Deref() const { return IsByRef() ? *std::get<Variant*>(v_) : *this; }
Variant& Variant::Deref() { return IsByRef() ? *std::get<Variant*>(v_) : *this; }

int64_t Variant::Integer() const {
  const auto* i = std::get_if<int64_t>(&v_);
  return i ? *i : 0;
}

double Variant::Real() const {
  const auto* d = std::get_if<double>(&v_);
  return d ? *d : 0.0;
}

const std::string& Variant::Text() const {
  static const std::string kEmpty;
  const auto* s = std::get_if<std::string>(&v_);
  return s ? *s : kEmpty;
}

IDispatch* Variant::Object() const {
  const auto* r = std::get_if<Ref<IDispatch>>(&v_);
  return r ? r->get() : nullptr;
}

const SafeArray& Variant::Array() const { return *std::get<std::unique_ptr<SafeArray>>(v_); }
SafeArray& Variant::Array() { return *std::get<std::unique_ptr<SafeArray>>(v_); }

Variant* Variant::Target() const {
  const auto* p = std::get_if<Variant*>(&v_);
  return p ? *p : nullptr;
}

Status Variant::Store(const Variant& value) {
  Variant* target = Target();
  if (target == nullptr) return kTypeMismatch;
  Variant converted;
  const Status s = ChangeType(value, target->vt(), &converted);
  if (s != kOk) return s;
  *target = std::move(converted);
  return kOk;
}

// ---- Conversions ------------------------------------------------------------

namespace {

bool IsIntegerType(uint16_t vt) {
  return vt == VT_I1 || vt == VT_UI1 || vt == VT_I2 || vt == VT_UI2 || vt == VT_I4 ||
         vt == VT_UI4;
}

void IntegerRange(uint16_t vt, int64_t* lo, int64_t* hi) {
  switch (vt) {
    case VT_I1: *lo = INT8_MIN; *hi = INT8_MAX; break;
    case VT_UI1: *lo = 0; *hi = UINT8_MAX; break;
    case VT_I2: *lo = INT16_MIN; *hi = INT16_MAX; break;
    case VT_UI2: *lo = 0; *hi = UINT16_MAX; break;
    case VT_I4: *lo = INT32_MIN; *hi = INT32_MAX; break;
    default: *lo = 0; *hi = UINT32_MAX; break;
  }
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool ParseNumber(const std::string& text, double* out) {
  const std::string t = Trim(text);
  if (t.empty()) return false;
  const char* b = t.c_str();
  if (*b == '+') ++b;
  const char* e = t.c_str() + t.size();
  auto [p, ec] = std::from_chars(b, e, *out);
  return ec == std::errc() && p == e && std::isfinite(*out);
}

std::string RealText(double d, bool single) {
  char buf[64];
  auto r = single ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(d))
                  : std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

// A scalar as a number; false for texts that are not numbers, objects.
Status AsNumber(const Variant& v, double* out, bool* exactInteger, int64_t* integer) {
  *exactInteger = false;
  switch (v.vt()) {
    case VT_EMPTY: *exactInteger = true; *integer = 0; *out = 0; return kOk;
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: case VT_BOOL:
      *exactInteger = true;
      *integer = v.Integer();
      *out = static_cast<double>(*integer);
      return kOk;
    case VT_R4: case VT_R8: case VT_DATE: *out = v.Real(); return kOk;
    case VT_BSTR: {
      const std::string t = Trim(v.Text());
      int64_t i = 0;
      auto [p, ec] = std::from_chars(t.data() + (!t.empty() && t[0] == '+'), t.data() + t.size(), i);
      if (!t.empty() && ec == std::errc() && p == t.data() + t.size()) {
        *exactInteger = true;
        *integer = i;
        *out = static_cast<double>(i);
        return kOk;
      }
      if (ec == std::errc::result_out_of_range) return kOverflow;
      return ParseNumber(v.Text(), out) ? kOk : kTypeMismatch;
    }
    default: return kTypeMismatch;
  }
}

bool CaseEquals(const std::string& a, const char* b) {
  const size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

Status ChangeType(const Variant& source, uint16_t to, Variant* out) {
  const Variant& from = source.Deref();
  if (to == VT_VARIANT || from.vt() == to) {
    *out = from;
    return kOk;
  }
  if (from.IsArray() || (to & (VT_ARRAY | VT_BYREF)) != 0) return kTypeMismatch;
  if (to == VT_DISPATCH) {
    if (from.IsEmpty()) {
      *out = Variant::Dispatch(nullptr);
      return kOk;
    }
    return kTypeMismatch;
  }
  if (from.vt() == VT_DISPATCH) return kTypeMismatch;

  if (to == VT_EMPTY) {
    *out = Variant();
    return kOk;
  }
  if (to == VT_BSTR) {
    switch (from.vt()) {
      case VT_EMPTY: *out = Variant::Bstr(""); return kOk;
      case VT_R4: *out = Variant::Bstr(RealText(from.Real(), true)); return kOk;
      case VT_R8: *out = Variant::Bstr(RealText(from.Real(), false)); return kOk;
      case VT_DATE: {
        const std::string text = FormatDate(from.Real());
        if (text.empty()) return kOverflow;
        *out = Variant::Bstr(text);
        return kOk;
      }
      default: *out = Variant::Bstr(std::to_string(from.Integer())); return kOk;
    }
  }
  if (to == VT_BOOL) {
    if (from.vt() == VT_BSTR) {
      const std::string t = Trim(from.Text());
      if (CaseEquals(t, "true") || CaseEquals(t, "#true#")) { *out = Variant::Bool(true); return kOk; }
      if (CaseEquals(t, "false") || CaseEquals(t, "#false#")) { *out = Variant::Bool(false); return kOk; }
    }
    double d = 0;
    bool exact = false;
    int64_t i = 0;
    const Status s = AsNumber(from, &d, &exact, &i);
    if (s != kOk) return s;
    *out = Variant::Bool(exact ? i != 0 : d != 0.0);
    return kOk;
  }
  if (to == VT_DATE && from.vt() == VT_BSTR) {
    double date = 0;
    if (ParseDate(Trim(from.Text()), &date)) {
      *out = Variant::Date(date);
      return kOk;
    }
  }

  double d = 0;
  bool exact = false;
  int64_t i = 0;
  const Status s = AsNumber(from, &d, &exact, &i);
  if (s != kOk) return s;
  if (IsIntegerType(to)) {
    if (!exact) {
      // Halves go to the even neighbour, as automation rounds.
      const double r = std::nearbyint(d);
      if (!std::isfinite(r) || r < -9.3e18 || r > 9.3e18) return kOverflow;
      i = static_cast<int64_t>(r);
    }
    int64_t lo = 0, hi = 0;
    IntegerRange(to, &lo, &hi);
    if (i < lo || i > hi) return kOverflow;
    switch (to) {
      case VT_I1: *out = Variant::I1(static_cast<int8_t>(i)); break;
      case VT_UI1: *out = Variant::UI1(static_cast<uint8_t>(i)); break;
      case VT_I2: *out = Variant::I2(static_cast<int16_t>(i)); break;
      case VT_UI2: *out = Variant::UI2(static_cast<uint16_t>(i)); break;
      case VT_I4: *out = Variant::I4(static_cast<int32_t>(i)); break;
      default: *out = Variant::UI4(static_cast<uint32_t>(i)); break;
    }
    return kOk;
  }
  switch (to) {
    case VT_R4:
      if (std::fabs(d) > std::numeric_limits<float>::max()) return kOverflow;
      *out = Variant::R4(static_cast<float>(d));
      return kOk;
    case VT_R8: *out = Variant::R8(d); return kOk;
    case VT_DATE:
      if (!(d >= kMinDate && d <= kMaxDate)) return kOverflow;
      *out = Variant::Date(d);
      return kOk;
    default: return kTypeMismatch;
  }
}

std::string ToText(const Variant& source) {
  const Variant& v = source.Deref();
  if (v.IsArray()) {
    const SafeArray& a = v.Array();
    const size_t rowLength = a.Dims() >= 2 ? a.Bounds().back().count : 0;
    std::string text;
    for (size_t i = 0; i < a.Size(); ++i) {
      if (i > 0) text += (rowLength != 0 && i % rowLength == 0) ? ";" : ",";
      text += ToText(a.GetFlat(i));
    }
    return text;
  }
  switch (v.vt()) {
    case VT_EMPTY: return "";
    case VT_DISPATCH: return v.Object() ? "(object)" : "(nothing)";
    case VT_DATE: return FormatDate(v.Real());
    case VT_BSTR: return v.Text();
    default: {
      Variant text;
      return ChangeType(v, VT_BSTR, &text) == kOk ? text.Text() : "";
    }
  }
}

// ---- SafeArray --------------------------------------------------------------

bool SafeArray::Make(uint16_t element, std::vector<ArrayBound> bounds, SafeArray* out) {
  *out = SafeArray();
  if (!IsElementType(element) || bounds.empty() || bounds.size() > kMaxDims) return false;
  size_t total = 1;
  for (const ArrayBound& b : bounds) {
    if (b.count > kMaxElements) return false;
    total *= b.count;
    if (total > kMaxElements) return false;
    // The upper bound must be representable.
    if (b.count > 0 && static_cast<int64_t>(b.lower) + b.count - 1 > INT32_MAX) return false;
  }
  out->element_ = element;
  out->bounds_ = std::move(bounds);
  if (out->IsBytes())
    out->bytes_.assign(total, 0);
  else
    out->items_.assign(total, Variant::Zero(element));
  return true;
}

size_t SafeArray::Size() const {
  if (bounds_.empty()) return 0;
  size_t total = 1;
  for (const ArrayBound& b : bounds_) total *= b.count;
  return total;
}

bool SafeArray::Flat(std::span<const int32_t> index, size_t* flat) const {
  if (index.size() != bounds_.size() || bounds_.empty()) return false;
  size_t f = 0;
  for (size_t d = 0; d < bounds_.size(); ++d) {
    const int64_t offset = static_cast<int64_t>(index[d]) - bounds_[d].lower;
    if (offset < 0 || offset >= bounds_[d].count) return false;
    f = f * bounds_[d].count + static_cast<size_t>(offset);
  }
  *flat = f;
  return true;
}

Status SafeArray::Get(std::span<const int32_t> index, Variant* out) const {
  size_t f = 0;
  if (!Flat(index, &f)) return kInvalidArg;
  *out = GetFlat(f);
  return kOk;
}

Status SafeArray::Put(std::span<const int32_t> index, const Variant& value) {
  size_t f = 0;
  if (!Flat(index, &f)) return kInvalidArg;
  return PutFlat(f, value);
}

Variant SafeArray::GetFlat(size_t i) const {
  if (IsBytes()) {
    if (i >= bytes_.size()) return Variant();
    return element_ == VT_UI1 ? Variant::UI1(bytes_[i])
                              : Variant::I1(static_cast<int8_t>(bytes_[i]));
  }
  return i < items_.size() ? items_[i] : Variant();
}

Status SafeArray::PutFlat(size_t i, const Variant& value) {
  if (i >= Size()) return kInvalidArg;
  Variant converted;
  Status s = kOk;
  if (element_ == VT_VARIANT) {
    // An element holds a value, never a reference into the caller.
    converted = value.Deref();
  } else {
    s = ChangeType(value, element_, &converted);
    if (s != kOk) return s;
  }
  if (IsBytes())
    bytes_[i] = static_cast<uint8_t>(converted.Integer());
  else
    items_[i] = std::move(converted);
  return kOk;
}

}  // namespace qn::automation
