// The server as a service: qnsvr32's install run and verbs in a private root,
// with the server started and controlled by the service control stand-in.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "platform/registry_store.h"
#include "platform/service_control.h"
#include "support/protocol_client.h"
#include "support/scoped_root.h"
#include "support/server_process.h"
#include "support/service_helpers.h"

using namespace std::chrono_literals;
namespace reg = qn::reg;
namespace svc = qn::svc;

namespace {

constexpr const char* kService = "QuillnetServer";
constexpr const char* kNotAService = "The Quillnet NT Server must be started as an NT Service.";

class ServerAsServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = qn::test::FindFreePort();
    qn::test::WriteRegistry(root_.path().string(),
                            {{"General", {qn::test::DwordLine("Port", port_)}}});
  }
  void TearDown() override { qn::svctest::KillServiceProcess(kService); }

  qn::svctest::RunResult Verb(const std::string& arg) {
    return qn::svctest::RunProgram({Program(), arg}, 30s);
  }
  static std::string Program() {
    return std::filesystem::canonical(QN_BIN_DIR "/qnsvr32").string();
  }
  svc::ServiceStatus Status() {
    svc::ServiceStatus st;
    EXPECT_EQ(svc::QueryServiceStatus(kService, st), svc::kOk);
    return st;
  }
  reg::Value Read(reg::Hive hive, const std::string& path, const std::string& name) {
    auto& store = reg::Store::Default();
    reg::KeyHandle key;
    reg::Value v;
    if (store.OpenKey(reg::KeyHandle::Root(hive), path, key) != reg::kOk) return v;
    if (store.QueryValue(key, name, v) != reg::kOk) return reg::Value{};
    return v;
  }
  std::string ReadText(reg::Hive hive, const std::string& path, const std::string& name) {
    return reg::AsString(Read(hive, path, name));
  }
  // The server reports running before its listener is up; clients retry.
  qn::client::ProtocolClient Greeted() {
    qn::client::ProtocolClient client;
    qn::svctest::WaitUntil([&] { return qn::test::IsPortListening(port_); }, 10s);
    EXPECT_TRUE(client.Connect(port_));
    auto answer = client.Hello();
    EXPECT_EQ(answer.value_or(qn::client::Bytes{}), (qn::client::Bytes{1, 0}));
    return client;
  }
  // A request before logon is answered with 0x1302: the connection works.
  void ExpectAnswers(qn::client::ProtocolClient& client, uint16_t id) {
    ASSERT_TRUE(client.Request(id, "NoSuchService", "Item"));
    auto reply = client.ReadReply();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->type, 6);
    EXPECT_EQ(reply->requestId, id);
    EXPECT_EQ(reply->body, (std::vector<uint8_t>{0x02, 0x13}));
  }

  qn::test::ScopedRoot root_;
  uint16_t port_ = 0;
};

TEST_F(ServerAsServiceTest, InstallWritesServiceEventSourcesLoggingAndAutomationEntries) {
  auto run = Verb("-install");
  ASSERT_EQ(run.exitCode, 0) << run.output;

  const std::string serviceKey = "SYSTEM\\CurrentControlSet\\Services\\QuillnetServer";
  EXPECT_EQ(ReadText(reg::Hive::LocalMachine, serviceKey, "ImagePath"), Program());
  EXPECT_EQ(ReadText(reg::Hive::LocalMachine, serviceKey, "DisplayName"), "Quillnet Server");
  svc::ServiceConfig config;
  ASSERT_EQ(svc::QueryServiceConfig(kService, config), svc::kOk);
  EXPECT_EQ(config.startType, svc::kDemandStart);
  EXPECT_EQ(config.serviceType, svc::kOwnProcess);
  EXPECT_EQ(config.errorControl, 1u);
  EXPECT_EQ(config.dependencies, std::vector<std::string>{"EventLog"});

  const std::pair<const char*, const char*> sources[] = {
      {"Quillnet Server", "QNSvr32Events.DLL"}, {"QN Svr Guardian", "QNGuardEvents.DLL"},
      {"QN Svr Monitor", "QNSvrMonEvents.DLL"}, {"QN Svr Manager", "QNHost32Events.DLL"},
      {"QN Svr PerfMon", "QNPerfEvents.DLL"}};
  for (const auto& [source, file] : sources) {
    std::string key = std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") +
                      source;
    reg::Value message = Read(reg::Hive::LocalMachine, key, "EventMessageFile");
    EXPECT_EQ(message.type, uint32_t(reg::kExpandString)) << source;
    EXPECT_EQ(reg::AsString(message), std::string("%SystemRoot%\\System32\\") + file);
    reg::Value types = Read(reg::Hive::LocalMachine, key, "TypesSupported");
    EXPECT_EQ(types.data, (std::vector<uint8_t>{7, 0, 0, 0})) << source;
  }

  for (const char* section : {"Logging", "Monitor", "Manager"}) {
    reg::Value logging = Read(reg::Hive::LocalMachine,
                              std::string("SOFTWARE\\Brenlo\\Quillnet Server\\") + section,
                              "Logging");
    EXPECT_EQ(logging.type, uint32_t(reg::kMultiString)) << section;
    auto lines = reg::AsMultiString(logging);
    ASSERT_EQ(lines.size(), 6u) << section;
    EXPECT_EQ(lines[3], "E:EWI;");
    EXPECT_EQ(lines[5], "# F:EWI\"QnSvr32.log\";");
  }

  const std::string appId = "{7DFB3D26-47E3-11CF-B5E0-00001D13DB37}";
  EXPECT_EQ(ReadText(reg::Hive::ClassesRoot, "APPID\\" + appId, ""), "QuillnetServer.Monitor");
  EXPECT_EQ(ReadText(reg::Hive::ClassesRoot, "APPID\\" + appId, "LocalService"), kService);
  EXPECT_EQ(ReadText(reg::Hive::LocalMachine, "SOFTWARE\\Classes\\AppID\\QNSVR32.EXE", ""),
            "QuillnetServer.Monitor");
  EXPECT_EQ(ReadText(reg::Hive::LocalMachine, "SOFTWARE\\Classes\\AppID\\QNSVR32.EXE", "AppID"),
            appId);
  EXPECT_EQ(ReadText(reg::Hive::ClassesRoot, "CLSID\\" + appId, "AppID"), appId);
  // HKEY_CLASSES_ROOT is SOFTWARE\Classes of the machine.
  EXPECT_EQ(ReadText(reg::Hive::LocalMachine, "SOFTWARE\\Classes\\CLSID\\" + appId, "AppID"),
            appId);

  // A second install keeps the entry (the service exists) and still ends.
  EXPECT_EQ(Verb("/install").exitCode, 0);
}

