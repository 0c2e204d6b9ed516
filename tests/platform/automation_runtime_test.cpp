// The automation runtime between two processes: a local server forked from
// the test serves a class; the test creates it through the registry and
// calls it. Dispatch by name and ID, conversions, references both ways,
// callbacks during a call, time limits, peers that go, unread output, and
// frames that are malformed or never finished.
#include <gtest/gtest.h>
#include <signal.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/automation/class_registry.h"
#include "platform/automation/runtime.h"
#include "platform/automation/wire.h"
#include "platform/paths.h"
#include "support/scoped_root.h"
#include "support/service_helpers.h"

using namespace qn::automation;
using namespace std::chrono_literals;

namespace {

constexpr const char* kClsid = "{0E8C1C52-4F0B-4B61-9D1B-3C7E2A5B9A10}";
constexpr const char* kProgId = "AutomationTest.Calc";

int g_liveCalcs = 0;

class Calc : public DispatchObject {
 public:
  Calc() : DispatchObject(Table()) { ++g_liveCalcs; }
  ~Calc() override { --g_liveCalcs; }

  static const DispatchTable& Table() {
    static const TypedDispatchTable<Calc> table = [] {
      TypedDispatchTable<Calc> t;
      t.Method(1, "Add", VT_I4, {VT_I4, VT_I4}, [](Calc&, std::vector<Variant>& a) {
        return Variant::I4(static_cast<int32_t>(a[0].Integer() + a[1].Integer()));
      });
      t.Method(2, "Echo", VT_VARIANT, {VT_VARIANT},
               [](Calc&, std::vector<Variant>& a) { return a[0]; });
      t.Method(3, "Fail", VT_EMPTY, {VT_I4, VT_BSTR}, [](Calc&, std::vector<Variant>& a) -> Variant {
        throw DispatchError(static_cast<int32_t>(a[0].Integer()), a[1].Text());
      });
      t.Method(4, "Fill", VT_EMPTY, {VT_BYREF | VT_BSTR, VT_BYREF | VT_I4},
               [](Calc&, std::vector<Variant>& a) {
                 a[0].Store(Variant::Bstr("filled"));
                 a[1].Store(Variant::I4(42));
                 return Variant();
               });
      t.Method(5, "Nap", VT_EMPTY, {VT_I4}, [](Calc&, std::vector<Variant>& a) {
        std::this_thread::sleep_for(std::chrono::milliseconds(a[0].Integer()));
        return Variant();
      });
      t.Method(6, "Quit", VT_EMPTY, {VT_I4}, [](Calc&, std::vector<Variant>& a) -> Variant {
        ::_exit(static_cast<int>(a[0].Integer()));
      });
      t.Method(7, "CallBack", VT_I4, {VT_DISPATCH, VT_I4}, [](Calc&, std::vector<Variant>& a) {
        std::vector<Variant> args = {a[1]};
        Variant r;
        const Status s = a[0].Object()->Invoke(1, DISPATCH_METHOD, args, &r, nullptr);
        if (s != kOk) throw DispatchError(static_cast<int32_t>(s), "callback failed");
        return r;
      });
      t.Method(8, "Keep", VT_EMPTY, {VT_DISPATCH}, [](Calc& c, std::vector<Variant>& a) {
        c.kept = Ref<IDispatch>(a[0].Object());
        return Variant();
      });
      t.Method(9, "Drop", VT_EMPTY, {}, [](Calc& c, std::vector<Variant>&) {
        c.kept.reset();
        return Variant();
      });
      t.Property(10, "Name", VT_BSTR, [](Calc& c) { return Variant::Bstr(c.name); },
                 [](Calc& c, const Variant& v) { c.name = v.Text(); });
      t.Property(11, "ReadOnly", VT_I4, [](Calc&) { return Variant::I4(11); }, nullptr);
      t.Property(12, "WriteOnly", VT_I4, nullptr, [](Calc&, const Variant&) {});
      t.Method(13, "Live", VT_I4, {}, [](Calc&, std::vector<Variant>&) {
        return Variant::I4(g_liveCalcs);
      });
      return t;
    }();
    return table;
  }

