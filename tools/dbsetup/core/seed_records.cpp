#include "tools/dbsetup/core/seed_records.h"

#include <stdexcept>

#include "common/helpers.h"

namespace qn::dbsetup {

namespace {

SeedValue Text(const char* text) { return {SeedValue::Text, text, 0}; }
SeedValue Number(int32_t n) { return {SeedValue::Number, {}, n}; }
SeedValue Bool(bool b) { return {SeedValue::Bool, {}, b ? 1 : 0}; }
SeedValue KeyOf(int32_t row) { return {SeedValue::KeyOf, {}, row}; }

// The credits, rate and limit of new accounts; the administrator's account
// gets them too, as CreateAccount would give them.
constexpr int32_t kDefaultCredits = 1000;
constexpr int32_t kDefaultRate = 0;
constexpr int32_t kDefaultMaxOnline = -1;

// Indexes of the rows others refer to.
enum : int32_t {
  kKeyChat = 2,
  kKeyPrivate = 3,
  kKeyFileReceive = 5,
  kKeyFileSend = 6,
  kKeyCompose = 7,
  kChainChat = 8,
  kChainFileLibrary = 9,
  kChainMail = 10,
};

std::vector<SeedRow> MakeRows() {
  auto key = [](const char* app, const char* name, const char* description) {
    return SeedRow{"QNACCOUN", "Keys", "KeyID",
                   {{"AppName", Text(app)},
                    {"KeyName", Text(name)},
                    {"Description", Text(description)},
                    {"KeyCost", Number(0)}}};
  };
  auto chain = [](const char* name) {
    return SeedRow{"QNACCOUN", "KeyChains", "KeyChainID",
                   {{"KeyChain", Text(name)}, {"IsDefault", Bool(true)}}};
  };
  auto link = [](int32_t chainRow, int32_t keyRow) {
    return SeedRow{"QNACCOUN", "Keys2Chains", "",
                   {{"KeyChainID", KeyOf(chainRow)}, {"KeyID", KeyOf(keyRow)}}};
  };
  auto owner = [](int32_t chainRow) {
    return SeedRow{"QNACCOUN", "UserID2KeyChain", "",
                   {{"UserID", Text("Administrator")}, {"KeyChainID", KeyOf(chainRow)}}};
  };
  std::vector<SeedRow> rows = {
      {"QNACCOUN", "Accounts", "AccountNumber",
       {{"UserID", Text("Administrator")},
        {"Password", Text("Plinkett")},
        {"Credits", Number(kDefaultCredits)},
        {"RatePerHour", Number(kDefaultRate)},
        {"MaxTimeOnline", Number(kDefaultMaxOnline)}}},
      {"QNACCOUN", "Defaults", "",
       {{"Credits", Number(kDefaultCredits)},
        {"Rate", Number(kDefaultRate)},
        {"MaxOnline", Number(kDefaultMaxOnline)}}},
      key("Chat", "Chat", "Participate in Chat"),
      key("Chat", "Private", "Enter a Private Chat Room"),
      key("Chat", "Sysop", "Spy in Chat"),
      key("File Library", "File Receive", "Download Files"),
      key("File Library", "File Send", "Upload Files"),
      key("Mail", "Compose", "Compose Email"),
      chain("CHAT MASTER"),
      chain("FILE LIBRARY MASTER"),
      chain("MAIL MASTER"),
      link(kChainChat, kKeyChat),
      link(kChainChat, kKeyPrivate),
      link(kChainFileLibrary, kKeyFileReceive),
      link(kChainFileLibrary, kKeyFileSend),
      link(kChainMail, kKeyCompose),
      owner(kChainChat),
      owner(kChainFileLibrary),
      owner(kChainMail),
      {"QNFILE", "Directories", "DirectoryID",
       {{"DirectoryName", Text("Folders")},
        {"UploadPath", Text("C:")},
        {"ParentDirectory", Number(-1)},
        {"ReadKeyID", Number(-1)},
        {"WriteKeyID", Number(-1)}}},
      {"QNFILE", "UploadOptions", "",
       {{"AutoApprove", Bool(false)}, {"AddToSuggestedFolder", Bool(false)}, {"UploadPath", Text("C:")}}},
      {"QNCHAT", "ChatRooms", "",
       {{"Room", Text("Main Lobby")}, {"RoomKeyID", Number(-1)}, {"MaxInRoom", Number(-1)}}},
      {"QNRMSG", "Folders", "FolderID",
       {{"Folder", Text("Topics")}, {"ParentID", Number(-1)}, {"ReadKey", Number(-1)}, {"WriteKey", Number(-1)}}},
  };
  return rows;
}

}  // namespace

const std::vector<SeedRow>& SeedRows() {
  static const std::vector<SeedRow> rows = MakeRows();
  return rows;
}

std::string SeedStatement(const SeedRow& row, int trueValue, const std::vector<int32_t>& keys) {
  std::string names, values;
  for (const auto& [name, value] : row.columns) {
    if (!names.empty()) {
      names += ", ";
      values += ", ";
    }
    names += name;
    switch (value.kind) {
      case SeedValue::Text:
        values += SQLQuote(value.text);
        break;
      case SeedValue::Number:
        values += std::to_string(value.number);
        break;
      case SeedValue::Bool:
        values += std::to_string(value.number ? trueValue : 0);
        break;
      case SeedValue::KeyOf:
        if (value.number < 0 || static_cast<size_t>(value.number) >= keys.size())
          throw std::logic_error("a seed row refers to a row after it");
        values += std::to_string(keys[static_cast<size_t>(value.number)]);
        break;
    }
  }
  return "INSERT INTO " + std::string(row.table) + " (" + names + ") VALUES (" + values + ")";
}

void InsertSeedRows(ISeedTarget& target, int trueValue, const std::string& area) {
  const auto& rows = SeedRows();
  std::vector<int32_t> keys(rows.size(), 0);
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!area.empty() && area != rows[i].area) continue;
    keys[i] = target.Insert(SeedStatement(rows[i], trueValue, keys), *rows[i].identity != 0);
  }
}

}  // namespace qn::dbsetup
