// Every streamed list of every service against the real server, in both
// storage modes, with more rows than the row stream's first share and two
// pulse steps take: all rows in their order, the end, and no audit row.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "support/database_seed.h"
#include "support/filelib_seed.h"
#include "support/mail_seed.h"
#include "support/member_client.h"
#include "support/member_install.h"
#include "support/message_seed.h"
#include "support/server_process.h"

namespace {

using qn::client::TableReply;
using qn::test::Code;
using qn::test::Ended;
using qn::test::MemberInstall;
using qn::test::StorageMode;

// Past the own turn's share and two pulse steps.
constexpr int kRows = 70;
const std::string kMember = "Lister";

std::string Numbered(const std::string& prefix, int n) {
  return prefix + (n < 10 ? "0" : "") + std::to_string(n);
}

// prefix00 .. the count's.
std::vector<std::string> NumberedList(const std::string& prefix, int count) {
  std::vector<std::string> texts;
  for (int n = 0; n < count; ++n) texts.push_back(Numbered(prefix, n));
  return texts;
}

// The trees the tests seed: "Top", and below it Sub00 ...
std::vector<std::string> Tree() {
  std::vector<std::string> names = NumberedList("Sub", kRows);
  names.insert(names.begin(), "Top");
  return names;
}

// A text column of every row.
std::vector<std::string> Column(const TableReply& reply, size_t column) {
  std::vector<std::string> texts;
  for (const auto& row : reply.rows) texts.push_back(std::get<std::string>(row[column]));
  return texts;
}

class ListStreams : public ::testing::TestWithParam<StorageMode> {
 protected:
  void SetUp() override {
    if (GetParam() == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    port_ = qn::test::FindFreePort();
    std::string error;
    ASSERT_TRUE(install_.Create(GetParam(), port_, &error)) << error;
    install_.SeedAccountDefaults(1000, 0, -1);
  }
  void TearDown() override {
    if (server_.IsRunning()) {
      EXPECT_EQ(server_.Stop(), 0);
    }
    if (HasFailure()) ADD_FAILURE() << "server's standard error:\n" << server_.StderrText();
  }
  // Starts the server on what was seeded and logs the member on.
  void Start() {
    // A generous start: the sanitizer build on a loaded machine is slow.
    ASSERT_TRUE(server_.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port_, 60000))
        << server_.StderrText();
    ASSERT_TRUE(member_.Open(port_));
    ASSERT_TRUE(Ended(member_.Call("Logon", "CreateAccount", {kMember, "pw"})));
    audits_ = Audits();
  }
  std::string Audits() { return install_.QueryAudit("SELECT COUNT(*) FROM AuditTrail"); }
  TableReply List(const std::string& service, const std::string& item,
                  const std::vector<std::string>& params = {}) {
    const TableReply reply = member_.Call(service, item, params);
    EXPECT_TRUE(Ended(reply)) << item << " code " << Code(reply);
    EXPECT_TRUE(reply.schema.has_value()) << item;
    return reply;
  }

