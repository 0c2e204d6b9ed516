#include "common/event_log_source.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "platform/registry_store.h"
#include "support/scoped_root.h"

using namespace qn::reg;
namespace fs = std::filesystem;

namespace {

class EventLogSource : public ::testing::Test {
 protected:
  qn::test::ScopedRoot root_;

  std::vector<Value> Registration(const std::string& source) {
    KeyHandle k;
    std::vector<Value> values;
    if (Store::Default().OpenKey(KeyHandle::Root(Hive::LocalMachine),
                                 std::string(kEventLogApplicationKey) + "\\" + source, k) == kOk)
      Store::Default().QueryValues(k, values);
    return values;
  }

  void PlaceMessageFile(const fs::path& relative) {
    const fs::path file = qn::event_log::SystemRootDirectory() / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "messages\n";
  }
};

}  // namespace

TEST_F(EventLogSource, RegisteringTwiceOverwritesBothValues) {
  ASSERT_EQ(InstallEventLogSource(kGuardianEventSource, "%SystemRoot%\\old.dll"), 0);
  ASSERT_EQ(InstallEventLogSource(kGuardianEventSource, kEventLogSources[1].messageFile), 0);
  const auto values = Registration(kGuardianEventSource);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].name, "EventMessageFile");
  EXPECT_EQ(values[0].type, kExpandString);
  EXPECT_EQ(AsString(values[0]), "%SystemRoot%\\System32\\QNGuardEvents.DLL");
  EXPECT_EQ(values[1].name, "TypesSupported");
  EXPECT_EQ(values[1].data, MakeDword("", 7).data);

  // A registry that cannot be written: the install reports 1.
  qn::test::ScopedRoot broken;
  fs::create_directories(broken.path() / "etc");
  std::ofstream(broken.path() / "etc/quillnet") << "a file, not a directory";
  EXPECT_EQ(InstallEventLogSource(kServerEventSource, kEventLogSources[0].messageFile), 1);
}

TEST_F(EventLogSource, AMissingMessageFileLeavesTheSourceClosed) {
  ASSERT_EQ(InstallEventLogSource(kServerEventSource, kEventLogSources[0].messageFile), 0);
  testing::internal::CaptureStdout();
  bool ok = true;
  CEventLogSource source(kServerEventSource, 1, ok);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(ok);
  EXPECT_FALSE(source.IsOpen());
  EXPECT_FALSE(source.MessageFileLoaded());
  EXPECT_NE(out.find((qn::event_log::SystemRootDirectory() / "System32/QNSvr32Events.DLL").string()),
            std::string::npos);
  EXPECT_NE(out.find("Can't find or load message DLL... terminating.\n"), std::string::npos);
  EXPECT_NE(out.find("Message DLL must be in path or in current directory.\n"), std::string::npos);
}

TEST_F(EventLogSource, AnInstalledMessageFileOpensTheSource) {
  // Found without regard to the case of its name.
  PlaceMessageFile("system32/qnsvr32events.dll");
  ASSERT_EQ(InstallEventLogSource(kServerEventSource, kEventLogSources[0].messageFile), 0);
  bool ok = false;
  CEventLogSource source(kServerEventSource, 7, ok);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(source.IsOpen());
  EXPECT_EQ(source.Flag(), 7);

  // No registration: closed, and nothing printed.
  testing::internal::CaptureStdout();
  CEventLogSource unknown("Never Installed", 0, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(EventLogSource, PathsLongerThanTheBufferAreRefused) {
  PlaceMessageFile("x.dll");
  ::setenv("QN_TEST_LONG_DIR", std::string(300, 'd').c_str(), 1);
  ASSERT_EQ(InstallEventLogSource("Long Expansion", "%QN_TEST_LONG_DIR%\\x.dll"), 0);
  auto dots = [](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += ".\\";
    return s;
  };
  ASSERT_EQ(InstallEventLogSource("Long Value", "%SystemRoot%\\" + dots(125) + "x.dll"), 0);
  ASSERT_EQ(InstallEventLogSource("Short Value", "%SystemRoot%\\" + dots(80) + "x.dll"), 0);
  bool ok = true;
  CEventLogSource a("Long Expansion", 0, ok);
  EXPECT_FALSE(ok);
  ok = true;
  CEventLogSource b("Long Value", 0, ok);
  EXPECT_FALSE(ok);
  CEventLogSource c("Short Value", 0, ok);
  EXPECT_TRUE(ok);
  ::unsetenv("QN_TEST_LONG_DIR");

  std::string out;
  ::setenv("QN_TEST_VAR", "value", 1);
  EXPECT_TRUE(qn::event_log::ExpandEnvironmentStrings("a%qn_test_var%b%UNKNOWN_QN_VAR%c%", out));
  EXPECT_EQ(out, "avalueb%UNKNOWN_QN_VAR%c%");
  ::unsetenv("QN_TEST_VAR");
  EXPECT_TRUE(qn::event_log::ExpandEnvironmentStrings(std::string(259, 'x'), out));
  EXPECT_FALSE(qn::event_log::ExpandEnvironmentStrings(std::string(260, 'x'), out));
}