  Ref<IDispatch> kept;
  std::string name;
};

class CalcFactory : public ClassFactory {
 public:
  Status CreateInstance(Ref<IDispatch>* out) override {
    *out = MakeRef<Calc>();
    return kOk;
  }
};

// The caller's own object: method 1 doubles its argument and notes it.
class Recorder : public DispatchObject {
 public:
  Recorder() : DispatchObject(Table()) {}
  static const DispatchTable& Table() {
    static const TypedDispatchTable<Recorder> table = [] {
      TypedDispatchTable<Recorder> t;
      t.Method(1, "Note", VT_I4, {VT_I4}, [](Recorder& r, std::vector<Variant>& a) {
        r.seen.push_back(static_cast<int>(a[0].Integer()));
        return Variant::I4(static_cast<int32_t>(a[0].Integer() * 2));
      });
      return t;
    }();
    return table;
  }
  std::vector<int> seen;
};

Status Call(IDispatch* object, const std::string& name, std::vector<Variant> args,
            Variant* result = nullptr, ExcepInfo* exception = nullptr) {
  DispId id = 0;
  if (const Status s = object->GetIDOfName(name, &id); s != kOk) return s;
  return object->Invoke(id, DISPATCH_METHOD | DISPATCH_PROPERTYGET, args, result, exception);
}

class AutomationRuntime : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(RegisterLocalServerClass(kProgId, kClsid, "/bin/false")); }
  void TearDown() override {
    ShutdownRuntime();
    SetOutputLimit(kDefaultOutputLimit);
    if (server_ > 0) {
      ::kill(server_, SIGCONT);
      ::kill(server_, SIGKILL);
      ::waitpid(server_, nullptr, 0);
    }
  }

  // A local server of the class in a child process, serving until killed.
  void StartServer() {
    const auto socket = ClassSocketPath(CanonicalClsid(kClsid));
    // A server that ended leaves its socket behind: waiting for the path
    // must wait for the new one.
    std::error_code ec;
    std::filesystem::remove(socket, ec);
    server_ = ::fork();
    ASSERT_GE(server_, 0);
    if (server_ == 0) {
      ShutdownRuntime();
      uint32_t cookie = 0;
      if (RegisterClassObject(kClsid, std::make_shared<CalcFactory>(), &cookie) != kOk) ::_exit(3);
      Pump([] { return false; }, Clock::time_point::max());
      ::_exit(0);
    }
    for (int i = 0; i < 500 && !std::filesystem::exists(socket); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(std::filesystem::exists(socket));
  }
  Ref<IDispatch> Create() {
    Ref<IDispatch> object;
    EXPECT_EQ(CreateObject(kProgId, &object, 5000), kOk);
    return object;
  }
  void KillServer() {
    ::kill(server_, SIGKILL);
    ::waitpid(server_, nullptr, 0);
    server_ = -1;
  }
  // Serves this side until `done`, at most two seconds.
  static bool PumpFor(const std::function<bool()>& done) {
    return Pump(done, Clock::now() + 2s);
  }

  qn::test::ScopedRoot root_;
  pid_t server_ = -1;
};

