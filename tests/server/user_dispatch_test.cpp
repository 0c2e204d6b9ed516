// The member's automation object on both databases, with the timer driven on
// a replaced clock: columns read through the row after each tick, writes of
// the last value, write-only and read-only properties, keys and credits,
// live messages and CAM pushes, and a reference kept past logoff.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core_fakes.h"
#include "fake_clock.h"
#include "platform/automation/dispatch.h"
#include "server/core/cam_hook.h"
#include "server/core/clock.h"
#include "server/core/request_packet.h"
#include "server/core/server.h"
#include "server/core/user.h"
#include "server/core/user_dispatch.h"
#include "server/core/user_timer.h"
#include "server/data/connection_pool.h"
#include "support/member_install.h"

using namespace qn::automation;
using qn::test::MemberInstall;
using qn::test::StorageMode;

namespace {

class NoActions : public IUserTimerActions {
 public:
  void SendLiveMessage(const std::string&, const std::string&) override {}
  void DisconnectUser(CUser& user) override { delete user.GetConnection(); }
};

struct CamPush {
  std::string userId, app, vendor;
  int type = -1;
};
CamPush g_lastPush;

bool RecordCamPush(const std::string& userId, const std::string& app, const std::string& vendor,
                   uint8_t type) {
  g_lastPush = {userId, app, vendor, type};
  return true;
}

class UserDispatch : public ::testing::TestWithParam<StorageMode> {
 protected:
  void SetUp() override {
    if (GetParam() == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    ResetPool();
    std::string error;
    ASSERT_TRUE(install_.Create(GetParam(), 1, &error)) << error;
    install_.SeedAccountDefaults(0, 0, -1);
    install_.ExecAccount(
        "INSERT INTO Accounts (UserID, Password, Credits, RatePerHour, MaxTimeOnline, FirstName, "
        "SignUpDate) VALUES ('Max', 'pw', 100, 0, -1, 'Maxine', '2021-06-07 08:09:10')");
    install_.ExecAccount("INSERT INTO UserID2KeyChain (UserID, KeyChainID) VALUES ('Max', 1)");
    install_.ExecAccount("INSERT INTO Accounts (UserID, Password, Credits) VALUES ('Bare', 'pw', 3)");
    CTransportBase::SetServer(&server_);
    SetClock(&clock_);
  }
  void TearDown() override {
    while (!GetUserList().empty()) delete GetUserList().front()->GetConnection();
    SetClock(nullptr);
    CTransportBase::SetServer(nullptr);
    ResetPool();
  }
  static void ResetPool() {
    ForgetUserDatabase();
    TermDatabasePool();
    ForgetDatabaseSettings();
  }
  CUser* LogOn(const std::string& id) {
    auto* connection = new FakeConnection();
    server_.AddConnection(connection);
    connection->SetHandshakeState(CTransportBase::kNormal);
    auto user = std::make_unique<CUser>();
    user->Logon(id, connection);
    connection->SetUser(user.get());
    return user.release();
  }
  void Tick() {
    clock_.now += 15;
    RunUserTimerTick(clock_.Now(), actions_);
  }
  static Status Get(IDispatch* o, const std::string& name, Variant* r, ExcepInfo* e = nullptr) {
    DispId id = 0;
    if (const Status s = o->GetIDOfName(name, &id); s != kOk) return s;
    std::vector<Variant> none;
    return o->Invoke(id, DISPATCH_PROPERTYGET, none, r, e);
  }
  static Status Put(IDispatch* o, const std::string& name, Variant v, ExcepInfo* e = nullptr) {
    DispId id = 0;
    if (const Status s = o->GetIDOfName(name, &id); s != kOk) return s;
    std::vector<Variant> args = {std::move(v)};
    return o->Invoke(id, DISPATCH_PROPERTYPUT, args, nullptr, e);
  }
  static Variant Call(IDispatch* o, const std::string& name, std::vector<Variant> args,
                      Status want = kOk) {
    DispId id = 0;
    EXPECT_EQ(o->GetIDOfName(name, &id), kOk) << name;
    Variant r;
    EXPECT_EQ(o->Invoke(id, DISPATCH_METHOD, args, &r, nullptr), want) << name;
    return r;
  }
  std::string Text(IDispatch* o, const std::string& name) {
    Variant r;
    EXPECT_EQ(Get(o, name, &r), kOk) << name;
    return r.Text();
  }

  MemberInstall install_;
  CServer server_;
  FakeClock clock_{1'700'000'000};
  NoActions actions_;
};

TEST_P(UserDispatch, ColumnsReadThroughTheRowAfterATickAndTheLastWriteReachesIt) {
  CUser* user = LogOn("Max");
  Ref<IDispatch> o = GetUserDispatch(user);
  ASSERT_TRUE(o);
  EXPECT_EQ(GetUserDispatch(user), o);
  EXPECT_EQ(Text(o.get(), "firstname"), "Maxine");
  install_.ExecAccount("UPDATE Accounts SET FirstName='Maxwell' WHERE UserID='Max'");
  EXPECT_EQ(Text(o.get(), "FirstName"), "Maxine");
  Tick();
  EXPECT_EQ(Text(o.get(), "FirstName"), "Maxwell");

  EXPECT_EQ(Put(o.get(), "City", Variant::Bstr("First")), kOk);
  EXPECT_EQ(Put(o.get(), "City", Variant::Bstr("Second")), kOk);
  EXPECT_EQ(Put(o.get(), "State", Variant::I4(12)), kOk);  // converted to its text
  EXPECT_EQ(Put(o.get(), "Dormant", Variant::Bstr("True")), kOk);
  EXPECT_EQ(install_.QueryAccount("SELECT City FROM Accounts WHERE UserID='Max'"), "");
  Tick();
  EXPECT_EQ(install_.QueryAccount("SELECT City FROM Accounts WHERE UserID='Max'"), "Second");
  EXPECT_EQ(install_.QueryAccount("SELECT State_Province FROM Accounts WHERE UserID='Max'"), "12");
  EXPECT_EQ(install_.CountAccount("SELECT UserID FROM Accounts WHERE UserID='Max' AND Dormant <> 0"), 1);
  Variant dormant;
  EXPECT_EQ(Get(o.get(), "Dormant", &dormant), kOk);
  EXPECT_EQ(dormant.vt(), VT_BOOL);
  EXPECT_EQ(dormant.Integer(), -1);

  // Password is write-only; SignupDate and UserID are read-only.
  ExcepInfo e;
  Variant r;
  EXPECT_EQ(Get(o.get(), "Password", &r, &e), kException);
  EXPECT_EQ(e.code, kGetNotSupportedCode);
  EXPECT_EQ(Put(o.get(), "Password", Variant::Bstr("secret")), kOk);
  Tick();
  EXPECT_EQ(install_.QueryAccount("SELECT Password FROM Accounts WHERE UserID='Max'"), "secret");
  EXPECT_EQ(Get(o.get(), "SignupDate", &r), kOk);
  EXPECT_EQ(r.vt(), VT_DATE);
  EXPECT_EQ(FormatDate(r.Real()), "2021-06-07 08:09:10");
  EXPECT_EQ(Put(o.get(), "SignupDate", Variant::Date(1.0), &e), kException);
  EXPECT_EQ(e.code, kSetNotSupportedCode);
  EXPECT_EQ(Text(o.get(), "UserID"), "Max");
  EXPECT_EQ(Put(o.get(), "UserID", Variant::Bstr("Other"), &e), kException);
  EXPECT_EQ(e.code, kSetNotSupportedCode);

  // The member's own fields, without the row.
  EXPECT_EQ(Put(o.get(), "MaxTimeOnline", Variant::I4(90)), kOk);
  EXPECT_EQ(user->GetMaxTimeOnline(), 90);
  EXPECT_EQ(Put(o.get(), "RatePerHour", Variant::I4(40000)), kOverflow);
  EXPECT_EQ(Get(o.get(), "RatePerHour", &r), kOk);
  EXPECT_EQ(r.vt(), VT_I2);

  // A row that cannot be read is the member's database error.
  install_.ExecAccount("DELETE FROM Accounts WHERE UserID='Max'");
  Tick();
  EXPECT_EQ(Get(o.get(), "LastName", &r, &e), kException);
  EXPECT_EQ(e.code, 8192);
  EXPECT_EQ(e.description, "User Database Error");
  EXPECT_EQ(Text(o.get(), "UserID"), "Max");
}

TEST_P(UserDispatch, KeysAndCredits) {
  CUser* user = LogOn("Max");
  Ref<IDispatch> o = GetUserDispatch(user);
  Variant keys = Call(o.get(), "GetKeys", {});
  ASSERT_EQ(keys.vt(), VT_ARRAY | VT_VARIANT);
  const SafeArray& a = keys.Array();
  ASSERT_EQ(a.Dims(), 2u);
  EXPECT_EQ(a.Bounds()[0].count, 3u);
  EXPECT_EQ(a.Bounds()[0].lower, 0);
  EXPECT_EQ(a.Bounds()[1].count, 3u);
  EXPECT_EQ(ToText(keys), "CHAT,ENTER,0;FILES,DOWNLOAD,5;FILES,UPLOAD,2");
  EXPECT_EQ(a.GetFlat(5).vt(), VT_I4);

  EXPECT_EQ(Put(o.get(), "Credits", Variant::I4(4)), kOk);
  EXPECT_EQ(Call(o.get(), "HasKey", {Variant::Bstr("files"), Variant::Bstr("upload")}).Integer(), -1);
  EXPECT_EQ(Call(o.get(), "HasKey", {Variant::Bstr("Files"), Variant::Bstr("Download")}).Integer(), 0);
  EXPECT_EQ(Call(o.get(), "DeductKey", {Variant::Bstr("Files"), Variant::Bstr("Download")}).Integer(), 0);
  EXPECT_EQ(user->GetCredits(), 4);
  EXPECT_EQ(Call(o.get(), "DeductKey", {Variant::Bstr("FILES"), Variant::Bstr("UPLOAD")}).Integer(), -1);
  EXPECT_EQ(user->GetCredits(), 2);
  EXPECT_EQ(Call(o.get(), "DeductKey", {Variant::Bstr("games"), Variant::Bstr("play")}).Integer(), 0);
  Call(o.get(), "DeductCredits", {Variant::I4(50)});
  EXPECT_EQ(user->GetCredits(), 0);
  Call(o.get(), "DeductCredits", {}, kBadParamCount);

  CUser* bare = LogOn("bare");
  Variant none = Call(GetUserDispatch(bare).get(), "GetKeys", {});
  ASSERT_EQ(none.vt(), VT_ARRAY | VT_VARIANT);
  EXPECT_EQ(none.Array().Bounds()[0].count, 0u);
  EXPECT_EQ(none.Array().Bounds()[1].count, 3u);
}

TEST_P(UserDispatch, LiveMessagesNeedAListenerAndCamPushesTheirHook) {
  CUser* user = LogOn("Max");
  Ref<IDispatch> o = GetUserDispatch(user);
  auto* connection = static_cast<FakeConnection*>(user->GetConnection());
  EXPECT_EQ(Call(o.get(), "SendLiveMessage", {Variant::Bstr("hello"), Variant::I2(1)}).Integer(), 0);
  const std::vector<uint8_t> listen = qn::EncodeRequestPacket({3, "Utility", "GetGlobalMessages", ""});
  bool ended = false;
  server_.RoutePacket(connection, new CByteBlock(listen.data(), static_cast<int32_t>(listen.size())), ended);
  const size_t before = connection->sent.size();
  EXPECT_EQ(Call(o.get(), "SendLiveMessage", {Variant::Bstr("hello"), Variant::I2(1)}).Integer(), -1);
  ASSERT_EQ(connection->sent.size(), before + 1);
  const std::vector<uint8_t>& row = connection->sent.back();
  EXPECT_NE(std::search(row.begin(), row.end(), std::begin("hello"), std::end("hello") - 1), row.end());

  const SendCAMMessageProc installed = GetSendCAMMessageHook();
  SetSendCAMMessageHook(nullptr);
  EXPECT_EQ(Call(o.get(), "SendCAM", {Variant::Bstr("App"), Variant::Bstr("Vendor"), Variant::I2(2)}).Integer(), 0);
  SetSendCAMMessageHook(&RecordCamPush);
  EXPECT_EQ(Call(o.get(), "SendCAM", {Variant::Bstr("App"), Variant::Bstr("Vendor"), Variant::I2(2)}).Integer(), -1);
  SetSendCAMMessageHook(installed);
  EXPECT_EQ(g_lastPush.userId, "Max");
  EXPECT_EQ(g_lastPush.app, "App");
  EXPECT_EQ(g_lastPush.vendor, "Vendor");
  EXPECT_EQ(g_lastPush.type, 2);
}

TEST_P(UserDispatch, AReferenceKeptPastLogoffAnswersDisconnected) {
  CUser* user = LogOn("Max");
  Ref<IDispatch> kept = GetUserDispatch(user);
  delete user->GetConnection();
  Variant r;
  EXPECT_EQ(Get(kept.get(), "UserID", &r), kDisconnected);
  DispId id = 0;
  EXPECT_EQ(kept->GetIDOfName("Credits", &id), kDisconnected);
  std::vector<Variant> args = {Variant::I4(1)};
  EXPECT_EQ(kept->Invoke(32, DISPATCH_METHOD, args, nullptr, nullptr), kDisconnected);
  // The member's next logon is a new object.
  CUser* again = LogOn("Max");
  Ref<IDispatch> fresh = GetUserDispatch(again);
  EXPECT_NE(fresh, kept);
  EXPECT_EQ(Text(fresh.get(), "UserID"), "Max");
  EXPECT_FALSE(GetUserDispatch(nullptr));
}

INSTANTIATE_TEST_SUITE_P(BothStorageModes, UserDispatch,
                         ::testing::Values(StorageMode::Access, StorageMode::Postgres),
                         [](const auto& info) {
                           return std::string(info.param == StorageMode::Access ? "Access"
                                                                                : "Postgres");
                         });

}  // namespace
