#include "platform/automation/dispatch.h"

namespace qn::automation {

std::string FoldCase(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

void IDispatch::InvokeAsync(DispId id, uint16_t kind, std::vector<Variant> args, Completion done) {
  Outcome outcome;
  try {
    outcome.status = Invoke(id, kind, args, &outcome.result, &outcome.exception);
  } catch (const std::exception& e) {
    outcome.status = kException;
    outcome.exception.description = e.what();
  }
  if (done) done(outcome);
}

void IDispatch::GetIDOfNameAsync(const std::string& name,
                                 std::function<void(Status, DispId)> done) {
  DispId id = 0;
  const Status s = GetIDOfName(name, &id);
  if (done) done(s, id);
}

void DispatchTable::AddMethod(DispId id, std::string name, uint16_t result,
                              std::vector<uint16_t> params, Method method) {
  byName_[FoldCase(name)] = id;
  Entry& e = entries_[id];
  e.name = std::move(name);
  e.isMethod = true;
  e.type = result;
  e.params = std::move(params);
  e.method = std::move(method);
}

void DispatchTable::AddProperty(DispId id, std::string name, uint16_t type, Getter get,
                                Setter put) {
  byName_[FoldCase(name)] = id;
  Entry& e = entries_[id];
  e.name = std::move(name);
  e.type = type;
  e.get = std::move(get);
  e.put = std::move(put);
}

Status DispatchTable::GetIDOfName(const std::string& name, DispId* id) const {
  const auto it = byName_.find(FoldCase(name));
  if (it == byName_.end()) return kUnknownName;
  *id = it->second;
  return kOk;
}

namespace {

Status Raise(ExcepInfo* exception, int32_t code, const std::string& text) {
  if (exception != nullptr) {
    exception->code = code;
    exception->description = text;
  }
  return kException;
}

}  // namespace

Status DispatchTable::Invoke(DispatchObject& self, DispId id, uint16_t kind,
                             std::vector<Variant>& args, Variant* result,
                             ExcepInfo* exception) const {
  const auto it = entries_.find(id);
  if (it == entries_.end()) return kMemberNotFound;
  const Entry& e = it->second;
  try {
    if (e.isMethod) {
      if ((kind & DISPATCH_METHOD) == 0) return kMemberNotFound;
      if (args.size() != e.params.size()) return kBadParamCount;
      std::vector<Variant> converted(args.size());
      for (size_t i = 0; i < args.size(); ++i) {
        const uint16_t want = e.params[i];
        if ((want & VT_BYREF) != 0) {
          // Out parameters are never coerced: the caller's storage must be
          // of the declared type.
          if (args[i].vt() != want) return kTypeMismatch;
          converted[i] = args[i];
          continue;
        }
        const Status s = ChangeType(args[i], want, &converted[i]);
        if (s != kOk) return s;
      }
      Variant r = e.method(self, converted);
      if (result != nullptr) *result = std::move(r);
      return kOk;
    }
    if ((kind & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0) {
      if (args.size() != 1) return kBadParamCount;
      if (!e.put) return Raise(exception, kSetNotSupportedCode, kSetNotSupportedText);
      Variant value;
      const Status s = ChangeType(args[0], e.type, &value);
      if (s != kOk) return s;
      e.put(self, value);
      return kOk;
    }
    if ((kind & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) != 0) {
      if (!args.empty()) return kBadParamCount;
      if (!e.get) return Raise(exception, kGetNotSupportedCode, kGetNotSupportedText);
      Variant r = e.get(self);
      if (result != nullptr) *result = std::move(r);
      return kOk;
    }
    return kMemberNotFound;
  } catch (const DispatchError& error) {
    return Raise(exception, error.code(), error.what());
  }
}

Status DispatchObject::GetIDOfName(const std::string& name, DispId* id) {
  if (disconnected_) return kDisconnected;
  return table_.GetIDOfName(name, id);
}

Status DispatchObject::Invoke(DispId id, uint16_t kind, std::vector<Variant>& args,
                              Variant* result, ExcepInfo* exception) {
  if (disconnected_) return kDisconnected;
  return table_.Invoke(*this, id, kind, args, result, exception);
}

}  // namespace qn::automation
