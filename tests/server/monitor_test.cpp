// The Monitor object called in-process: the running-time text on a replaced
// clock, sinks at Bind and at each notice, the user-list locks it takes and
// gives back, members found in any letter case, profiles out of range.
#include <gtest/gtest.h>

#include <thread>

#include "core_fakes.h"
#include "fake_clock.h"
#include "server/core/clock.h"
#include "server/core/monitor.h"
#include "server/core/server.h"
#include "server/core/server_dispatch.h"
#include "server/core/user.h"

using namespace qn::automation;

namespace {

class Sink : public DispatchObject {
 public:
  explicit Sink(Status answer = kOk) : DispatchObject(Table()), answer(answer) {}
  static const DispatchTable& Table() {
    static const TypedDispatchTable<Sink> table = [] {
      TypedDispatchTable<Sink> t;
      t.Method(1, "Notify", VT_EMPTY, {VT_I4}, [](Sink& s, std::vector<Variant>& a) -> Variant {
        s.heard.push_back(static_cast<int>(a[0].Integer()));
        if (s.answer != kOk) throw DispatchError(1, "sink failed");
        return Variant();
      });
      return t;
    }();
    return table;
  }
  Status answer;
  std::vector<int> heard;
};

class MonitorObject : public ::testing::Test {
 protected:
  void SetUp() override {
    SetClock(&clock_);
    SetServerStartTime(clock_.now);
    CTransportBase::SetServer(&server_);
  }
  void TearDown() override {
    while (!GetUserList().empty()) delete GetUserList().front();
    CTransportBase::SetServer(nullptr);
    SetClock(nullptr);
  }
  static Status Call(IDispatch* object, const std::string& name, std::vector<Variant> args,
                     Variant* result = nullptr, ExcepInfo* exception = nullptr) {
    DispId id = 0;
    if (const Status s = object->GetIDOfName(name, &id); s != kOk) return s;
    return object->Invoke(id, DISPATCH_METHOD, args, result, exception);
  }
  static std::string Text(IDispatch* object, const std::string& name) {
    Variant r;
    EXPECT_EQ(Call(object, name, {}, &r), kOk);
    return r.Text();
  }
  // Another thread's view of the user-list lock.
  static bool UserListFree() {
    bool free = false;
    std::thread([&] {
      free = GetUserListLock().try_lock();
      if (free) GetUserListLock().unlock();
    }).join();
    return free;
  }