TEST_F(AutomationRuntime, CallsByNameAndIdConvertArgumentsFillReferencesAndRaise) {
  StartServer();
  Ref<IDispatch> calc = Create();
  ASSERT_TRUE(calc);
  EXPECT_TRUE(IsProxy(calc.get()));
  Variant r;
  EXPECT_EQ(Call(calc.get(), "aDD", {Variant::Bstr("40"), Variant::I2(2)}, &r), kOk);
  EXPECT_EQ(r.vt(), VT_I4);
  EXPECT_EQ(r.Integer(), 42);
  std::vector<Variant> args = {Variant::I4(1), Variant::I4(2)};
  EXPECT_EQ(calc->Invoke(1, DISPATCH_METHOD, args, &r, nullptr), kOk);
  EXPECT_EQ(r.Integer(), 3);

  EXPECT_EQ(Call(calc.get(), "Nope", {}), kUnknownName);
  args.clear();
  EXPECT_EQ(calc->Invoke(99, DISPATCH_METHOD, args, &r, nullptr), kMemberNotFound);
  EXPECT_EQ(Call(calc.get(), "Add", {Variant::I4(1)}), kBadParamCount);
  EXPECT_EQ(Call(calc.get(), "Add", {Variant::Bstr("one"), Variant::I4(1)}), kTypeMismatch);
  EXPECT_EQ(Call(calc.get(), "Add", {Variant::R8(3e9), Variant::I4(1)}), kOverflow);

  ExcepInfo e;
  EXPECT_EQ(Call(calc.get(), "Fail", {Variant::I4(101), Variant::Bstr("Quillnet text")}, &r, &e), kException);
  EXPECT_EQ(e.code, 101);
  EXPECT_EQ(e.description, "Quillnet text");

  Variant text = Variant::Bstr("initial"), number = Variant::I4(0);
  EXPECT_EQ(Call(calc.get(), "Fill", {Variant::ByRef(&text), Variant::ByRef(&number)}), kOk);
  EXPECT_EQ(text.Text(), "filled");
  EXPECT_EQ(number.Integer(), 42);
  // Out parameters are not coerced: the caller's storage must have their type.
  EXPECT_EQ(Call(calc.get(), "Fill", {Variant::ByRef(&number), Variant::ByRef(&text)}), kTypeMismatch);

  // Properties: get, put, and the framework's refusals.
  std::vector<Variant> value = {Variant::I4(77)};
  EXPECT_EQ(calc->Invoke(10, DISPATCH_PROPERTYPUT, value, nullptr, nullptr), kOk);
  EXPECT_EQ(Call(calc.get(), "name", {}, &r), kOk);
  EXPECT_EQ(r.Text(), "77");
  value = {Variant::I4(1)};
  EXPECT_EQ(calc->Invoke(11, DISPATCH_PROPERTYPUT, value, nullptr, &e), kException);
  EXPECT_EQ(e.code, kSetNotSupportedCode);
  EXPECT_EQ(Call(calc.get(), "WriteOnly", {}, &r, &e), kException);
  EXPECT_EQ(e.code, kGetNotSupportedCode);

  // Two-dimensional arrays with bounds, zero-length ones too, travel whole.
  SafeArray keys;
  ASSERT_TRUE(SafeArray::Make(VT_VARIANT, {{0, 0}, {3, 0}}, &keys));
  EXPECT_EQ(Call(calc.get(), "Echo", {Variant::Array(keys)}, &r), kOk);
  ASSERT_EQ(r.vt(), VT_ARRAY | VT_VARIANT);
  EXPECT_EQ(r.Array().Dims(), 2u);
  EXPECT_EQ(r.Array().Bounds()[0].count, 0u);
  EXPECT_EQ(r.Array().Bounds()[1].count, 3u);
}

TEST_F(AutomationRuntime, CallbacksDuringACallAndReferencesHeldByThePeer) {
  StartServer();
  Ref<IDispatch> calc = Create();
  ASSERT_TRUE(calc);
  auto recorder = MakeRef<Recorder>();
  Variant r;
  EXPECT_EQ(Call(calc.get(), "CallBack", {Variant::Dispatch(recorder), Variant::I4(21)}, &r), kOk);
  EXPECT_EQ(r.Integer(), 42);
  EXPECT_EQ(recorder->seen, std::vector<int>{21});
  // The peer's proxy was let go at the end of its call.
  EXPECT_TRUE(PumpFor([&] { return recorder->RefCount() == 1; }));

  EXPECT_EQ(Call(calc.get(), "Keep", {Variant::Dispatch(recorder)}), kOk);
  EXPECT_EQ(recorder->RefCount(), 2u);
  EXPECT_EQ(ExportedObjectCount(), 1u);
  EXPECT_EQ(Call(calc.get(), "Drop", {}), kOk);
  EXPECT_EQ(recorder->RefCount(), 1u);

  // A proxy handed back to its own side is the object itself.
  EXPECT_EQ(Call(calc.get(), "Echo", {Variant::Dispatch(calc)}, &r), kOk);
  EXPECT_EQ(r.Object(), calc.get());
  EXPECT_EQ(Call(calc.get(), "Live", {}, &r), kOk);
  EXPECT_EQ(r.Integer(), 1);

  // A peer that goes gives back all it held.
  EXPECT_EQ(Call(calc.get(), "Keep", {Variant::Dispatch(recorder)}), kOk);
  KillServer();
  EXPECT_TRUE(PumpFor([&] { return recorder->RefCount() == 1; }));
}

