// qntestsvc: the external service plug-in of the tests and benches, one
// source built in two forms:
//   build/bin/qntestsvc           a local server: "-RegServer" writes the
//                                 classes into $QN_ROOT's registry store and
//                                 ends; "-Embedding" serves "QuillnetTest.Local"
//                                 until its last object goes;
//   build/bin/libqntestsvc.so     an in-process server ("QuillnetTest.InProc",
//                                 and "QuillnetTest.BadInit", whose
//                                 QuillnetInit raises).
//
// The main object keeps the server object from "QuillnetInit"; its
// "CreateService" makes a service object that remembers the name. The items
// Run, Bin and Plain take each parameter as a step:
//   types:T,...        SetColumnTypes, one element per type (BOOL, I1, UI1,
//                      I2, UI2, I4, UI4, R4, R8, DATE, BSTR, BYTES = array of
//                      UI1; "T*N" for N of them), names C1, C2, ...
//   row:T=V,...        SendRow; DATE "YYYY-MM-DD HH:MM:SS" local, BYTES hex;
//                      V may be "$" (the last call's result), "$Service",
//                      "$User.X", "$Lookups" (names this plug-in was asked
//                      for and lacked) or "$Pid" (its process)
//   with:F,...         shapes the next types/row call: 2d (arrays of two
//                      dimensions), scalar (no array), shortnames (one name
//                      fewer), numnames (names as numbers), byref
//   call:O.Member,a,...  O is User, Server, Request, KeptRequest or KeptUser;
//                      the arguments as strings; the result becomes "$"
//   put:User.X,value   a property of the member
//   keep               Request is held after the item returns
//   stash              the main object keeps this Request and User for good
//   sleep:ms           exit:n (local form: the process ends)   return:n
// Results as text: numbers decimal, BOOL -1/0, arrays "," between elements,
// ";" between rows. A failing step ends the steps, posts the audit keyword
// "Exception" with "<code> <text>" and returns the code.
// Run_RecvDataAsString runs a packet's text as a step ("release" drops
// Request); Bin_RecvDataAsBinary sends the bytes back as one BYTES row (an
// empty packet drops Request); Plain has no data method; Run_DoneSendFile and
// Run_DoneRecvFile drop Request.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/automation/dispatch.h"
#include "platform/automation/variant.h"
#ifndef QN_TESTSVC_INPROC
#include "platform/automation/class_registry.h"
#include "platform/automation/runtime.h"
#endif

using namespace qn::automation;

namespace {

constexpr const char* kLocalProgId = "QuillnetTest.Local";
constexpr const char* kLocalClsid = "{5A3E8C41-7B2D-4E19-9F06-3C1D2B4A5E71}";
constexpr const char* kInprocProgId = "QuillnetTest.InProc";
constexpr const char* kInprocClsid = "{5A3E8C42-7B2D-4E19-9F06-3C1D2B4A5E71}";
constexpr const char* kBadInitProgId = "QuillnetTest.BadInit";
constexpr const char* kBadInitClsid = "{5A3E8C43-7B2D-4E19-9F06-3C1D2B4A5E71}";

#ifdef QN_TESTSVC_INPROC
constexpr bool kLocalForm = false;
#else
constexpr bool kLocalForm = true;
#endif

// Objects alive in this process (the local form ends with the last one).
std::atomic<int> g_live{0};
bool g_anyCreated = false;
// Names asked of a service object that it lacked.
int g_lookupMisses = 0;

// IDs of the server's objects by "Kind.Member": a local plug-in asks once.
std::map<std::string, DispId> g_ids;

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

// A step that failed: its code and text.
struct StepFailure {
  int32_t code = 0;
  std::string text;
};

StepFailure FailureOf(Status s, const ExcepInfo& e) {
  if (s == kException) return {e.code, e.description};
  return {static_cast<int32_t>(s & 0xFFFF), StatusText(s)};
}

class CountedObject : public IDispatch {
 public:
  CountedObject() {
    ++g_live;
    g_anyCreated = true;
  }
  ~CountedObject() override { --g_live; }
};

class MainObject;

// One service object per request.
class ServiceObject : public CountedObject {
 public:
  enum Id : DispId {
    kPlain = 0,  // a valid ID like any other
    kRun = 1,
    kBin = 2,
    kUser = 3,
    kRequest = 4,
    kRunData = 5,
    kBinData = 6,
    kRunSendDone = 7,
    kRunRecvDone = 8,
  };

