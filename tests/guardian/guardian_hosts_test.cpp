// The watchdog's real settings and kick-off command: defaults and odd values
// in the registry, the command's words, and how a command's run ends.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "common/nt_service.h"
#include "guardian/guardian_hosts.h"
#include "guardian/guardian_settings.h"
#include "platform/paths.h"
#include "platform/registry_store.h"
#include "support/scoped_root.h"
#include "support/service_helpers.h"

using namespace std::chrono_literals;
namespace reg = qn::reg;

namespace guardian {
namespace {

// Helper mode: writes this process's open descriptors to "fds.txt".
int ListDescriptors() {
  std::string names;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    const int own = ::dirfd(dir);
    while (const dirent* e = ::readdir(dir)) {
      if (e->d_name[0] == '.' || std::atoi(e->d_name) == own) continue;
      names += std::string(e->d_name) + " ";
    }
    ::closedir(dir);
  }
  qn::paths::EnsureDir(qn::paths::RunDir());
  std::ofstream(qn::paths::RunDir() / "fds.txt") << names;
  return 0;
}
const bool g_fds = qn::svctest::RegisterHelperMode("fds", ListDescriptors);

void SetGuardianValues(const std::vector<reg::Value>& values) {
  auto& store = reg::Store::Default();
  reg::KeyHandle key;
  ASSERT_EQ(store.CreateKey(reg::KeyHandle::Root(reg::Hive::LocalMachine),
                            "SOFTWARE\\Brenlo\\Quillnet Server\\Guardian", key),
            reg::kOk);
  ASSERT_EQ(store.ReplaceValues(key, values), reg::kOk);
}

TEST(GuardianSettings, MissingValuesAreDefaultsAndOddOnesAreReadAsTheyStand) {
  qn::test::ScopedRoot root;
  Settings none = ReadSettings();
  EXPECT_EQ(none.secCheckInterval, 120u);
  EXPECT_EQ(none.secDelayBeforeCheck, 300u);
  EXPECT_EQ(none.kickOffApp, "");
  // Reading created nothing.
  EXPECT_FALSE(std::filesystem::exists(root.RegistryFile()));

  const std::string longCommand(150, 'x');
  SetGuardianValues({reg::MakeDword("SecCheckInterval", 0),
                     reg::MakeBinary("SecDelayBeforeCheck", {0xFF, 0xFF, 0xFF, 0xFF}),
                     reg::MakeExpandString("KickOffApp", longCommand)});
  Settings odd = ReadSettings();
  EXPECT_EQ(odd.secCheckInterval, 0u);
  EXPECT_EQ(odd.secDelayBeforeCheck, 0xFFFFFFFFu);
  EXPECT_EQ(odd.kickOffApp, longCommand);  // whole: the watchdog refuses it

  // Numbers of another length are not numbers.
  SetGuardianValues({reg::MakeBinary("SecCheckInterval", {5, 0, 0, 0, 0}),
                     reg::MakeString("SecDelayBeforeCheck", "7")});
  Settings wrong = ReadSettings();
  EXPECT_EQ(wrong.secCheckInterval, 120u);
  EXPECT_EQ(wrong.secDelayBeforeCheck, 300u);
}

class KickOffLauncherTest : public ::testing::Test {
 protected:
  // A stand-alone service gives the clock its stop; 100 times faster, the
  // 120-second limit is 1.2 s.
  CNTService service_{"Guardian", nullptr, false, 7, 5000};
  CServiceClock clock_{service_, 100};
  CKickOffLauncher launcher_{clock_};
  // A command that writes its process id and then runs for 30 s.
  std::string Endless() const {
    return "/bin/sh -c \"echo $$ > " + (root_.path() / "endless.pid").string() + "; exec sleep 30\"";
  }
  // Ends it; false when it was not running.
  bool EndEndless() {
    pid_t pid = 0;
    for (int i = 0; i < 500 && pid == 0; ++i) {
      std::ifstream(root_.path() / "endless.pid") >> pid;
      if (pid == 0) std::this_thread::sleep_for(10ms);
    }
    return pid > 0 && ::kill(pid, SIGKILL) == 0;
  }

  qn::test::ScopedRoot root_;
  std::string error_;
};

TEST_F(KickOffLauncherTest, EndedMissingAndEndlessCommands) {
  EXPECT_EQ(launcher_.Run("/bin/sh -c \"exit 3\"", 120s, &error_), LaunchResult::kEnded);
  EXPECT_EQ(launcher_.Run("no-such-program-anywhere --now", 120s, &error_),
            LaunchResult::kNotStarted);
  EXPECT_EQ(error_, "No such file or directory");
  EXPECT_EQ(launcher_.Run("", 120s, &error_), LaunchResult::kNotStarted);

  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(launcher_.Run(Endless(), 120s, &error_), LaunchResult::kStillRunning);
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(took, 1200ms);
  EXPECT_LT(took, 10s);
  EXPECT_TRUE(EndEndless());  // it was left running
}

TEST_F(KickOffLauncherTest, AStopEndsTheWait) {
  std::thread stopper([this] {
    std::this_thread::sleep_for(200ms);
    service_.SetStopped();
  });
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(launcher_.Run(Endless(), 120s, &error_), LaunchResult::kStillRunning);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1000ms);
  EXPECT_TRUE(EndEndless());
  stopper.join();
  EXPECT_TRUE(clock_.Stopping());
  EXPECT_FALSE(clock_.Sleep(1s));
}

TEST_F(KickOffLauncherTest, OnlyStandardDescriptorsAreInherited) {
  // A descriptor of the guardian's that a careless start would hand on.
  const int inheritable = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(inheritable, 3);
  ::setenv("QN_TEST_SERVICE_HELPER", "fds", 1);
  EXPECT_EQ(launcher_.Run(qn::svctest::SelfImagePath(), 120s, &error_), LaunchResult::kEnded);
  ::unsetenv("QN_TEST_SERVICE_HELPER");
  ::close(inheritable);
  std::ifstream in(qn::paths::RunDir() / "fds.txt");
  std::string fds((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(fds, "0 1 2 ");
}

}  // namespace
}  // namespace guardian
