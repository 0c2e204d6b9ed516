// Secrets kept from other local accounts, read from the files themselves:
// passwords masked in the API log, the owner-only modes of what holds member
// data, and the shared status block that nobody else may make or write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/registry.h"
#include "platform/paths.h"
#include "support/member_client.h"
#include "support/member_install.h"
#include "support/server_fixture.h"
#include "support/server_process.h"
#include "support/service_helpers.h"

namespace fs = std::filesystem;

namespace {

using qn::test::Ended;
using qn::test::Member;
using qn::test::MemberInstall;

unsigned Mode(const fs::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return 01000;  // no such file
  return st.st_mode & 0777;
}

std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(Secrets, PasswordsAreMaskedInTheApiLogAndMemberFilesAreTheOwnersOnly) {
  MemberInstall install;
  const uint16_t port = qn::test::FindFreePort();
  std::string error;
  ASSERT_TRUE(install.Create(qn::test::StorageMode::Access, port, &error)) << error;
  install.SeedAccountDefaults(1000, 0, -1);
  CQuillnetRegistry().WriteDWORD("Logging", "APILog", 1);
  qn::test::ServerProcess server;
  ASSERT_TRUE(server.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port))
      << server.StderrText();
  {
    Member member;
    ASSERT_TRUE(member.Open(port));
    ASSERT_TRUE(Ended(member.Call("Logon", "CreateAccount", {"Masked", "pw-create"})));
    ASSERT_TRUE(Ended(member.Call("Account", "SetPassword", {"pw-set"})));
    ASSERT_TRUE(Ended(member.Call("Account", "SetProfileInfo", {"F", "L", "C", "A1", "A2", "Ci",
                                                                 "S", "Z", "Co", "Sh", "Lo",
                                                                 "pw-profile"})));
  }
  Member again;
  ASSERT_TRUE(again.Open(port));
  bool loggedOn = false;
  for (int i = 0; i < 40 && !loggedOn; ++i)  // the first connection may still be closing
    loggedOn = Ended(again.Call("Logon", "logon", {"Masked", "pw-profile"}));
  ASSERT_TRUE(loggedOn);

  const fs::path dir = MemberInstall::Root() / "var/lib/quillnet";
  // The side files the server's driver made for the open database.
  EXPECT_EQ(Mode(dir / "QNACCOUN.MDB-wal"), 0600u);
  EXPECT_EQ(Mode(dir / "QNACCOUN.MDB-shm"), 0600u);
  EXPECT_EQ(Mode(MemberInstall::Root() / "etc/quillnet/registry.reg"), 0600u);
  EXPECT_EQ(server.Stop(), 0);

  const fs::path logFile = dir / "QNAPILOG.TXT";
  EXPECT_EQ(Mode(logFile), 0600u);
  const std::string log = ReadText(logFile);
  EXPECT_NE(log.find("Logon;CreateAccount;Masked,*****;"), std::string::npos) << log;
  EXPECT_NE(log.find("Account;SetPassword;*****;"), std::string::npos) << log;
  EXPECT_NE(log.find("Account;SetProfileInfo;F,L,C,A1,A2,Ci,S,Z,Co,Sh,Lo,*****;"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Logon;logon;Masked,*****;"), std::string::npos) << log;
  for (const char* secret : {"pw-create", "pw-set", "pw-profile"})
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
  CQuillnetRegistry().WriteDWORD("Logging", "APILog", 0);
}

TEST(Secrets, TheSetUpScriptMakesTheDatabasesTheOwnersOnly) {
  qn::test::ScopedRoot root;
  const fs::path dir = root.path() / "var/lib/quillnet";
  fs::create_directories(dir);
  // An area file an earlier set-up left readable by everybody is kept, and
  // closed to others.
  std::ofstream(dir / "QNCHAT.MDB") << "";
  fs::permissions(dir / "QNCHAT.MDB", fs::perms(0644));
  fs::permissions(dir, fs::perms(0755));
  // The templates of this build, wherever it was made.
  const auto run = qn::svctest::RunProgram(
      {"/usr/bin/env", "QN_TEMPLATE_DIR=" QN_TEMPLATE_DIR, "/bin/bash",
       std::string(QN_SOURCE_DIR) + "/scripts/create-databases"},
      std::chrono::seconds(60));
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(Mode(dir), 0700u);
  for (const char* area : {"QNACCOUN", "QNAUDIT", "QNCHAT", "QNFILE", "QNMAIL"})
    EXPECT_EQ(Mode(dir / (std::string(area) + ".MDB")), 0600u) << area;
  EXPECT_EQ(fs::file_size(dir / "QNCHAT.MDB"), 0u);
}

class StatusBlockTest : public qn::test::ServerFixture {
 protected:
  // QN_ROOT is the fixture's root.
  static std::string BlockName() { return "/QuillnetSvrAndConnections." + qn::paths::RootTag(); }
  static fs::path BlockFile() { return "/dev/shm" + BlockName(); }
  void TearDown() override {
    ServerFixture::TearDown();
    ::shm_unlink(BlockName().c_str());
  }
  // A block made before the server starts, as another program could.
  void MakeBlock(mode_t mode, uid_t owner) {
    const int fd = ::shm_open(BlockName().c_str(), O_CREAT | O_RDWR, mode);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fchmod(fd, mode), 0);
    if (owner != ::geteuid()) ASSERT_EQ(::fchown(fd, owner, owner), 0);
    ::close(fd);
  }
};

TEST_F(StatusBlockTest, OthersMayReadTheBlockButOnlyTheServersAccountWriteIt) {
  // What an earlier version left after a crash: the server's own, open to
  // every writer. It is replaced, not reused.
  MakeBlock(0666, ::geteuid());
  StartServer();
  struct stat st {};
  ASSERT_EQ(::stat(BlockFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(st.st_uid, ::geteuid());
  ExpectServerServes();
}

TEST_F(StatusBlockTest, AnotherAccountsBlockIsRefusedWithItsPath) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a block of another account needs root";
  MakeBlock(0666, 65534);  // nobody's
  port = qn::test::FindFreePort();
  qn::test::WriteRegistry(RootPath(), {{"General", {qn::test::DwordLine("Port", port)}}});
  ASSERT_TRUE(server.Start("qnsvr32_test", {"-sa"}, RootPath(), 0));
  EXPECT_EQ(server.Wait(15000), 1);
  stopped = true;
  EXPECT_NE(server.StderrText().find(BlockFile().string()), std::string::npos)
      << server.StderrText();
  EXPECT_FALSE(qn::test::IsPortListening(port));
}

}  // namespace
