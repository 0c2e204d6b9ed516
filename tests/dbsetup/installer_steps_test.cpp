// The installer's step machine on fakes: every road through the six steps
// with its texts, what each writes, and that a failed run leaves data
// sources, settings and files as they were.
#include <gtest/gtest.h>

#include "fake_host.h"
#include "tools/dbsetup/core/connect_text.h"
#include "tools/dbsetup/core/installer_texts.h"

namespace qn::dbsetup::test {
namespace {

using namespace texts;

std::string Path(const std::string& name) { return std::string(kDir) + name; }

std::vector<std::string> Steps(std::initializer_list<int> steps) {
  std::vector<std::string> texts;
  for (int step : steps) texts.push_back(kStepTexts[step]);
  return texts;
}

// What a run may change, to compare before and after.
struct Snapshot {
  std::map<std::string, std::map<std::string, std::string>> sources;
  std::map<std::string, std::string> listed;
  std::map<std::string, std::string> registry;
  std::map<std::string, std::string> files;
  bool operator==(const Snapshot&) const = default;
};
Snapshot Take(FakeInstallation& f) {
  return {f.odbc.sources, f.odbc.listed, f.settings.registry, f.files.content};
}

void AddAccessSource(FakeInstallation& f) {
  f.odbc.sources[kServerDataSource] = {{"Driver", kAccessDriver}, {"DefaultDir", kDir}};
  f.odbc.listed[kServerDataSource] = kAccessDriver;
}

TEST(InstallerSteps, NewInstallationChoosesItsKindByTheDriversThere) {
  struct Case {
    std::vector<std::string> drivers;
    int choice;
    bool offersChoice;
    bool asksSql;
    int firstStepAfterOne;  // 2, 3, or -1 for none
  };
  const Case cases[] = {
      {{}, 0, false, false, -1},
      {{kAccessDriver}, 0, false, false, 2},
      {{kSqlServerDriver}, 0, false, true, 3},
      {{kAccessDriver, kSqlServerDriver}, kAccessButton, true, false, 2},
      {{kAccessDriver, kSqlServerDriver}, kSqlServerButton, true, true, 3},
      {{kAccessDriver, kSqlServerDriver}, IDCANCEL, true, false, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.drivers.size() << " drivers, choice " << c.choice);
    FakeInstallation f;
    f.odbc.drivers = c.drivers;
    f.view.driverChoice = c.choice;
    f.view.answers = {IDNO};  // the SQL question, when it comes
    f.AddTemplates();
    f.Run();
    EXPECT_EQ(f.view.driverChoices, c.offersChoice ? 1 : 0);
    const bool asked = !f.view.boxes.empty() && f.view.boxes[0].text == kSqlSetupQuestion;
    EXPECT_EQ(asked, c.asksSql);
    if (c.drivers.empty()) {
      ASSERT_EQ(f.view.boxes.size(), 1u);
      EXPECT_EQ(f.view.boxes[0].text, kNoDriverInstalled);
    }
    if (c.firstStepAfterOne == 2) {
      EXPECT_EQ(f.view.statuses, Steps({0, 1, 2}));
      EXPECT_EQ(f.view.ended, IDOK);
    } else {
      // Cancel, No and no driver end the run before anything is written.
      EXPECT_EQ(f.view.ended, IDCANCEL);
      EXPECT_TRUE(f.odbc.sources.empty());
      EXPECT_TRUE(f.settings.registry.empty());
    }
  }
}

TEST(InstallerSteps, NewAccessInstallationKeepsExistingFilesAndRegistersItsSources) {
  FakeInstallation f;
  f.odbc.drivers = {kAccessDriver};
  f.AddTemplates();
  f.files.content[Path("QNCHAT.MDB")] = "db:mine";
  f.Run();

  EXPECT_EQ(f.view.ended, IDOK);
  EXPECT_EQ(f.files.content[Path("QNCHAT.MDB")], "db:mine");
  for (const char* stem : kStems) {
    if (std::string(stem) != "QNCHAT") {
      EXPECT_EQ(f.files.content[Path(stem + std::string(".MDB"))], "db:template");
    }
  }
  // Only the seven templates and the seven live files remain: no temporary
  // copies, nothing set aside.
  int databases = 0;
  for (const auto& [path, text] : f.files.content)
    if (path.rfind(kDir, 0) == 0) ++databases;
  EXPECT_EQ(databases, 14);

  using Attributes = std::map<std::string, std::string>;
  EXPECT_EQ(f.odbc.sources[kServerDataSource],
            (Attributes{{"Driver", kAccessDriver}, {"Description", "Quillnet Server Core Databases"},
                        {"DefaultDir", kDir}}));
  EXPECT_EQ(f.odbc.sources[kAccountDataSource],
            (Attributes{{"Driver", kAccessDriver},
                        {"Description", "Quillnet Account Information Database"},
                        {"Database", Path("QNACCOUN.MDB")},
                        {"DefaultDir", kDir}}));
  EXPECT_EQ(f.odbc.listed[kServerDataSource], kAccessDriver);
  EXPECT_EQ(f.settings.registry["General\\ODBCType"], "MSAccess");
  EXPECT_EQ(f.settings.ReadProfile(kServerIni, "General", "ODBCType"), "MSAccess");
  EXPECT_TRUE(f.databases.calls.empty());
}

TEST(InstallerSteps, NewSqlServerDatabaseGetsScriptAndSeedsOnlyWithoutAccounts) {
  for (bool hasAccounts : {false, true}) {
    SCOPED_TRACE(hasAccounts);
    FakeInstallation f;
    f.odbc.drivers = {kSqlServerDriver};
    f.view.answers = {IDYES};
    f.files.content[Path("QNDATA.SQL")] = std::string("CREATE TABLE Accounts (x int);\0garbage", 37);
    if (hasAccounts) f.databases.tables = {"Accounts"};
    f.view.paramAnswers.push_back([](SqlServerParams& p) {
      p.serverName = "/run/pg,5433";
      p.database = "qn";
      p.loginId = "admin";
      p.password = "pa;ss}";
      return IDOK;
    });
    f.Run();

    EXPECT_EQ(f.view.statuses, Steps({0, 1, 3}));
    EXPECT_EQ(f.view.boxes[0].caption, kSqlSetupCaption);
    EXPECT_EQ(f.services.started, std::vector<std::string>{"MSSQLServer"});
    const std::string connect = "ODBC;DSN=Quillnet Server;UID=admin;PWD={pa;ss}}}";
    EXPECT_EQ(f.dialog->ConnectString(), connect);
    std::vector<std::string> calls = {"TableExists  | " + connect + " | Accounts"};
    if (!hasAccounts) {
      calls.push_back("OpenTarget Quillnet Server | " + connect);
      calls.push_back("RunScript CREATE TABLE Accounts (x int);");
      calls.push_back("AddDefaultRecords");
      calls.push_back("Commit");
    }
    EXPECT_EQ(f.databases.calls, calls);
    using Attributes = std::map<std::string, std::string>;
    EXPECT_EQ(f.odbc.sources[kServerDataSource],
              (Attributes{{"Driver", kSqlServerDriver}, {"Description", "Quillnet Server Core Databases"},
                          {"Servername", "/run/pg"}, {"Port", "5433"}, {"Database", "qn"}}));
    EXPECT_EQ(f.odbc.sources[kAccountDataSource]["Servername"], "/run/pg");
    EXPECT_EQ(f.settings.registry["General\\ODBCType"], "MSSQL");
    EXPECT_EQ(f.settings.registry["General\\ODBCConnectString"], connect.substr(5));
    EXPECT_EQ(f.settings.ReadProfile(kServerIni, "General", "ODBCConnectString"), connect.substr(5));
    EXPECT_TRUE(f.settings.secretValues.count("registry:General\\ODBCConnectString"));
    EXPECT_TRUE(f.settings.secretValues.count(kServerIni));
    EXPECT_EQ(f.view.ended, IDOK);
    EXPECT_EQ(f.view.paused, 1500);
  }
}

TEST(InstallerSteps, SqlServerParametersDialogCancelRefusalAndReuse) {
  // Cancel keeps the first values; bad values are refused and asked again.
  FakeInstallation f;
  f.odbc.drivers = {kSqlServerDriver};
  f.view.answers = {IDYES};
  f.databases.tables = {"Accounts"};
  f.Run();
  EXPECT_EQ(f.dialog->ConnectString(), "ODBC;DSN=Quillnet Server;UID=sa;PWD=");
  EXPECT_EQ(f.odbc.sources[kServerDataSource]["Servername"], "localhost");
  EXPECT_EQ(f.odbc.sources[kServerDataSource]["Port"], "5432");
  EXPECT_EQ(f.odbc.sources[kServerDataSource]["Database"], "Quillnet_Server");
  ASSERT_EQ(f.view.shownParams.size(), 1u);
  EXPECT_EQ(f.view.shownParams[0].serverName, "(local)");
  EXPECT_EQ(f.view.shownParams[0].loginId, "sa");

  for (const char* bad : {"host,99999", "host,", "", "ho\nst", "host,12a"}) {
    SCOPED_TRACE(bad);
    FakeInstallation g;
    g.odbc.drivers = {kSqlServerDriver};
    g.view.answers = {IDYES};
    g.databases.tables = {"Accounts"};
    g.view.paramAnswers.push_back([bad](SqlServerParams& p) {
      p.serverName = bad;
      return IDOK;
    });
    g.view.paramAnswers.push_back([](SqlServerParams& p) {
      p.serverName = "db.example,6000";
      p.password = "x\ty";
      return IDOK;
    });
    g.view.paramAnswers.push_back([](SqlServerParams& p) {
      p.password = "ok";
      return IDOK;
    });
    g.Run();
    ASSERT_EQ(g.view.shownParams.size(), 3u);
    EXPECT_EQ(g.view.shownParams[1].serverName, bad);  // shown again as typed
    EXPECT_EQ(g.view.boxes[1].text, kBadSqlParameters);
    EXPECT_EQ(g.view.boxes[2].text, kBadSqlParameters);
    EXPECT_EQ(g.odbc.sources[kServerDataSource]["Servername"], "db.example");
    EXPECT_EQ(g.odbc.sources[kServerDataSource]["Port"], "6000");
    EXPECT_EQ(g.dialog->ConnectString(), "ODBC;DSN=Quillnet Server;UID=sa;PWD=ok");
  }
}

TEST(InstallerSteps, StepZeroStopsOnAnotherDriverOrAnInvalidHandleWritingNothing) {
  {
    FakeInstallation f;
    f.odbc.sources["QUILLNET SERVER"] = {{"Driver", "SQLite3"}};
    f.AddTemplates();
    const Snapshot before = Take(f);
    f.Run();
    ASSERT_EQ(f.view.boxes.size(), 1u);
    EXPECT_EQ(f.view.boxes[0].text, kNeitherDriverOfDataSource);
    EXPECT_EQ(f.view.ended, IDCANCEL);
    EXPECT_EQ(f.view.statuses, Steps({0}));
    EXPECT_TRUE(Take(f) == before);
  }
  {
    FakeInstallation f;
    f.odbc.invalidSources = true;
    f.Run();
    EXPECT_EQ(f.view.boxes.at(0).text, kInvalidHandleDataSources);
    EXPECT_EQ(f.view.ended, IDCANCEL);
  }
  {
    // Drivers behind an invalid handle: said, and the run goes on without.
    FakeInstallation f;
    f.odbc.invalidDrivers = true;
    f.odbc.drivers = {};
    f.Run();
    EXPECT_EQ(f.view.boxes.at(0).text, kInvalidHandle);
    EXPECT_EQ(f.view.boxes.at(1).text, kNoDriverInstalled);
  }
}

TEST(InstallerSteps, LostAccessDataSourceComesBackOnlyWithItsFileAndListing) {
  for (int variant = 0; variant < 3; ++variant) {
    SCOPED_TRACE(variant);
    FakeInstallation f;
    f.odbc.drivers = {kAccessDriver};
    f.AddTemplates();
    if (variant != 1) f.AddLiveFiles();
    if (variant != 2) f.odbc.listed[kServerDataSource] = kAccessDriver;
    f.databases.tables = {"Procedures"};
    f.Run();
    if (variant == 0) {
      // Found again: registered in step 0, then step 4 as for a found one.
      EXPECT_EQ(f.view.statuses, Steps({0, 1, 4, 5}));
      EXPECT_EQ(f.odbc.requests.front(), "4 Quillnet SQLite3 Quillnet Server");
    } else {
      EXPECT_EQ(f.view.statuses, Steps({0, 1, 2}));
    }
  }
}

TEST(InstallerSteps, CurrentAccessFilesGoOnToProceduresWhichIsAddedWhereMissing) {
  for (bool hasProcedures : {true, false}) {
    SCOPED_TRACE(hasProcedures);
    FakeInstallation f;
    AddAccessSource(f);
    f.odbc.sources[kAccountDataSource] = {{"Driver", kAccessDriver}};
    f.AddLiveFiles();
    if (hasProcedures) f.databases.tables = {"Procedures"};
    f.Run();
    EXPECT_EQ(f.view.statuses, Steps({0, 1, 4, 5}));
    EXPECT_TRUE(f.view.boxes.empty());
    const std::string dbq = "ODBC;DBQ=/p/QNDB.MDB";
    std::vector<std::string> calls = {
        "TableExists Quillnet Server | ODBC;DBQ=/p/QNACCOUN.MDB | LineNumbers",
        "TableExists Quillnet Server | " + dbq + " | Procedures"};
    if (!hasProcedures) {
      calls.push_back("OpenTarget Quillnet Server | " + dbq);
      calls.push_back("AddProcedures");
      calls.push_back("Commit");
    }
    EXPECT_EQ(f.databases.calls, calls);
    EXPECT_EQ(f.odbc.requests,
              (std::vector<std::string>{"6 Quillnet SQLite3 Quillnet Server", "3 Quillnet SQLite3 Quillnet Server",
                                        "4 Quillnet SQLite3 Quillnet Server",
                                        "6 Quillnet SQLite3 Account Information",
                                        "4 Quillnet SQLite3 Account Information"}));
    EXPECT_EQ(f.view.ended, IDOK);
  }
}

TEST(InstallerSteps, StepFiveOnSqlServerUsesTheStoredConnectStringAndAnErrorTakesItAllBack) {
  FakeInstallation f;
  f.odbc.sources[kServerDataSource] = {{"Driver", kSqlServerDriver}};
  f.settings.registry["General\\ODBCConnectString"] = "DSN=Quillnet Server;UID=u;PWD=p";
  f.databases.tableExistsThrows = true;  // counts as missing
  f.databases.failOn = "AddProcedures";
  const Snapshot before = Take(f);
  f.Run();
  EXPECT_EQ(f.view.statuses, Steps({0, 1, 5}));
  EXPECT_EQ(f.databases.calls.back(), "Rollback");
  EXPECT_EQ(f.databases.calls[1], "OpenTarget  | ODBC;DSN=Quillnet Server;UID=u;PWD=p");
  ASSERT_EQ(f.view.boxes.size(), 1u);
  EXPECT_EQ(f.view.boxes[0].text,
            std::string(kDatabaseErrorIntro) + kStepTexts[5] + ", , relation \"databases\" does not exist");
  EXPECT_EQ(f.view.boxes[0].icon, Icon::Stop);
  EXPECT_EQ(f.view.ended, IDOK);
  EXPECT_TRUE(Take(f) == before);
}

// A version 1.0 installation: seven live files with LineNumbers, two mail
// attachments (messages 7 and 9 become 1 and 2), a stale .OLD and a
// left-over side file.
struct EarlierInstallation : FakeInstallation {
  EarlierInstallation() {
    AddAccessSource(*this);
    AddTemplates();
    AddLiveFiles();
    AddLiveFiles("OLD", "older");
    files.content[Path("QNMAIL.MDB-wal")] = "wal of live QNMAIL";
    files.content[Path("QNAUDIT.OLD-shm")] = "stale shm";
    files.content[Path("QNMAIL/00000007.ATT")] = "seven";
    files.content[Path("QNMAIL/00000009.ATT")] = "nine";
    files.content[Path("QNMAIL/00000001.ATT")] = "one, of a message that had none";
    files.content[Path("QNDATA.SQL")] = "CREATE TABLE Accounts (x int)";
    databases.tables = {"LineNumbers"};
    databases.upgrade = [this](const UpgradeRequest& request, IUpgradeProgress& progress) {
      progress.Row("Accounts", 1, 2);
      progress.Row("Accounts", 2, 2);
      if (!request.newExtension.empty())
        for (const char* stem : kStems) files.content[Path(stem + std::string(".TMP"))] = "db:new";
      return AttachmentMoves{{7, 1}, {9, 2}, {11, 3}};
    };
  }
};

TEST(InstallerSteps, UpgradeIntoNewFilesSwapsEveryFileWithItsSideFilesAndAttachments) {
  EarlierInstallation f;
  f.files.content.erase(Path("QNMAIL/00000001.ATT"));
  f.view.answers = {IDNO};
  f.Run();
  ASSERT_EQ(f.view.boxes.size(), 1u);
  EXPECT_EQ(f.view.boxes[0].text, kUpgradeToSqlQuestion);
  EXPECT_EQ(f.view.boxes[0].buttons, Buttons::YesNoCancel);
  EXPECT_EQ(f.view.statuses, Steps({0, 1, 4}));
  EXPECT_EQ(f.dialog->DetailedStatusText(), "Updating Accounts (2 out of 2)");
  EXPECT_EQ(f.view.ended, IDOK);

  std::map<std::string, std::string> expected;
  for (const char* stem : kStems) {
    expected[Path(stem + std::string(".NEW"))] = "db:template";
    expected[Path(stem + std::string(".MDB"))] = "db:new";
    expected[Path(stem + std::string(".OLD"))] = std::string("db:live:") + stem;
  }
  expected[Path("QNMAIL.OLD-wal")] = "wal of live QNMAIL";
  expected[Path("QNMAIL/00000001.ATT")] = "seven";
  expected[Path("QNMAIL/00000002.ATT")] = "nine";
  expected[Path("QNDATA.SQL")] = "CREATE TABLE Accounts (x int)";
  expected[kServerIni] = "General\\ODBCType=MSAccess\n";
  EXPECT_EQ(f.files.content, expected);
  EXPECT_EQ(f.databases.calls.back(), "Upgrade MDB -> TMP");
  EXPECT_EQ(f.odbc.sources.count(kNewServerDataSource), 0u);
  EXPECT_EQ(f.odbc.sources[kServerDataSource]["Driver"], kAccessDriver);
  EXPECT_EQ(f.settings.registry["General\\ODBCType"], "MSAccess");
}

TEST(InstallerSteps, UpgradeIntoSqlServerMovesTheFilesAndCommitsLast) {
  EarlierInstallation f;
  f.files.content.erase(Path("QNMAIL/00000001.ATT"));
  f.view.answers = {IDYES};
  f.view.paramAnswers.push_back([](SqlServerParams& p) {
    p.serverName = "/run/pg,5433";
    return IDOK;
  });
  f.Run();
  EXPECT_EQ(f.view.ended, IDOK);
  ASSERT_EQ(f.view.shownParams.size(), 1u);  // asked once for both data sources
  const std::vector<std::string> calls = {
      "TableExists Quillnet Server | ODBC;DBQ=/p/QNACCOUN.MDB | LineNumbers",
      "OpenTarget New Quillnet Server | ODBC;DSN=New Quillnet Server;UID=sa;PWD=",
      "RunScript CREATE TABLE Accounts (x int)", "Upgrade MDB -> ", "Commit"};
  EXPECT_EQ(f.databases.calls, calls);
  for (const char* stem : kStems) {
    EXPECT_FALSE(f.files.Exists(Path(stem + std::string(".MDB"))));
    EXPECT_EQ(f.files.content[Path(stem + std::string(".OLD"))], std::string("db:live:") + stem);
  }
  EXPECT_EQ(f.files.content[Path("QNMAIL/00000002.ATT")], "nine");
  EXPECT_EQ(f.odbc.sources.count(kNewServerDataSource), 0u);
  EXPECT_EQ(f.odbc.sources[kServerDataSource]["Driver"], kSqlServerDriver);
  EXPECT_EQ(f.settings.registry["General\\ODBCConnectString"], "DSN=Quillnet Server;UID=sa;PWD=");
  EXPECT_EQ(f.settings.ReadProfile(Path("ACCOUNT.QNI"), "Database1", "ODBC Data Source"), "Quillnet Server");
}

TEST(InstallerSteps, AFailureAtAnyFileMoveOfAnUpgradeLeavesEverythingAsBefore) {
  // Count the file operations of a good run, then fail each one in turn.
  int operations = 0;
  {
    EarlierInstallation f;
    f.files.content.erase(Path("QNMAIL/00000001.ATT"));
    f.view.answers = {IDNO};
    f.Run();
    ASSERT_EQ(f.view.ended, IDOK);
    operations = f.files.operations;
  }
  ASSERT_GT(operations, 30);
  for (int failAt = 1; failAt <= operations; ++failAt) {
    SCOPED_TRACE(failAt);
    EarlierInstallation f;
    f.files.content.erase(Path("QNMAIL/00000001.ATT"));
    f.view.answers = {IDNO};
    const Snapshot before = Take(f);
    f.files.failAt = failAt;
    f.Run();
    EXPECT_FALSE(f.view.ended.has_value());  // the dialog stays with the message
    ASSERT_EQ(f.view.boxes.size(), 2u);
    EXPECT_NE(f.view.boxes[1].text.find("disk full"), std::string::npos) << f.view.boxes[1].text;
    EXPECT_TRUE(Take(f) == before);
  }
}

TEST(InstallerSteps, UpgradeRefusesHeldFilesTakenAttachmentNamesAndFailedDatabases) {
  {
    EarlierInstallation f;  // 00000001.ATT belongs to no message
    f.view.answers = {IDNO};
    const Snapshot before = Take(f);
    f.Run();
    EXPECT_EQ(f.view.boxes.back().text,
              "Cannot give an upgraded attachment the name /p/QNMAIL/00000001.ATT: a file of that name exists.");
    EXPECT_TRUE(Take(f) == before);
  }
  {
    EarlierInstallation f;
    f.files.openBy[Path("QNFILE.MDB-shm")] = 4242;
    f.view.answers = {IDNO};
    const Snapshot before = Take(f);
    f.Run();
    EXPECT_EQ(f.view.boxes.back().text,
              "/p/QNFILE.MDB-shm is open in another program (process 4242). Stop the Quillnet Server and run "
              "QNDBUp32 again.");
    EXPECT_TRUE(f.databases.calls.back().rfind("TableExists", 0) == 0);  // no upgrade began
    EXPECT_TRUE(Take(f) == before);
  }
  for (const char* failing : {"Upgrade", "Commit", "RunScript"}) {
    SCOPED_TRACE(failing);
    EarlierInstallation f;
    f.files.content.erase(Path("QNMAIL/00000001.ATT"));
    f.databases.failOn = failing;
    f.view.answers = {IDYES};
    const Snapshot before = Take(f);
    f.Run();
    EXPECT_EQ(f.view.ended, IDOK);
    EXPECT_EQ(f.view.boxes.back().icon, Icon::Stop);
    if (std::string(failing) == "Upgrade") {
      EXPECT_NE(f.view.boxes.back().text.find(", Updating Accounts (2 out of 2), constraint failed"),
                std::string::npos);
    }
    EXPECT_TRUE(Take(f) == before);
  }
}

TEST(InstallerSteps, MissingScriptOrFailedSeedsEndTheRunAsBefore) {
  {
    FakeInstallation f;
    f.odbc.drivers = {kSqlServerDriver};
    f.view.answers = {IDYES};
    f.Run();
    EXPECT_EQ(f.view.boxes.back().text, kMissingScript);
    EXPECT_EQ(f.view.ended, IDCANCEL);
    EXPECT_EQ(f.databases.calls.back(), "Rollback");
    EXPECT_TRUE(f.odbc.sources.empty());
    EXPECT_TRUE(f.settings.registry.empty());
    EXPECT_FALSE(f.files.Exists(kServerIni));
  }
  {
    FakeInstallation f;
    f.odbc.drivers = {kSqlServerDriver};
    f.view.answers = {IDYES};
    f.files.content[Path("QNDATA.SQL")] = "CREATE TABLE Accounts (x int)";
    f.databases.failOn = "AddDefaultRecords";
    f.settings.registry["General\\ODBCType"] = "MSAccess";
    f.Run();
    EXPECT_EQ(f.view.boxes.back().text, "Error: Adding default records (duplicate key value)");
    EXPECT_EQ(f.view.ended, IDOK);
    EXPECT_EQ(f.databases.calls.back(), "Rollback");
    EXPECT_EQ(f.settings.registry, (std::map<std::string, std::string>{{"General\\ODBCType", "MSAccess"}}));
  }
  EXPECT_EQ(ErrorMessageText("Adding default records", ""),
            "Error: Adding default records (an unknown error has occured)");
  EXPECT_EQ(ErrorMessageText("x", std::string(200, 'e').c_str()), "Error: x (" + std::string(128, 'e') + ")");
}

TEST(ConnectText, ValuesAndServerNames) {
  EXPECT_EQ(ConnectValue("plain"), "plain");
  EXPECT_EQ(ConnectValue("a;b"), "{a;b}");
  EXPECT_EQ(ConnectValue("{x}"), "{{x}}}");
  EXPECT_EQ(ConnectValue(" pad"), "{ pad}");
  struct Case {
    const char* name;
    bool ok;
    const char* host;
    const char* port;
  };
  for (const Case& c : {Case{"(local)", true, "localhost", "5432"}, Case{"db", true, "db", "5432"},
                        Case{"db, 6000", true, "db", "6000"}, Case{"/run/a,b,7", true, "/run/a,b", "7"},
                        Case{"db,0", false, "", ""}, Case{",5", false, "", ""}, Case{"db,-1", false, "", ""}}) {
    SCOPED_TRACE(c.name);
    ServerAddress address;
    EXPECT_EQ(ParseServerName(c.name, address), c.ok);
    if (c.ok) {
      EXPECT_EQ(address.host, c.host);
      EXPECT_EQ(address.port, c.port);
    }
  }
  EXPECT_EQ(AttributeList("DSN=%s%cA=%s%c", {"n", "v"}), std::string("DSN=n\0A=v\0\0", 11));
}

}  // namespace
}  // namespace qn::dbsetup::test
