// CMonitorDriver against a Monitor class of this process: what the object
// raises and results of the wrong kind reach the caller as exceptions.
#include <gtest/gtest.h>

#include "common/monitor_driver.h"
#include "platform/automation/class_registry.h"
#include "platform/automation/dispatch.h"
#include "platform/automation/runtime.h"
#include "support/scoped_root.h"

namespace automation = qn::automation;
using automation::Variant;

namespace {

constexpr const char* kClsid = "{7DFB3D26-47E3-11CF-B5E0-00001D13DB37}";

class OddMonitor : public automation::DispatchObject {
 public:
  OddMonitor() : DispatchObject(Table()) {}

 private:
  static const automation::DispatchTable& Table() {
    static const automation::TypedDispatchTable<OddMonitor> table = [] {
      automation::TypedDispatchTable<OddMonitor> t;
      t.Method(9, "GetNbrConnections", automation::VT_I4, {},
               [](OddMonitor&, std::vector<Variant>&) -> Variant {
                 throw automation::DispatchError(1001, "The server is busy.");
               });
      // A count given as text converts; a text that is no number does not.
      t.Method(3, "GetNbrUsersOnline", automation::VT_BSTR, {},
               [](OddMonitor&, std::vector<Variant>&) { return Variant::Bstr(" 12 "); });
      t.Method(12, "GetNbrUsersOnlineNoSynch", automation::VT_BSTR, {},
               [](OddMonitor&, std::vector<Variant>&) { return Variant::Bstr("many"); });
      return t;
    }();
    return table;
  }
};

class OddFactory : public automation::ClassFactory {
 public:
  automation::Status CreateInstance(automation::Ref<automation::IDispatch>* out) override {
    *out = automation::MakeRef<OddMonitor>();
    return automation::kOk;
  }
};

TEST(MonitorDriver, RaisedErrorsAndResultsOfTheWrongKindAreExceptions) {
  qn::test::ScopedRoot root;
  ASSERT_TRUE(automation::RegisterLocalServerClass(CMonitorDriver::kProgID, kClsid, "/bin/false"));
  uint32_t cookie = 0;
  ASSERT_EQ(automation::RegisterClassObject(kClsid, std::make_shared<OddFactory>(), &cookie),
            automation::kOk);

  CMonitorDriver driver;
  ASSERT_TRUE(driver.CreateDispatch());
  try {
    driver.GetNbrConnections();
    ADD_FAILURE() << "no exception";
  } catch (const COleDispatchException& e) {
    EXPECT_EQ(e.m_wCode, 1001);
    EXPECT_EQ(e.m_strDescription, "The server is busy.");
  }
  EXPECT_EQ(driver.GetNbrUsersOnline(), 12);
  try {
    driver.GetNbrUsersOnlineNoSynch();
    ADD_FAILURE() << "no exception";
  } catch (const COleException& e) {
    EXPECT_EQ(e.m_sc, automation::kTypeMismatch);
  }
  // An ID the object does not have.
  try {
    driver.LockUserList();
    ADD_FAILURE() << "no exception";
  } catch (const COleException& e) {
    EXPECT_EQ(e.m_sc, automation::kMemberNotFound);
  }
  driver.ReleaseDispatch();
  automation::RevokeClassObject(cookie);
}

}  // namespace
