// What the configuration editor saves, read by a real qnsvr32 started
// afterwards: the SMTP gateway's port, local domains and relay connections
// at once; advertisements pushed in list order and looping; the audit of
// WIP page views in both storage modes, and a running server that keeps its
// settings until it is stopped and started again. The editor runs as its
// logic on the installation's registry, answered by a scripted view.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

#include "common/registry.h"
#include "support/cam_golden.h"
#include "support/config_fakes.h"
#include "support/installed_server.h"
#include "support/mail_seed.h"
#include "support/member_client.h"
#include "support/service_helpers.h"
#include "support/smtp_peers.h"
#include "tools/config/core/config_texts.h"
#include "tools/config/core/prop_sheet.h"
#include "tools/config/core/registry_settings.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qn::config::CMyPropSheet;
using qn::config::CPPAdv;
using qn::config::CPPSMTP;
using qn::test::MemberInstall;
using qn::test::StorageMode;

// One run of the editor on the installation's registry.
class Editor {
 public:
  Editor() : sheet_(settings_, view_) { sheet_.Load(); }
  CMyPropSheet& sheet() { return sheet_; }
  qn::config::test::FakeView& view() { return view_; }
  // OK: saved, closed, and the notice shown.
  void Ok() {
    sheet_.OnOK();
    EXPECT_EQ(view_.ended, qn::config::IDOK);
    ASSERT_FALSE(view_.boxes.empty());
    EXPECT_EQ(view_.boxes.back().text, qn::config::texts::kRestartNotice);
  }

 private:
  qn::config::RegistrySettings settings_;
  qn::config::test::FakeView view_;
  CMyPropSheet sheet_;
};

// A relay that takes connections and never answers, so that each holds one
// of the server's relay connections until it is closed here.
class HoldingRelay {
 public:
  explicit HoldingRelay(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    listening_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd_, 16) == 0;
  }
  ~HoldingRelay() {
    for (int fd : held_) ::close(fd);
    ::close(fd_);
  }
  bool listening() const { return listening_; }
  // A connection the server opened within the time (it is held).
  bool Accept(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return false;
    held_.push_back(fd);
    return true;
  }
  void HangUpOne() {
    ::close(held_.front());
    held_.erase(held_.begin());
  }

 private:
  int fd_ = -1;
  bool listening_ = false;
  std::vector<int> held_;
};

void ClearEditorSections() {
  CQuillnetRegistry registry;
  for (const char* section : {"SMTP", "Advertise", "WIP Server"}) registry.WriteString(section, nullptr, nullptr);
}

class ConfigEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = qn::test::FindFreePort();
    std::string error;
    ASSERT_TRUE(install_.Create(StorageMode::Access, port_, &error)) << error;
    install_.SeedAccountDefaults(1000, 0, -1);
    ClearEditorSections();
  }
  void TearDown() override {
    if (server_.IsRunning()) {
      EXPECT_EQ(server_.Stop(), 0);
    }
    if (HasFailure()) ADD_FAILURE() << "server's standard error:\n" << server_.StderrText();
    ClearEditorSections();
  }
  void StartServer() {
    ASSERT_TRUE(server_.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port_)) << server_.StderrText();
  }

  uint16_t port_ = 0;
  MemberInstall install_;
  qn::test::ServerProcess server_;
};