  uint16_t port_ = 0;
  MemberInstall install_;
  qn::test::ServerProcess server_;
  qn::test::Member member_;
  std::string audits_;
};

TEST_P(ListStreams, AccountSearchesKeysAndMembersOnline) {
  std::string accounts, keys, links;
  for (int n = 0; n < kRows; ++n) {
    const std::string id = Numbered("L", n);
    accounts += std::string(n ? ", " : "") + "('" + id + "', 'pw', 10, 0, -1, 'F" + id + "', 'Z')";
    keys += std::string(n ? ", " : "") + "(" + std::to_string(100 + n) + ", 'BULK', '" + id + "', '', 0)";
    links += std::string(n ? ", " : "") + "(1, " + std::to_string(100 + n) + ")";
  }
  install_.ExecAccount(
      "INSERT INTO Accounts (UserID, Password, Credits, RatePerHour, MaxTimeOnline, FirstName, LastName) "
      "VALUES " + accounts);
  install_.ExecAccount("INSERT INTO Keys (KeyID, AppName, KeyName, Description, KeyCost) VALUES " + keys);
  install_.ExecAccount("INSERT INTO Keys2Chains (KeyChainID, KeyID) VALUES " + links);
  Start();

  EXPECT_EQ(Column(List("Account", "FindByUserID", {"L00", "L99"}), 0), NumberedList("L", kRows));
  EXPECT_EQ(Column(List("Account", "FindByFirstName", {"FL", "FM"}), 1), NumberedList("FL", kRows));
  const TableReply all = List("Account", "GetKeys");
  EXPECT_EQ(all.schema->rowCount, kRows + 3);
  EXPECT_EQ(all.rows.size(), static_cast<size_t>(kRows + 3));
  std::vector<std::string> names = Column(List("Account", "GetKeysForApp", {"bulk"}), 1);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, NumberedList("L", kRows));
  EXPECT_EQ(Column(List("Account", "GetUsersOnline"), 0), std::vector<std::string>{kMember});
  EXPECT_EQ(Audits(), audits_);
}

TEST_P(ListStreams, FileLibraryFilesKeywordsAndTree) {
  // One statement per table: the rows alone, no files on disk.
  const std::string date = qn::test::FileLibrarySeed::Timestamp(1000000000);
  std::string folders = "(1, 'Top', -1, -1, '', 0)", files, links, keywords;
  for (int n = 0; n < kRows; ++n) {
    const std::string sep = n ? ", " : "";
    const std::string id = std::to_string(1 + n);
    folders += ", (" + std::to_string(10 + n) + ", '" + Numbered("Sub", n) + "', 0, -1, '', 0)";
    files += sep + "(" + id + ", '" + Numbered("f", n) + ".txt', 'txt', 1, " + date + ", 'Dora', '', 1, '', '', " +
             date + ")";
    links += sep + "(1, " + id + ")";
    keywords += sep + "(1, '" + Numbered("k", n) + "')";
  }
  install_.Exec("QNFILE", "INSERT INTO Directories (DirectoryID, DirectoryName, ParentDirectory, ReadKeyID, "
                          "UploadPath, WriteKeyID) VALUES " + folders);
  install_.Exec("QNFILE", "INSERT INTO Files (FileID, FileName, FileExtension, FileSize, LastModDate, "
                          "UploadedBy, FileLocation, SuggFolder, ShortDescription, LongDescription, "
                          "DateUploaded) VALUES " + files);
  install_.Exec("QNFILE", "INSERT INTO Files2Directories (DirectoryID, FileID) VALUES " + links);
  install_.Exec("QNFILE", "INSERT INTO Keywords (FileID, Keyword) VALUES " + keywords);
  Start();

  EXPECT_EQ(Column(List("FileLib", "GetFiles4FolderByNameAsc", {"1"}), 1), [] {
    std::vector<std::string> names;
    for (const std::string& name : NumberedList("f", kRows)) names.push_back(name + ".txt");
    return names;
  }());
  std::vector<std::string> words = Column(List("FileLib", "GetKeywordsForFile", {"1"}), 1);
  std::sort(words.begin(), words.end());
  EXPECT_EQ(words, NumberedList("k", kRows));
  EXPECT_EQ(Column(List("FileLib", "GetFolderTree"), 1), Tree());
  EXPECT_EQ(Audits(), audits_);
}

