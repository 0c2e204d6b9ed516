// Automation values: conversions as automation converts, arrays with their
// bounds, DATE both ways, and the frame codec's round trips and refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>

#include "platform/automation/dispatch.h"
#include "platform/automation/wire.h"

using namespace qn::automation;

namespace {

struct Conversion {
  Variant from;
  uint16_t to;
  Status status;
  std::string text;  // ToText of the result when converted
};

TEST(AutomationConversion, ConvertsAsAutomationDoes) {
  const std::vector<Conversion> cases = {
      // Numbers between widths, with range checks.
      {Variant::I4(70000), VT_I2, kOverflow, ""},
      {Variant::I4(-1), VT_UI2, kOverflow, ""},
      {Variant::I4(255), VT_UI1, kOk, "255"},
      {Variant::I4(128), VT_I1, kOverflow, ""},
      {Variant::UI4(4294967295u), VT_I4, kOverflow, ""},
      {Variant::UI4(4294967295u), VT_R8, kOk, "4294967295"},
      // Halves round to the even neighbour.
      {Variant::R8(2.5), VT_I4, kOk, "2"},
      {Variant::R8(3.5), VT_I4, kOk, "4"},
      {Variant::R8(-2.5), VT_I2, kOk, "-2"},
      {Variant::R8(1e300), VT_R4, kOverflow, ""},
      {Variant::R8(1e12), VT_I4, kOverflow, ""},
      // Texts parse as numbers, with blanks around; anything else is refused.
      {Variant::Bstr(" 42 "), VT_I4, kOk, "42"},
      {Variant::Bstr("+7"), VT_I2, kOk, "7"},
      {Variant::Bstr("2.5"), VT_I4, kOk, "2"},
      {Variant::Bstr("99999999999999999999"), VT_I4, kOverflow, ""},
      {Variant::Bstr("12abc"), VT_I4, kTypeMismatch, ""},
      {Variant::Bstr(""), VT_I4, kTypeMismatch, ""},
      {Variant::Bstr("nan"), VT_R8, kTypeMismatch, ""},
      // BOOL is -1 or 0, both ways.
      {Variant::Bool(true), VT_I4, kOk, "-1"},
      {Variant::I2(5), VT_BOOL, kOk, "-1"},
      {Variant::Bstr("False"), VT_BOOL, kOk, "0"},
      {Variant::Bstr("TRUE"), VT_BOOL, kOk, "-1"},
      {Variant::Bstr("0"), VT_BOOL, kOk, "0"},
      {Variant::Bool(false), VT_BSTR, kOk, "0"},
      // EMPTY is zero, an empty text, FALSE.
      {Variant(), VT_I4, kOk, "0"},
      {Variant(), VT_BSTR, kOk, ""},
      {Variant(), VT_BOOL, kOk, "0"},
      // DATE from and to texts and numbers.
      {Variant::Bstr("2024-02-29 13:05:09"), VT_DATE, kOk, "2024-02-29 13:05:09"},
      {Variant::Bstr("2023-02-29"), VT_DATE, kTypeMismatch, ""},
      {Variant::R8(1.5), VT_DATE, kOk, "1899-12-31 12:00:00"},
      {Variant::Date(45000.25), VT_R8, kOk, "45000.25"},
      {Variant::R8(1e7), VT_DATE, kOverflow, ""},
      // Objects and arrays go nowhere else.
      {Variant::Dispatch(nullptr), VT_I4, kTypeMismatch, ""},
      {Variant::I4(1), VT_DISPATCH, kTypeMismatch, ""},
      {Variant(), VT_DISPATCH, kOk, "(nothing)"},
  };
  for (const Conversion& c : cases) {
    Variant out;
    const Status s = ChangeType(c.from, c.to, &out);
    EXPECT_EQ(s, c.status) << ToText(c.from) << " -> " << c.to;
    if (s == kOk) {
      EXPECT_EQ(out.vt(), c.to) << ToText(c.from);
      EXPECT_EQ(ToText(out), c.text) << ToText(c.from) << " -> " << c.to;
    }
  }
}

TEST(AutomationConversion, ByReferenceValuesConvertTheirTargetAndStoreKeepsItsType) {
  Variant target = Variant::I4(7);
  Variant ref = Variant::ByRef(&target);
  EXPECT_EQ(ref.vt(), VT_BYREF | VT_I4);
  Variant text;
  ASSERT_EQ(ChangeType(ref, VT_BSTR, &text), kOk);
  EXPECT_EQ(text.Text(), "7");
  EXPECT_EQ(ref.Store(Variant::Bstr("12")), kOk);
  EXPECT_EQ(target.vt(), VT_I4);
  EXPECT_EQ(target.Integer(), 12);
  EXPECT_EQ(ref.Store(Variant::Bstr("twelve")), kTypeMismatch);
  EXPECT_EQ(target.Integer(), 12);
}

TEST(AutomationDate, PartsTextAndLocalTimeAgree) {
  double d = 0;
  ASSERT_TRUE(ParseDate("1899-12-30 00:00:00", &d));
  EXPECT_EQ(d, 0.0);
  // Before the epoch the day counts down and the time of day up.
  ASSERT_TRUE(ParseDate("1899-12-29 06:00", &d));
  EXPECT_DOUBLE_EQ(d, -1.25);
  EXPECT_EQ(FormatDate(-1.25), "1899-12-29 06:00:00");
  EXPECT_EQ(FormatDate(2958465.0), "9999-12-31 00:00:00");
  EXPECT_EQ(FormatDate(-657434.0), "0100-01-01 00:00:00");
  EXPECT_EQ(FormatDate(-700000.0), "");
  EXPECT_FALSE(ParseDate("2024-13-01", &d));
  EXPECT_FALSE(ParseDate("2024-01-01 24:00", &d));
  EXPECT_FALSE(ParseDate("2024-01-01x", &d));
  // Rounding to the second may carry into the next day.
  EXPECT_EQ(FormatDate(45000.0 + 86399.6 / 86400.0), "2023-03-16 00:00:00");

  const std::time_t t = 1'700'000'000;
  const double local = DateFromTime(t);
  std::time_t back = 0;
  ASSERT_TRUE(TimeFromDate(local, &back));
  EXPECT_EQ(back, t);
  std::tm tm{};
  localtime_r(&t, &tm);
  char expect[32];
  std::strftime(expect, sizeof expect, "%Y-%m-%d %H:%M:%S", &tm);
  EXPECT_EQ(FormatDate(local), expect);
}

TEST(AutomationArray, BoundsIndexesAndZeroLengthDimensions) {
  SafeArray a;
  ASSERT_TRUE(SafeArray::Make(VT_I4, {{3, -1}, {2, 5}}, &a));
  EXPECT_EQ(a.Size(), 6u);
  const int32_t first[] = {-1, 5}, last[] = {1, 6}, outside[] = {2, 5}, below[] = {-1, 4};
  EXPECT_EQ(a.Put(first, Variant::Bstr("10")), kOk);
  EXPECT_EQ(a.Put(last, Variant::R8(2.5)), kOk);
  EXPECT_EQ(a.Put(outside, Variant::I4(1)), kInvalidArg);
  EXPECT_EQ(a.Put(below, Variant::I4(1)), kInvalidArg);
  EXPECT_EQ(a.Put(first, Variant::Bstr("x")), kTypeMismatch);
  Variant v;
  ASSERT_EQ(a.Get(last, &v), kOk);
  EXPECT_EQ(v.vt(), VT_I4);
  EXPECT_EQ(v.Integer(), 2);
  EXPECT_EQ(ToText(Variant::Array(a)), "10,0;0,0;0,2");

  SafeArray empty;
  ASSERT_TRUE(SafeArray::Make(VT_VARIANT, {{0, 0}, {3, 0}}, &empty));
  EXPECT_EQ(empty.Size(), 0u);
  const int32_t none[] = {0, 0};
  EXPECT_EQ(empty.Get(none, &v), kInvalidArg);

  SafeArray bytes;
  ASSERT_TRUE(SafeArray::Make(VT_UI1, {{2, 0}}, &bytes));
  EXPECT_EQ(bytes.PutFlat(1, Variant::I4(300)), kOverflow);
  EXPECT_EQ(bytes.PutFlat(1, Variant::I4(200)), kOk);
  EXPECT_EQ(bytes.Bytes()[1], 200);

  SafeArray bad;
  EXPECT_FALSE(SafeArray::Make(VT_EMPTY, {{1, 0}}, &bad));
  EXPECT_FALSE(SafeArray::Make(VT_I4, {}, &bad));
  EXPECT_FALSE(SafeArray::Make(VT_I4, {{1u << 20, 0}, {1u << 20, 0}}, &bad));
  EXPECT_FALSE(SafeArray::Make(VT_I4, {{2, INT32_MAX}}, &bad));
}

// ---- The frame codec ----------------------------------------------------------

// Objects as plain numbers, so frames can be checked without a peer.
class NumberedObjects : public wire::ObjectMarshal {
 public:
  void Export(IDispatch* object, uint32_t* handle, bool* peersOwn) override {
    *handle = static_cast<uint32_t>(exported.size() + 1);
    *peersOwn = false;
    exported.push_back(object);
  }
  bool Import(uint32_t handle, bool mine, Ref<IDispatch>* out) override {
    if (mine || handle > known.size()) return false;
    *out = known[handle - 1];
    return true;
  }
  std::vector<IDispatch*> exported;
  std::vector<Ref<IDispatch>> known;
};

class Nothing : public IDispatch {
 public:
  Status GetIDOfName(const std::string&, DispId*) override { return kUnknownName; }
  Status Invoke(DispId, uint16_t, std::vector<Variant>&, Variant*, ExcepInfo*) override {
    return kMemberNotFound;
  }
};

bool DecodeFrame(const std::string& frame, wire::ObjectMarshal& m, wire::Message* out) {
  uint32_t length = 0;
  std::memcpy(&length, frame.data(), 4);
  if (length + 4 != frame.size()) return false;
  return wire::Decode(reinterpret_cast<const uint8_t*>(frame.data()) + 4, length, m, out);
}

TEST(AutomationWire, InvokeAndResultCarryEveryTypeArraysObjectsAndReferences) {
  NumberedObjects marshal;
  auto object = MakeRef<Nothing>();
  marshal.known.push_back(object);
  SafeArray inner;
  ASSERT_TRUE(SafeArray::Make(VT_VARIANT, {{2, 0}, {3, 1}}, &inner));
  inner.PutFlat(0, Variant::Bstr("app"));
  inner.PutFlat(5, Variant::I4(-9));
  SafeArray bytes;
  ASSERT_TRUE(SafeArray::Make(VT_UI1, {{3, 0}}, &bytes));
  bytes.Bytes() = {0, 255, 7};
  Variant out = Variant::Bstr("initial");
  std::vector<Variant> args = {
      Variant::I1(-5), Variant::UI1(250), Variant::I2(-300), Variant::UI2(60000),
      Variant::I4(-70000), Variant::UI4(4000000000u), Variant::R4(1.5f), Variant::R8(-2.25),
      Variant::Date(45000.5), Variant::Bstr(std::string("a\0b", 3)), Variant::Bool(true),
      Variant(), Variant::Dispatch(object), Variant::Dispatch(nullptr), Variant::Array(inner),
      Variant::Array(bytes), Variant::ByRef(&out)};
  std::string frame;
  ASSERT_TRUE(wire::EncodeInvoke(frame, marshal, 9, 4, 10, DISPATCH_METHOD, 0, args));
  wire::Message m;
  ASSERT_TRUE(DecodeFrame(frame, marshal, &m));
  EXPECT_EQ(m.type, wire::kInvoke);
  EXPECT_EQ(m.call, 9u);
  EXPECT_EQ(m.object, 4u);
  EXPECT_EQ(m.dispid, 10);
  ASSERT_EQ(m.args.size(), args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    EXPECT_EQ(m.args[i].vt(), args[i].Deref().vt()) << i;
    EXPECT_EQ(ToText(m.args[i]), ToText(args[i])) << i;
    EXPECT_EQ(m.byRef[i], i == args.size() - 1) << i;
  }
  EXPECT_EQ(m.args[12].Object(), object.get());
  EXPECT_EQ(m.args[9].Text().size(), 3u);
  EXPECT_EQ(m.args[14].Array().Bounds()[1].lower, 1);

  frame.clear();
  ExcepInfo none;
  ASSERT_TRUE(wire::EncodeResult(frame, marshal, 9, kOk, Variant::I4(3), {Variant::Bstr("x")}, none));
  wire::Message r;
  ASSERT_TRUE(DecodeFrame(frame, marshal, &r));
  EXPECT_EQ(r.result.Integer(), 3);
  ASSERT_EQ(r.byRefValues.size(), 1u);
  EXPECT_EQ(r.byRefValues[0].Text(), "x");

  frame.clear();
  ExcepInfo raised{101, "src", "Quillnet text"};
  ASSERT_TRUE(wire::EncodeResult(frame, marshal, 2, kException, Variant(), {}, raised));
  wire::Message e;
  ASSERT_TRUE(DecodeFrame(frame, marshal, &e));
  EXPECT_EQ(e.status, kException);
  EXPECT_EQ(e.exception.code, 101);
  EXPECT_EQ(e.exception.description, "Quillnet text");
}

TEST(AutomationWire, MalformedBodiesAreRefused) {
  NumberedObjects marshal;
  auto body = [](std::initializer_list<uint8_t> bytes) { return std::vector<uint8_t>(bytes); };
  const std::map<std::string, std::vector<uint8_t>> bad = {
      {"empty", body({})},
      {"unknown type", body({9, 0, 0, 0, 0})},
      {"short create", body({wire::kCreate, 1, 0, 0})},
      {"string longer than the frame", body({wire::kCreate, 1, 0, 0, 0, 200, 0, 0, 0, 'x'})},
      {"trailing bytes", body({wire::kRelease, 1, 0, 0, 0, 1, 0, 0, 0, 0})},
      // An invoke claiming more arguments than bytes.
      {"argument count", body({wire::kInvoke, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0xFF, 0xFF})},
      // An argument of an unknown type (VT_NULL).
      {"value type", body({wire::kInvoke, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 1, 0, 1, 0})},
      // An array claiming 2^32-1 elements in a few bytes.
      {"array count", body({wire::kResult, 1, 0, 0, 0, 0, 0, 0, 0, 3, 0x20, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0})},
      {"array dims", body({wire::kResult, 1, 0, 0, 0, 0, 0, 0, 0, 3, 0x20, 0})},
      // An object handle the receiver never gave out.
      {"unknown object", body({wire::kResult, 1, 0, 0, 0, 0, 0, 0, 0, 9, 0, 5, 0, 0, 0, 0, 0, 0})},
      {"own handle", body({wire::kResult, 1, 0, 0, 0, 0, 0, 0, 0, 9, 0, 5, 0, 0, 0, 1, 0, 0})},
  };
  for (const auto& [name, bytes] : bad) {
    wire::Message m;
    EXPECT_FALSE(wire::Decode(bytes.data(), bytes.size(), marshal, &m)) << name;
  }

  // Arrays of VARIANTs nested past the depth limit.
  std::vector<uint8_t> deep = {wire::kResult, 1, 0, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i <= wire::kMaxDepth + 1; ++i) {
    const uint8_t level[] = {12, 0x20, 1, 1, 0, 0, 0, 0, 0, 0, 0};
    deep.insert(deep.end(), std::begin(level), std::end(level));
  }
  deep.insert(deep.end(), {3, 0, 1, 0, 0, 0, 0, 0});
  wire::Message m;
  EXPECT_FALSE(wire::Decode(deep.data(), deep.size(), marshal, &m));
}

TEST(AutomationWire, FramesPastTheLimitAreNotMadeAndExportsAreReported) {
  NumberedObjects marshal;
  auto object = MakeRef<Nothing>();
  std::string frame = "kept";
  std::vector<Variant> args = {Variant::Dispatch(object), Variant::Bstr(std::string(wire::kMaxFrame, 'x'))};
  EXPECT_FALSE(wire::EncodeInvoke(frame, marshal, 1, 1, 1, DISPATCH_METHOD, 0, args));
  EXPECT_EQ(frame, "kept");
  // The caller learns what was exported, to take it back.
  EXPECT_EQ(marshal.exported.size(), 1u);
}

}  // namespace
