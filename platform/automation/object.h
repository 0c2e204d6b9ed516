// Automation objects: reference counted, called by dispatch ID with their
// arguments as Variants. An object's last Release runs OnFinalRelease.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/automation/status.h"

namespace qn::automation {

class Variant;
struct Outcome;

using DispId = int32_t;

// Invoke kinds; a caller may combine METHOD and PROPERTYGET, as scripting
// callers do for "obj.Name(args)".
enum InvokeKind : uint16_t {
  DISPATCH_METHOD = 1,
  DISPATCH_PROPERTYGET = 2,
  DISPATCH_PROPERTYPUT = 4,
  DISPATCH_PROPERTYPUTREF = 8,
};

// What the callee raised with kException.
struct ExcepInfo {
  int32_t code = 0;
  std::string source;
  std::string description;
};

// The end of an asynchronous call.
using Completion = std::function<void(Outcome&)>;

class IDispatch {
 public:
  IDispatch() = default;
  IDispatch(const IDispatch&) = delete;
  IDispatch& operator=(const IDispatch&) = delete;

  void AddRef() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  void Release() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) OnFinalRelease();
  }
  uint32_t RefCount() const { return refs_.load(std::memory_order_relaxed); }

  // The ID of a member, the name compared without regard to case;
  // kUnknownName when there is none.
  virtual Status GetIDOfName(const std::string& name, DispId* id) = 0;
  // `args` in their natural order; a by-reference argument's target gets the
  // value the callee left in it. `result` and `exception` may be null.
  virtual Status Invoke(DispId id, uint16_t kind, std::vector<Variant>& args, Variant* result,
                        ExcepInfo* exception) = 0;
  // Returns at once; `done` runs once when the call has ended, possibly
  // before this returns. A null `done` asks for no outcome at all (the
  // callee is not waited for and its failures are not seen). By-reference
  // targets must live until `done` runs.
  virtual void InvokeAsync(DispId id, uint16_t kind, std::vector<Variant> args, Completion done);
  virtual void GetIDOfNameAsync(const std::string& name,
                                std::function<void(Status, DispId)> done);

 protected:
  virtual ~IDispatch() = default;
  virtual void OnFinalRelease() { delete this; }

 private:
  std::atomic<uint32_t> refs_{0};
};

// A reference-counted pointer to an automation object.
template <class T>
class Ref {
 public:
  Ref() = default;
  Ref(std::nullptr_t) {}
  // Takes a new reference.
  explicit Ref(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  Ref(const Ref& o) : Ref(o.p_) {}
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  template <class U>
  Ref(const Ref<U>& o) : Ref(static_cast<T*>(o.get())) {}
  ~Ref() { reset(); }
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  void reset() {
    T* p = p_;
    p_ = nullptr;
    if (p) p->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  bool operator==(const Ref& o) const { return p_ == o.p_; }

 private:
  T* p_ = nullptr;
};

template <class T, class... A>
Ref<T> MakeRef(A&&... args) {
  return Ref<T>(new T(std::forward<A>(args)...));
}


}  // namespace qn::automation
