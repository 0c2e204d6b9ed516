// The real qnman32 on a private X server (Xvfb), driven with xdotool like an
// operator, over the real qnsvr32 and qnguard run by the service control
// stand-in of the process's installation: the start through the guardian,
// a shutdown in one minute heard by a member, the wait for the last member,
// states changed from outside seen at the next poll, and a second copy that
// brings the first to the front. Screenshots land in build/captures.
//
// One test at real speed (the manager's own timers: 25 s start check, 60 s
// poll, 1 s countdown, 20 s wait); it starts early (COST).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "platform/service_control.h"
#include "support/protocol_client.h"
#include "support/server_process.h"
#include "support/server_service.h"
#include "support/service_helpers.h"
#include "support/x_display.h"

namespace {

using namespace std::chrono_literals;
using qn::client::Params;
using qn::client::TableReply;

constexpr const char* kBase = "Quillnet NT Server Manager 2.10";
constexpr const char* kGuardian = "QuillnetGuardian";

std::string Bin(const char* program) { return std::filesystem::canonical(std::string(QN_BIN_DIR) + "/" + program).string(); }

// A member logged on with the global-message listener open.
class Member {
 public:
  bool LogOn(uint16_t port, const std::string& id) {
    if (!client.Connect(port) || !client.Hello()) return false;
    const uint16_t logon = nextId++;
    if (!client.Request(logon, "Logon", "Logon", Params({id, "pw"}))) return false;
    const std::optional<TableReply> reply = qn::client::ReadTable(client, logon, 10000);
    if (!reply || !reply->ended || reply->result) return false;
    const uint16_t listen = nextId++;
    return client.Request(listen, "Utility", "GetGlobalMessages", "") && client.ReadReply(5000).has_value();
  }
  // The next global message's bytes, empty when none came in time.
  std::string NextMessage(int timeoutMs) {
    auto reply = client.ReadReply(timeoutMs);
    if (!reply) return "";
    return std::string(reply->body.begin(), reply->body.end());
  }
  qn::client::ProtocolClient client;
  uint16_t nextId = 1;
};

class ManagerOnXvfb : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!qn::test::XDisplay::ToolsAvailable()) GTEST_SKIP() << "Xvfb, xdotool or import missing";
    if (!std::filesystem::exists(QN_BIN_DIR "/qnguard")) GTEST_SKIP() << "no qnguard in this build";
    ::unsetenv("QT_QPA_PLATFORM");
    // Under the sanitizers, qnman32 on X passes over what a system library
    // of Qt's X11 connection does (see the file).
    if (const char* asan = std::getenv("ASAN_OPTIONS"); asan != nullptr && std::string(asan).find("suppressions") == std::string::npos)
      ::setenv("ASAN_OPTIONS", (std::string(asan) + ":suppressions=" QN_SOURCE_DIR "/tests/e2e/xcb_asan.supp").c_str(), 1);
    ASSERT_TRUE(x_.Start());
    std::string error;
    ASSERT_TRUE(server_.Install(&error)) << error;
    root_ = qn::test::MemberInstall::Root().string();
    const auto install = qn::svctest::RunProgram({Bin("qnguard"), "-install"}, 30s);
    ASSERT_EQ(install.exitCode, 0) << install.output;
  }
  void TearDown() override {
    if (root_.empty()) return;
    for (auto* manager : {&manager_, &second_})
      if (manager->IsRunning()) manager->Stop(9);
    if (HasFailure()) {
      Shot("failure");
      ADD_FAILURE() << "qnman32's standard error:\n" << manager_.StderrText();
    }
    qn::svctest::KillServiceProcess(kGuardian);
    qn::svctest::RunProgram({Bin("qnguard"), "-uninstall"}, 30s);
  }

  void Shot(const std::string& name) {
    const std::string dir = std::string(QN_BIN_DIR) + "/../captures";
    std::filesystem::create_directories(dir);
    EXPECT_TRUE(x_.Screenshot(dir + "/manager-e2e-" + name + ".png")) << name;
  }
  std::string Title() { return x_.WindowName(window_); }
  // Waits until the main window's title ends with `suffix`.
  bool TitleBecomes(const std::string& suffix, std::chrono::milliseconds limit) {
    return qn::svctest::WaitUntil([&] { return Title() == kBase + suffix; }, limit);
  }
  void Click(const std::string& window, int x, int y) {
    ASSERT_TRUE(x_.Xdotool({"mousemove", "--window", window, std::to_string(x), std::to_string(y), "click", "1"}));
  }
  void Keys(const std::string& window, const std::vector<std::string>& keys) {
    ASSERT_TRUE(x_.Xdotool({"windowfocus", "--sync", window}));
    std::vector<std::string> args{"key", "--delay", "100"};
    args.insert(args.end(), keys.begin(), keys.end());
    ASSERT_TRUE(x_.Xdotool(args));
  }
  uint32_t State(const char* service) {
    qn::svc::ServiceStatus status;
    return qn::svc::QueryServiceStatus(service, status) == qn::svc::kOk ? status.currentState : 0;
  }
  std::optional<std::string> Dialog(const std::string& title) { return x_.FindWindow(title, 20s); }

  qn::test::XDisplay x_;
  qn::test::ServerService server_;
  std::string root_;
  qn::test::ServerProcess manager_, second_;
  std::string window_;
};

