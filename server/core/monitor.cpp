#include "server/core/monitor.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/automation/runtime.h"
#include "server/core/clock.h"
#include "server/core/server.h"
#include "server/core/server_dispatch.h"
#include "server/core/tcp_listener.h"
#include "server/core/transport_base.h"
#include "server/core/user.h"
#include "server/services/service_utility.h"

using namespace qn::automation;

namespace {

std::list<CMonitor*> g_monitors;
std::time_t g_startTime = 0;
// Inverted by every GetTimeUp, so a caller that polls shows a blinking colon.
bool g_blink = true;
uint32_t g_classCookie = 0;

std::string TimeText(std::time_t seconds) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", static_cast<int>(seconds / 3600 % 24),
                static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  return buf;
}

// The server's lock for the guard's life.
class ServerLock {
 public:
  explicit ServerLock(CServer* server) : m_pServer(server) {
    if (m_pServer != nullptr) m_pServer->Lock();
  }
  ~ServerLock() {
    if (m_pServer != nullptr) m_pServer->Unlock();
  }
  ServerLock(const ServerLock&) = delete;
  ServerLock& operator=(const ServerLock&) = delete;

 private:
  CServer* m_pServer;
};

class CMonitorFactory : public ClassFactory {
 public:
  Status CreateInstance(Ref<IDispatch>* out) override {
    *out = MakeRef<CMonitor>();
    return kOk;
  }
};

}  // namespace

struct CMonitorMembers {
  static Variant Bind(CMonitor& m, std::vector<Variant>& a) {
    // A second Bind lets the first sink go rather than leaking it.
    m.m_sink = Ref<IDispatch>(a[0].Object());
    if (m.m_sink) m.m_sink->InvokeAsync(1, DISPATCH_METHOD, {Variant::I4(0)}, nullptr);
    return Variant::I4(0);
  }

  static Variant GetTimeUp(CMonitor&, std::vector<Variant>&) {
    const std::time_t up = std::max<std::time_t>(GetClock().Now() - g_startTime, 0);
    std::string text = "Running Time: ";
    char buf[48];
    if (up >= 86400) {
      std::snprintf(buf, sizeof buf, "%ld Days, ", static_cast<long>(up / 86400));
      text += buf;
    }
    std::snprintf(buf, sizeof buf, "%02d%c%02d", static_cast<int>(up / 3600 % 24),
                  g_blink ? ':' : ' ', static_cast<int>(up / 60 % 60));
    g_blink = !g_blink;
    return Variant::Bstr(text + buf);
  }

  static Variant GetNbrUsersOnline(CMonitor&, std::vector<Variant>&) {
    return Variant::I4(GetUserCount());
  }

  static Variant SendGlobalMsgToAll(CMonitor&, std::vector<Variant>& a) {
    PostGlobalMsgToAll(a[0].Text(), static_cast<uint8_t>(a[1].Integer()));
    return Variant::I4(0);
  }

  static Variant SendGlobalMsgToUserID(CMonitor&, std::vector<Variant>& a) {
    PostGlobalMsgToUserID(a[0].Text(), a[1].Text(), static_cast<uint8_t>(a[2].Integer()));
    return Variant::I4(0);
  }

  static Variant KillUser(CMonitor&, std::vector<Variant>& a) {
    CUser* user = FindUserByID(a[0].Text());
    if (user == nullptr || user->GetConnection() == nullptr) return Variant::I4(-1);
    user->GetConnection()->Disconnect();
    return Variant::I4(0);
  }

  static Variant AllowNewConnections(CMonitor&, std::vector<Variant>& a) {
    SetAcceptConnections(a[0].Boolean());
    return Variant();
  }

  static Variant GetNbrConnections(CMonitor&, std::vector<Variant>&) {
    CServer* server = CTransportBase::GetServer();
    if (server == nullptr) return Variant::I4(0);
    ServerLock lock(server);
    return Variant::I4(static_cast<int32_t>(server->GetConnections().size()));
  }

  static Variant GetUserProfile(CMonitor&, std::vector<Variant>& a) {
    const int64_t index = a[0].Integer();
    ServerLock lock(CTransportBase::GetServer());
    const std::list<CUser*>& users = GetUserList();
    // A negative index is out of range as much as one past the end.
    if (index < 0 || index >= static_cast<int64_t>(users.size())) return Variant::I4(0);
    CUser* user = *std::next(users.begin(), index);
    std::string lastName, firstName;
    try {
      lastName = user->GetLastName();
      firstName = user->GetFirstName();
    } catch (const CDispatchException& e) {
      throw DispatchError(e.GetCode(), e.what());
    }
    CTransportBase* connection = user->GetConnection();
    const std::string description = connection != nullptr ? connection->GetDescription() : "";
    const std::time_t online =
        connection != nullptr ? std::max<std::time_t>(std::time(nullptr) - connection->GetCreationTime(), 0) : 0;
    // Filled only once everything is at hand: a failure changes nothing.
    a[1].Store(Variant::Bstr(user->GetUserID()));
    a[2].Store(Variant::Bstr(lastName));
    a[3].Store(Variant::Bstr(firstName));
    a[4].Store(Variant::Bstr(description));
    a[5].Store(Variant::Bstr(TimeText(online)));
    a[6].Store(Variant::I4(user->GetCredits()));
    return Variant::I4(0);
  }

