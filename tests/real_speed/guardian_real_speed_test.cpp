// The one run of the real qnguard at its own speed (about five minutes): as
// a service it starts the stopped server; killed after the first probe, the
// server is restarted only once the guardian's first 240 seconds have passed,
// 30 seconds after the kick-off command ran.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/registry.h"
#include "common/service_state.h"
#include "support/server_service.h"
#include "support/service_helpers.h"

using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;

namespace {

constexpr const char* kGuardian = "QuillnetGuardian";

std::vector<std::string> Lines(const std::filesystem::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(GuardianRealSpeed, AKilledServerIsBackOnlyAfterTheRestartGapWithTheKickOffFirst) {
  qn::test::ServerService server;
  std::string error;
  ASSERT_TRUE(server.Install(&error)) << error;
  const std::string guardian = std::filesystem::canonical(QN_BIN_DIR "/qnguard").string();
  ASSERT_EQ(qn::svctest::RunProgram({guardian, "-install"}, 30s).exitCode, 0);
  const std::filesystem::path kicks = qn::test::MemberInstall::Root() / "kicks.txt";
  CQuillnetRegistry registry;
  registry.WriteDWORD("Guardian", "SecCheckInterval", 1);
  registry.WriteDWORD("Guardian", "SecDelayBeforeCheck", 1);
  // Each run adds its start time, in seconds since the epoch.
  registry.WriteString("Guardian", "KickOffApp",
                       ("/bin/sh -c \"date +%s.%N >> " + kicks.string() + "\"").c_str());

  const auto started = Clock::now();
  const auto run = qn::svctest::RunProgram({guardian, "-start"}, 30s);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  ASSERT_TRUE(qn::svctest::WaitUntil([&] { return server.Greets(1000); }, 60s));

  // The first probe goes out 1 + 30 s after the guardian's start.
  std::this_thread::sleep_until(started + 40s);
  const pid_t first = server.Pid();
  ASSERT_GT(first, 0);
  ASSERT_EQ(::kill(first, SIGKILL), 0);
  const auto killed = Clock::now();

  bool back = false;
  while (!back && Clock::now() < started + 360s) {
    std::this_thread::sleep_for(500ms);
    back = server.Pid() > 0 && server.Greets(1000);
  }
  const auto backAt = Clock::now();
  ASSERT_TRUE(back);
  EXPECT_GE(backAt - started, 270s);
  EXPECT_NE(server.Pid(), first);
  EXPECT_EQ(GetServiceState(kGuardian), 4u);

  const std::vector<std::string> lines = Lines(kicks);
  ASSERT_EQ(lines.size(), 1u);
  const auto kicked = Clock::time_point(std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(std::stod(lines[0]))));
  EXPECT_GT(kicked, killed);
  EXPECT_LE(kicked + 30s, backAt);

  EXPECT_EQ(qn::svctest::RunProgram({guardian, "-stop"}, 30s).exitCode, 0);
  EXPECT_EQ(GetServiceState(kGuardian), 1u);
  qn::svctest::KillServiceProcess(kGuardian);
}

}  // namespace