  FakeClock clock_{1'700'000'000};
  CServer server_;
};

TEST_F(MonitorObject, RunningTimeCountsDaysHoursMinutesAndBlinks) {
  auto monitor = MakeRef<CMonitor>();
  clock_.now += 86400 + 2 * 3600 + 5 * 60 + 59;
  const std::string first = Text(monitor.get(), "GetTimeUp");
  const std::string second = Text(monitor.get(), "gettimeup");
  EXPECT_NE(first, second);
  EXPECT_TRUE((first == "Running Time: 1 Days, 02:05" && second == "Running Time: 1 Days, 02 05") ||
              (first == "Running Time: 1 Days, 02 05" && second == "Running Time: 1 Days, 02:05"))
      << first << " / " << second;
  clock_.now = GetServerStartTime() + 59;
  EXPECT_EQ(Text(monitor.get(), "GetTimeUp").substr(0, 16), "Running Time: 00");
  clock_.now = GetServerStartTime() + 3 * 86400 + 23 * 3600;
  EXPECT_EQ(Text(monitor.get(), "GetTimeUp").substr(0, 24), "Running Time: 3 Days, 23");

  Variant start;
  EXPECT_EQ(Call(monitor.get(), "GetServerStartTime", {}, &start), kOk);
  EXPECT_EQ(start.vt(), VT_DATE);
  EXPECT_EQ(FormatDate(start.Real()), FormatDate(DateFromTime(GetServerStartTime())));

  // The reserved ID keeps its place and answers as an unknown one.
  std::vector<Variant> none;
  EXPECT_EQ(monitor->Invoke(8, DISPATCH_METHOD, none, nullptr, nullptr), kMemberNotFound);
  EXPECT_EQ(monitor->Invoke(15, DISPATCH_METHOD, none, nullptr, nullptr), kMemberNotFound);
}

TEST_F(MonitorObject, SinksHearZeroAtBindThenEachCountAndASecondBindLetsTheFirstGo) {
  auto monitor = MakeRef<CMonitor>();
  auto failing = MakeRef<CMonitor>();
  auto first = MakeRef<Sink>(), second = MakeRef<Sink>(), broken = MakeRef<Sink>(kException);
  Variant r;
  EXPECT_EQ(Call(failing.get(), "Bind", {Variant::Dispatch(broken)}, &r), kOk);
  EXPECT_EQ(Call(monitor.get(), "Bind", {Variant::Dispatch(first)}, &r), kOk);
  EXPECT_EQ(r.Integer(), 0);
  EXPECT_EQ(first->heard, std::vector<int>{0});
  NotifyMonitors(3);
  EXPECT_EQ(first->heard, (std::vector<int>{0, 3}));
  EXPECT_EQ(broken->heard, (std::vector<int>{0, 3}));

  EXPECT_EQ(Call(monitor.get(), "Bind", {Variant::Dispatch(second)}), kOk);
  EXPECT_EQ(first->RefCount(), 1u);
  NotifyMonitors(1);
  EXPECT_EQ(first->heard, (std::vector<int>{0, 3}));
  EXPECT_EQ(second->heard, (std::vector<int>{0, 1}));
  EXPECT_EQ(Call(monitor.get(), "Bind", {Variant::I4(5)}), kTypeMismatch);

  // A monitor that goes leaves the list and lets its sink go.
  monitor.reset();
  EXPECT_EQ(second->RefCount(), 1u);
  EXPECT_EQ(GetMonitorList().size(), 1u);
}

TEST_F(MonitorObject, UserListLocksAreGivenBackWithTheObjectAndOnlyThose) {
  auto holder = MakeRef<CMonitor>();
  auto other = MakeRef<CMonitor>();
  EXPECT_EQ(Call(holder.get(), "LockUserList", {}), kOk);
  EXPECT_EQ(Call(holder.get(), "LockUserList", {}), kOk);
  EXPECT_EQ(Call(holder.get(), "UnlockUserList", {}), kOk);
  EXPECT_FALSE(UserListFree());
  // Another object cannot give back what it never took.
  EXPECT_EQ(Call(other.get(), "UnlockUserList", {}), kOk);
  EXPECT_EQ(Call(other.get(), "UnlockUserList", {}), kOk);
  EXPECT_FALSE(UserListFree());
  EXPECT_EQ(holder->GetUserListLocks(), 1);
  holder.reset();
  EXPECT_TRUE(UserListFree());
}

TEST_F(MonitorObject, MembersConnectionsProfilesAndTheServerObject) {
  auto* connection = new FakeConnection();
  ASSERT_TRUE(server_.AddConnection(connection));
  auto* user = new CUser();
  user->Attach("Max", connection, 250, 0, -1, clock_.now);
  auto monitor = MakeRef<CMonitor>();
  Variant r;
  EXPECT_EQ(Call(monitor.get(), "GetNbrConnections", {}, &r), kOk);
  EXPECT_EQ(r.Integer(), 1);
  EXPECT_EQ(Call(monitor.get(), "GetNbrUsersOnline", {}, &r), kOk);
  EXPECT_EQ(r.Integer(), 1);
  EXPECT_EQ(Call(monitor.get(), "GetNbrUsersOnlineNoSynch", {}, &r), kOk);
  EXPECT_EQ(r.Integer(), 1);

  // Out of range, below or past the end: nothing changes, 0 all the same.
  std::vector<Variant> out = {Variant::Bstr("u"), Variant::Bstr("l"), Variant::Bstr("f"),
                              Variant::Bstr("c"), Variant::Bstr("t"), Variant::I4(-7)};
  for (int16_t index : {int16_t{-1}, int16_t{1}, int16_t{-32768}}) {
    std::vector<Variant> args = {Variant::I2(index)};
    for (Variant& o : out) args.push_back(Variant::ByRef(&o));
    EXPECT_EQ(Call(monitor.get(), "GetUserProfile", args, &r), kOk);
    EXPECT_EQ(r.Integer(), 0);
    EXPECT_EQ(out[0].Text(), "u");
    EXPECT_EQ(out[5].Integer(), -7);
  }
  // Out parameters must come by reference, of their own type.
  EXPECT_EQ(Call(monitor.get(), "GetUserProfile",
                 {Variant::I2(0), Variant::Bstr(""), Variant::Bstr(""), Variant::Bstr(""),
                  Variant::Bstr(""), Variant::Bstr(""), Variant::I4(0)}),
            kTypeMismatch);

  EXPECT_EQ(Call(monitor.get(), "KillUser", {Variant::Bstr("Nobody")}, &r), kOk);
  EXPECT_EQ(r.Integer(), -1);
  EXPECT_FALSE(connection->disconnected);
  EXPECT_EQ(Call(monitor.get(), "KillUser", {Variant::Bstr("mAX")}, &r), kOk);
  EXPECT_EQ(r.Integer(), 0);
  EXPECT_TRUE(connection->disconnected);

  // The server object's own interface.
  Ref<IDispatch> serverObject = GetServerDispatch();
  ExcepInfo e;
  EXPECT_EQ(Call(serverObject.get(), "GetUsersOnline", {}, &r, &e), kException);
  EXPECT_EQ(e.code, 100);
  EXPECT_EQ(e.description,
            "Quillnet Server GetUsersOnline is not yet implemented. Please contact Brenlo for assistance.");
  EXPECT_EQ(Call(serverObject.get(), "GetUser", {Variant::Bstr("Max")}, &r, &e), kException);
  EXPECT_EQ(e.code, 101);
  EXPECT_EQ(e.description,
            "Quillnet Server GetUser is not yet implemented. Please contact Brenlo for assistance.");
  EXPECT_EQ(Call(serverObject.get(), "SendLiveMessageToAll", {Variant::Bstr("hi"), Variant::I2(0)}), kOk);
  DisconnectServerDispatch();
  EXPECT_EQ(Call(serverObject.get(), "SendLiveMessageToAll", {Variant::Bstr("hi"), Variant::I2(0)}),
            kDisconnected);

  delete user;
  server_.RemoveConnection(connection);
  delete connection;
}

}  // namespace