TEST_F(ConfigEndToEnd, SavedSmtpSettingsMakeTheGatewayItsDomainsAndItsRelayLimit) {
  qn::test::MailSeed seed(install_);
  seed.AddComposeKey(1);
  seed.AddAccount("Ann", 1000, "", "ann");
  seed.AddAccount("Bob", 1000, "", "bob");
  const uint16_t smtpPort = qn::test::FindFreePort(), relayPort = qn::test::FindFreePort();
  // The ports come from the set-up; the editor shows neither and keeps both.
  CQuillnetRegistry().WriteDWORD("SMTP", "Port", smtpPort);
  CQuillnetRegistry().WriteDWORD("SMTP", "MailRelayPort", relayPort);
  {
    Editor editor;
    CPPSMTP& smtp = editor.sheet().Smtp();
    smtp.SetText(CPPSMTP::kRelay, "127.0.0.1");
    smtp.SetText(CPPSMTP::kPrimary, "q.example");
    smtp.SetText(CPPSMTP::kOtherDomains, "extra.example other.example");
    smtp.SetText(CPPSMTP::kMaxConnections, "2");
    editor.Ok();
  }
  CQuillnetRegistry registry;
  EXPECT_EQ(registry.ReadDWORD("SMTP", "Port", 0), smtpPort);
  EXPECT_EQ(registry.ReadDWORD("SMTP", "MailRelayPort", 0), relayPort);
  HoldingRelay relay(relayPort);
  ASSERT_TRUE(relay.listening());
  StartServer();
  ASSERT_TRUE(qn::test::WaitUntil([&] { return qn::test::IsPortListening(smtpPort); }));

  qn::test::SmtpClient client;
  ASSERT_TRUE(client.Connect(smtpPort));
  EXPECT_EQ(client.ReadReply().rfind("220 ", 0), 0u);
  auto say = [&](const std::string& line) {
    EXPECT_TRUE(client.Send(line + "\r\n"));
    return client.ReadReply();
  };
  EXPECT_EQ(say("HELO far.example").substr(0, 4), "250 ");
  EXPECT_EQ(say("MAIL From:<someone@far.example>").substr(0, 4), "250 ");
  EXPECT_EQ(say("RCPT To:<ann@q.example>"), "250 <ann@q.example>... Recipient ok\r\n");
  EXPECT_EQ(say("RCPT To:<bob@other.example>"), "250 <bob@other.example>... Recipient ok\r\n");
  EXPECT_EQ(say("RCPT To:<ann@extra.example>"), "250 <ann@extra.example>... Recipient ok\r\n");
  EXPECT_EQ(say("RCPT To:<ann@elsewhere.example>"), "550 Non-local recipient - cannot forward\r\n");

  // Four letters to the Internet: two relay connections at once, the next
  // only when one of them has gone.
  qn::test::Member ann;
  ASSERT_TRUE(ann.Open(port_));
  ASSERT_TRUE(qn::test::Ended(ann.Call("Logon", "Logon", {"Ann", "pw"})));
  for (int i = 0; i < 4; ++i)
    ASSERT_TRUE(qn::test::Ended(
        ann.Call("Email", "MailLtr", {"Letter " + std::to_string(i), "text", "-", "x@far.example"})));
  EXPECT_TRUE(relay.Accept(20000));
  EXPECT_TRUE(relay.Accept(20000));
  EXPECT_TRUE(qn::test::Ended(ann.Call("Email", "Count")));
  EXPECT_FALSE(relay.Accept(1500)) << "a third relay connection while two are open";
  relay.HangUpOne();
  EXPECT_TRUE(relay.Accept(20000));
}

TEST_F(ConfigEndToEnd, SavedAdvertisementsReachAListenerInListOrderAndLoop) {
  {
    Editor editor;
    CPPAdv& adv = editor.sheet().Adv();
    editor.view().WillAdd("Chess", "Games Inc", "0");
    adv.OnAdd(editor.view());
    editor.view().WillAdd("Paint", "Brenlo", "0");
    adv.OnAdd(editor.view());
    adv.OnSelChange(1);
    adv.OnMoveUp();
    adv.SetLoop(true);
    editor.Ok();
  }
  // The library the pushed applications are found in.
  const fs::path library = fs::path(qn::test::InstalledProgramDir()) / "QNCAMLIB";
  fs::create_directories(library);
  const qn::test::ArchiveData& basic = qn::test::GoldenLibraries().at("basic");
  std::ofstream(library / "QNCAMLIB.DAT", std::ios::binary)
      .write(reinterpret_cast<const char*>(basic.data()), static_cast<std::streamsize>(basic.size()));
  StartServer();
  qn::test::Session member;
  ASSERT_TRUE(member.Open(port_));
  const uint16_t listener = member.Send("CAM", "GetSCAMMessages");
  auto schemaPacket = member.client.ReadReply();
  ASSERT_TRUE(schemaPacket.has_value());
  const auto schema = qn::DecodeSchema(schemaPacket->body.data(), schemaPacket->body.size());
  ASSERT_TRUE(schema.has_value());
  ASSERT_TRUE(qn::test::Ended(member.Call("Logon", "CreateAccount", {"Viewer", "pw"})));
  // One push per 5-second tick: the list in order, then from its start.
  std::vector<std::string> seen;
  const auto deadline = std::chrono::steady_clock::now() + 40s;
  while (seen.size() < 3 && std::chrono::steady_clock::now() < deadline) {
    auto packet = member.client.ReadReply(1000);
    if (!packet) continue;
    ASSERT_EQ(packet->requestId, listener);
    auto row = qn::DecodeRow(schema->columns, packet->body.data(), packet->body.size());
    ASSERT_TRUE(row.has_value());
    seen.push_back(std::get<std::string>((*row)[0]) + "/" + std::get<std::string>((*row)[1]));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"Paint/Brenlo", "Chess/Games Inc", "Paint/Brenlo"}));
}

