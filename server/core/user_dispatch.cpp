#include "server/core/user_dispatch.h"

#include <unordered_map>

#include "platform/automation/dispatch.h"
#include "server/core/cam_hook.h"
#include "server/core/user.h"
#include "server/services/service_utility.h"

using namespace qn::automation;

namespace {

class CUserDispatch;

// The live objects by member; an object leaves when its member logs off or
// when its last reference goes.
std::unordered_map<CUser*, CUserDispatch*> g_objects;
bool g_hookAdded = false;

class CUserDispatch : public DispatchObject {
 public:
  explicit CUserDispatch(CUser* user);
  ~CUserDispatch() override {
    if (m_pUser != nullptr) g_objects.erase(m_pUser);
  }
  void Forget() {
    m_pUser = nullptr;
    Disconnect();
  }
  // Set while connected: a disconnected object never reaches its members.
  CUser& User() { return *m_pUser; }

 private:
  CUser* m_pUser;
};

// Database failures reach the caller as the dispatch exception they carry.
template <class F>
auto Guarded(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const CDispatchException& e) {
    throw DispatchError(e.GetCode(), e.what());
  }
}

CUser& UserOf(DispatchObject& self) { return static_cast<CUserDispatch&>(self).User(); }

struct TextColumn {
  DispId id;
  const char* name;
  AccountField field;
};

constexpr TextColumn kTextColumns[] = {
    {1, "Address1", AccountField::Address1},
    {2, "Address2", AccountField::Address2},
    {3, "BillingAddress1", AccountField::BillingAddress1},
    {4, "BillingAddress2", AccountField::BillingAddress2},
    {5, "BillingCity", AccountField::BillingCity},
    {6, "BillingCompany", AccountField::BillingCompany},
    {7, "BillingCountry", AccountField::BillingCountry},
    {8, "BillingFirstName", AccountField::BillingFirstName},
    {9, "BillingLastName", AccountField::BillingLastName},
    {10, "BillingStateProvince", AccountField::BillingState_Province},
    {11, "BillingZip", AccountField::BillingZip},
    {12, "City", AccountField::City},
    {13, "Company", AccountField::Company},
    {14, "Country", AccountField::Country},
    {17, "FirstName", AccountField::FirstName},
    {18, "HomeEmailAddress", AccountField::HomeEmail},
    {19, "InternetAlias", AccountField::InternetAlias},
    {20, "LastName", AccountField::LastName},
    {21, "LongProfile", AccountField::LongProfile},
    {24, "Phone", AccountField::Phone},
    {26, "ShortProfile", AccountField::ShortProfile},
    {28, "State", AccountField::State_Province},
    {29, "ZIP", AccountField::Zip},
};

Variant Keys(CUser& user) {
  const auto& keys = user.GetKeys();
  SafeArray array;
  if (!SafeArray::Make(VT_VARIANT, {{static_cast<uint32_t>(keys.size()), 0}, {3, 0}}, &array))
    throw DispatchError(kGetKeysErrorCode, kGetKeysCreateText);
  size_t i = 0;
  for (const CUserKey& key : keys) {
    array.PutFlat(i++, Variant::Bstr(key.m_strAppName));
    array.PutFlat(i++, Variant::Bstr(key.m_strKeyName));
    array.PutFlat(i++, Variant::I4(key.m_nCost));
  }
  return Variant::Array(std::move(array));
}

