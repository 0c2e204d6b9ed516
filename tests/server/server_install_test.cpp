#include "server/core/server_install.h"

#include <gtest/gtest.h>

#include "common/install_helpers.h"
#include "platform/automation/class_registry.h"
#include "platform/paths.h"
#include "platform/registry_store.h"
#include "platform/service_control.h"
#include "support/scoped_root.h"
#include "support/service_helpers.h"

namespace reg = qn::reg;

namespace {

class ServerInstallTest : public ::testing::Test {
 protected:
  // The value, or a value of type kNone when the key or value is missing.
  reg::Value Read(reg::Hive hive, const std::string& path, const std::string& name) {
    auto& store = reg::Store::Default();
    reg::KeyHandle key;
    reg::Value v;
    if (store.OpenKey(reg::KeyHandle::Root(hive), path, key) != reg::kOk) return v;
    if (store.QueryValue(key, name, v) != reg::kOk) return reg::Value{};
    return v;
  }
  void SetOdbcType(const char* type) {
    auto& store = reg::Store::Default();
    reg::KeyHandle key;
    ASSERT_EQ(store.CreateKey(reg::KeyHandle::Root(reg::Hive::LocalMachine),
                              "SOFTWARE\\Brenlo\\Quillnet Server\\General", key),
              reg::kOk);
    ASSERT_EQ(store.SetValue(key, reg::MakeString("ODBCType", type)), reg::kOk);
  }

  qn::test::ScopedRoot root_;
};

TEST_F(ServerInstallTest, LoggingConfigurationReadsBackAsItsLines) {
  ASSERT_EQ(WriteRegistryMultiString("SOFTWARE\\T", "Logging", kDefaultLoggingConfiguration), 0);
  reg::Value v = Read(reg::Hive::LocalMachine, "SOFTWARE\\T", "Logging");
  EXPECT_EQ(v.type, uint32_t(reg::kMultiString));
  std::vector<std::string> lines{"# Configure desired logging destinations below.",
                                 "# Destinations are E and F.",
                                 "# Levels are E, W, I.",
                                 "E:EWI;",
                                 "# Uncomment the following line to enable file logging.",
                                 "# F:EWI\"QnSvr32.log\";"};
  EXPECT_EQ(reg::AsMultiString(v), lines);
  ASSERT_GE(v.data.size(), 2u);
  EXPECT_EQ(v.data[v.data.size() - 1], 0);
  EXPECT_EQ(v.data[v.data.size() - 2], 0);
}

TEST_F(ServerInstallTest, OneDatabaseModeDependsOnTheDatabaseServer) {
  SetOdbcType("MSSQL");
  InstallServerService("-install", "/opt/q/qnsvr32");
  qn::svc::ServiceConfig config;
  ASSERT_EQ(qn::svc::QueryServiceConfig("QuillnetServer", config), qn::svc::kOk);
  EXPECT_EQ(config.dependencies, (std::vector<std::string>{"EventLog", "MSSQLServer"}));
  EXPECT_EQ(config.imagePath, "/opt/q/qnsvr32");
  EXPECT_EQ(config.startType, qn::svc::kDemandStart);
  EXPECT_EQ(config.displayName, "Quillnet Server");
}

TEST_F(ServerInstallTest, FileModeDependsOnTheEventLogAlone) {
  SetOdbcType("MSAccess");
  InstallServerService("/install", "/opt/q/qnsvr32");
  qn::svc::ServiceConfig config;
  ASSERT_EQ(qn::svc::QueryServiceConfig("QuillnetServer", config), qn::svc::kOk);
  EXPECT_EQ(config.dependencies, std::vector<std::string>{"EventLog"});
}

TEST_F(ServerInstallTest, InstallRegistersTheMonitorClassAsTheProgramBesideThisOne) {
  RegisterServerInstallation();
  qn::automation::ClassEntry entry;
  ASSERT_EQ(qn::automation::LookUpClass("QuillnetServer.Monitor", &entry), qn::automation::kOk);
  EXPECT_EQ(entry.clsid, "{7DFB3D26-47E3-11CF-B5E0-00001D13DB37}");
  EXPECT_EQ(entry.local, "\"" + (qn::paths::ExecutableDir() / "qnsvr32").string() + "\"");
  EXPECT_TRUE(entry.inproc.empty());
  // The class identifier finds the same entry.
  ASSERT_EQ(qn::automation::LookUpClass("{7dfb3d26-47e3-11cf-b5e0-00001d13db37}", &entry),
            qn::automation::kOk);
  EXPECT_FALSE(entry.local.empty());
}

}  // namespace