TEST_F(ServerAsServiceTest, InstallNeedsTheSwitchButNotTheEndOfTheWord) {
  auto run = Verb("install");
  EXPECT_NE(run.exitCode, 0);
  EXPECT_NE(run.output.find(kNotAService), std::string::npos) << run.output;
  EXPECT_EQ(svc::OpenService(kService), svc::kServiceDoesNotExist);

  EXPECT_EQ(Verb("/installx").exitCode, 0);
  EXPECT_EQ(svc::OpenService(kService), svc::kOk);
}

TEST_F(ServerAsServiceTest, OutsideTheServiceControlTheServerDoesNotRun) {
  auto run = Verb("-SA");
  EXPECT_NE(run.exitCode, 0);
  EXPECT_NE(run.output.find(kNotAService), std::string::npos) << run.output;
  EXPECT_FALSE(qn::test::IsPortListening(port_));
}

TEST_F(ServerAsServiceTest, AnAutomationStartEndsAtOnce) {
  auto run = Verb("-Embedding");
  EXPECT_NE(run.exitCode, 0);
  EXPECT_EQ(run.output.find(kNotAService), std::string::npos) << run.output;
  EXPECT_FALSE(qn::test::IsPortListening(port_));
}

TEST_F(ServerAsServiceTest, VerbsRunTheServerThroughItsLife) {
  ASSERT_EQ(Verb("-install").exitCode, 0);
  auto startBegin = std::chrono::steady_clock::now();
  auto started = Verb("-start");
  ASSERT_EQ(started.exitCode, 0) << started.output;
  auto startTook = std::chrono::steady_clock::now() - startBegin;
  svc::ServiceStatus st = Status();
  ASSERT_EQ(st.currentState, svc::kRunning);
  EXPECT_EQ(st.controlsAccepted, 7u);
  pid_t pid = st.processId;
  ASSERT_GT(pid, 0);

  auto existing = Greeted();
  ExpectAnswers(existing, 1);

  // Not verbs: the capitals run the program, which is no service and ends.
  auto capitals = Verb("-STOP");
  EXPECT_NE(capitals.output.find(kNotAService), std::string::npos) << capitals.output;
  EXPECT_EQ(Status().currentState, svc::kRunning);

  ASSERT_EQ(Verb("-pause").exitCode, 0);
  EXPECT_EQ(Status().currentState, svc::kPaused);
  {
    qn::client::ProtocolClient refused;
    ASSERT_TRUE(refused.Connect(port_));
    EXPECT_TRUE(refused.WaitClosed(5000));
  }
  ExpectAnswers(existing, 2);

  ASSERT_EQ(Verb("-continue").exitCode, 0);
  EXPECT_EQ(Status().currentState, svc::kRunning);
  auto later = Greeted();
  ExpectAnswers(later, 3);

  ASSERT_EQ(Verb("-status").exitCode, 0);
  EXPECT_EQ(Status().currentState, svc::kRunning);
  EXPECT_EQ(Status().processId, pid);

  auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(Verb("-stop").exitCode, 0);
  auto took = std::chrono::steady_clock::now() - begin;
  // Stopped is reported only once the listener is closed.
  EXPECT_FALSE(qn::test::IsPortListening(port_));
  EXPECT_EQ(Status().currentState, svc::kStopped);
  EXPECT_LT(took, 8s);
  std::printf("-start took %lld ms, -stop %lld ms\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(startTook).count()),
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
  EXPECT_TRUE(qn::svctest::WaitUntil([&] { return !qn::svctest::ProcessAlive(pid); }, 10s));
  EXPECT_TRUE(existing.WaitClosed(5000));

  ASSERT_EQ(Verb("-uninstall").exitCode, 0);
  EXPECT_EQ(svc::OpenService(kService), svc::kServiceDoesNotExist);
}

TEST_F(ServerAsServiceTest, KilledServerReadsStoppedAndStartsAgain) {
  ASSERT_EQ(Verb("-install").exitCode, 0);
  ASSERT_EQ(Verb("-start").exitCode, 0);
  pid_t pid = Status().processId;
  ASSERT_GT(pid, 0);
  Greeted();
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  ASSERT_TRUE(qn::svctest::WaitUntil(
      [&] { return Status().currentState == svc::kStopped; }, 10s));

  ASSERT_EQ(Verb("-startif").exitCode, 0);
  EXPECT_EQ(Status().currentState, svc::kRunning);
  EXPECT_NE(Status().processId, pid);
  auto client = Greeted();
  ExpectAnswers(client, 1);
  ASSERT_EQ(Verb("-stop").exitCode, 0);
  EXPECT_EQ(Status().currentState, svc::kStopped);
}

// A socket on the port the server wants, as another program could hold it.
class PortHolder {
 public:
  explicit PortHolder(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
          ::listen(fd_, 1) == 0;
  }
  ~PortHolder() { Release(); }
  bool ok() const { return ok_; }
  void Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

TEST_F(ServerAsServiceTest, ATakenPortEndsTheStartWithTheReasonStandAloneAndAsAService) {
  PortHolder holder(port_);
  ASSERT_TRUE(holder.ok());
  const std::string reason = "cannot listen for clients on TCP port " + std::to_string(port_) +
                             ": Address already in use";

  qn::test::ServerProcess alone;
  ASSERT_TRUE(alone.Start("qnsvr32", {"-sa"}, root_.path().string(), 0));
  EXPECT_EQ(alone.Wait(15000), 1);
  EXPECT_NE(alone.StderrText().find(reason), std::string::npos) << alone.StderrText();

  ASSERT_EQ(Verb("-install").exitCode, 0);
  auto started = Verb("-start");
  EXPECT_NE(started.exitCode, 0);
  EXPECT_NE(started.output.find("-start failed"), std::string::npos) << started.output;
  EXPECT_NE(started.output.find("(error 1066, service-specific error " +
                                std::to_string(EADDRINUSE) + ")"),
            std::string::npos)
      << started.output;
  EXPECT_NE(started.output.find(reason), std::string::npos) << started.output;
  svc::ServiceStatus st = Status();
  EXPECT_EQ(st.currentState, svc::kStopped);
  EXPECT_EQ(st.win32ExitCode, static_cast<uint32_t>(svc::kServiceSpecificError));
  EXPECT_EQ(st.serviceSpecificExitCode, static_cast<uint32_t>(EADDRINUSE));
  // What the service wrote may name members: its log is the owner's only.
  struct stat log {};
  ASSERT_EQ(::stat((root_.path() / "run/quillnet/quillnetserver.log").c_str(), &log), 0);
  EXPECT_EQ(log.st_mode & 0777, 0600u);

  holder.Release();
  auto again = Verb("-start");
  ASSERT_EQ(again.exitCode, 0) << again.output;
  // Running is reported once clients can connect.
  EXPECT_TRUE(qn::test::IsPortListening(port_));
  ASSERT_EQ(Verb("-stop").exitCode, 0);
}

TEST_F(ServerAsServiceTest, AnAccountTheServiceControlRefusesIsToldSoAndChangesNothing) {
  if (::geteuid() != 0) GTEST_SKIP() << "running a verb as another account needs root";
  ASSERT_EQ(Verb("-install").exitCode, 0);
  ASSERT_EQ(Verb("-start").exitCode, 0);
  const pid_t pid = Status().processId;
  // The program where the other account may run it; the installation stays
  // the owner's (the root directory may be walked, not its files read).
  char dir[] = "/tmp/qn-verb-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string program = std::string(dir) + "/qnsvr32";
  std::filesystem::copy_file(Program(), program);
  ::chmod(dir, 0755);
  ::chmod(program.c_str(), 0755);
  ::chmod(root_.path().c_str(), 0755);
  for (const char* verb : {"-stop", "-status", "-pause"}) {
    auto run = qn::svctest::RunProgram({"/usr/sbin/runuser", "-u", "nobody", "--", program, verb},
                                       30s);
    EXPECT_EQ(run.exitCode, 1) << verb << ": " << run.output;
    EXPECT_NE(run.output.find("Access is denied. (error 5)"), std::string::npos)
        << verb << ": " << run.output;
  }
  std::filesystem::remove_all(dir);
  EXPECT_EQ(Status().currentState, svc::kRunning);
  EXPECT_EQ(Status().processId, pid);
  ASSERT_EQ(Verb("-stop").exitCode, 0);
}

}  // namespace
