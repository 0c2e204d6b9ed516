#include "tools/dbsetup/core/upgrade_databases.h"

#include <algorithm>
#include <deque>
#include <unordered_map>

#include "tools/dbsetup/core/installer_connection.h"
#include "tools/dbsetup/core/installer_texts.h"
#include "tools/dbsetup/core/upgrade_rows.h"

namespace qn::dbsetup {

namespace {

using texts::kFoldersProgressName;

// One column of a copy: the current column, its type, and the old column
// it comes from.
struct ColumnCopy {
  const char* to;
  NewType type;
  const char* from;
};

// A straight table copy: old rows in, the listed columns out.
class TableCopy {
 public:
  TableCopy(CDatabase& oldDb, CDatabase& newDb, const char* oldTable, const char* newTable,
            const std::vector<ColumnCopy>& columns, const char* identity = "")
      : rows(oldDb, EarlierTable(oldTable)), out(newDb, newTable, NewColumns(columns), identity) {
    for (const ColumnCopy& c : columns) from_.push_back(rows.Index(c.from));
  }
  bool Next() { return rows.Next(); }
  // The current row's values for the new columns, in their order.
  std::vector<Value> Values() const {
    std::vector<Value> values;
    values.reserve(from_.size());
    for (size_t index : from_) values.push_back(rows[index]);
    return values;
  }

  OldRows rows;
  NewRows out;

