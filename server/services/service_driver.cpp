#include "server/services/service_driver.h"

#include <memory>

using namespace qn::automation;

void CServiceDriver::CallByName(const char* name, Slot slot, std::vector<Variant> args,
                                Completion done) {
  Ref<IDispatch> object = m_object;
  if (!object) {
    Outcome gone;
    gone.status = kDisconnected;
    done(gone);
    return;
  }
  if (const auto& cached = (*m_ids).*slot) {
    object->InvokeAsync(*cached, DISPATCH_METHOD, std::move(args), std::move(done));
    return;
  }
  auto ids = m_ids;
  auto shared = std::make_shared<std::vector<Variant>>(std::move(args));
  object->GetIDOfNameAsync(name, [object, ids, slot, shared, done](Status s, DispId id) {
    if (s != kOk) {
      Outcome failed;
      failed.status = s;
      done(failed);
      return;
    }
    (*ids).*slot = id;
    object->InvokeAsync(id, DISPATCH_METHOD, std::move(*shared), done);
  });
}

void CServiceDriver::QuillnetInit(Ref<IDispatch> server,
                                  std::function<void(const Outcome&, int32_t)> done) {
  CallByName("QuillnetInit", &CachedIds::init, {Variant::Dispatch(std::move(server))},
             [done](Outcome& o) {
               Variant value;
               if (o.status == kOk && ChangeType(o.result, VT_I4, &value) != kOk) {
                 o.status = kTypeMismatch;
               }
               done(o, o.status == kOk ? static_cast<int32_t>(value.Integer()) : 0);
             });
}

void CServiceDriver::CreateService(const std::string& name,
                                   std::function<void(Status, Ref<IDispatch>)> done) {
  CallByName("CreateService", &CachedIds::create, {Variant::Bstr(name)}, [done](Outcome& o) {
    if (o.status != kOk) {
      done(o.status, nullptr);
      return;
    }
    const Variant& result = o.result.Deref();
    Ref<IDispatch> object(result.vt() == VT_DISPATCH ? result.Object() : nullptr);
    const Status status = object ? kOk : kTypeMismatch;
    done(status, std::move(object));
  });
}

void CServiceDriver::Notify(int32_t value) {
  if (m_object) m_object->InvokeAsync(1, DISPATCH_METHOD, {Variant::I4(value)}, nullptr);
}