TEST_F(ManagerOnXvfb, AnOperatorStartsAndShutsDownTheServer) {
  ASSERT_TRUE(manager_.Start("qnman32", {}, root_, 0));
  std::optional<std::string> main = x_.FindWindow(std::string(kBase) + " (Stopped)", 30s);
  ASSERT_TRUE(main) << manager_.StderrText();
  window_ = *main;
  Shot("1-stopped");

  // A second copy brings the first to the front (it takes the focus, which
  // no window has yet) and ends at once.
  ASSERT_TRUE(second_.Start("qnman32", {}, root_, 0));
  EXPECT_EQ(second_.Wait(15000), 0) << second_.StderrText();
  EXPECT_TRUE(qn::svctest::WaitUntil([&] { return x_.Xdotool({"getwindowfocus"}).value_or("") == window_; }, 10s));

  // Start: the guardian, which starts the server; running at the check.
  Click(window_, 17, 17);
  EXPECT_TRUE(qn::svctest::WaitUntil([&] { return State(kGuardian) == qn::svc::kRunning; }, 30s));
  EXPECT_EQ(Title(), std::string(kBase) + " (Initializing)");
  Shot("2-initializing");
  ASSERT_TRUE(TitleBecomes(" (Running)", 60s)) << Title();
  ASSERT_TRUE(server_.Greets());
  Shot("3-running");

  // In one minute: the member hears the warning now and the end later; no
  // one new gets in meanwhile.
  Member max;
  ASSERT_TRUE(max.LogOn(server_.port(), "Max"));
  Click(window_, 17, 17);
  std::optional<std::string> shutdown = Dialog("Quillnet Server Shutdown");
  ASSERT_TRUE(shutdown);
  Shot("4-dialog");
  Keys(*shutdown, {"Down", "1", "Return"});
  const std::string warning = max.NextMessage(20000);
  EXPECT_NE(warning.find("Broadcase message from the Administrator: The Quillnet Server will shut down in 1 minute."),
            std::string::npos)
      << warning;
  std::optional<std::string> countdown = Dialog("Quillnet NT Server");
  ASSERT_TRUE(countdown);
  Shot("5-countdown");
  {
    qn::client::ProtocolClient refused;
    ASSERT_TRUE(refused.Connect(server_.port()));
    EXPECT_TRUE(refused.WaitClosed(10000));
  }
  const std::string last = max.NextMessage(90000);
  EXPECT_NE(last.find("Broadcast message from the Administrator: The Quillnet Server is shutting down."),
            std::string::npos)
      << last;
  ASSERT_TRUE(TitleBecomes(" (Stopped)", 60s)) << Title();
  EXPECT_EQ(State(kGuardian), qn::svc::kStopped);
  EXPECT_EQ(server_.State(), qn::svc::kStopped);
  Shot("6-stopped-again");

  // Started and stopped from outside: seen at the next poll.
  ASSERT_EQ(qn::svctest::RunProgram({Bin("qnsvr32"), "-start"}, 60s).exitCode, 0);
  ASSERT_TRUE(TitleBecomes(" (Running)", 75s)) << Title();
  ASSERT_EQ(qn::svctest::RunProgram({Bin("qnsvr32"), "-stop"}, 60s).exitCode, 0);
  ASSERT_TRUE(TitleBecomes(" (Stopped)", 75s)) << Title();

  // When everyone has logged off: the wait lasts while a member is on.
  ASSERT_TRUE(server_.Start());
  Member ann;
  ASSERT_TRUE(ann.LogOn(server_.port(), "Ann"));
  Click(window_, 17, 17);
  shutdown = Dialog("Quillnet Server Shutdown");
  ASSERT_TRUE(shutdown);
  Keys(*shutdown, {"Down", "Return"});  // from "In" to "When everyone logs off"
  const std::string logoff = ann.NextMessage(20000);
  EXPECT_NE(logoff.find("Please finish up and log off."), std::string::npos) << logoff;
  std::optional<std::string> wait = Dialog("Quillnet NT Server");
  ASSERT_TRUE(wait);
  Shot("7-wait");
  std::this_thread::sleep_for(25s);  // past a check with the member still on
  EXPECT_EQ(server_.State(), qn::svc::kRunning);
  ann.client.Close();
  EXPECT_TRUE(qn::svctest::WaitUntil([&] { return server_.State() == qn::svc::kStopped; }, 60s));
  EXPECT_FALSE(x_.FindWindow("Quillnet NT Server", 0s));
  EXPECT_EQ(Title(), std::string(kBase) + " (Stopped)");
  Shot("8-done");
}

}  // namespace
