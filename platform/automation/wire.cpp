#include "platform/automation/wire.h"

#include <algorithm>
#include <cstring>

namespace qn::automation::wire {

namespace {

class Writer {
 public:
  explicit Writer(std::string& out) : out_(out), start_(out.size()) { U32(0); }
  void U8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void U16(uint16_t v) { Raw(&v, 2); }
  void U32(uint32_t v) { Raw(&v, 4); }
  void I32(int32_t v) { Raw(&v, 4); }
  void F32(float v) { Raw(&v, 4); }
  void F64(double v) { Raw(&v, 8); }
  void Str(const std::string& s) {
    U32(static_cast<uint32_t>(s.size()));
    out_.append(s);
  }
  // Fills in the length; false (and the frame taken back) when too large.
  bool Finish() {
    const size_t body = out_.size() - start_ - 4;
    if (body > kMaxFrame) {
      out_.resize(start_);
      return false;
    }
    const uint32_t n = static_cast<uint32_t>(body);
    std::memcpy(&out_[start_], &n, 4);
    return true;
  }
  void Abandon() { out_.resize(start_); }
  // Far past the limit already: stop encoding early.
  bool Overfull() const { return out_.size() - start_ > kMaxFrame + 4; }

 private:
  // The wire is little-endian, as is every machine the system runs on.
  void Raw(const void* p, size_t n) { out_.append(static_cast<const char*>(p), n); }
  std::string& out_;
  size_t start_;
};

bool WriteScalar(Writer& w, ObjectMarshal& m, uint16_t vt, const Variant& v) {
  switch (vt) {
    case VT_EMPTY: return true;
    case VT_I1: case VT_UI1: w.U8(static_cast<uint8_t>(v.Integer())); return true;
    case VT_I2: case VT_UI2: case VT_BOOL: w.U16(static_cast<uint16_t>(v.Integer())); return true;
    case VT_I4: case VT_UI4: w.U32(static_cast<uint32_t>(v.Integer())); return true;
    case VT_R4: w.F32(static_cast<float>(v.Real())); return true;
    case VT_R8: case VT_DATE: w.F64(v.Real()); return true;
    case VT_BSTR: w.Str(v.Text()); return true;
    case VT_DISPATCH: {
      uint32_t handle = 0;
      bool peersOwn = false;
      if (v.Object() != nullptr) m.Export(v.Object(), &handle, &peersOwn);
      w.U32(handle);
      w.U8(peersOwn ? 1 : 0);
      return true;
    }
    default: return false;
  }
}

bool WriteValue(Writer& w, ObjectMarshal& m, const Variant& value, bool keepByRef, int depth) {
  if (depth > kMaxDepth || w.Overfull()) return false;
  const Variant& v = value.Deref();
  const uint16_t vt = keepByRef && value.IsByRef() ? static_cast<uint16_t>(v.vt() | VT_BYREF)
                                                   : v.vt();
  w.U16(vt);
  if (!v.IsArray()) return WriteScalar(w, m, v.vt(), v);
  const SafeArray& a = v.Array();
  w.U8(static_cast<uint8_t>(a.Dims()));
  for (const ArrayBound& b : a.Bounds()) {
    w.U32(b.count);
    w.I32(b.lower);
  }
  const uint16_t element = a.ElementType();
  if (element == VT_UI1 || element == VT_I1) {
    for (uint8_t byte : a.Bytes()) w.U8(byte);
    return true;
  }
  for (size_t i = 0; i < a.Size(); ++i) {
    const Variant item = a.GetFlat(i);
    const bool ok = element == VT_VARIANT ? WriteValue(w, m, item, false, depth + 1)
                                          : WriteScalar(w, m, element, item);
    if (!ok || w.Overfull()) return false;
  }
  return true;
}

class Reader {
 public:
  Reader(const uint8_t* p, size_t n) : p_(p), end_(p + n) {}
  size_t Left() const { return static_cast<size_t>(end_ - p_); }
  bool U8(uint8_t* v) { return Raw(v, 1); }
  bool U16(uint16_t* v) { return Raw(v, 2); }
  bool U32(uint32_t* v) { return Raw(v, 4); }
  bool I32(int32_t* v) { return Raw(v, 4); }
  bool F32(float* v) { return Raw(v, 4); }
  bool F64(double* v) { return Raw(v, 8); }
  bool Str(std::string* s) {
    uint32_t n = 0;
    if (!U32(&n) || n > Left()) return false;
    s->assign(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return true;
  }
  bool Bytes(std::vector<uint8_t>* out, size_t n) {
    if (n > Left()) return false;
    out->assign(p_, p_ + n);
    p_ += n;
    return true;
  }

 private:
  bool Raw(void* v, size_t n) {
    if (Left() < n) return false;
    std::memcpy(v, p_, n);
    p_ += n;
    return true;
  }
  const uint8_t* p_;
  const uint8_t* end_;
};

// The fewest bytes one element of the type takes, to refuse counts the
// frame cannot hold before anything is allocated for them.
size_t MinElementBytes(uint16_t vt) {
  switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: case VT_VARIANT: return 2;
    case VT_R8: case VT_DATE: return 8;
    case VT_DISPATCH: return 5;
    default: return 4;
  }
}

bool ReadScalar(Reader& r, ObjectMarshal& m, uint16_t vt, Variant* out) {
  switch (vt) {
    case VT_EMPTY: *out = Variant(); return true;
    case VT_I1: { uint8_t x; if (!r.U8(&x)) return false; *out = Variant::I1(static_cast<int8_t>(x)); return true; }
    case VT_UI1: { uint8_t x; if (!r.U8(&x)) return false; *out = Variant::UI1(x); return true; }
    case VT_I2: { uint16_t x; if (!r.U16(&x)) return false; *out = Variant::I2(static_cast<int16_t>(x)); return true; }
    case VT_UI2: { uint16_t x; if (!r.U16(&x)) return false; *out = Variant::UI2(x); return true; }
    case VT_BOOL: { uint16_t x; if (!r.U16(&x)) return false; *out = Variant::Bool(x != 0); return true; }
    case VT_I4: { int32_t x; if (!r.I32(&x)) return false; *out = Variant::I4(x); return true; }
    case VT_UI4: { uint32_t x; if (!r.U32(&x)) return false; *out = Variant::UI4(x); return true; }
    case VT_R4: { float x; if (!r.F32(&x)) return false; *out = Variant::R4(x); return true; }
    case VT_R8: { double x; if (!r.F64(&x)) return false; *out = Variant::R8(x); return true; }
    case VT_DATE: { double x; if (!r.F64(&x)) return false; *out = Variant::Date(x); return true; }
    case VT_BSTR: { std::string s; if (!r.Str(&s)) return false; *out = Variant::Bstr(std::move(s)); return true; }
    case VT_DISPATCH: {
      uint32_t handle = 0;
      uint8_t mine = 0;
      if (!r.U32(&handle) || !r.U8(&mine) || mine > 1) return false;
      Ref<IDispatch> object;
      if (handle != 0 && !m.Import(handle, mine == 1, &object)) return false;
      *out = Variant::Dispatch(std::move(object));
      return true;
    }
    default: return false;
  }
}

bool ReadValue(Reader& r, ObjectMarshal& m, Variant* out, bool* byRef, int depth) {
  uint16_t vt = 0;
  if (depth > kMaxDepth || !r.U16(&vt)) return false;
  if (byRef != nullptr) {
    *byRef = (vt & VT_BYREF) != 0;
    vt = static_cast<uint16_t>(vt & ~VT_BYREF);
  }
  if ((vt & VT_ARRAY) == 0) return IsScalarType(vt) && ReadScalar(r, m, vt, out);

  const uint16_t element = static_cast<uint16_t>(vt & ~VT_ARRAY);
  if (!IsElementType(element)) return false;
  uint8_t dims = 0;
  if (!r.U8(&dims) || dims == 0 || dims > SafeArray::kMaxDims) return false;
  std::vector<ArrayBound> bounds(dims);
  size_t total = 1;
  for (ArrayBound& b : bounds) {
    if (!r.U32(&b.count) || !r.I32(&b.lower)) return false;
    // Counts are checked against what the frame can still hold; a
    // zero-length dimension makes the others cost nothing.
    total *= std::min<size_t>(b.count, SafeArray::kMaxElements + 1);
    if (total > r.Left() / MinElementBytes(element)) return false;
  }
  SafeArray array;
  if (!SafeArray::Make(element, std::move(bounds), &array)) return false;
  if (element == VT_UI1 || element == VT_I1) {
    if (!r.Bytes(&array.Bytes(), total)) return false;
  } else {
    for (size_t i = 0; i < total; ++i) {
      Variant item;
      const bool ok = element == VT_VARIANT ? ReadValue(r, m, &item, nullptr, depth + 1)
                                            : ReadScalar(r, m, element, &item);
      if (!ok || array.PutFlat(i, item) != kOk) return false;
    }
  }
  *out = Variant::Array(std::move(array));
  return true;
}

}  // namespace

void EncodeCreate(std::string& out, uint32_t call, const std::string& clsid) {
  Writer w(out);
  w.U8(kCreate);
  w.U32(call);
  w.Str(clsid);
  if (!w.Finish()) w.Abandon();
}

void EncodeGetId(std::string& out, uint32_t call, uint32_t object, const std::string& name) {
  Writer w(out);
  w.U8(kGetId);
  w.U32(call);
  w.U32(object);
  w.Str(name);
  if (!w.Finish()) w.Abandon();
}

bool EncodeInvoke(std::string& out, ObjectMarshal& marshal, uint32_t call, uint32_t object,
                  DispId id, uint16_t kind, uint8_t flags, const std::vector<Variant>& args) {
  if (args.size() > UINT16_MAX) return false;
  Writer w(out);
  w.U8(kInvoke);
  w.U32(call);
  w.U32(object);
  w.I32(id);
  w.U16(kind);
  w.U8(flags);
  w.U16(static_cast<uint16_t>(args.size()));
  for (const Variant& a : args) {
    if (!WriteValue(w, marshal, a, true, 0)) {
      w.Abandon();
      return false;
    }
  }
  return w.Finish();
}

bool EncodeResult(std::string& out, ObjectMarshal& marshal, uint32_t call, Status status,
                  const Variant& result, const std::vector<Variant>& byRefValues,
                  const ExcepInfo& exception) {
  Writer w(out);
  w.U8(kResult);
  w.U32(call);
  w.U32(status);
  if (status == kOk) {
    if (byRefValues.size() > UINT16_MAX || !WriteValue(w, marshal, result, false, 0)) {
      w.Abandon();
      return false;
    }
    w.U16(static_cast<uint16_t>(byRefValues.size()));
    for (const Variant& v : byRefValues) {
      if (!WriteValue(w, marshal, v, false, 0)) {
        w.Abandon();
        return false;
      }
    }
  } else if (status == kException) {
    w.I32(exception.code);
    w.Str(exception.source);
    w.Str(exception.description);
  }
  return w.Finish();
}

void EncodeRelease(std::string& out, uint32_t object, uint32_t count) {
  Writer w(out);
  w.U8(kRelease);
  w.U32(object);
  w.U32(count);
  w.Finish();
}

bool Decode(const uint8_t* body, size_t size, ObjectMarshal& marshal, Message* msg) {
  if (size > kMaxFrame) return false;
  Reader r(body, size);
  if (!r.U8(&msg->type)) return false;
  bool ok = false;
  switch (msg->type) {
    case kCreate:
      ok = r.U32(&msg->call) && r.Str(&msg->text);
      break;
    case kGetId:
      ok = r.U32(&msg->call) && r.U32(&msg->object) && r.Str(&msg->text);
      break;
    case kInvoke: {
      uint16_t argc = 0;
      ok = r.U32(&msg->call) && r.U32(&msg->object) && r.I32(&msg->dispid) &&
           r.U16(&msg->kind) && r.U8(&msg->flags) && r.U16(&argc) && argc <= r.Left() / 2;
      if (!ok) break;
      msg->args.resize(argc);
      msg->byRef.resize(argc);
      for (uint16_t i = 0; ok && i < argc; ++i) {
        bool byRef = false;
        ok = ReadValue(r, marshal, &msg->args[i], &byRef, 0);
        msg->byRef[i] = byRef;
      }
      break;
    }
    case kResult:
      ok = r.U32(&msg->call) && r.U32(&msg->status);
      if (!ok) break;
      if (msg->status == kOk) {
        uint16_t n = 0;
        ok = ReadValue(r, marshal, &msg->result, nullptr, 0) && r.U16(&n) && n <= r.Left() / 2;
        if (!ok) break;
        msg->byRefValues.resize(n);
        for (uint16_t i = 0; ok && i < n; ++i)
          ok = ReadValue(r, marshal, &msg->byRefValues[i], nullptr, 0);
      } else if (msg->status == kException) {
        ok = r.I32(&msg->exception.code) && r.Str(&msg->exception.source) &&
             r.Str(&msg->exception.description);
      }
      break;
    case kRelease:
      ok = r.U32(&msg->object) && r.U32(&msg->count);
      break;
    default:
      return false;
  }
  return ok && r.Left() == 0;
}

}  // namespace qn::automation::wire
