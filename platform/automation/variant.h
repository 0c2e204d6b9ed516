// The automation value: a type tag and one value of that type, as callers and
// objects exchange them. Arrays carry their bounds; a by-reference value
// points at the caller's storage, which the callee writes through.
#pragma once
#include <cstdint>
#include <ctime>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "platform/automation/object.h"
#include "platform/automation/status.h"

namespace qn::automation {

// Type numbers as automation defines them.
enum VarType : uint16_t {
  VT_EMPTY = 0,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_BOOL = 11,
  VT_VARIANT = 12,  // only as an array's element type or a parameter type
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
};

// True for the scalar types a value may hold (not VT_VARIANT, no flags).
bool IsScalarType(uint16_t vt);
// True for the types an array's elements may have.
bool IsElementType(uint16_t vt);

class SafeArray;

// Automation DATE: days since 1899-12-30 00:00 local time; the fraction is
// the time of day (for days before 1899-12-30 too, as automation counts).
struct DateParts {
  int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0;
};
// Years 100 to 9999; false outside.
bool DateFromParts(const DateParts& parts, double* date);
bool PartsFromDate(double date, DateParts* parts);  // rounded to the second
double DateFromTime(std::time_t t);                  // local time
bool TimeFromDate(double date, std::time_t* t);      // local time
// "YYYY-MM-DD HH:MM:SS".
std::string FormatDate(double date);
// "YYYY-MM-DD HH:MM:SS", "YYYY-MM-DD HH:MM" or "YYYY-MM-DD".
bool ParseDate(const std::string& text, double* date);

class Variant {
 public:
  Variant() = default;
  Variant(const Variant& o);
  Variant(Variant&& o) noexcept;
  Variant& operator=(const Variant& o);
  Variant& operator=(Variant&& o) noexcept;
  ~Variant();

  static Variant I1(int8_t v) { return Variant(VT_I1, int64_t{v}); }
  static Variant UI1(uint8_t v) { return Variant(VT_UI1, int64_t{v}); }
  static Variant I2(int16_t v) { return Variant(VT_I2, int64_t{v}); }
  static Variant UI2(uint16_t v) { return Variant(VT_UI2, int64_t{v}); }
  static Variant I4(int32_t v) { return Variant(VT_I4, int64_t{v}); }
  static Variant UI4(uint32_t v) { return Variant(VT_UI4, int64_t{v}); }
  static Variant R4(float v) { return Variant(VT_R4, double{v}); }
  static Variant R8(double v) { return Variant(VT_R8, v); }
  static Variant Date(double v) { return Variant(VT_DATE, v); }
  static Variant Bool(bool v) { return Variant(VT_BOOL, int64_t{v ? -1 : 0}); }
  static Variant Bstr(std::string v);
  static Variant Dispatch(Ref<IDispatch> v);
  static Variant Array(SafeArray array);
  // Points at `target` with its present type; the callee writes through it.
  static Variant ByRef(Variant* target);
  // A zero value of a scalar or element type (an empty string, a null
  // object; EMPTY for VT_VARIANT).
  static Variant Zero(uint16_t vt);

  uint16_t vt() const { return vt_; }
  bool IsEmpty() const { return vt_ == VT_EMPTY; }
  bool IsByRef() const { return (vt_ & VT_BYREF) != 0; }
  bool IsArray() const { return (vt_ & VT_ARRAY) != 0; }
  // The value itself: the target of a by-reference value, else this.
  const Variant& Deref() const;
  Variant& Deref();

  // Readers of the held type (checked by the caller through vt()).
  int64_t Integer() const;  // I1..UI4 and BOOL (-1/0)
  double Real() const;      // R4, R8, DATE
  bool Boolean() const { return Integer() != 0; }
  const std::string& Text() const;
  IDispatch* Object() const;
  const SafeArray& Array() const;
  SafeArray& Array();
  Variant* Target() const;  // of a by-reference value

  // Writes through a by-reference value, converted to the target's type.
  Status Store(const Variant& value);

 private:
  using Value = std::variant<std::monostate, int64_t, double, std::string, Ref<IDispatch>,
                             std::unique_ptr<SafeArray>, Variant*>;
  Variant(uint16_t vt, Value v) : vt_(vt), v_(std::move(v)) {}

  uint16_t vt_ = VT_EMPTY;
  Value v_;
};

// A value as a text (numbers decimal, BOOL -1/0, DATE as FormatDate, arrays
// "," between elements and ";" between rows of two dimensions, objects
// "(object)").
std::string ToText(const Variant& v);

// Converts as automation converts between types: numbers round half to
// even and fail with kOverflow outside the target's range; texts parse as
// numbers, DATEs ("YYYY-MM-DD HH:MM:SS") or BOOLs ("True", "False", a
// number); EMPTY is zero, "" or FALSE; anything else that does not fit is
// kTypeMismatch. A by-reference source converts its target. `to` VT_VARIANT
// takes the value as it is.
Status ChangeType(const Variant& from, uint16_t to, Variant* out);

struct ArrayBound {
  uint32_t count = 0;
  int32_t lower = 0;
};

// An array of one or more dimensions, each with its own lower bound;
// zero-length dimensions are allowed. Elements are stored with the last
// index varying fastest.
class SafeArray {
 public:
  static constexpr size_t kMaxDims = 8;
  static constexpr size_t kMaxElements = size_t{1} << 26;

  // False (and an empty array) for a bad element type, no or too many
  // dimensions, or too many elements.
  static bool Make(uint16_t element, std::vector<ArrayBound> bounds, SafeArray* out);
  SafeArray() = default;

  uint16_t ElementType() const { return element_; }
  size_t Dims() const { return bounds_.size(); }
  const std::vector<ArrayBound>& Bounds() const { return bounds_; }
  size_t Size() const;

  // Indexes are as the bounds say (lower bound first); kInvalidArg outside.
  Status Get(std::span<const int32_t> index, Variant* out) const;
  // Converted to the element type.
  Status Put(std::span<const int32_t> index, const Variant& value);
  Variant GetFlat(size_t i) const;
  Status PutFlat(size_t i, const Variant& value);
  // The bytes of a VT_UI1 or VT_I1 array.
  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  std::vector<uint8_t>& Bytes() { return bytes_; }

 private:
  bool Flat(std::span<const int32_t> index, size_t* flat) const;
  bool IsBytes() const { return element_ == VT_UI1 || element_ == VT_I1; }

  uint16_t element_ = VT_VARIANT;
  std::vector<ArrayBound> bounds_;
  std::vector<Variant> items_;
  std::vector<uint8_t> bytes_;
};

}  // namespace qn::automation