  static Variant GetServerStartTimeDate(CMonitor&, std::vector<Variant>&) {
    return Variant::Date(DateFromTime(g_startTime));
  }

  static Variant GetNbrUsersOnlineNoSynch(CMonitor&, std::vector<Variant>&) {
    return Variant::I4(static_cast<int32_t>(GetUserList().size()));
  }

  static Variant Lock(CMonitor& m, std::vector<Variant>&) {
    LockUserList();
    ++m.m_nUserListLocks;
    return Variant();
  }

  static Variant Unlock(CMonitor& m, std::vector<Variant>&) {
    // Only what this object took can be given back.
    if (m.m_nUserListLocks > 0) {
      --m.m_nUserListLocks;
      UnlockUserList();
    }
    return Variant();
  }

  static const DispatchTable& Table() {
    static const TypedDispatchTable<CMonitor> table = [] {
      TypedDispatchTable<CMonitor> t;
      const uint16_t kOut = VT_BYREF | VT_BSTR;
      t.Method(1, "Bind", VT_I4, {VT_DISPATCH}, &Bind);
      t.Method(2, "GetTimeUp", VT_BSTR, {}, &GetTimeUp);
      t.Method(3, "GetNbrUsersOnline", VT_I4, {}, &GetNbrUsersOnline);
      t.Method(4, "SendGlobalMsgToAll", VT_I4, {VT_BSTR, VT_I2}, &SendGlobalMsgToAll);
      t.Method(5, "SendGlobalMsgToUserID", VT_I4, {VT_BSTR, VT_BSTR, VT_I2}, &SendGlobalMsgToUserID);
      t.Method(6, "KillUser", VT_I4, {VT_BSTR}, &KillUser);
      t.Method(7, "AllowNewConnections", VT_EMPTY, {VT_BOOL}, &AllowNewConnections);
      // 8 is reserved: it keeps its place and answers as an unknown ID.
      t.Method(9, "GetNbrConnections", VT_I4, {}, &GetNbrConnections);
      t.Method(10, "GetUserProfile", VT_I4,
               {VT_I2, kOut, kOut, kOut, kOut, kOut, VT_BYREF | VT_I4}, &GetUserProfile);
      t.Method(11, "GetServerStartTime", VT_DATE, {}, &GetServerStartTimeDate);
      t.Method(12, "GetNbrUsersOnlineNoSynch", VT_I4, {}, &GetNbrUsersOnlineNoSynch);
      t.Method(13, "LockUserList", VT_EMPTY, {}, &Lock);
      t.Method(14, "UnlockUserList", VT_EMPTY, {}, &Unlock);
      return t;
    }();
    return table;
  }
};

CMonitor::CMonitor() : DispatchObject(CMonitorMembers::Table()) { g_monitors.push_back(this); }

CMonitor::~CMonitor() {
  g_monitors.remove(this);
  m_sink.reset();
  while (m_nUserListLocks > 0) {
    --m_nUserListLocks;
    UnlockUserList();
  }
}

const std::list<CMonitor*>& GetMonitorList() { return g_monitors; }

void NotifyMonitors(int userCount) {
  // Sinks are told and not waited for; a sink that fails is ignored, and one
  // that hangs costs only its own connection (bounded output).
  std::vector<Ref<IDispatch>> sinks;
  for (CMonitor* monitor : g_monitors)
    if (monitor->GetSink() != nullptr) sinks.emplace_back(monitor->GetSink());
  for (const Ref<IDispatch>& sink : sinks) {
    try {
      sink->InvokeAsync(1, DISPATCH_METHOD, {Variant::I4(userCount)}, nullptr);
    } catch (...) {
    }
  }
}

void SetServerStartTime(std::time_t t) { g_startTime = t; }
std::time_t GetServerStartTime() { return g_startTime; }

void StartMonitorAutomation() {
  SetServerStartTime(GetClock().Now());
  const Status s = RegisterClassObject(kMonitorClsid, std::make_shared<CMonitorFactory>(), &g_classCookie);
  if (s != kOk) {
    std::fprintf(stderr, "The Monitor object's class could not be registered (%s).\n",
                 StatusText(s).c_str());
    g_classCookie = 0;
  }
}

void StopMonitorAutomation() {
  if (g_classCookie != 0) RevokeClassObject(g_classCookie);
  g_classCookie = 0;
  DisconnectServerDispatch();
  ShutdownRuntime();
}