  ServiceObject(Ref<MainObject> main, std::string name) : main_(std::move(main)), name_(std::move(name)) {}

  Status GetIDOfName(const std::string& name, DispId* id) override {
    static const std::map<std::string, DispId> names = {
        {"plain", kPlain},
        {"run", kRun},
        {"bin", kBin},
        {"user", kUser},
        {"request", kRequest},
        {"run_recvdataasstring", kRunData},
        {"bin_recvdataasbinary", kBinData},
        {"run_donesendfile", kRunSendDone},
        {"run_donerecvfile", kRunRecvDone},
    };
    const auto it = names.find(FoldCase(name));
    if (it == names.end()) {
      ++g_lookupMisses;
      return kUnknownName;
    }
    *id = it->second;
    return kOk;
  }

  Status Invoke(DispId id, uint16_t kind, std::vector<Variant>& args, Variant* result,
                ExcepInfo* exception) override;

 private:
  Status Items(std::vector<Variant>& args, Variant* result);
  // Runs one step; false with the failure.
  bool Step(const std::string& step, StepFailure* failure);
  bool Call(const std::string& objectName, const std::string& member, uint16_t kind,
            std::vector<Variant> args, Variant* result, StepFailure* failure);
  IDispatch* ObjectNamed(const std::string& name);
  bool Value(const std::string& text, std::string* out, StepFailure* failure);
  bool Element(const std::string& type, const std::string& value, Variant* out);
  Variant Shaped(std::vector<Variant> elements, uint16_t elementType);
  void PostException(const StepFailure& failure);

  Ref<MainObject> main_;
  std::string name_;
  Ref<IDispatch> user_;
  Ref<IDispatch> request_;
  bool keep_ = false;
  std::string last_;
  std::vector<std::string> with_;
};

class MainObject : public CountedObject {
 public:
  explicit MainObject(bool failInit) : failInit_(failInit) {}

  Status GetIDOfName(const std::string& name, DispId* id) override {
    const std::string n = FoldCase(name);
    if (n == "quillnetinit") *id = 1;
    else if (n == "createservice") *id = 2;
    else return kUnknownName;
    return kOk;
  }

  Status Invoke(DispId id, uint16_t kind, std::vector<Variant>& args, Variant* result,
                ExcepInfo* exception) override {
    if ((kind & DISPATCH_METHOD) == 0) return kMemberNotFound;
    if (args.size() != 1) return kBadParamCount;
    const Variant& arg = args[0].Deref();
    if (id == 1) {
      if (failInit_) {
        if (exception) *exception = {77, "", "QuillnetInit refused"};
        return kException;
      }
      if (arg.vt() != VT_DISPATCH) return kTypeMismatch;
      server_ = Ref<IDispatch>(arg.Object());
      if (result) *result = Variant::I4(7);
      return kOk;
    }
    if (id == 2) {
      Variant name;
      if (ChangeType(arg, VT_BSTR, &name) != kOk) return kTypeMismatch;
      if (result) *result = Variant::Dispatch(MakeRef<ServiceObject>(Ref<MainObject>(this), name.Text()));
      return kOk;
    }
    return kMemberNotFound;
  }

  Ref<IDispatch> server_;
  Ref<IDispatch> keptRequest_;
  Ref<IDispatch> keptUser_;