TEST_P(ListStreams, MessageHeadersReadersAndFolders) {
  qn::test::MessageSeed messages(install_);
  const int32_t top = messages.AddFolder("Top", -1);
  const int32_t first = messages.AddMessage(top, "first", "Dora", "2024-01-01 00:00:00");
  // One statement per table, each row a minute after the one before.
  std::string folders, headers, readings;
  for (int n = 0; n < kRows; ++n) {
    const std::string sep = n ? ", " : "";
    const std::string at = Numbered("", n / 60) + ":" + Numbered("", n % 60) + ":00";
    folders += sep + "('" + Numbered("Sub", n) + "', " + std::to_string(top) + ", 0, -1, -1)";
    headers += sep + "('" + Numbered("T", n) + "', '', 'Dora', " + std::to_string(top) + ", " +
               messages.Timestamp("2024-01-02 " + at) + ")";
    readings += sep + "(" + std::to_string(first) + ", '" + Numbered("R", n) + "', " +
                messages.Timestamp("2024-02-01 " + at) + ")";
  }
  messages.Exec("INSERT INTO Folders (Folder, ParentID, Code, ReadKey, WriteKey) VALUES " + folders);
  messages.Exec("INSERT INTO Messages (Title, Msg, UserID, FolderID, Date) VALUES " + headers);
  messages.Exec("INSERT INTO MsgRead (MsgID, UserID, Date) VALUES " + readings);
  Start();

  // Newest first.
  std::vector<std::string> titles = NumberedList("T", kRows);
  std::reverse(titles.begin(), titles.end());
  titles.push_back("first");
  EXPECT_EQ(Column(List("Message", "GetMessageHeaders", {std::to_string(top)}), 0), titles);
  std::vector<std::string> readers = NumberedList("R", kRows);
  std::reverse(readers.begin(), readers.end());
  EXPECT_EQ(Column(List("Message", "GetMessageUserReadList", {std::to_string(first)}), 1), readers);
  EXPECT_EQ(Column(List("Message", "GetMessageFolders"), 1), Tree());
  EXPECT_EQ(Audits(), audits_);
}

TEST_P(ListStreams, DatabaseSearchesDistinctValuesAndFields) {
  qn::test::DatabaseSeed seed(install_);
  std::string error;
  ASSERT_TRUE(seed.Create(&error)) << error;
  std::string people;
  for (int n = 0; n < kRows; ++n)
    people += std::string(n ? ", " : "") + "(" + std::to_string(1000 + n) + ", '" + Numbered("P", n) + "', '" +
              kMember + "')";
  seed.Exec(false, "INSERT INTO People (PersonID, Name, Owner) VALUES " + people);
  Start();

  // The catalogue's own sort (Name) and read filter (the member's rows).
  EXPECT_EQ(Column(List("Database", "Search", {"People", "People.Name", "", ""}), 0), NumberedList("P", kRows));
  const TableReply names = List("Database", "GetUniqueFieldValues", {"People", "People.Name"});
  EXPECT_EQ(names.rows.size(), static_cast<size_t>(kRows));
  EXPECT_FALSE(List("Database", "GetFieldInfo", {"People"}).rows.empty());
  EXPECT_FALSE(List("Database", "GetAllDatabases").rows.empty());
  EXPECT_EQ(Audits(), audits_);
  // Before the operator's databases go with the seed.
  EXPECT_EQ(server_.Stop(), 0);
}

TEST_P(ListStreams, MailListingMarksWhatWentOutAndSendsItsReceipts) {
  qn::test::MailSeed mail(install_);
  mail.AddAccount("Sender");
  mail.AddLetters(kMember, kRows);
  qn::test::MailSeed::Letter last;
  last.recipient = kMember;
  last.subject = "Last";
  last.receipt = true;
  mail.AddLetter(last);
  Start();

  std::vector<std::string> subjects;
  for (int n = 1; n <= kRows; ++n) subjects.push_back("Letter " + std::to_string(n));
  subjects.push_back("Last");
  EXPECT_EQ(Column(List("Email", "GetMail"), 1), subjects);
  EXPECT_EQ(mail.Unread(kMember), 0);
  EXPECT_EQ(mail.Messages("RecipID='Sender' AND Subject='Delivery Return Receipt'"), 1);
  EXPECT_TRUE(member_.Call("Email", "GetMail").rows.empty());
  EXPECT_EQ(Audits(), audits_);
}

INSTANTIATE_TEST_SUITE_P(BothStorageModes, ListStreams,
                         ::testing::Values(StorageMode::Access, StorageMode::Postgres),
                         [](const auto& info) { return std::string(qn::test::StorageModeName(info.param)); });

}  // namespace