 private:
  static std::vector<NewColumn> NewColumns(const std::vector<ColumnCopy>& columns) {
    std::vector<NewColumn> out;
    for (const ColumnCopy& c : columns) out.push_back({c.to, c.type});
    return out;
  }
  std::vector<size_t> from_;
};

std::string UpperAscii(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return text;
}

// A reference through a map: found, its new number; else `missing`.
int32_t Mapped(const std::unordered_map<int32_t, int32_t>& map, std::optional<int32_t> old, int32_t missing) {
  if (!old) return missing;
  auto found = map.find(*old);
  return found == map.end() ? missing : found->second;
}

// A row of a tree (directories, folders) kept while the tree is copied.
struct TreeRow {
  std::optional<int32_t> id;
  std::optional<int32_t> parent;
  std::vector<Value> values;  // the new columns, the parent among them
};

// Copies a tree level by level from its roots (parent -1, and parent 0 as
// the rows under no parent), then the rows no root reaches (their parent
// gone, or a circle), so none is lost; `insert` writes a row under a new
// parent and returns its number.
template <class Insert>
void CopyTree(std::vector<TreeRow>& rows, std::unordered_map<int32_t, int32_t>& map, Insert insert) {
  std::unordered_multimap<int32_t, size_t> children;
  for (size_t i = 0; i < rows.size(); ++i)
    if (rows[i].parent) children.emplace(*rows[i].parent, i);
  std::vector<bool> done(rows.size(), false);
  std::deque<size_t> queue;
  auto copy = [&](size_t i, int32_t newParent) {
    done[i] = true;
    const int32_t key = insert(rows[i], newParent);
    if (rows[i].id) {
      map[*rows[i].id] = key;
      queue.push_back(i);
    }
  };
  auto drain = [&] {
    while (!queue.empty()) {
      const size_t i = queue.front();
      queue.pop_front();
      auto [first, last] = children.equal_range(*rows[i].id);
      std::vector<size_t> level;
      for (auto it = first; it != last; ++it) level.push_back(it->second);
      std::sort(level.begin(), level.end());
      for (size_t child : level)
        if (!done[child]) copy(child, map[*rows[i].id]);
    }
  };
  for (const int32_t top : {-1, 0}) {
    for (size_t i = 0; i < rows.size(); ++i)
      if (!done[i] && rows[i].parent == top) copy(i, top);
    drain();
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    if (done[i]) continue;
    copy(i, Mapped(map, rows[i].parent, 0));
    drain();
  }
}

}  // namespace

CUpgrade::CUpgrade(const UpgradeRequest& request, IUpgradeProgress& progress, CDatabase* target)
    : request_(request), progress_(progress), target_(target) {}

CUpgrade::~CUpgrade() = default;

AttachmentMoves CUpgrade::Run() {
  Area("QNACCOUN", &CUpgrade::CopyAccountArea);
  Area("QNAUDIT", &CUpgrade::CopyAuditArea);
  Area("QNCHAT", &CUpgrade::CopyChatArea);
  Area("QNDB", &CUpgrade::CopyDatabaseArea);
  Area("QNFILE", &CUpgrade::CopyFileArea);
  Area("QNMAIL", &CUpgrade::CopyMailArea);
  Area("QNRMSG", &CUpgrade::CopyMessageArea);
  return attachments_;
}

void CUpgrade::Area(const char* stem, void (CUpgrade::*copy)()) {
  const std::string& dir = request_.programDir;
  oldDb_ = std::make_unique<CDatabase>();
  OpenInstallerDatabase(*oldDb_, texts::kServerDataSource,
                        "ODBC;DBQ=" + dir + stem + "." + request_.oldExtension, dir);
  old_ = oldDb_.get();
  new_ = target_;
  if (target_ == nullptr) {
    newFile_ = std::make_unique<CDatabase>();
    OpenInstallerDatabase(*newFile_, texts::kNewServerDataSource,
                          "ODBC;DBQ=" + dir + stem + "." + request_.newExtension, dir);
    new_ = newFile_.get();
    BeginTransaction(*new_);
  }
  try {
    if (newFile_) {
      // The new file is a copy of the template: it keeps only old rows.
      std::vector<std::string> tables;
      {
        qn::odbc::Statement list(new_->Connection());
        list.ExecuteDirect("SELECT name FROM sqlite_master WHERE type = 'table'");
        std::string name;
        while (list.Fetch())
          if (list.GetText(1, name)) tables.push_back(name);
      }
      for (const std::string& table : tables) new_->ExecuteSQL("DELETE FROM \"" + table + "\"");
    }
    (this->*copy)();
    if (newFile_) {
      EndTransaction(*newFile_, true);
      newFile_->Close();
      newFile_.reset();
    }
  } catch (const qn::odbc::Error& e) {
    if (newFile_) {
      try {
        EndTransaction(*newFile_, false);
      } catch (...) {
      }
      newFile_.reset();
    }
    throw CDBException(e);
  } catch (...) {
    if (newFile_) {
      try {
        EndTransaction(*newFile_, false);
      } catch (...) {
      }
      newFile_.reset();
    }
    throw;
  }
  oldDb_->Close();
  oldDb_.reset();
}

long CUpgrade::Count(const char* table, const char* column) { return CountRows(*old_, table, column); }

int32_t CUpgrade::KeyRef(int32_t old) const {
  if (old <= 0) return old;
  return Mapped(keys_, old, 0);
}

namespace {

// The number in a value (of a number column), if any.
std::optional<int32_t> NumberOf(const Value& value) {
  if (const int32_t* number = std::get_if<int32_t>(&value)) return *number;
  return std::nullopt;
}

}  // namespace

void CUpgrade::CopyAccounts() {
  // Phones by member, the user ID's letter case aside; the first row counts.
  std::unordered_map<std::string, Value> phones;
  {
    OldRows lines(*old_, EarlierTable("LineNumbers"));
    const size_t user = lines.Index("UserId"), phone = lines.Index("DayPhone");
    while (lines.Next())
      if (std::holds_alternative<std::string>(lines[user])) phones.emplace(UpperAscii(lines.Text(user)), lines[phone]);
  }
  const std::vector<ColumnCopy> columns = {
      {"UserID", NewType::Text, "UserId"},
      {"Password", NewType::Text, "Password"},
      {"FirstName", NewType::Text, "Firstname"},
      {"LastName", NewType::Text, "Lastname"},
      {"Company", NewType::Text, "Company"},
      {"Address1", NewType::Text, "Address1"},
      {"Address2", NewType::Text, "Address2"},
      {"City", NewType::Text, "City"},
      {"State_Province", NewType::Text, "State_Province"},
      {"Zip", NewType::Text, "Zip"},
      {"Country", NewType::Text, "Country"},
      {"BillingFirstName", NewType::Text, "Billing First Name"},
      {"BillingLastName", NewType::Text, "Billing Last Name"},
      {"BillingCompany", NewType::Text, "Billing Company"},
      {"BillingAddress1", NewType::Text, "Billing Address1"},
      {"BillingAddress2", NewType::Text, "Billing Address2"},
      {"BillingCity", NewType::Text, "Billing City"},
      {"BillingState_Province", NewType::Text, "Billing State_Province"},
      {"BillingZip", NewType::Text, "Billing Zip"},
      {"BillingCountry", NewType::Text, "Billing Country"},
      {"ShortProfile", NewType::Text, "ShortProfile"},
      {"LongProfile", NewType::Text, "LongProfile"},
      {"Credits", NewType::Long, "Credits"},
      {"Dormant", NewType::Bool, "Dormant"},
      {"RatePerHour", NewType::Short, "RatePerHour"},
      {"MaxTimeOnline", NewType::Short, "MaxTimeOnline"},
      {"SignUpDate", NewType::Date, "SignupDate"},
  };
  // A member without a phone row gets the column's default, as an
  // unassigned column would.
  std::vector<ColumnCopy> withPhone = columns;
  withPhone.push_back({"Phone", NewType::Text, "UserId"});
  TableCopy accounts(*old_, *new_, "Accounts", "Accounts", columns);
  NewRows accountsWithPhone(*new_, "Accounts",
                            [&] {
                              std::vector<NewColumn> out;
                              for (const ColumnCopy& c : withPhone) out.push_back({c.to, c.type});
                              return out;
                            }());
  const size_t user = accounts.rows.Index("UserId");
  const long total = Count("Accounts", "UserId");
  long number = 0;
  while (accounts.Next()) {
    progress_.Row("Accounts", ++number, total);
    std::vector<Value> values = accounts.Values();
    auto phone = std::holds_alternative<std::string>(accounts.rows[user])
                     ? phones.find(UpperAscii(accounts.rows.Text(user)))
                     : phones.end();
    // Rows keep their order across the two writers.
    if (phone == phones.end()) {
      accountsWithPhone.Finish();
      accounts.out.Insert(std::move(values));
    } else {
      accounts.out.Finish();
      values.push_back(phone->second);
      accountsWithPhone.Insert(std::move(values));
    }
  }
  accounts.out.Finish();
  accountsWithPhone.Finish();
}

void CUpgrade::CopyAccountArea() {
  CopyAccounts();
  {
    TableCopy defaults(*old_, *new_, "Defaults", "Defaults",
                       {{"Credits", NewType::Long, "credits"},
                        {"Rate", NewType::Short, "Rate"},
                        {"MaxOnline", NewType::Short, "MaxOnLine"}});
    const long total = Count("Defaults", "credits");
    long number = 0;
    while (defaults.Next()) {
      progress_.Row("Defaults", ++number, total);
      defaults.out.Insert(defaults.Values());
    }
    defaults.out.Finish();
  }
  {
    TableCopy chains(*old_, *new_, "KeyChains", "KeyChains",
                     {{"KeyChain", NewType::Text, "KeyChain"}, {"IsDefault", NewType::Bool, "default"}},
                     "KeyChainID");
    const size_t id = chains.rows.Index("KeyChainId");
    const long total = Count("KeyChains", "KeyChain");
    long number = 0;
    while (chains.Next()) {
      progress_.Row("KeyChains", ++number, total);
      const int32_t key = chains.out.Insert(chains.Values());
      if (auto old = chains.rows.Number(id)) chains_[*old] = key;
    }
  }
  {
    TableCopy keys(*old_, *new_, "Keys", "Keys",
                   {{"AppName", NewType::Text, "AppName"},
                    {"KeyName", NewType::Text, "KeyName"},
                    {"Description", NewType::Text, "Description"},
                    {"KeyCost", NewType::Long, "KeyCost"}},
                   "KeyID");
    const size_t id = keys.rows.Index("KeyId");
    const long total = Count("Keys", "AppName");
    long number = 0;
    while (keys.Next()) {
      progress_.Row("Keys", ++number, total);
      const int32_t key = keys.out.Insert(keys.Values());
      if (auto old = keys.rows.Number(id)) keys_[*old] = key;
    }
  }
  {
    OldRows links(*old_, EarlierTable("Keys2Chains"));
    NewRows out(*new_, "Keys2Chains", {{"KeyChainID", NewType::Long}, {"KeyID", NewType::Long}});
    const size_t chain = links.Index("KeyChainId"), key = links.Index("KeyId");
    const long total = Count("Keys2Chains", "KeyId");
    long number = 0;
    while (links.Next()) {
      progress_.Row("Keys2Chains", ++number, total);
      const int32_t newChain = Mapped(chains_, links.Number(chain), 0);
      const int32_t newKey = Mapped(keys_, links.Number(key), 0);
      if (newChain != 0 && newKey != 0) out.Insert({newChain, newKey});
    }
    out.Finish();
  }
  {
    OldRows links(*old_, EarlierTable("UserId2KeyChain"));
    NewRows out(*new_, "UserID2KeyChain", {{"UserID", NewType::Text}, {"KeyChainID", NewType::Long}});
    const size_t user = links.Index("UserId"), chain = links.Index("KeyChainId");
    const long total = Count("UserId2KeyChain", "KeyChainId");
    long number = 0;
    while (links.Next()) {
      progress_.Row("UserID2KeyChain", ++number, total);
      const int32_t newChain = Mapped(chains_, links.Number(chain), 0);
      if (newChain != 0) out.Insert({links[user], newChain});
    }
    out.Finish();
  }
  {
    OldRows links(*old_, EarlierTable("Userid2Keys"));
    NewRows out(*new_, "UserID2Keys", {{"UserID", NewType::Text}, {"KeyID", NewType::Long}});
    const size_t user = links.Index("UserId"), key = links.Index("KeyId");
    const long total = Count("Userid2Keys", "KeyId");
    long number = 0;
    while (links.Next()) {
      progress_.Row("UserID2Keys", ++number, total);
      const int32_t newKey = Mapped(keys_, links.Number(key), 0);
      if (newKey != 0) out.Insert({links[user], newKey});
    }
    out.Finish();
  }
}

void CUpgrade::CopyAuditArea() {
  TableCopy audit(*old_, *new_, "AuditTrail", "AuditTrail",
                  {{"UserID", NewType::Text, "UserId"},
                   {"AuditDate", NewType::Date, "AuditDate"},
                   {"AuditTime", NewType::Date, "AuditTime"},
                   {"ServiceName", NewType::Text, "ServiceName"},
                   {"KeyWord", NewType::Text, "KeyWord"},
                   {"Description", NewType::Text, "Description"},
                   {"strAuditTime", NewType::Text, "strAuditTime"},
                   {"dblAuditTime", NewType::Double, "dblAuditTime"}});
  const long total = Count("AuditTrail", "UserId");
  long number = 0;
  while (audit.Next()) {
    progress_.Row("AuditTrail", ++number, total);
    audit.out.Insert(audit.Values());
  }
  audit.out.Finish();
}

void CUpgrade::CopyChatArea() {
  TableCopy rooms(*old_, *new_, "ChatRooms", "ChatRooms",
                  {{"Room", NewType::Text, "Room"},
                   {"RoomKeyID", NewType::Long, "RoomKeyID"},
                   {"MaxInRoom", NewType::Short, "Max"}});
  const long total = Count("ChatRooms", "Room");
  long number = 0;
  while (rooms.Next()) {
    progress_.Row("ChatRooms", ++number, total);
    std::vector<Value> values = rooms.Values();
    if (auto key = NumberOf(values[1])) values[1] = KeyRef(*key);
    rooms.out.Insert(std::move(values));
  }
  rooms.out.Finish();
}

void CUpgrade::CopyDatabaseArea() {
  {
    TableCopy databases(*old_, *new_, "Databases", "Databases",
                        {{"DatabaseName", NewType::Text, "Database Name"},
                         {"ODBCDataSource", NewType::Text, "ODBC Data Source"},
                         {"Sort", NewType::Text, "Sort"},
                         {"PrimaryKeyField", NewType::Text, "PrimaryKeyField"},
                         {"ReadKeyID", NewType::Long, "ReadKeyID"},
                         {"ReadFilter", NewType::Text, "ReadFilter"},
                         {"WriteKeyID", NewType::Long, "WriteKeyID"},
                         {"WriteFilter", NewType::Text, "WriteFilter"},
                         {"IsQuickBase", NewType::Bool, "IsQuickBase"}});
    const long total = Count("Databases", "ReadKeyID");
    long number = 0;
    while (databases.Next()) {
      progress_.Row("Databases", ++number, total);
      std::vector<Value> values = databases.Values();
      for (size_t keyColumn : {4u, 6u})
        if (auto key = NumberOf(values[keyColumn])) values[keyColumn] = KeyRef(*key);
      databases.out.Insert(std::move(values));
    }
    databases.out.Finish();
  }
  TableCopy fields(*old_, *new_, "Fields", "Fields",
                   {{"DatabaseName", NewType::Text, "Database Name"},
                    {"FieldName", NewType::Text, "Field Name"},
                    {"FieldDescription", NewType::Text, "Field Description"},
                    {"IsMedia", NewType::Bool, "IsMedia"},
                    {"DefaultMediaDirectory", NewType::Text, "DefaultMediaDirectory"},
                    {"ReadKeyID", NewType::Long, "ReadKeyID"},
                    {"MultipleChoices", NewType::Text, "MultipleChoices"},
                    {"RangeLow", NewType::Double, "RangeLow"},
                    {"RangeHigh", NewType::Double, "RangeHigh"},
                    {"FillMacro", NewType::Text, "FillMacro"},
                    {"QBSearch", NewType::Bool, "QBSearch"},
                    {"QBBrowse", NewType::Bool, "QBBrowse"},
                    {"QBDetail", NewType::Bool, "QBDetail"}});
  const long total = Count("Fields", "ReadKeyID");
  long number = 0;
  while (fields.Next()) {
    progress_.Row("Fields", ++number, total);
    std::vector<Value> values = fields.Values();
    if (auto key = NumberOf(values[5])) values[5] = KeyRef(*key);
    fields.out.Insert(std::move(values));
  }
  fields.out.Finish();
}

void CUpgrade::CopyDirectories() {
  OldRows old(*old_, EarlierTable("Directories"));
  const size_t id = old.Index("DirectoryId"), name = old.Index("DirectoryName"), path = old.Index("UploadPath"),
               parent = old.Index("ParentDirectory"), key = old.Index("FolderKeyID");
  std::vector<TreeRow> rows;
  while (old.Next()) {
    Value readKey = old[key];
    if (auto number = NumberOf(readKey)) readKey = KeyRef(*number);
    rows.push_back({old.Number(id), old.Number(parent), {old[name], old[path], Value{}, readKey}});
  }
  NewRows out(*new_, "Directories",
              {{"DirectoryName", NewType::Text},
               {"UploadPath", NewType::Text},
               {"ParentDirectory", NewType::Long},
               {"ReadKeyID", NewType::Long}},
              "DirectoryID");
  const long total = Count("Directories", "DirectoryName");
  long number = 0;
  CopyTree(rows, directories_, [&](TreeRow& row, int32_t newParent) {
    progress_.Row("Directories", ++number, total);
    row.values[2] = newParent;
    return out.Insert(row.values);
  });
}

void CUpgrade::CopyFiles() {
  // The old links of each file; a link to no directory (below zero or gone)
  // leaves its file unapproved.
  std::unordered_multimap<int32_t, std::optional<int32_t>> links;
  {
    OldRows old(*old_, EarlierTable("Files2Directories"));
    const size_t directory = old.Index("DirectoryId"), file = old.Index("FileId");
    while (old.Next())
      if (auto f = old.Number(file)) links.emplace(*f, old.Number(directory));
  }
  TableCopy files(*old_, *new_, "Files", "Files",
                  {{"FileName", NewType::Text, "FileName"},
                   {"FileExtension", NewType::Text, "FileExtension"},
                   {"FileSize", NewType::Long, "FileSize"},
                   {"LastModDate", NewType::Date, "LastModDate"},
                   {"UploadedBy", NewType::Text, "UploadedBy"},
                   {"FileLocation", NewType::Text, "FileLocation"},
                   {"SuggFolder", NewType::Long, "SuggFolder"},
                   {"ShortDescription", NewType::Text, "ShortDescription"},
                   {"LongDescription", NewType::Text, "LongDescription"},
                   {"DateUploaded", NewType::Date, "DateUploaded"},
                   {"DateApproved", NewType::Date, "DateApproved"}},
                  "FileID");
  constexpr size_t kSuggFolder = 6, kDateApproved = 10;
  NewRows linksOut(*new_, "Files2Directories", {{"DirectoryID", NewType::Long}, {"FileID", NewType::Long}});
  const size_t id = files.rows.Index("FileId");
  const long total = Count("Files", "FileID");
  long number = 0;
  while (files.Next()) {
    progress_.Row("Files", ++number, total);
    std::vector<Value> values = files.Values();
    if (auto folder = NumberOf(values[kSuggFolder]); folder && *folder > 0)
      values[kSuggFolder] = Mapped(directories_, folder, 0);
    const std::optional<int32_t> oldId = files.rows.Number(id);
    std::vector<int32_t> newDirectories;
    bool dangling = false;
    if (oldId) {
      auto [first, last] = links.equal_range(*oldId);
      for (auto it = first; it != last; ++it) {
        const int32_t directory = Mapped(directories_, it->second, -1);
        if (!it->second || *it->second < 0 || directory < 0) dangling = true;
        else newDirectories.push_back(directory);
      }
    }
    if (dangling) values[kDateApproved] = std::monostate{};
    const int32_t newId = files.out.Insert(std::move(values));
    if (oldId) files_[*oldId] = newId;
    for (int32_t directory : newDirectories) linksOut.Insert({directory, newId});
  }
  linksOut.Finish();
}

void CUpgrade::CopyFileArea() {
  CopyDirectories();
  CopyFiles();
  {
    OldRows old(*old_, EarlierTable("Keywords"));
    NewRows out(*new_, "Keywords", {{"Keyword", NewType::Text}, {"FileID", NewType::Long}});
    const size_t keyword = old.Index("Keyword"), file = old.Index("FileID");
    while (old.Next()) {
      const int32_t newFile = Mapped(files_, old.Number(file), 0);
      if (newFile != 0) out.Insert({old[keyword], newFile});
    }
    out.Finish();
  }
  {
    OldRows old(*old_, EarlierTable("Downloads"));
    NewRows out(*new_, "Downloads",
                {{"DateDownloaded", NewType::Date}, {"DownloadedBy", NewType::Text}, {"FileID", NewType::Long}});
    const size_t date = old.Index("DateDownloaded"), by = old.Index("DownloadedBy"), file = old.Index("FileID");
    while (old.Next()) {
      const int32_t newFile = Mapped(files_, old.Number(file), 0);
      if (newFile != 0) out.Insert({old[date], old[by], newFile});
    }
    out.Finish();
  }
  TableCopy options(*old_, *new_, "UploadOptions", "UploadOptions",
                    {{"AutoApprove", NewType::Bool, "AutoApprove"},
                     {"AddToSuggestedFolder", NewType::Bool, "AddToSuggestedFolder"}});
  const long total = Count("UploadOptions", "AutoApprove");
  long number = 0;
  while (options.Next()) {
    progress_.Row("UploadOptions", ++number, total);
    options.out.Insert(options.Values());
  }
  options.out.Finish();
}

void CUpgrade::CopyMailArea() {
  TableCopy mail(*old_, *new_, "MessageStore", "MessageStore",
                 {{"RecipID", NewType::Text, "RecipId"},
                  {"Subject", NewType::Text, "Subject"},
                  {"Note", NewType::Text, "Note"},
                  {"SenderID", NewType::Text, "SenderId"},
                  {"DateSent", NewType::Date, "DateSent"},
                  {"FileTitle", NewType::Text, "FileTitle"},
                  {"Received", NewType::Bool, "Received"}},
                 "MessageID");
  const size_t id = mail.rows.Index("MessageId"), title = mail.rows.Index("FileTitle");
  const long total = Count("MessageStore", "RecipId");
  long number = 0;
  while (mail.Next()) {
    progress_.Row("MessageStore", ++number, total);
    const int32_t newId = mail.out.Insert(mail.Values());
    const std::optional<int32_t> oldId = mail.rows.Number(id);
    const bool attached =
        std::holds_alternative<std::string>(mail.rows[title]) && mail.rows.Text(title) != "-";
    if (oldId && attached) attachments_.emplace_back(*oldId, newId);
  }
}

void CUpgrade::CopyFolders() {
  OldRows old(*old_, EarlierTable("Folders"));
  const size_t folder = old.Index("Folder"), id = old.Index("FolderID"), parent = old.Index("ParentID"),
               code = old.Index("Code"), read = old.Index("ReadKey"), write = old.Index("WriteKey");
  std::vector<TreeRow> rows;
  while (old.Next()) {
    Value readKey = old[read], writeKey = old[write];
    if (auto key = NumberOf(readKey)) readKey = KeyRef(*key);
    if (auto key = NumberOf(writeKey)) writeKey = KeyRef(*key);
    rows.push_back({old.Number(id), old.Number(parent), {old[folder], Value{}, old[code], readKey, writeKey}});
  }
  NewRows out(*new_, "Folders",
              {{"Folder", NewType::Text},
               {"ParentID", NewType::Long},
               {"Code", NewType::Short},
               {"ReadKey", NewType::Long},
               {"WriteKey", NewType::Long}},
              "FolderID");
  const long total = Count("Folders", "Folder");
  long number = 0;
  CopyTree(rows, folders_, [&](TreeRow& row, int32_t newParent) {
    progress_.Row(kFoldersProgressName, ++number, total);
    row.values[1] = newParent;
    return out.Insert(row.values);
  });
}

void CUpgrade::CopyMessageArea() {
  CopyFolders();
  {
    TableCopy messages(*old_, *new_, "Messages", "Messages",
                       {{"Title", NewType::Text, "Title"},
                        {"Msg", NewType::Text, "Msg"},
                        {"UserID", NewType::Text, "UserID"},
                        {"Date", NewType::Date, "Date"},
                        {"LastRead", NewType::Date, "LastRead"},
                        {"FolderID", NewType::Long, "FolderID"}},
                       "MsgID");
    const size_t id = messages.rows.Index("MsgID");
    while (messages.Next()) {
      std::vector<Value> values = messages.Values();
      values[5] = Mapped(folders_, NumberOf(values[5]), 0);
      const int32_t newId = messages.out.Insert(std::move(values));
      if (auto old = messages.rows.Number(id)) messages_[*old] = newId;
    }
  }
  {
    OldRows old(*old_, EarlierTable("MsgRead"));
    NewRows out(*new_, "MsgRead", {{"UserID", NewType::Text}, {"Date", NewType::Date}, {"MsgID", NewType::Long}});
    const size_t user = old.Index("UserID"), date = old.Index("Date"), message = old.Index("MsgID");
    while (old.Next()) {
      const int32_t newMessage = Mapped(messages_, old.Number(message), 0);
      if (newMessage != 0) out.Insert({old[user], old[date], newMessage});
    }
    out.Finish();
  }
  IdMap responses;
  {
    TableCopy copy(*old_, *new_, "Responses", "Responses",
                   {{"Title", NewType::Text, "Title"},
                    {"Response", NewType::Text, "Response"},
                    {"UserID", NewType::Text, "UserID"},
                    {"Date", NewType::Date, "Date"},
                    {"OriginalMsgID", NewType::Long, "OriginalMsgID"},
                    {"FolderID", NewType::Long, "FolderID"}},
                   "ResponseID");
    const size_t id = copy.rows.Index("ResponseID");
    while (copy.Next()) {
      std::vector<Value> values = copy.Values();
      values[4] = Mapped(messages_, NumberOf(values[4]), 0);
      values[5] = Mapped(folders_, NumberOf(values[5]), 0);
      const int32_t newId = copy.out.Insert(std::move(values));
      if (auto old = copy.rows.Number(id)) responses[*old] = newId;
    }
  }
  OldRows old(*old_, EarlierTable("ResponseRead"));
  NewRows out(*new_, "ResponseRead",
              {{"UserID", NewType::Text}, {"Date", NewType::Date}, {"ResponseID", NewType::Long}});
  const size_t user = old.Index("UserID"), date = old.Index("Date"), response = old.Index("ResponseID");
  while (old.Next()) {
    const int32_t newResponse = Mapped(responses, old.Number(response), 0);
    if (newResponse != 0) out.Insert({old[user], old[date], newResponse});
  }
  out.Finish();
}

}  // namespace qn::dbsetup