 private:
  bool failInit_;
};

Status ServiceObject::Invoke(DispId id, uint16_t kind, std::vector<Variant>& args, Variant* result,
                             ExcepInfo* exception) {
  if (id == kUser || id == kRequest) {
    Ref<IDispatch>& slot = id == kUser ? user_ : request_;
    if ((kind & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0) {
      if (args.size() != 1) return kBadParamCount;
      const Variant& v = args[0].Deref();
      if (v.vt() != VT_DISPATCH && !v.IsEmpty()) return kTypeMismatch;
      slot = Ref<IDispatch>(v.IsEmpty() ? nullptr : v.Object());
      return kOk;
    }
    if (result) *result = Variant::Dispatch(slot);
    return kOk;
  }
  if ((kind & DISPATCH_METHOD) == 0) return kMemberNotFound;
  switch (id) {
    case kPlain:
    case kRun:
    case kBin:
      return Items(args, result);
    case kRunData: {
      if (args.size() != 1) return kBadParamCount;
      Variant text;
      if (ChangeType(args[0], VT_BSTR, &text) != kOk) return kTypeMismatch;
      if (text.Text() == "release") {
        request_.reset();
        return kOk;
      }
      StepFailure failure;
      if (!Step(text.Text(), &failure)) {
        PostException(failure);
        if (exception) *exception = {failure.code, "", failure.text};
        return kException;
      }
      return kOk;
    }
    case kBinData: {
      if (args.size() != 1) return kBadParamCount;
      const Variant& data = args[0].Deref();
      if (!data.IsArray() || data.Array().ElementType() != VT_UI1) return kTypeMismatch;
      if (data.Array().Size() == 0) {
        request_.reset();
        return kOk;
      }
      SafeArray row;
      SafeArray::Make(VT_VARIANT, {{1, 0}}, &row);
      row.PutFlat(0, data);
      Variant ignored;
      StepFailure failure;
      if (!Call("Request", "SendRow", DISPATCH_METHOD, {Variant::Array(std::move(row))}, &ignored, &failure)) {
        PostException(failure);
        if (exception) *exception = {failure.code, "", failure.text};
        return kException;
      }
      return kOk;
    }
    case kRunSendDone:
    case kRunRecvDone:
      if (!args.empty()) return kBadParamCount;
      request_.reset();
      return kOk;
    default:
      return kMemberNotFound;
  }
}

Status ServiceObject::Items(std::vector<Variant>& args, Variant* result) {
  keep_ = false;
  int32_t code = 0;
  for (Variant& arg : args) {
    Variant text;
    if (ChangeType(arg, VT_BSTR, &text) != kOk) return kTypeMismatch;
    const std::string& step = text.Text();
    if (step.empty()) continue;  // an empty parameter is no step
    if (step.rfind("return:", 0) == 0) {
      code = std::atoi(step.c_str() + 7);
      continue;
    }
    StepFailure failure;
    if (!Step(step, &failure)) {
      PostException(failure);
      code = failure.code;
      break;
    }
  }
  if (!keep_) request_.reset();
  if (result) *result = Variant::I2(static_cast<int16_t>(code));
  return kOk;
}

void ServiceObject::PostException(const StepFailure& failure) {
  Variant ignored;
  StepFailure again;
  Call("Request", "PostAudit", DISPATCH_METHOD,
       {Variant::Bstr("Exception"), Variant::Bstr(std::to_string(failure.code) + " " + failure.text)},
       &ignored, &again);
}

IDispatch* ServiceObject::ObjectNamed(const std::string& name) {
  if (name == "User") return user_.get();
  if (name == "Request") return request_.get();
  if (name == "Server") return main_->server_.get();
  if (name == "KeptRequest") return main_->keptRequest_.get();
  if (name == "KeptUser") return main_->keptUser_.get();
  return nullptr;
}

bool ServiceObject::Call(const std::string& objectName, const std::string& member, uint16_t kind,
                         std::vector<Variant> args, Variant* result, StepFailure* failure) {
  IDispatch* object = ObjectNamed(objectName);
  if (object == nullptr) {
    *failure = {998, "No object " + objectName};
    return false;
  }
  // Kept objects are asked under their own kind: they are other objects.
  const std::string key = objectName + "." + FoldCase(member);
  DispId id = 0;
  if (const auto it = g_ids.find(key); it != g_ids.end() && objectName.rfind("Kept", 0) != 0) {
    id = it->second;
  } else {
    const Status s = object->GetIDOfName(member, &id);
    if (s != kOk) {
      *failure = FailureOf(s, {});
      return false;
    }
    g_ids[key] = id;
  }
  ExcepInfo exception;
  const Status s = object->Invoke(id, kind, args, result, &exception);
  if (s != kOk) {
    *failure = FailureOf(s, exception);
    return false;
  }
  return true;
}

bool ServiceObject::Value(const std::string& text, std::string* out, StepFailure* failure) {
  if (text == "$") {
    *out = last_;
  } else if (text == "$Service") {
    *out = name_;
  } else if (text == "$Lookups") {
    *out = std::to_string(g_lookupMisses);
  } else if (text == "$Pid") {
    *out = std::to_string(::getpid());
  } else if (text.rfind("$User.", 0) == 0) {
    Variant v;
    if (!Call("User", text.substr(6), DISPATCH_PROPERTYGET, {}, &v, failure)) return false;
    *out = ToText(v);
  } else {
    *out = text;
  }
  return true;
}

const std::map<std::string, uint16_t>& TypeNames() {
  static const std::map<std::string, uint16_t> types = {
      {"BOOL", VT_BOOL}, {"I1", VT_I1},     {"UI1", VT_UI1},   {"I2", VT_I2},
      {"UI2", VT_UI2},   {"I4", VT_I4},     {"UI4", VT_UI4},   {"R4", VT_R4},
      {"R8", VT_R8},     {"DATE", VT_DATE}, {"BSTR", VT_BSTR}, {"BYTES", VT_ARRAY | VT_UI1},
  };
  return types;
}

bool ServiceObject::Element(const std::string& type, const std::string& value, Variant* out) {
  const auto it = TypeNames().find(type);
  if (it == TypeNames().end()) return false;
  if (it->second == (VT_ARRAY | VT_UI1)) {
    if (value.size() % 2 != 0) return false;
    SafeArray bytes;
    SafeArray::Make(VT_UI1, {{static_cast<uint32_t>(value.size() / 2), 0}}, &bytes);
    for (size_t i = 0; i < value.size() / 2; ++i)
      bytes.Bytes()[i] = static_cast<uint8_t>(std::strtoul(value.substr(2 * i, 2).c_str(), nullptr, 16));
    *out = Variant::Array(std::move(bytes));
    return true;
  }
  if (value.empty() && it->second != VT_BSTR) {
    *out = Variant::Zero(it->second);
    return true;
  }
  return ChangeType(Variant::Bstr(value), it->second, out) == kOk;
}

bool Has(const std::vector<std::string>& flags, const char* flag) {
  for (const std::string& f : flags)
    if (f == flag) return true;
  return false;
}

// The elements as the pending "with:" flags shape them.
Variant ServiceObject::Shaped(std::vector<Variant> elements, uint16_t elementType) {
  if (Has(with_, "scalar")) return Variant::I4(0);
  SafeArray array;
  const uint32_t n = static_cast<uint32_t>(elements.size());
  if (Has(with_, "2d"))
    SafeArray::Make(elementType, {{n, 0}, {1, 0}}, &array);
  else
    SafeArray::Make(elementType, {{n, 0}}, &array);
  for (uint32_t i = 0; i < n; ++i) array.PutFlat(i, elements[i]);
  return Variant::Array(std::move(array));
}

bool ServiceObject::Step(const std::string& step, StepFailure* failure) {
  const size_t colon = step.find(':');
  const std::string verb = step.substr(0, colon);
  const std::string rest = colon == std::string::npos ? "" : step.substr(colon + 1);
  if (verb == "keep") {
    keep_ = true;
    return true;
  }
  if (verb == "stash") {
    main_->keptRequest_ = request_;
    main_->keptUser_ = user_;
    return true;
  }
  if (verb == "sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(rest.c_str())));
    return true;
  }
  if (verb == "exit") {
    if (kLocalForm) std::_Exit(std::atoi(rest.c_str()));
    return true;
  }
  if (verb == "with") {
    with_ = Split(rest, ',');
    return true;
  }
  if (verb == "types") {
    std::vector<Variant> types, names;
    for (const std::string& item : Split(rest, ',')) {
      const size_t star = item.find('*');
      const int count = star == std::string::npos ? 1 : std::atoi(item.c_str() + star + 1);
      Variant element;
      if (!Element(item.substr(0, star), "", &element)) {
        *failure = {997, "Unknown type " + item};
        return false;
      }
      for (int i = 0; i < count; ++i) {
        types.push_back(element);
        const std::string name = "C" + std::to_string(types.size());
        names.push_back(Has(with_, "numnames") ? Variant::I4(static_cast<int32_t>(types.size()))
                                               : Variant::Bstr(name));
      }
    }
    if (Has(with_, "shortnames") && !names.empty()) names.pop_back();
    Variant typesArg = Shaped(std::move(types), VT_VARIANT);
    Variant namesArg = Shaped(std::move(names), VT_VARIANT);
    std::vector<Variant> args;
    if (Has(with_, "byref")) {
      args = {Variant::ByRef(&typesArg), Variant::ByRef(&namesArg)};
    } else {
      args = {typesArg, namesArg};
    }
    with_.clear();
    Variant ignored;
    return Call("Request", "SetColumnTypes", DISPATCH_METHOD, std::move(args), &ignored, failure);
  }
  if (verb == "row") {
    std::vector<Variant> elements;
    for (const std::string& item : Split(rest, ',')) {
      const size_t equals = item.find('=');
      std::string value;
      if (!Value(equals == std::string::npos ? "" : item.substr(equals + 1), &value, failure)) return false;
      Variant element;
      if (!Element(item.substr(0, equals), value, &element)) {
        *failure = {996, "Bad value " + item};
        return false;
      }
      elements.push_back(std::move(element));
    }
    Variant rowArg = Shaped(std::move(elements), VT_VARIANT);
    std::vector<Variant> args;
    if (Has(with_, "byref"))
      args = {Variant::ByRef(&rowArg)};
    else
      args = {rowArg};
    with_.clear();
    Variant ignored;
    return Call("Request", "SendRow", DISPATCH_METHOD, std::move(args), &ignored, failure);
  }
  if (verb == "call" || verb == "put") {
    std::vector<std::string> parts = Split(rest, ',');
    const size_t dot = parts[0].find('.');
    if (dot == std::string::npos) {
      *failure = {995, "No member in " + parts[0]};
      return false;
    }
    std::vector<Variant> args;
    for (size_t i = 1; i < parts.size(); ++i) {
      std::string value;
      if (!Value(parts[i], &value, failure)) return false;
      args.push_back(Variant::Bstr(value));
    }
    Variant result;
    const uint16_t kind = verb == "put" ? DISPATCH_PROPERTYPUT : (DISPATCH_METHOD | DISPATCH_PROPERTYGET);
    if (!Call(parts[0].substr(0, dot), parts[0].substr(dot + 1), kind, std::move(args), &result, failure))
      return false;
    last_ = ToText(result);
    return true;
  }
  *failure = {999, "Unknown step " + step};
  return false;
}

}  // namespace

#ifdef QN_TESTSVC_INPROC

extern "C" __attribute__((visibility("default"))) Status AutomationCreateObject(const char* clsid,
                                                                                IDispatch** out) {
  const std::string id = clsid != nullptr ? clsid : "";
  if (id != kInprocClsid && id != kBadInitClsid) return kClassNotRegistered;
  auto* object = new MainObject(id == kBadInitClsid);
  object->AddRef();
  *out = object;
  return kOk;
}

#else

namespace {

class Factory : public ClassFactory {
 public:
  Status CreateInstance(Ref<IDispatch>* out) override {
    *out = MakeRef<MainObject>(false);
    return kOk;
  }
};

int RegisterServer() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return 1;
  const std::filesystem::path library = self.parent_path() / "libqntestsvc.so";
  bool ok = RegisterLocalServerClass(kLocalProgId, kLocalClsid, "\"" + self.string() + "\"");
  ok = RegisterInprocServerClass(kInprocProgId, kInprocClsid, library) && ok;
  ok = RegisterInprocServerClass(kBadInitProgId, kBadInitClsid, library) && ok;
  return ok ? 0 : 1;
}

int Serve() {
  uint32_t cookie = 0;
  if (RegisterClassObject(kLocalClsid, std::make_shared<Factory>(), &cookie) != kOk) return 1;
  // A server that nobody comes to does not linger.
  const auto firstDeadline = Clock::now() + std::chrono::seconds(60);
  Pump([] { return g_anyCreated; }, firstDeadline);
  if (g_anyCreated) Pump([] { return g_live.load() == 0; }, Clock::time_point::max());
  RevokeClassObject(cookie);
  ShutdownRuntime();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-RegServer" || a == "/RegServer") return RegisterServer();
    if (a == "-Embedding" || a == "/Embedding") return Serve();
  }
  std::fprintf(stderr, "usage: qntestsvc -RegServer | -Embedding\n");
  return 2;
}

#endif
