#include "server/core/server_dispatch.h"

#include "platform/automation/dispatch.h"
#include "server/services/service_utility.h"

using namespace qn::automation;

namespace {

class CServerDispatch : public DispatchObject {
 public:
  CServerDispatch() : DispatchObject(Table()) {}

  static const DispatchTable& Table() {
    static const TypedDispatchTable<CServerDispatch> table = [] {
      TypedDispatchTable<CServerDispatch> t;
      t.Method(1, "SendLiveMessageToAll", VT_EMPTY, {VT_BSTR, VT_I2},
               [](CServerDispatch&, std::vector<Variant>& a) {
                 PostGlobalMsgToAll(a[0].Text(), static_cast<uint8_t>(a[1].Integer()));
                 return Variant();
               });
      t.Method(2, "GetUsersOnline", VT_VARIANT, {},
               [](CServerDispatch&, std::vector<Variant>&) -> Variant {
                 throw DispatchError(100, kGetUsersOnlineText);
               });
      t.Method(3, "GetUser", VT_DISPATCH, {VT_BSTR},
               [](CServerDispatch&, std::vector<Variant>&) -> Variant {
                 throw DispatchError(101, kGetUserText);
               });
      return t;
    }();
    return table;
  }
};

Ref<CServerDispatch> g_server;

}  // namespace

Ref<IDispatch> GetServerDispatch() {
  if (!g_server) g_server = MakeRef<CServerDispatch>();
  return g_server;
}

void DisconnectServerDispatch() {
  if (g_server) g_server->Disconnect();
  g_server.reset();
}