TEST_F(AutomationRuntime, PeersGoneBeforeOrDuringACallAndCallsPastTheirTime) {
  StartServer();
  Ref<IDispatch> calc = Create();
  ASSERT_TRUE(calc);
  SetCallTimeout(calc.get(), 200);
  EXPECT_EQ(Call(calc.get(), "Nap", {Variant::I4(1000)}), kTimeout);
  // The late answer to the call that timed out is dropped; the next one is answered.
  SetCallTimeout(calc.get(), 5000);
  Variant r;
  EXPECT_EQ(Call(calc.get(), "Add", {Variant::I4(2), Variant::I4(2)}, &r), kOk);
  EXPECT_EQ(r.Integer(), 4);

  EXPECT_EQ(Call(calc.get(), "Quit", {Variant::I4(0)}), kCallFailed);
  EXPECT_EQ(Call(calc.get(), "Add", {Variant::I4(2), Variant::I4(2)}), kCallFailedDne);
  ::waitpid(server_, nullptr, 0);
  server_ = -1;

  StartServer();
  Ref<IDispatch> second = Create();
  ASSERT_TRUE(second);
  KillServer();
  const Status s = Call(second.get(), "Add", {Variant::I4(2), Variant::I4(2)});
  EXPECT_TRUE(s == kCallFailedDne || s == kCallFailed) << StatusText(s);
  EXPECT_EQ(ConnectionCount(), 0u);
}

TEST_F(AutomationRuntime, CreationFailsForUnknownClassesAndServersThatDoNotRegister) {
  Ref<IDispatch> object;
  EXPECT_EQ(CreateObject("No.Such.Class", &object, 2000), kClassNotRegistered);
  EXPECT_EQ(CreateObject("{00000000-0000-0000-0000-000000000001}", &object, 2000), kClassNotRegistered);
  EXPECT_EQ(CreateObject("bad\\name", &object, 2000), kClassNotRegistered);
  // A server that ends at once, one that cannot start, one that never registers.
  const auto t0 = Clock::now();
  EXPECT_EQ(CreateObject(kProgId, &object, 20000), kServerExecFailure);
  EXPECT_LT(Clock::now() - t0, 10s);
  ASSERT_TRUE(RegisterLocalServerClass(kProgId, kClsid, "/nonexistent/program"));
  EXPECT_EQ(CreateObject(kProgId, &object, 2000), kServerExecFailure);
  ASSERT_TRUE(RegisterLocalServerClass(kProgId, kClsid, "/bin/sh -c \"sleep 1\" shell"));
  EXPECT_EQ(CreateObject(kProgId, &object, 300), kServerExecFailure);
  EXPECT_FALSE(object);
}

TEST_F(AutomationRuntime, APeerThatDoesNotReadIsDroppedPastTheOutputLimit) {
  StartServer();
  Ref<IDispatch> calc = Create();
  ASSERT_TRUE(calc);
  SetOutputLimit(64 * 1024);
  ASSERT_TRUE(qn::svctest::FreezeProcess(server_));
  const std::string block(1024, 'x');
  for (int i = 0; i < 4000 && ConnectionCount() > 0; ++i)
    calc->InvokeAsync(2, DISPATCH_METHOD, {Variant::Bstr(block)}, nullptr);
  EXPECT_EQ(ConnectionCount(), 0u);
  EXPECT_EQ(Call(calc.get(), "Add", {Variant::I4(1), Variant::I4(1)}), kCallFailedDne);
}