const DispatchTable& UserTable() {
  static const DispatchTable table = [] {
    DispatchTable t;
    for (const TextColumn& c : kTextColumns) {
      const AccountField field = c.field;
      t.AddProperty(
          c.id, c.name, VT_BSTR,
          [field](DispatchObject& s) {
            return Guarded([&] { return Variant::Bstr(UserOf(s).GetText(field)); });
          },
          [field](DispatchObject& s, const Variant& v) { UserOf(s).SetText(field, v.Text()); });
    }
    t.AddProperty(
        15, "Credits", VT_I4, [](DispatchObject& s) { return Variant::I4(UserOf(s).GetCredits()); },
        [](DispatchObject& s, const Variant& v) {
          UserOf(s).SetCredits(static_cast<int32_t>(v.Integer()));
        });
    t.AddProperty(
        16, "Dormant", VT_BOOL,
        [](DispatchObject& s) { return Guarded([&] { return Variant::Bool(UserOf(s).GetDormant()); }); },
        [](DispatchObject& s, const Variant& v) { UserOf(s).SetDormant(v.Boolean()); });
    t.AddProperty(
        22, "MaxTimeOnline", VT_I2,
        [](DispatchObject& s) { return Variant::I2(UserOf(s).GetMaxTimeOnline()); },
        [](DispatchObject& s, const Variant& v) {
          UserOf(s).SetMaxTimeOnline(static_cast<int16_t>(v.Integer()));
        });
    t.AddProperty(23, "Password", VT_BSTR, nullptr,
                  [](DispatchObject& s, const Variant& v) { UserOf(s).SetPassword(v.Text()); });
    t.AddProperty(
        25, "RatePerHour", VT_I2,
        [](DispatchObject& s) { return Variant::I2(UserOf(s).GetRatePerHour()); },
        [](DispatchObject& s, const Variant& v) {
          UserOf(s).SetRatePerHour(static_cast<int16_t>(v.Integer()));
        });
    t.AddProperty(
        27, "SignupDate", VT_DATE,
        [](DispatchObject& s) {
          return Guarded([&] { return Variant::Date(DateFromTime(UserOf(s).GetSignupDate())); });
        },
        nullptr);
    t.AddProperty(
        30, "UserID", VT_BSTR, [](DispatchObject& s) { return Variant::Bstr(UserOf(s).GetUserID()); },
        nullptr);
    t.AddMethod(31, "GetKeys", VT_VARIANT, {},
                [](DispatchObject& s, std::vector<Variant>&) { return Keys(UserOf(s)); });
    t.AddMethod(32, "DeductCredits", VT_EMPTY, {VT_I4}, [](DispatchObject& s, std::vector<Variant>& a) {
      UserOf(s).DeductCredits(static_cast<int32_t>(a[0].Integer()));
      return Variant();
    });
    t.AddMethod(33, "HasKey", VT_BOOL, {VT_BSTR, VT_BSTR}, [](DispatchObject& s, std::vector<Variant>& a) {
      return Variant::Bool(UserOf(s).CanUseKey(a[0].Text(), a[1].Text()));
    });
    t.AddMethod(34, "DeductKey", VT_BOOL, {VT_BSTR, VT_BSTR}, [](DispatchObject& s, std::vector<Variant>& a) {
      CUser& user = UserOf(s);
      if (!user.CanUseKey(a[0].Text(), a[1].Text())) return Variant::Bool(false);
      user.ChargeKey(a[0].Text(), a[1].Text());
      return Variant::Bool(true);
    });
    t.AddMethod(35, "SendCAM", VT_BOOL, {VT_BSTR, VT_BSTR, VT_I2},
                [](DispatchObject& s, std::vector<Variant>& a) {
                  return Variant::Bool(CallSendCAMMessage(UserOf(s).GetUserID(), a[0].Text(), a[1].Text(),
                                                          static_cast<uint8_t>(a[2].Integer())));
                });
    t.AddMethod(36, "SendLiveMessage", VT_BOOL, {VT_BSTR, VT_I2},
                [](DispatchObject& s, std::vector<Variant>& a) {
                  return Variant::Bool(PostGlobalMsgToUserID(UserOf(s).GetUserID(), a[0].Text(),
                                                              static_cast<uint8_t>(a[1].Integer())));
                });
    return t;
  }();
  return table;
}

CUserDispatch::CUserDispatch(CUser* user) : DispatchObject(UserTable()), m_pUser(user) {}

void OnLogonOrOff(CUser* user, bool logon) {
  if (logon) return;
  const auto it = g_objects.find(user);
  if (it == g_objects.end()) return;
  CUserDispatch* object = it->second;
  g_objects.erase(it);
  object->Forget();
}

}  // namespace

Ref<IDispatch> GetUserDispatch(CUser* user) {
  if (user == nullptr || !user->IsLoggedOn()) return nullptr;
  if (!g_hookAdded) {
    AddLogonHook(&OnLogonOrOff);
    g_hookAdded = true;
  }
  const auto it = g_objects.find(user);
  if (it != g_objects.end()) return Ref<IDispatch>(it->second);
  auto object = MakeRef<CUserDispatch>(user);
  g_objects[user] = object.get();
  return object;
}