// The server as a service in either storage mode, with a WIP page.
class ConfigServiceEndToEnd : public ::testing::TestWithParam<StorageMode> {
 protected:
  void SetUp() override {
    if (GetParam() == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    port_ = qn::test::FindFreePort();
    std::string error;
    ASSERT_TRUE(install_.Create(GetParam(), port_, &error)) << error;
    install_.SeedAccountDefaults(1000, 0, -1);
    ClearEditorSections();
    const fs::path wip = fs::path(qn::test::InstalledProgramDir()) / "WIP";
    fs::create_directories(wip);
    std::ofstream(wip / "MENU.WIP", std::ios::binary) << "[Startup]\r\nW=1\r\n[Form]\r\n";
    ASSERT_EQ(Verb("-install").exitCode, 0);
  }
  void TearDown() override {
    if (IsSkipped()) return;
    Verb("-stop");
    Verb("-uninstall");
    qn::svctest::KillServiceProcess("QuillnetServer");
    ClearEditorSections();
  }
  qn::svctest::RunResult Verb(const char* verb) {
    return qn::svctest::RunProgram({fs::canonical(QN_BIN_DIR "/qnsvr32").string(), verb}, 60s);
  }
  void Start() {
    const auto run = Verb("-start");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    ASSERT_TRUE(qn::test::WaitUntil([&] { return qn::test::IsPortListening(port_); }, 20000));
  }
  // A page view by a new member; the audit's view rows so far.
  std::string ViewPage(const std::string& member) {
    qn::test::Session session;
    EXPECT_TRUE(session.Open(port_));
    EXPECT_TRUE(qn::test::Ended(session.Call("Logon", "CreateAccount", {member, "pw"})));
    EXPECT_TRUE(qn::test::Ended(session.Call("WIP", "GetPageCRC", {"MENU.WIP"})));
    return install_.QueryAudit("SELECT COUNT(*) FROM AuditTrail WHERE KeyWord='View' AND "
                               "Description='Viewed Menu \"MENU.WIP\"'");
  }

  uint16_t port_ = 0;
  MemberInstall install_;
};

TEST_P(ConfigServiceEndToEnd, AuditedViewsStartWithTheServersNextStart) {
  Start();
  EXPECT_EQ(ViewPage("Early"), "0");
  {
    Editor editor;
    editor.sheet().Wip().SetAudit(true);
    editor.sheet().OnApply();
    EXPECT_TRUE(editor.view().boxes.empty());
    editor.Ok();
  }
  EXPECT_EQ(CQuillnetRegistry().ReadDWORD("WIP Server", "AuditDownloads", 0), 1u);
  EXPECT_EQ(ViewPage("During"), "0") << "the running server keeps what it read at its start";
  ASSERT_EQ(Verb("-stop").exitCode, 0);
  Start();
  EXPECT_EQ(ViewPage("Late"), "1");
  EXPECT_EQ(install_.QueryAudit("SELECT UserID FROM AuditTrail WHERE KeyWord='View'"), "Late");
}

INSTANTIATE_TEST_SUITE_P(BothStorageModes, ConfigServiceEndToEnd,
                         ::testing::Values(StorageMode::Access, StorageMode::Postgres),
                         qn::test::StorageModeParamName);

}  // namespace