// Raw bytes to this process's own class socket.
int RawConnect() {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = ClassSocketPath(CanonicalClsid(kClsid)).string();
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  return fd;
}

bool ClosedByPeer(int fd) {
  char c;
  return ::recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

TEST_F(AutomationRuntime, MalformedOrUnfinishedFramesCostOnlyTheirPeer) {
  uint32_t cookie = 0;
  ASSERT_EQ(RegisterClassObject(kClsid, std::make_shared<CalcFactory>(), &cookie), kOk);
  struct stat st {};
  ASSERT_EQ(::stat(ClassSocketPath(CanonicalClsid(kClsid)).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // A second registration of the class in this root is refused.
  uint32_t again = 0;
  EXPECT_EQ(RegisterClassObject(kClsid, std::make_shared<CalcFactory>(), &again), kSharingViolation);

  const int half = RawConnect(), huge = RawConnect(), garbage = RawConnect(), unknown = RawConnect();
  const uint8_t halfFrame[] = {100, 0, 0, 0, wire::kCreate, 1};
  const uint8_t hugeFrame[] = {0xFF, 0xFF, 0xFF, 0x7F, 1};
  const uint8_t garbageFrame[] = {3, 0, 0, 0, 99, 1, 2};
  // An invoke on an object handle nobody gave out: answered, not dropped.
  std::string unknownFrame;
  std::vector<Variant> none;
  class NoMarshal : public wire::ObjectMarshal {
    void Export(IDispatch*, uint32_t*, bool*) override {}
    bool Import(uint32_t, bool, Ref<IDispatch>*) override { return false; }
  } noMarshal;
  wire::EncodeInvoke(unknownFrame, noMarshal, 5, 77, 1, DISPATCH_METHOD, 0, none);
  ASSERT_EQ(::send(half, halfFrame, sizeof halfFrame, 0), static_cast<ssize_t>(sizeof halfFrame));
  ASSERT_EQ(::send(huge, hugeFrame, sizeof hugeFrame, 0), static_cast<ssize_t>(sizeof hugeFrame));
  ASSERT_EQ(::send(garbage, garbageFrame, sizeof garbageFrame, 0), static_cast<ssize_t>(sizeof garbageFrame));
  ASSERT_EQ(::send(unknown, unknownFrame.data(), unknownFrame.size(), 0), static_cast<ssize_t>(unknownFrame.size()));
  EXPECT_TRUE(PumpFor([&] { return ConnectionCount() == 2; }));
  EXPECT_TRUE(ClosedByPeer(huge));
  EXPECT_TRUE(ClosedByPeer(garbage));
  EXPECT_FALSE(ClosedByPeer(half));
  EXPECT_TRUE(PumpFor([&] {
    pollfd p{unknown, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }));

  uint8_t reply[64];
  const ssize_t n = ::recv(unknown, reply, sizeof reply, MSG_DONTWAIT);
  ASSERT_EQ(n, 13);
  uint32_t status = 0;
  std::memcpy(&status, reply + 9, 4);
  EXPECT_EQ(status, kDisconnected);

  // The class is still served to a well-behaved client.
  const int good = RawConnect();
  std::string create;
  wire::EncodeCreate(create, 1, kClsid);
  ASSERT_EQ(::send(good, create.data(), create.size(), 0), static_cast<ssize_t>(create.size()));
  EXPECT_TRUE(PumpFor([&] { return ExportedObjectCount() == 1; }));
  ::close(good);
  EXPECT_TRUE(PumpFor([&] { return ExportedObjectCount() == 0 && g_liveCalcs == 0; }));
  for (int fd : {half, huge, garbage, unknown}) ::close(fd);
  RevokeClassObject(cookie);
  EXPECT_FALSE(std::filesystem::exists(ClassSocketPath(CanonicalClsid(kClsid))));
}

}  // namespace
