// The installer's fresh installation in both storage modes, then the real
// server on it: the seed rows let members in at once; and the later
// additions (Procedures) made once on a database without them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/registry.h"
#include "support/installer_run.h"
#include "platform/odbc_statement.h"
#include "server/data/database.h"
#include "support/earlier_install.h"
#include "support/member_client.h"
#include "support/member_install.h"
#include "support/scoped_root.h"
#include "support/server_process.h"
#include "tools/dbsetup/core/installer_texts.h"

namespace qn::test {
namespace {

using namespace qn::dbsetup;
using qn::client::TableReply;

std::string ProgramFile(const std::string& name) {
  return (MemberInstall::Root() / "var/lib/quillnet" / name).string();
}

class FreshInstall : public ::testing::TestWithParam<StorageMode> {
 protected:
  void SetUp() override {
    if (GetParam() == StorageMode::Postgres && !PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    ResetInstallation();
  }
  void TearDown() override {
    if (server_.IsRunning()) {
      EXPECT_EQ(server_.Stop(), 0);
    }
    if (HasFailure()) ADD_FAILURE() << "server's standard error:\n" << server_.StderrText();
  }

  InstallerOutcome Install() {
    InstallerAnswers answers;
    if (GetParam() == StorageMode::Access) {
      answers.driverChoice = kAccessButton;
    } else {
      answers.driverChoice = kSqlServerButton;
      answers.boxes[texts::kSqlSetupQuestion] = IDYES;
      answers.params = TestServerParams(database_.name());
    }
    return RunInstaller(answers);
  }

  void StartServer() {
    port_ = FindFreePort();
    CQuillnetRegistry().WriteDWORD("General", "Port", port_);
    ASSERT_TRUE(server_.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port_))
        << server_.StderrText();
  }

  // A statement's first value on the installed database (an area's file,
  // or the one database).
  std::string Query(const char* stem, const std::string& sql) {
    CDatabase db;
    if (GetParam() == StorageMode::Access)
      db.OpenEx("Driver={Quillnet SQLite3};Database=" + ProgramFile(std::string(stem) + ".MDB"));
    else
      db.OpenEx(database_.Connect());
    qn::odbc::Statement statement(db.Connection());
    statement.ExecuteDirect(sql);
    std::string text;
    if (statement.Fetch()) statement.GetText(1, text);
    return text;
  }

