// The real qnconfig on a private X display (Xvfb) in a private QN_ROOT,
// driven by xdotool keys as an operator would: the loaded values, typing, a
// refused number, Apply, Cancel with its notice, and OK in a second run;
// PNG screenshots of the screen in build/captures to look at. And without
// any display: one line on standard error and exit code 1.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "common/registry.h"
#include "support/scoped_root.h"
#include "support/server_process.h"
#include "xvfb_display.h"

namespace {

using qn::test::XvfbDisplay;

const std::string kTitle = "Quillnet Configuration Manager";

std::string Captures() {
  const std::string dir = std::string(QN_BIN_DIR) + "/../captures";
  std::filesystem::create_directories(dir);
  return dir;
}

// Sets an environment variable for the object's life (unset with nullopt).
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value->c_str(), 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 20000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

class QnconfigOnX : public ::testing::Test {
 protected:
  void SetUp() override {
    qn::test::WriteRegistry(root_.path().string(),
                            {{"SMTP",
                              {qn::test::StringLine("MailRelayAddress", "old.relay"), qn::test::DwordLine("Port", 2525),
                               qn::test::DwordLine("MailRelayPort", 2526)}},
                             {"Advertise", {qn::test::StringLine("00", "Paint~Brenlo~60")}}});
    ASSERT_TRUE(x_.Start()) << "Xvfb (bash scripts/install-deps)";
  }
  void TearDown() override {
    if (program_.IsRunning()) program_.Stop(SIGKILL);
    if (HasFailure()) ADD_FAILURE() << "qnconfig's standard error:\n" << program_.StderrText();
  }

  // Starts qnconfig and gives its sheet the keyboard; the sheet's window.
  std::string Launch() {
    ScopedEnv display("DISPLAY", x_.name());
    ScopedEnv platform("QT_QPA_PLATFORM", "xcb");
    // In the sanitizer build: the X keyboard library copies keymap names with
    // strndup from buffers without a terminator, which strndup's bound makes
    // exact but strict string checks read past.
    const char* asan = std::getenv("ASAN_OPTIONS");
    ScopedEnv sanitizer("ASAN_OPTIONS", std::string(asan ? asan : "") + ":strict_string_checks=0");
    EXPECT_TRUE(program_.Start("qnconfig", {}, root_.path().string(), 0));
    const auto windows = x_.WaitWindows(kTitle, 1);
    EXPECT_EQ(windows.size(), 1u) << "the sheet did not show";
    if (windows.empty()) return "";
    Focus(windows[0]);
    return windows[0];
  }
  void Focus(const std::string& window) { EXPECT_EQ(x_.Run("xdotool windowfocus --sync " + window), 0); }
  void Keys(const std::string& keys) { EXPECT_EQ(x_.Run("xdotool key --delay 40 " + keys), 0) << keys; }
  void Type(const std::string& text) { EXPECT_EQ(x_.Run("xdotool type --delay 40 '" + text + "'"), 0) << text; }
  // The message box over `sheet` (the sheet hidden: the notice at its
  // close), focused.
  void Box(const std::string& sheet, bool sheetShown) {
    std::vector<std::string> windows;
    std::string box;
    EXPECT_TRUE(WaitFor([&] {
      windows = x_.Windows(kTitle);
      const auto other = std::find_if(windows.begin(), windows.end(), [&](const std::string& id) { return id != sheet; });
      box = other == windows.end() ? "" : *other;
      return !box.empty() && windows.size() == (sheetShown ? 2u : 1u);
    })) << "no message box";
    if (!box.empty()) Focus(box);
  }
  void Shot(const char* name) { EXPECT_TRUE(x_.Screenshot(Captures() + "/" + name + ".png")) << name; }
  std::string RegistryText() {
    std::ifstream in(root_.RegistryFile());
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  qn::test::ScopedRoot root_;
  XvfbDisplay x_;
  qn::test::ServerProcess program_;
};

TEST_F(QnconfigOnX, AnOperatorTypesIsRefusedAppliesCancelsAndSavesWithOK) {
  const std::string sheet = Launch();
  ASSERT_FALSE(sheet.empty());
  Shot("xvfb-1-loaded");
  // The focus starts in "Mail Relay Address:".
  Keys("ctrl+a");
  Type("mail.example");
  Keys("Tab Tab Tab ctrl+a");
  Type("lots");
  Keys("Return");
  Box(sheet, true);
  Shot("xvfb-2-refused-number");
  Keys("Return");
  ASSERT_EQ(x_.WaitWindows(kTitle, 1).size(), 1u);
  Focus(sheet);
  // The focus is back in the field with its text selected.
  Type("7");
  Keys("Tab Tab Tab space");
  ASSERT_TRUE(WaitFor([&] { return RegistryText().find("\"MaxConnections\"=dword:00000007") != std::string::npos; }))
      << RegistryText();
  EXPECT_EQ(x_.Windows(kTitle).size(), 1u) << "Apply keeps the sheet open";
  Shot("xvfb-3-applied");

  // A change, then Escape: the notice, nothing more written.
  Keys("ctrl+Prior space Escape");
  Box(sheet, false);
  Shot("xvfb-4-restart-notice");
  Keys("Return");
  EXPECT_EQ(program_.Wait(20000), 0);
  CQuillnetRegistry registry;
  EXPECT_EQ(registry.ReadString("SMTP", "MailRelayAddress", ""), "mail.example");
  EXPECT_EQ(registry.ReadDWORD("SMTP", "MaxConnections", 0), 7u);
  EXPECT_EQ(registry.ReadDWORD("SMTP", "Port", 0), 2525u);
  EXPECT_EQ(registry.ReadDWORD("SMTP", "MailRelayPort", 0), 2526u);
  EXPECT_EQ(registry.ReadString("Advertise", "00", ""), "Paint~Brenlo~60");
  EXPECT_EQ(registry.ReadDWORD("WIP Server", "AuditDownloads", 9), 9u) << "cancelled";

  // A second run: the pages by Ctrl+Tab, the audit ticked, OK by Enter.
  const std::string again = Launch();
  ASSERT_FALSE(again.empty());
  Keys("ctrl+Tab");
  Shot("xvfb-5-advertisements");
  Keys("ctrl+Tab space Return");
  Box(again, false);
  Keys("Return");
  EXPECT_EQ(program_.Wait(20000), 0);
  EXPECT_EQ(registry.ReadDWORD("WIP Server", "AuditDownloads", 0), 1u);
  EXPECT_EQ(registry.ReadString("SMTP", "MailRelayAddress", ""), "mail.example");
}

TEST(QnconfigWithoutDisplay, SaysSoInOneLineAndEndsWithOne) {
  qn::test::ScopedRoot root;
  ScopedEnv display("DISPLAY", std::nullopt);
  ScopedEnv wayland("WAYLAND_DISPLAY", std::nullopt);
  ScopedEnv platform("QT_QPA_PLATFORM", std::nullopt);
  qn::test::ServerProcess program;
  ASSERT_TRUE(program.Start("qnconfig", {}, root.path().string(), 0));
  EXPECT_EQ(program.Wait(30000), 1);
  const std::string text = program.StderrText();
  EXPECT_EQ(text.rfind("qnconfig: cannot open a window: ", 0), 0u) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_FALSE(std::filesystem::exists(root.RegistryFile()));
}

}  // namespace
