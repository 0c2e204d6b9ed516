// Starting programs: command lines split without a shell, programs found
// beside qnman32 before PATH, and real starts through posix_spawn whose
// arguments arrive byte for byte and whose failures map to the launch
// messages' numbers. Also the registry test the Compact button depends on.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fake_host.h"
#include "support/scoped_root.h"
#include "support/server_process.h"
#include "support/service_helpers.h"
#include "tools/manager/core/launcher.h"
#include "tools/manager/core/local_host.h"

namespace qn::manager::test {
namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

TEST(Launcher, ProgramsAreSoughtBesideTheManagerThenAlongPath) {
  FakeManager m;
  m.files.programs = {std::string(kExeDir) + "/both", "/usr/bin/both", "/usr/bin/onpath", "./here"};
  m.files.files = {"/usr/local/bin/notexec"};
  const ManagerHost host = m.Host();
  Launcher launcher(host);
  EXPECT_EQ(launcher.FindProgram("both"), std::string(kExeDir) + "/both");
  EXPECT_EQ(launcher.FindProgram("onpath"), "/usr/bin/onpath");
  EXPECT_EQ(launcher.FindProgram("here"), "./here");  // the empty PATH entry
  EXPECT_EQ(launcher.FindProgram("notexec"), std::nullopt);
  EXPECT_EQ(launcher.FindProgram("sub/rel"), "sub/rel");
  EXPECT_EQ(launcher.WinExec(""), kExecFileNotFound);
  EXPECT_EQ(launcher.WinExec("\"\""), kExecFileNotFound);
  EXPECT_EQ(launcher.WinExec("missing arg"), kExecFileNotFound);
  EXPECT_TRUE(m.spawner.started.empty());
  EXPECT_EQ(launcher.WinExec("onpath x"), kExecStarted);
  EXPECT_EQ(m.spawner.started.back(), (Words{"/usr/bin/onpath", "onpath", "x"}));
}

class LocalStarts : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = root_.path() / "bin";
    fs::create_directories(dir_);
    host_.files = &files_;
    host_.spawner = &spawner_;
    host_.executableDir = dir_.string();
    host_.searchPath = "/usr/bin:/bin";
  }
  fs::path Script(const std::string& name, const std::string& body, fs::perms perms = fs::perms::owner_all) {
    const fs::path path = dir_ / name;
    std::ofstream(path) << body;
    fs::permissions(path, perms);
    return path;
  }
  static std::string Read(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  qn::test::ScopedRoot root_;
  fs::path dir_;
  LocalFileSystem files_;
  LocalSpawner spawner_;
  ManagerHost host_;
};

TEST_F(LocalStarts, ArgumentsReachTheProgramAsTheyAreAndFailuresMapToResults) {
  const fs::path out = root_.path() / "args.txt";
  Script("echoargs", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + out.string() + ".tmp'\nmv '" +
                         out.string() + ".tmp' '" + out.string() + "'\n");
  Launcher launcher(host_);
  const std::string odd = "\xE9t\xE9 ;$(touch " + (root_.path() / "pwned").string() + ") `id` \\";
  ASSERT_EQ(launcher.WinExec("echoargs \"" + odd + "\" 'single' \"a\"\"b\""), kExecStarted);
  ASSERT_TRUE(qn::svctest::WaitUntil([&] { return fs::exists(out); }, std::chrono::seconds(30)));
  EXPECT_EQ(Read(out), odd + "\n'single'\nab\n");
  EXPECT_FALSE(fs::exists(root_.path() / "pwned"));

  Script("noexec", "#!/bin/sh\n", fs::perms::owner_read | fs::perms::owner_write);
  Script("garbage", "\x7f" "ELF-not-really\n");
  struct Case {
    std::string line;
    int result;
  };
  for (const Case& c : {Case{(dir_ / "noexec").string(), kExecAccessDenied},
                        Case{(dir_ / "garbage").string(), kExecBadFormat},
                        Case{(dir_ / "missing").string(), kExecFileNotFound},
                        Case{(dir_ / "noexec" / "below").string(), kExecPathNotFound}}) {
    EXPECT_EQ(launcher.WinExec(c.line), c.result) << c.line;
  }
  EXPECT_FALSE(files_.IsExecutable((dir_ / "noexec").string()));
  EXPECT_FALSE(files_.IsExecutable(dir_.string()));
  EXPECT_EQ(files_.FindNoCase(dir_.string(), "ECHOARGS"), (dir_ / "echoargs").string());
  EXPECT_EQ(files_.FindNoCase(dir_.string(), "nothing"), std::nullopt);
}

// The Compact button's test reads "ODBCType" by its name: another value
// first in the section must not decide it.
TEST(LocalSettingsTest, TheStorageModeIsReadByNameNotByPlace) {
  qn::test::ScopedRoot root;
  LocalSettings settings;
  EXPECT_FALSE(settings.IsOdbcTypeMsSql());
  qn::test::WriteRegistry(root.path().string(),
                          {{"General", {qn::test::StringLine("ODBCConnectString", "MSSQL"),
                                        qn::test::StringLine("ODBCType", "MSSQL")}},
                           {"Manager", {qn::test::DwordLine("Left", 0xFFFFFF38)}}});
  EXPECT_TRUE(settings.IsOdbcTypeMsSql());
  EXPECT_EQ(static_cast<int32_t>(settings.ReadDword("Manager", "Left", 0)), -200);
  qn::test::WriteRegistry(root.path().string(),
                          {{"General", {qn::test::StringLine("ODBCType", "MSAccess"),
                                        qn::test::StringLine("Other", "MSSQL")}}});
  EXPECT_FALSE(settings.IsOdbcTypeMsSql());
}

}  // namespace
}  // namespace qn::manager::test
