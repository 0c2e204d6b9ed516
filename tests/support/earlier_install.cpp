#include "support/earlier_install.h"

#include <sqlite3.h>

#include <map>
#include <stdexcept>

namespace qn::test {

const char* const kEarlierStems[7] = {"QNACCOUN", "QNAUDIT", "QNCHAT", "QNDB", "QNFILE", "QNMAIL", "QNRMSG"};

namespace {

// Version 1.0 as its Access files had it: blanks and other letter case in
// column names, BOOL as -1/0, AutoNumber keys, names compared without
// regard to case.
const std::map<std::string, std::string>& Scripts() {
  static const std::map<std::string, std::string> scripts = {
      {"QNACCOUN", R"(
CREATE TABLE [Accounts] ([UserId] TEXT COLLATE NOCASE PRIMARY KEY, [Password] TEXT, [Firstname] TEXT,
  [Lastname] TEXT, [Company] TEXT, [Address1] TEXT, [Address2] TEXT, [City] TEXT, [State_Province] TEXT,
  [Zip] TEXT, [Country] TEXT, [Billing First Name] TEXT, [Billing Last Name] TEXT, [Billing Company] TEXT,
  [Billing Address1] TEXT, [Billing Address2] TEXT, [Billing City] TEXT, [Billing State_Province] TEXT,
  [Billing Zip] TEXT, [Billing Country] TEXT, [ShortProfile] TEXT, [LongProfile] TEXT, [Credits] INTEGER,
  [SignupDate] DATETIME, [AccountNumber] INTEGER, [Dormant] BIT, [RatePerHour] SMALLINT,
  [MaxTimeOnline] SMALLINT);
CREATE TABLE [Defaults] ([credits] INTEGER, [Rate] SMALLINT, [MaxOnLine] SMALLINT);
CREATE TABLE [KeyChains] ([KeyChainId] INTEGER PRIMARY KEY AUTOINCREMENT, [KeyChain] TEXT, [default] BIT);
CREATE TABLE [Keys] ([KeyId] INTEGER PRIMARY KEY AUTOINCREMENT, [AppName] TEXT, [KeyName] TEXT,
  [Description] TEXT, [KeyCost] INTEGER);
CREATE TABLE [Keys2Chains] ([KeyChainId] INTEGER, [KeyId] INTEGER);
CREATE TABLE [LineNumbers] ([UserId] TEXT, [DayPhone] TEXT, [Fax] TEXT, [NightPhone] TEXT, [Modem] TEXT);
CREATE TABLE [Userid2Keys] ([UserId] TEXT, [KeyId] INTEGER);
CREATE TABLE [UserId2KeyChain] ([UserId] TEXT, [KeyChainId] INTEGER);
)"},
      {"QNAUDIT", R"(
CREATE TABLE [AuditTrail] ([AuditTrailId] INTEGER PRIMARY KEY AUTOINCREMENT, [UserId] TEXT,
  [AuditDate] DATETIME, [AuditTime] DATETIME, [ServiceName] TEXT, [KeyWord] TEXT, [Description] TEXT,
  [strAuditTime] TEXT, [dblAuditTime] DOUBLE);
)"},
      {"QNCHAT", R"(
CREATE TABLE [ChatRooms] ([Room] TEXT, [RoomKeyID] INTEGER, [Max] SMALLINT);
)"},
      {"QNDB", R"(
CREATE TABLE [Databases] ([Database Name] TEXT, [ODBC Data Source] TEXT, [Sort] TEXT,
  [PrimaryKeyField] TEXT, [ReadKeyID] INTEGER, [ReadFilter] TEXT, [WriteKeyID] INTEGER,
  [WriteFilter] TEXT, [IsQuickBase] BIT);
CREATE TABLE [Fields] ([Database Name] TEXT, [Field Name] TEXT, [Field Description] TEXT, [IsMedia] BIT,
  [DefaultMediaDirectory] TEXT, [ReadKeyID] INTEGER, [MultipleChoices] TEXT, [RangeLow] DOUBLE,
  [RangeHigh] DOUBLE, [FillMacro] TEXT, [QBSearch] BIT, [QBBrowse] BIT, [QBDetail] BIT);
)"},
      {"QNFILE", R"(
CREATE TABLE [Directories] ([DirectoryId] INTEGER PRIMARY KEY AUTOINCREMENT, [DirectoryName] TEXT,
  [UploadPath] TEXT, [ParentDirectory] INTEGER, [FolderKeyID] INTEGER);
CREATE TABLE [Downloads] ([DownloadID] INTEGER PRIMARY KEY AUTOINCREMENT, [FileID] INTEGER,
  [DateDownloaded] DATETIME, [DownloadedBy] TEXT);
CREATE TABLE [Files] ([FileId] INTEGER PRIMARY KEY AUTOINCREMENT, [FileName] TEXT, [FileExtension] TEXT,
  [FileSize] INTEGER, [LastModDate] DATETIME, [UploadedBy] TEXT, [FileLocation] TEXT, [SuggFolder] INTEGER,
  [ShortDescription] TEXT, [LongDescription] TEXT, [DateUploaded] DATETIME, [DateApproved] DATETIME);
CREATE TABLE [Files2Directories] ([DirectoryId] INTEGER, [FileId] INTEGER);
CREATE TABLE [Keywords] ([FileID] INTEGER, [Keyword] TEXT, [KeywordID] INTEGER PRIMARY KEY AUTOINCREMENT);
CREATE TABLE [UploadOptions] ([AutoApprove] BIT, [AddToSuggestedFolder] BIT, [UploadPath] TEXT);
)"},
      {"QNMAIL", R"(
CREATE TABLE [MessageStore] ([MessageId] INTEGER PRIMARY KEY AUTOINCREMENT, [RecipId] TEXT, [To] TEXT,
  [Subject] TEXT, [Note] TEXT, [SenderId] TEXT, [DateSent] DATETIME, [FileTitle] TEXT, [Received] BIT);
)"},
      {"QNRMSG", R"(
CREATE TABLE [Folders] ([Folder] TEXT, [FolderID] INTEGER PRIMARY KEY AUTOINCREMENT, [ParentID] INTEGER,
  [Code] TINYINT, [ReadKey] INTEGER, [WriteKey] INTEGER);
CREATE TABLE [Messages] ([Date] DATETIME, [FolderID] INTEGER, [LastRead] DATETIME, [Msg] TEXT,
  [MsgID] INTEGER PRIMARY KEY AUTOINCREMENT, [Title] TEXT, [UserID] TEXT);
CREATE TABLE [MsgRead] ([Date] DATETIME, [MsgID] INTEGER, [UserID] TEXT);
CREATE TABLE [ResponseRead] ([ResponseID] INTEGER, [UserID] TEXT, [Date] DATETIME);
CREATE TABLE [Responses] ([Title] TEXT, [Response] TEXT, [UserID] TEXT,
  [ResponseID] INTEGER PRIMARY KEY AUTOINCREMENT, [OriginalMsgID] INTEGER, [Date] DATETIME, [FolderID] INTEGER);
)"},
  };
  return scripts;
}

class Sqlite {
 public:
  explicit Sqlite(const std::filesystem::path& file) {
    if (sqlite3_open(file.c_str(), &db_) != SQLITE_OK) {
      const std::string message = sqlite3_errmsg(db_);
      sqlite3_close(db_);
      throw std::runtime_error(file.string() + ": " + message);
    }
    sqlite3_busy_timeout(db_, 10000);
  }
  ~Sqlite() { sqlite3_close(db_); }
  sqlite3* get() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace

void MakeEarlierFile(const std::filesystem::path& dir, const std::string& stem, const std::string& extension) {
  const std::filesystem::path file = dir / (stem + "." + extension);
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(file.string() + suffix);
  ExecSqlite(file, Scripts().at(stem));
}

void MakeEarlierFiles(const std::filesystem::path& dir, const std::string& extension) {
  std::filesystem::create_directories(dir);
  for (const char* stem : kEarlierStems) MakeEarlierFile(dir, stem, extension);
}

void ExecSqlite(const std::filesystem::path& file, const std::string& sql) {
  Sqlite db(file);
  char* message = nullptr;
  if (sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message ? message : "failed";
    sqlite3_free(message);
    throw std::runtime_error(file.string() + ": " + text);
  }
}

std::string QuerySqlite(const std::filesystem::path& file, const std::string& sql) {
  Sqlite db(file);
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
    throw std::runtime_error(file.string() + ": " + sqlite3_errmsg(db.get()));
  std::string text;
  if (sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_type(statement, 0) != SQLITE_NULL)
    text.assign(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)),
                static_cast<size_t>(sqlite3_column_bytes(statement, 0)));
  sqlite3_finalize(statement);
  return text;
}

std::vector<std::string> SqliteRows(const std::filesystem::path& file, const std::string& sql) {
  Sqlite db(file);
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
    throw std::runtime_error(file.string() + ": " + sqlite3_errmsg(db.get()));
  std::vector<std::string> rows;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    std::string row;
    for (int i = 0; i < sqlite3_column_count(statement); ++i) {
      if (i) row += '|';
      if (sqlite3_column_type(statement, i) == SQLITE_NULL)
        row += "NULL";
      else
        row.append(reinterpret_cast<const char*>(sqlite3_column_text(statement, i)),
                   static_cast<size_t>(sqlite3_column_bytes(statement, i)));
    }
    rows.push_back(row);
  }
  sqlite3_finalize(statement);
  return rows;
}

}  // namespace qn::test