  ScratchPgDatabase database_;
  ServerProcess server_;
  uint16_t port_ = 0;
};

std::vector<std::string> KeyNames(const TableReply& reply) {
  std::vector<std::string> names;
  for (const auto& row : reply.rows) names.push_back(std::get<std::string>(row[1]));
  std::sort(names.begin(), names.end());
  return names;
}

TEST_P(FreshInstall, MembersCreateAccountsAtOnceAndTheAdministratorLogsOn) {
  const InstallerOutcome outcome = Install();
  ASSERT_EQ(outcome.ended, IDOK);
  EXPECT_TRUE(outcome.boxes.empty() || outcome.boxes == std::vector<std::string>{texts::kSqlSetupQuestion})
      << ::testing::PrintToString(outcome.boxes) << ::testing::PrintToString(outcome.statuses);
  CQuillnetRegistry registry;
  EXPECT_EQ(registry.ReadString("General", "ODBCType", ""),
            GetParam() == StorageMode::Access ? "MSAccess" : "MSSQL");
  StartServer();

  Member admin;
  ASSERT_TRUE(admin.Open(port_));
  ASSERT_TRUE(Ended(admin.Call("Logon", "Logon", {"Administrator", "Plinkett"})));
  EXPECT_EQ(KeyNames(admin.Call("Account", "GetKeys")),
            (std::vector<std::string>{"CHAT", "COMPOSE", "FILE RECEIVE", "FILE SEND", "PRIVATE"}));

  Member member;
  ASSERT_TRUE(member.Open(port_));
  const TableReply created = member.Call("Logon", "CreateAccount", {"Newcomer", "secret"});
  ASSERT_TRUE(Ended(created)) << Code(created);
  const TableReply credits = member.Call("Account", "GetCredits");
  ASSERT_TRUE(Ended(credits));
  ASSERT_FALSE(credits.rows.empty());
  EXPECT_EQ(std::get<int32_t>(credits.rows[0][0]), 1000);
  EXPECT_EQ(KeyNames(member.Call("Account", "GetKeys")),
            (std::vector<std::string>{"CHAT", "COMPOSE", "FILE RECEIVE", "FILE SEND", "PRIVATE"}));

  // The rest of a new installation: the library's root, the lobby, topics.
  EXPECT_EQ(Query("QNFILE", "SELECT DirectoryName FROM Directories WHERE ParentDirectory = -1"), "Folders");
  EXPECT_EQ(Query("QNCHAT", "SELECT Room FROM ChatRooms"), "Main Lobby");
  EXPECT_EQ(Query("QNRMSG", "SELECT Folder FROM Folders WHERE ParentID = -1"), "Topics");
}

TEST_P(FreshInstall, ProceduresAreAddedOnceToADatabaseWithoutThem) {
  ASSERT_EQ(Install().ended, IDOK);
  // A database of before Procedures and Databases.ODBCConnectString.
  if (GetParam() == StorageMode::Access) {
    ExecSqlite(ProgramFile("QNDB.MDB"), "DROP TABLE Procedures; ALTER TABLE Databases DROP COLUMN ODBCConnectString;");
  } else {
    CDatabase db;
    db.OpenEx(database_.Connect());
    db.ExecuteSQL("DROP TABLE Procedures");
    db.ExecuteSQL("ALTER TABLE Databases DROP COLUMN ODBCConnectString");
  }
  const std::vector<std::string> steps =
      GetParam() == StorageMode::Access
          ? std::vector<std::string>{texts::kStepTexts[0], texts::kStepTexts[1], texts::kStepTexts[4],
                                     texts::kStepTexts[5]}
          : std::vector<std::string>{texts::kStepTexts[0], texts::kStepTexts[1], texts::kStepTexts[5]};
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    const InstallerOutcome outcome = RunInstaller({});
    EXPECT_EQ(outcome.ended, IDOK);
    EXPECT_TRUE(outcome.boxes.empty()) << ::testing::PrintToString(outcome.boxes);
    EXPECT_EQ(outcome.statuses, steps);
  }
  EXPECT_EQ(Query("QNDB", "SELECT COUNT(*) FROM Procedures"), "0");
  EXPECT_EQ(Query("QNDB", "SELECT COUNT(ODBCConnectString) FROM Databases"), "0");
  // As the script has them: the index too, and the column's default.
  if (GetParam() == StorageMode::Access) {
    EXPECT_EQ(QuerySqlite(ProgramFile("QNDB.MDB"),
                          "SELECT COUNT(*) FROM sqlite_master WHERE name = 'Procedures_DatabaseName'"),
              "1");
  } else {
    EXPECT_EQ(Query("QNDB", "SELECT COUNT(*) FROM pg_indexes WHERE indexname = 'procedures_databasename'"), "1");
  }
  StartServer();
  Member admin;
  ASSERT_TRUE(admin.Open(port_));
  EXPECT_TRUE(Ended(admin.Call("Logon", "Logon", {"Administrator", "Plinkett"})));
}

// scripts/run-server's set-up step on a root of its own: the templates'
// seed rows let a member in at once, and a second run keeps what is there.
TEST(SetupScript, MakesMissingDatabasesFromTheTemplatesAndKeepsExistingOnes) {
  ScopedRoot root;
  const std::string command = "QN_TEMPLATE_DIR=" + std::string(QN_TEMPLATE_DIR) + " QN_ROOT=" +
                              root.path().string() + " bash " + QN_SOURCE_DIR + "/scripts/create-databases >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::filesystem::path chat = root.path() / "var/lib/quillnet/QNCHAT.MDB";
  ExecSqlite(chat, "INSERT INTO ChatRooms (Room) VALUES ('Kept')");
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(QuerySqlite(chat, "SELECT COUNT(*) FROM ChatRooms"), "2");
  EXPECT_EQ(std::filesystem::status(chat).permissions() & std::filesystem::perms::group_read,
            std::filesystem::perms::none);

  const uint16_t port = FindFreePort();
  WriteRegistry(root.path().string(), {{"General", {DwordLine("Port", port)}}});
  ServerProcess server;
  ASSERT_TRUE(server.Start("qnsvr32", {"-sa"}, root.path().string(), port)) << server.StderrText();
  Member member;
  ASSERT_TRUE(member.Open(port));
  EXPECT_TRUE(Ended(member.Call("Logon", "CreateAccount", {"First", "pw"})));
  const TableReply credits = member.Call("Account", "GetCredits");
  ASSERT_FALSE(credits.rows.empty());
  EXPECT_EQ(std::get<int32_t>(credits.rows[0][0]), 1000);
  EXPECT_EQ(server.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(BothModes, FreshInstall, ::testing::Values(StorageMode::Access, StorageMode::Postgres),
                         [](const auto& info) { return std::string(StorageModeName(info.param)); });

}  // namespace
}  // namespace qn::test
