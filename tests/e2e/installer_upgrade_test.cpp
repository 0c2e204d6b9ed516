// The upgrade of version 1.0 files (built here from the earlier schema),
// into new files and into PostgreSQL: every column, the references through
// the numbers the new database gave, links to gone rows, duplicate names,
// two roots, attachments, a failure half-way that leaves everything as it
// was; then the old members log on to the real server.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/registry.h"
#include "support/installer_run.h"
#include "platform/odbc_config.h"
#include "platform/odbc_statement.h"
#include "server/data/database.h"
#include "support/earlier_install.h"
#include "support/member_client.h"
#include "support/member_install.h"
#include "support/server_process.h"
#include "tools/dbsetup/core/installer_texts.h"

namespace qn::test {
namespace {

namespace fs = std::filesystem;
using namespace qn::dbsetup;
using qn::client::TableReply;
using Rows = std::vector<std::string>;

fs::path ProgramDir() { return MemberInstall::Root() / "var/lib/quillnet"; }

const std::string kLongText(5000, 'L');
const std::string kWideText(300, 'W');

void FillEarlierFiles() {
  const fs::path dir = ProgramDir();
  MakeEarlierFiles(dir);
  ExecSqlite(dir / "QNACCOUN.MDB", R"(
INSERT INTO Accounts VALUES ('alice', 'pw1', 'Alice', 'Smith', ')" + kWideText + R"(', '1 Road', 'Apt 2', 'Town',
  'ST', '12345', 'Land', 'Bill', 'Payer', 'PayCo', 'B1', 'B2', 'BCity', 'BS', 'BZ', 'BC', 'short',
  ')" + kLongText + R"(', 500, '2001-02-03 04:05:06', 17, 0, 5, 60);
INSERT INTO Accounts (UserId, Password, Credits, Dormant) VALUES ('bob', 'pw2', 50, -1);
INSERT INTO Accounts (UserId, Password, Credits, Firstname) VALUES ('O''Hara', 'pw3', 7, 'Zo' || CAST(X'EB' AS TEXT));
INSERT INTO LineNumbers VALUES ('ALICE', '555-0100', 'f', 'n', 'm'), ('alice', '999-9999', '', '', '');
INSERT INTO Defaults VALUES (300, 2, 90);
INSERT INTO KeyChains VALUES (5, 'Members', -1), (9, 'Staff', 0), (11, 'Members', 0);
INSERT INTO Keys VALUES (3, 'Chat', 'Chat', 'talk', 0), (7, 'Chat', 'Sysop', 'spy', 0), (8, 'Mail', 'Compose', 'write', 2),
  (12, 'Chat', 'Chat', 'dup', 1);
INSERT INTO Keys2Chains VALUES (5, 3), (5, 8), (9, 7), (11, 12), (5, 99), (77, 3);
INSERT INTO UserId2KeyChain VALUES ('alice', 5), ('bob', 9), ('carol', 42);
INSERT INTO Userid2Keys VALUES ('alice', 12), ('alice', 55);
)");
  ExecSqlite(dir / "QNAUDIT.MDB", R"(
INSERT INTO AuditTrail VALUES (40, 'alice', '2001-02-03 00:00:00', '1899-12-30 10:11:12', 'Logon', 'Logon', 'it''s me',
  '10:11:12', 36925.5);
)");
  ExecSqlite(dir / "QNCHAT.MDB", "INSERT INTO ChatRooms VALUES ('Lobby', 3, 20), ('Open', -1, 0), ('Locked', 99, 5);");
  ExecSqlite(dir / "QNDB.MDB", R"(
INSERT INTO Databases VALUES ('Cars', 'CarsDSN', 'Make', 'ID', 8, 'x=1', -1, '', -1);
INSERT INTO Fields VALUES ('Cars', 'Make', 'The make', 0, 'C:\media', 7, 'a;b', 1.5, 9.5, 'mac', -1, 0, -1);
)");
  ExecSqlite(dir / "QNFILE.MDB", R"(
INSERT INTO Directories VALUES (10, 'Root A', 'C:', -1, -1), (20, 'Root B', 'D:', -1, 3), (11, 'Games', 'C:\g', 10, -1),
  (21, 'Games', 'D:\g', 20, -1), (12, 'Old', 'C:\o', 11, -1), (30, 'Orphan', 'E:', 999, -1);
INSERT INTO Files VALUES
  (100, 'a.zip', 'zip', 1000, '2000-01-01 00:00:00', 'alice', 'C:\a.zip', 12, 'short a', 'long a',
   '2000-01-02 00:00:00', '2000-01-03 00:00:00'),
  (101, 'b.zip', 'zip', 2000, NULL, 'bob', 'C:\b.zip', 0, 'short b', '', '2000-01-02 00:00:00', '2000-01-03 00:00:00'),
  (102, 'c.zip', 'zip', 3000, NULL, 'bob', 'C:\c.zip', 555, 'short c', '', '2000-01-02 00:00:00',
   '2000-01-03 00:00:00'),
  (103, 'a.zip', 'zip', 4000, NULL, 'bob', 'D:\a.zip', -1, 'short d', '', '2000-01-02 00:00:00',
   '2000-01-03 00:00:00');
INSERT INTO Files2Directories VALUES (11, 100), (-5, 101), (555, 102), (21, 103), (20, 100), (10, 999);
INSERT INTO Keywords VALUES (100, 'games', 1), (102, 'old', 2), (999, 'gone', 3);
INSERT INTO Downloads VALUES (1, 100, '2001-01-01 00:00:00', 'bob'), (2, 999, '2001-01-01 00:00:00', 'x');
INSERT INTO UploadOptions VALUES (-1, 0, 'X:');
)");
  ExecSqlite(dir / "QNMAIL.MDB", R"(
INSERT INTO MessageStore VALUES (7, 'bob', 'alice@x', 'Report', 'note 1', 'alice', '2002-01-01 00:00:00', 'report.txt', 0),
  (9, 'bob', '', 'Plain', 'note 2', 'alice', '2002-01-02 00:00:00', '-', -1),
  (12, 'alice', '', 'Lost', 'note 3', 'bob', '2002-01-03 00:00:00', 'gone.txt', 0);
)");
  ExecSqlite(dir / "QNRMSG.MDB", R"(
INSERT INTO Folders VALUES ('General', 4, -1, 1, -1, -1), ('General', 6, -1, 2, -1, 8), ('Sub', 8, 4, 0, -1, -1),
  ('Sub', 10, 6, 0, 3, -1);
INSERT INTO Messages VALUES ('2003-01-01 00:00:00', 8, NULL, 'm1', 20, 'Hello', 'alice'),
  ('2003-01-02 00:00:00', 10, '2003-01-05 00:00:00', 'm2', 21, 'Hello', 'bob'),
  ('2003-01-03 00:00:00', 77, NULL, 'm3', 22, 'Lost', 'carol');
INSERT INTO MsgRead VALUES ('2003-02-01 00:00:00', 20, 'bob'), ('2003-02-02 00:00:00', 21, 'alice'),
  ('2003-02-03 00:00:00', 99, 'x');
INSERT INTO Responses VALUES ('Re: Hello', 'r1', 'bob', 30, 20, '2003-03-01 00:00:00', 8),
  ('Re: Hello', 'r2', 'alice', 31, 21, '2003-03-02 00:00:00', 10);
INSERT INTO ResponseRead VALUES (30, 'alice', '2003-04-01 00:00:00'), (31, 'bob', '2003-04-02 00:00:00'),
  (77, 'z', '2003-04-03 00:00:00');
)");
  fs::create_directories(dir / "QNMAIL");
  std::ofstream(dir / "QNMAIL/00000007.ATT") << "seven";
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// An INI file's sections with their lines: putting a data source back may
// write its section in another place of the file.
std::map<std::string, std::vector<std::string>> IniSections(const std::string& text) {
  std::map<std::string, std::vector<std::string>> sections;
  std::string section;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (line.front() == '[') section = line;
    else sections[section].push_back(line);
  }
  for (auto& [name, lines] : sections) std::sort(lines.begin(), lines.end());
  return sections;
}

class Upgrade : public ::testing::TestWithParam<StorageMode> {
 protected:
  void SetUp() override {
    if (GetParam() == StorageMode::Postgres && !PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    ResetInstallation();
    FillEarlierFiles();
    // The installation of version 1.0: its data source on the file driver.
    qn::odbc::WriteDataSource(texts::kServerDataSource, texts::kAccessDriver,
                              {{"DefaultDir", ProgramDir().string() + "/"}});
    qn::odbc::WriteOdbcIniValue(texts::kOdbcDataSourcesSection, texts::kServerDataSource, texts::kAccessDriver);
  }
  void TearDown() override {
    if (server_.IsRunning()) {
      EXPECT_EQ(server_.Stop(), 0);
    }
    if (HasFailure()) ADD_FAILURE() << "server's standard error:\n" << server_.StderrText();
  }

  InstallerOutcome RunUpgrade() {
    InstallerAnswers answers;
    if (GetParam() == StorageMode::Access) {
      answers.boxes[texts::kUpgradeToSqlQuestion] = IDNO;
    } else {
      answers.boxes[texts::kUpgradeToSqlQuestion] = IDYES;
      answers.params = TestServerParams(database_.name());
    }
    return RunInstaller(answers);
  }

  // Rows of the upgraded databases, the columns as text joined by '|'.
  Rows Query(const char* stem, const std::string& sql) {
    if (GetParam() == StorageMode::Access) return SqliteRows(ProgramDir() / (std::string(stem) + ".MDB"), sql);
    CDatabase db;
    db.OpenEx(database_.Connect());
    qn::odbc::Statement statement(db.Connection());
    statement.ExecuteDirect(sql);
    const int columns = statement.ColumnCount();
    Rows rows;
    while (statement.Fetch()) {
      std::string row, value;
      for (int i = 1; i <= columns; ++i) {
        if (i > 1) row += '|';
        row += statement.GetText(i, value) ? value : "NULL";
      }
      rows.push_back(row);
    }
    return rows;
  }
  // Both databases' form of a stored BOOL and a time.
  static std::string Bool(const char* column) {
    return std::string("CASE WHEN ") + column + " <> 0 THEN 1 ELSE 0 END";
  }
  static std::string Time(const char* column) { return std::string("SUBSTR(CAST(") + column + " AS TEXT), 1, 19)"; }

  void StartServer() {
    port_ = FindFreePort();
    CQuillnetRegistry().WriteDWORD("General", "Port", port_);
    ASSERT_TRUE(server_.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port_))
        << server_.StderrText();
  }

