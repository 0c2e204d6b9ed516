// The frames two processes exchange about automation objects (described in
// docs/platform.md): bytes in, messages out and back, with no socket inside.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/automation/dispatch.h"

namespace qn::automation::wire {

// The largest frame body either side sends or accepts.
inline constexpr size_t kMaxFrame = size_t{1} << 20;
// Arrays of VARIANTs holding arrays, at most this deep.
inline constexpr int kMaxDepth = 8;

enum MessageType : uint8_t {
  kCreate = 1,
  kGetId = 2,
  kInvoke = 3,
  kResult = 4,
  kRelease = 5,
};

// Invoke flags.
inline constexpr uint8_t kNoReply = 1;

// How objects cross: a side names its own objects by handles it chooses;
// the other side turns them into proxies. Handle 0 is no object.
class ObjectMarshal {
 public:
  virtual ~ObjectMarshal() = default;
  // The handle that names `object` to the peer; `peersOwn` when the object
  // is a proxy of the peer's own object.
  virtual void Export(IDispatch* object, uint32_t* handle, bool* peersOwn) = 0;
  // The object a received handle names (`mine`: one of this side's own).
  // False for a handle that names nothing.
  virtual bool Import(uint32_t handle, bool mine, Ref<IDispatch>* out) = 0;
};

struct Message {
  uint8_t type = 0;
  uint32_t call = 0;
  uint32_t object = 0;
  DispId dispid = 0;
  uint16_t kind = 0;
  uint8_t flags = 0;
  std::string text;             // kCreate: the class; kGetId: the name
  std::vector<Variant> args;    // kInvoke
  std::vector<bool> byRef;      // kInvoke: which arguments the caller passed by reference
  Status status = kOk;          // kResult
  Variant result;               // kResult
  std::vector<Variant> byRefValues;  // kResult: by-reference arguments after the call
  ExcepInfo exception;          // kResult with kException
  uint32_t count = 0;           // kRelease
};

// Each appends one whole frame (its length first) to `out`. Those carrying
// values return false, leaving `out` as it was, when the frame would pass
// kMaxFrame or a value cannot be sent.
void EncodeCreate(std::string& out, uint32_t call, const std::string& clsid);
void EncodeGetId(std::string& out, uint32_t call, uint32_t object, const std::string& name);
bool EncodeInvoke(std::string& out, ObjectMarshal& marshal, uint32_t call, uint32_t object,
                  DispId id, uint16_t kind, uint8_t flags, const std::vector<Variant>& args);
bool EncodeResult(std::string& out, ObjectMarshal& marshal, uint32_t call, Status status,
                  const Variant& result, const std::vector<Variant>& byRefValues,
                  const ExcepInfo& exception);
void EncodeRelease(std::string& out, uint32_t object, uint32_t count);

// One frame's body (after the length). False for anything malformed.
bool Decode(const uint8_t* body, size_t size, ObjectMarshal& marshal, Message* message);

}  // namespace qn::automation::wire
