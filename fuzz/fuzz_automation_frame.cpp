// The automation frame decoder on any bytes: what it accepts encodes again
// and decodes to the same message, and nothing it reads costs more than the
// frame holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/automation/wire.h"

namespace {

using namespace qn::automation;

class Nothing : public IDispatch {
 public:
  Status GetIDOfName(const std::string&, DispId*) override { return kUnknownName; }
  Status Invoke(DispId, uint16_t, std::vector<Variant>&, Variant*, ExcepInfo*) override {
    return kMemberNotFound;
  }
};

// Handles below 16 name objects either side knows; others are unknown.
class SmallMarshal : public wire::ObjectMarshal {
 public:
  void Export(IDispatch*, uint32_t* handle, bool* peersOwn) override {
    *handle = 1;
    *peersOwn = false;
  }
  bool Import(uint32_t handle, bool, Ref<IDispatch>* out) override {
    if (handle >= 16) return false;
    *out = MakeRef<Nothing>();
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SmallMarshal marshal;
  wire::Message m;
  if (!wire::Decode(data, size, marshal, &m)) return 0;
  std::string again;
  bool ok = true;
  switch (m.type) {
    case wire::kCreate: wire::EncodeCreate(again, m.call, m.text); break;
    case wire::kGetId: wire::EncodeGetId(again, m.call, m.object, m.text); break;
    case wire::kInvoke: {
      std::vector<Variant> targets = m.args;
      std::vector<Variant> args;
      for (size_t i = 0; i < targets.size(); ++i)
        args.push_back(m.byRef[i] ? Variant::ByRef(&targets[i]) : targets[i]);
      ok = wire::EncodeInvoke(again, marshal, m.call, m.object, m.dispid, m.kind, m.flags, args);
      break;
    }
    case wire::kResult:
      ok = wire::EncodeResult(again, marshal, m.call, m.status, m.result, m.byRefValues, m.exception);
      break;
    case wire::kRelease: wire::EncodeRelease(again, m.object, m.count); break;
  }
  if (!ok) std::abort();
  wire::Message back;
  if (!wire::Decode(reinterpret_cast<const uint8_t*>(again.data()) + 4, again.size() - 4, marshal, &back))
    std::abort();
  if (back.type != m.type || back.args.size() != m.args.size() || back.status != m.status)
    std::abort();
  return 0;
}