  ScratchPgDatabase database_;
  ServerProcess server_;
  uint16_t port_ = 0;
};

TEST_P(Upgrade, EveryRowArrivesWithItsReferencesAndTheOldMembersLogOn) {
  const InstallerOutcome outcome = RunUpgrade();
  ASSERT_EQ(outcome.ended, IDOK) << ::testing::PrintToString(outcome.boxes);
  ASSERT_EQ(outcome.boxes.size(), 1u) << ::testing::PrintToString(outcome.boxes);
  EXPECT_EQ(outcome.statuses.back(), texts::kStepTexts[4]);
  EXPECT_EQ(outcome.detail, "Updating Message Folders (4 out of 4)");

  EXPECT_EQ(Query("QNACCOUN",
                  "SELECT UserID, Password, FirstName, LastName, Company, Address1, Address2, City, State_Province, "
                  "Zip, Country, BillingFirstName, BillingLastName, BillingCompany, BillingAddress1, "
                  "BillingAddress2, BillingCity, BillingState_Province, BillingZip, BillingCountry, ShortProfile, "
                  "Credits, " + Bool("Dormant") + ", RatePerHour, MaxTimeOnline, " + Time("SignUpDate") +
                      ", Phone, AccountNumber FROM Accounts ORDER BY AccountNumber"),
            (Rows{"alice|pw1|Alice|Smith|" + std::string(255, 'W') +
                      "|1 Road|Apt 2|Town|ST|12345|Land|Bill|Payer|PayCo|B1|B2|BCity|BS|BZ|BC|short|500|0|5|60|"
                      "2001-02-03 04:05:06|555-0100|1",
                  "bob|pw2|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|"
                  "NULL|NULL|50|1|NULL|NULL|NULL||2",
                  "O'Hara|pw3|Zo\xEB|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|"
                  "NULL|NULL|NULL|7|0|NULL|NULL|NULL||3"}));
  EXPECT_EQ(Query("QNACCOUN", "SELECT LongProfile FROM Accounts WHERE UserID = 'alice'"), Rows{kLongText});
  EXPECT_EQ(Query("QNACCOUN", "SELECT Credits, Rate, MaxOnline FROM Defaults"), Rows{"300|2|90"});
  EXPECT_EQ(Query("QNACCOUN", "SELECT KeyChainID, KeyChain, " + Bool("IsDefault") + " FROM KeyChains ORDER BY 1"),
            (Rows{"1|Members|1", "2|Staff|0", "3|Members|0"}));
  EXPECT_EQ(Query("QNACCOUN", "SELECT KeyID, AppName, KeyName, Description, KeyCost FROM Keys ORDER BY 1"),
            (Rows{"1|Chat|Chat|talk|0", "2|Chat|Sysop|spy|0", "3|Mail|Compose|write|2", "4|Chat|Chat|dup|1"}));
  EXPECT_EQ(Query("QNACCOUN", "SELECT KeyChainID, KeyID FROM Keys2Chains ORDER BY 1, 2"),
            (Rows{"1|1", "1|3", "2|2", "3|4"}));
  EXPECT_EQ(Query("QNACCOUN", "SELECT UserID, KeyChainID FROM UserID2KeyChain ORDER BY 1"),
            (Rows{"alice|1", "bob|2"}));
  EXPECT_EQ(Query("QNACCOUN", "SELECT UserID, KeyID FROM UserID2Keys"), Rows{"alice|4"});

  EXPECT_EQ(Query("QNAUDIT", "SELECT UserID, " + Time("AuditDate") + ", " + Time("AuditTime") +
                                 ", ServiceName, KeyWord, Description, strAuditTime, dblAuditTime FROM AuditTrail"),
            Rows{"alice|2001-02-03 00:00:00|1899-12-30 10:11:12|Logon|Logon|it's me|10:11:12|36925.5"});
  EXPECT_EQ(Query("QNCHAT", "SELECT Room, RoomKeyID, MaxInRoom FROM ChatRooms ORDER BY Room"),
            (Rows{"Lobby|1|20", "Locked|0|5", "Open|-1|0"}));
  EXPECT_EQ(Query("QNDB", "SELECT DatabaseName, ODBCDataSource, Sort, PrimaryKeyField, ReadKeyID, ReadFilter, "
                          "WriteKeyID, WriteFilter, " + Bool("IsQuickBase") + " FROM Databases"),
            Rows{"Cars|CarsDSN|Make|ID|3|x=1|-1||1"});
  EXPECT_EQ(Query("QNDB", "SELECT DatabaseName, FieldName, FieldDescription, " + Bool("IsMedia") +
                              ", DefaultMediaDirectory, ReadKeyID, MultipleChoices, RangeLow, RangeHigh, FillMacro, " +
                              Bool("QBSearch") + ", " + Bool("QBBrowse") + ", " + Bool("QBDetail") + " FROM Fields"),
            Rows{"Cars|Make|The make|0|C:\\media|2|a;b|1.5|9.5|mac|1|0|1"});

  EXPECT_EQ(Query("QNFILE", "SELECT DirectoryID, DirectoryName, UploadPath, ParentDirectory, ReadKeyID FROM "
                            "Directories ORDER BY 1"),
            (Rows{"1|Root A|C:|-1|-1", "2|Root B|D:|-1|1", "3|Games|C:\\g|1|-1", "4|Games|D:\\g|2|-1",
                  "5|Old|C:\\o|3|-1", "6|Orphan|E:|0|-1"}));
  EXPECT_EQ(Query("QNFILE", "SELECT FileID, FileName, FileExtension, FileSize, " + Time("LastModDate") +
                                ", UploadedBy, FileLocation, SuggFolder, ShortDescription, LongDescription, " +
                                Time("DateUploaded") + ", " + Time("DateApproved") + " FROM Files ORDER BY 1"),
            (Rows{"1|a.zip|zip|1000|2000-01-01 00:00:00|alice|C:\\a.zip|5|short a|long a|2000-01-02 00:00:00|"
                  "2000-01-03 00:00:00",
                  "2|b.zip|zip|2000|NULL|bob|C:\\b.zip|0|short b||2000-01-02 00:00:00|NULL",
                  "3|c.zip|zip|3000|NULL|bob|C:\\c.zip|0|short c||2000-01-02 00:00:00|NULL",
                  "4|a.zip|zip|4000|NULL|bob|D:\\a.zip|-1|short d||2000-01-02 00:00:00|2000-01-03 00:00:00"}));
  EXPECT_EQ(Query("QNFILE", "SELECT DirectoryID, FileID FROM Files2Directories ORDER BY 2, 1"),
            (Rows{"2|1", "3|1", "4|4"}));
  EXPECT_EQ(Query("QNFILE", "SELECT FileID, Keyword FROM Keywords ORDER BY 1"), (Rows{"1|games", "3|old"}));
  EXPECT_EQ(Query("QNFILE", "SELECT FileID, DownloadedBy, " + Time("DateDownloaded") + " FROM Downloads"),
            Rows{"1|bob|2001-01-01 00:00:00"});
  EXPECT_EQ(Query("QNFILE", "SELECT " + Bool("AutoApprove") + ", " + Bool("AddToSuggestedFolder") +
                                ", UploadPath FROM UploadOptions"),
            Rows{"1|0|"});

  EXPECT_EQ(Query("QNMAIL", "SELECT MessageID, RecipID, Subject, Note, SenderID, " + Time("DateSent") +
                                ", FileTitle, " + Bool("Received") + " FROM MessageStore ORDER BY 1"),
            (Rows{"1|bob|Report|note 1|alice|2002-01-01 00:00:00|report.txt|0",
                  "2|bob|Plain|note 2|alice|2002-01-02 00:00:00|-|1",
                  "3|alice|Lost|note 3|bob|2002-01-03 00:00:00|gone.txt|0"}));
  EXPECT_EQ(ReadFile(ProgramDir() / "QNMAIL/00000001.ATT"), "seven");
  EXPECT_FALSE(fs::exists(ProgramDir() / "QNMAIL/00000007.ATT"));
  EXPECT_FALSE(fs::exists(ProgramDir() / "QNMAIL/00000003.ATT"));

  EXPECT_EQ(Query("QNRMSG", "SELECT FolderID, Folder, ParentID, Code, ReadKey, WriteKey FROM Folders ORDER BY 1"),
            (Rows{"1|General|-1|1|-1|-1", "2|General|-1|2|-1|3", "3|Sub|1|0|-1|-1", "4|Sub|2|0|1|-1"}));
  EXPECT_EQ(Query("QNRMSG", "SELECT MsgID, Title, Msg, UserID, " + Time("Date") + ", " + Time("LastRead") +
                                ", FolderID FROM Messages ORDER BY 1"),
            (Rows{"1|Hello|m1|alice|2003-01-01 00:00:00|NULL|3", "2|Hello|m2|bob|2003-01-02 00:00:00|2003-01-05 00:00:00|4",
                  "3|Lost|m3|carol|2003-01-03 00:00:00|NULL|0"}));
  EXPECT_EQ(Query("QNRMSG", "SELECT MsgID, UserID FROM MsgRead ORDER BY 1"), (Rows{"1|bob", "2|alice"}));
  EXPECT_EQ(Query("QNRMSG", "SELECT ResponseID, Title, Response, UserID, OriginalMsgID, FolderID, " + Time("Date") +
                                " FROM Responses ORDER BY 1"),
            (Rows{"1|Re: Hello|r1|bob|1|3|2003-03-01 00:00:00", "2|Re: Hello|r2|alice|2|4|2003-03-02 00:00:00"}));
  EXPECT_EQ(Query("QNRMSG", "SELECT ResponseID, UserID FROM ResponseRead ORDER BY 1"), (Rows{"1|alice", "2|bob"}));

  // The version 1.0 files stay beside, unchanged.
  for (const char* stem : texts::kStems)
    EXPECT_TRUE(fs::exists(ProgramDir() / (std::string(stem) + ".OLD"))) << stem;
  EXPECT_EQ(QuerySqlite(ProgramDir() / "QNACCOUN.OLD", "SELECT COUNT(*) FROM LineNumbers"), "2");
  if (GetParam() == StorageMode::Postgres) {
    EXPECT_FALSE(fs::exists(ProgramDir() / "QNACCOUN.MDB"));
    EXPECT_EQ(CQuillnetRegistry().ReadString("General", "ODBCType", ""), "MSSQL");
  }

  StartServer();
  Member alice;
  ASSERT_TRUE(alice.Open(port_));
  ASSERT_TRUE(Ended(alice.Call("Logon", "Logon", {"alice", "pw1"})));
  const TableReply credits = alice.Call("Account", "GetCredits");
  ASSERT_FALSE(credits.rows.empty());
  EXPECT_EQ(std::get<int32_t>(credits.rows[0][0]), 500);
  Rows keys;
  for (const auto& row : alice.Call("Account", "GetKeys").rows)
    keys.push_back(std::get<std::string>(row[2]) + "/" + std::get<std::string>(row[1]));
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  EXPECT_EQ(keys, (Rows{"CHAT/CHAT", "MAIL/COMPOSE"}));
  Member bob;
  ASSERT_TRUE(bob.Open(port_));
  EXPECT_EQ(Code(bob.Call("Logon", "Logon", {"bob", "pw2"})), 0x1308);  // still dormant
  Member hara;
  ASSERT_TRUE(hara.Open(port_));
  EXPECT_TRUE(Ended(hara.Call("Logon", "Logon", {"O'Hara", "pw3"})));
}

TEST_P(Upgrade, AFailureHalfWayLeavesEverythingAsItWasAndARerunFinishes) {
  // The mail file of this installation lacks its table: the upgrade fails
  // after four areas went well.
  ExecSqlite(ProgramDir() / "QNMAIL.MDB", "ALTER TABLE MessageStore RENAME TO Elsewhere");
  const std::string odbcIni = ReadFile(MemberInstall::Root() / "etc/quillnet/odbc/odbc.ini");
  const InstallerOutcome failed = RunUpgrade();
  EXPECT_EQ(failed.ended, IDOK);
  ASSERT_EQ(failed.boxes.size(), 2u);
  EXPECT_EQ(failed.boxes[1].rfind(std::string(texts::kDatabaseErrorIntro) + texts::kStepTexts[4] +
                                      ", Updating UploadOptions (1 out of 1), ",
                                  0),
            0u)
      << failed.boxes[1];
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(ProgramDir()))
    files.push_back(fs::relative(entry.path(), ProgramDir()).string());
  std::sort(files.begin(), files.end());
  Rows expected = {"QNDATA.SQL", "QNMAIL", "QNMAIL/00000007.ATT"};
  for (const char* stem : texts::kStems) {
    expected.push_back(std::string(stem) + ".MDB");
    expected.push_back(std::string(stem) + ".NEW");
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(files, expected);
  EXPECT_EQ(QuerySqlite(ProgramDir() / "QNACCOUN.MDB", "SELECT COUNT(*) FROM LineNumbers"), "2");
  EXPECT_EQ(IniSections(ReadFile(MemberInstall::Root() / "etc/quillnet/odbc/odbc.ini")), IniSections(odbcIni));
  EXPECT_EQ(CQuillnetRegistry().ReadString("General", "ODBCType", "none"), "none");
  EXPECT_FALSE(fs::exists(MemberInstall::Root() / "etc/quillnet/QNSVR.INI"));
  if (GetParam() == StorageMode::Postgres) {
    EXPECT_EQ(Query("QNACCOUN", "SELECT to_regclass('accounts')"), Rows{"NULL"});
  }

  ExecSqlite(ProgramDir() / "QNMAIL.MDB", "ALTER TABLE Elsewhere RENAME TO MessageStore");
  const InstallerOutcome rerun = RunUpgrade();
  EXPECT_EQ(rerun.ended, IDOK);
  EXPECT_EQ(rerun.boxes.size(), 1u) << ::testing::PrintToString(rerun.boxes);
  EXPECT_EQ(Query("QNMAIL", "SELECT COUNT(*) FROM MessageStore"), Rows{"3"});
  EXPECT_EQ(Query("QNACCOUN", "SELECT COUNT(*) FROM Accounts"), Rows{"3"});
  EXPECT_EQ(ReadFile(ProgramDir() / "QNMAIL/00000001.ATT"), "seven");
}

TEST_P(Upgrade, ManyRowsArriveWholeAndInTheirOrder) {
  // More rows than one statement carries, every other member with a phone.
  std::string sql = "BEGIN; DELETE FROM Accounts; DELETE FROM LineNumbers;";
  Rows accounts, audit;
  for (int i = 0; i < 150; ++i) {
    const std::string id = "m" + std::to_string(1000 + i);
    sql += "INSERT INTO Accounts (UserId, Password, Credits) VALUES ('" + id + "', 'pw', " + std::to_string(i) + ");";
    if (i % 2) sql += "INSERT INTO LineNumbers (UserId, DayPhone) VALUES ('" + id + "', 'p" + std::to_string(i) + "');";
    accounts.push_back(id + "|" + std::to_string(i) + "|" + (i % 2 ? "p" + std::to_string(i) : ""));
  }
  ExecSqlite(ProgramDir() / "QNACCOUN.MDB", sql + "COMMIT;");
  sql = "BEGIN; DELETE FROM AuditTrail;";
  for (int i = 0; i < 200; ++i) {
    sql += "INSERT INTO AuditTrail (UserId, Description, dblAuditTime) VALUES ('u" + std::to_string(i) + "', 'd', " +
           std::to_string(i) + ".25);";
    audit.push_back("u" + std::to_string(i) + "|" + std::to_string(i) + ".25");
  }
  ExecSqlite(ProgramDir() / "QNAUDIT.MDB", sql + "COMMIT;");
  const InstallerOutcome outcome = RunUpgrade();
  ASSERT_EQ(outcome.ended, IDOK) << ::testing::PrintToString(outcome.boxes);
  EXPECT_EQ(Query("QNACCOUN", "SELECT UserID, Credits, Phone FROM Accounts ORDER BY AccountNumber"), accounts);
  EXPECT_EQ(Query("QNAUDIT", "SELECT UserID, dblAuditTime FROM AuditTrail ORDER BY AuditTrailID"), audit);
}

INSTANTIATE_TEST_SUITE_P(BothModes, Upgrade, ::testing::Values(StorageMode::Access, StorageMode::Postgres),
                         [](const auto& info) { return std::string(StorageModeName(info.param)); });

}  // namespace
}  // namespace qn::test
