// Objects of this process: a table of members (methods and properties by
// dispatch ID and name) that checks the argument count, converts the
// arguments to the declared types as automation does, and calls the member.
#pragma once
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/automation/object.h"
#include "platform/automation/variant.h"

namespace qn::automation {

struct Outcome {
  Status status = kOk;
  Variant result;
  ExcepInfo exception;
};

// Raised by a member: the caller gets kException with this code and text.
class DispatchError : public std::runtime_error {
 public:
  DispatchError(int32_t code, const std::string& text) : std::runtime_error(text), code_(code) {}
  int32_t code() const { return code_; }

 private:
  int32_t code_;
};

// The framework's answers for a property without a get or set function.
inline constexpr int32_t kGetNotSupportedCode = 394;
inline constexpr const char* kGetNotSupportedText = "Property is write-only.";
inline constexpr int32_t kSetNotSupportedCode = 383;
inline constexpr const char* kSetNotSupportedText = "Property is read-only.";

class DispatchObject;

class DispatchTable {
 public:
  using Method = std::function<Variant(DispatchObject& self, std::vector<Variant>& args)>;
  using Getter = std::function<Variant(DispatchObject& self)>;
  using Setter = std::function<void(DispatchObject& self, const Variant& value)>;

  // `result` VT_EMPTY for none; a parameter VT_BYREF | type is an out
  // parameter the caller must pass by reference with exactly that type.
  void AddMethod(DispId id, std::string name, uint16_t result, std::vector<uint16_t> params,
                 Method method);
  // A null getter makes the property write-only, a null setter read-only.
  void AddProperty(DispId id, std::string name, uint16_t type, Getter get, Setter put);

  Status GetIDOfName(const std::string& name, DispId* id) const;
  Status Invoke(DispatchObject& self, DispId id, uint16_t kind, std::vector<Variant>& args,
                Variant* result, ExcepInfo* exception) const;

 private:
  struct Entry {
    std::string name;
    bool isMethod = false;
    uint16_t type = VT_EMPTY;
    std::vector<uint16_t> params;
    Method method;
    Getter get;
    Setter put;
  };
  std::map<DispId, Entry> entries_;
  std::map<std::string, DispId> byName_;  // lower-cased
};

// A table whose members take the object's own class.
template <class T>
class TypedDispatchTable : public DispatchTable {
 public:
  void Method(DispId id, std::string name, uint16_t result, std::vector<uint16_t> params,
              Variant (*fn)(T&, std::vector<Variant>&)) {
    AddMethod(id, std::move(name), result, std::move(params),
              [fn](DispatchObject& self, std::vector<Variant>& args) {
                return fn(static_cast<T&>(self), args);
              });
  }
  void Property(DispId id, std::string name, uint16_t type, Variant (*get)(T&),
                void (*put)(T&, const Variant&)) {
    Getter g;
    Setter p;
    if (get) g = [get](DispatchObject& self) { return get(static_cast<T&>(self)); };
    if (put) p = [put](DispatchObject& self, const Variant& v) { put(static_cast<T&>(self), v); };
    AddProperty(id, std::move(name), type, std::move(g), std::move(p));
  }
};

// An object of this process served through a table. Once disconnected, it
// answers every call with kDisconnected (its owner has gone).
class DispatchObject : public IDispatch {
 public:
  explicit DispatchObject(const DispatchTable& table) : table_(table) {}

  Status GetIDOfName(const std::string& name, DispId* id) override;
  Status Invoke(DispId id, uint16_t kind, std::vector<Variant>& args, Variant* result,
                ExcepInfo* exception) override;

  void Disconnect() { disconnected_ = true; }
  bool IsDisconnected() const { return disconnected_; }

 private:
  const DispatchTable& table_;
  bool disconnected_ = false;
};

// Lower-cases ASCII letters (member names compare without regard to case).
std::string FoldCase(const std::string& s);

}  // namespace qn::automation
