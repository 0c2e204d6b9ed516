#include "server/data/connection_pool.h"

#include <list>
#include <map>
#include <memory>

#include "common/registry.h"

namespace {

using ConnectionList = std::list<std::unique_ptr<CPooledDatabase>>;

std::map<std::string, ConnectionList>* g_pool = nullptr;

bool g_settingsRead = false;
bool g_isAccess = true;
std::string g_sqlConnect;

constexpr const char* kSystemSource = "DSN=Quillnet Server";
constexpr long kQueryTimeout = 30;

const char* const kStatisticsTables[] = {
    "Accounts",      "AuditTrail", "ChatRooms",    "Databases",   "Defaults",     "Directories",
    "Downloads",     "Fields",     "Files",        "Files2Directories", "Folders", "KeyChains",
    "Keys",          "Keys2Chains", "KeyWords",    "Messages",    "MessageStore", "MsgRead",
    "Procedures",    "ResponseRead", "Responses",  "UploadOptions", "UserID2KeyChain",
    "UserID2Keys"};

void ReadSettings() {
  if (g_settingsRead) return;
  g_settingsRead = true;
  g_isAccess = IsOdbcTypeAccess();
  g_sqlConnect.clear();
  if (!g_isAccess) g_sqlConnect = CQuillnetRegistry().ReadString("General", "ODBCConnectString", "");
}

// Opens a new pooled connection or throws, leaving nothing behind.
std::unique_ptr<CPooledDatabase> OpenPooled(const std::string& key, bool exclusive) {
  auto db = std::make_unique<CPooledDatabase>();
  db->exclusive = exclusive;
  db->key = key;
  db->OpenEx(key);
  return db;
}

void Reopen(CPooledDatabase& db) {
  if (db.IsOpen() && !db.Connection().IsLost()) return;
  // Statements of open recordsets would outlive their connection.
  if (db.OpenRecordsetCount() > 0) return;
  db.Close();
  db.OpenEx(db.key);
  db.SetQueryTimeout(kQueryTimeout);
}

bool IsBusy(const CPooledDatabase& db) { return db.exclusive || db.OpenRecordsetCount() > 0; }

}  // namespace

std::string DatabasePoolKey(const std::string& connect, bool isAccess,
                            const std::string& sqlConnect) {
  std::string key = "ODBC;" + connect;
  const bool systemSource = key.find(kSystemSource) != std::string::npos;
  if (!systemSource && !isAccess) {
    // Other data sources borrow the login of the one-database set-up.
    const size_t uid = sqlConnect.find("UID");
    if (uid != std::string::npos) key += ";" + sqlConnect.substr(uid);
  }
  if (systemSource && !isAccess) {
    const size_t dbq = key.find(";DBQ=");
    const size_t mdb = key.find(".MDB");
    if (dbq != std::string::npos && mdb != std::string::npos) {
      const size_t after = mdb + 4;
      // Only a ".MDB" after the ";DBQ=" ends the file name; one before it is
      // no file name at all and leaves the text as it is.
      if (after > dbq) key = key.substr(0, dbq) + key.substr(after);
    }
    key += ";" + sqlConnect;
  }
  return key;
}

void ForgetDatabaseSettings() {
  g_settingsRead = false;
  g_isAccess = true;
  g_sqlConnect.clear();
}

void InitDatabasePool() {
  if (g_pool == nullptr) g_pool = new std::map<std::string, ConnectionList>();
}

void TermDatabasePool() {
  if (g_pool == nullptr) return;
  for (auto& [key, list] : *g_pool) {
    while (!list.empty()) {
      list.front()->Close();
      list.pop_front();
    }
  }
  g_pool->clear();
  delete g_pool;
  g_pool = nullptr;
}

CDatabase* GetDatabase(const std::string& connect, bool exclusive) {
  ReadSettings();
  // A caller before the server start (a tool, a test) still gets a pool.
  InitDatabasePool();
  const std::string key = DatabasePoolKey(connect, g_isAccess, g_sqlConnect);
  const bool systemSource = key.find(kSystemSource) != std::string::npos;

  auto found = g_pool->find(key);
  if (found == g_pool->end()) {
    auto db = OpenPooled(key, exclusive);
    if (!g_isAccess && systemSource) {
      db->SetQueryTimeout(0);
      try {
        for (const char* table : kStatisticsTables)
          db->ExecuteSQL(std::string("UPDATE STATISTICS ") + table);
      } catch (const CDBException&) {
        // A database without one of the tables still serves the others.
      }
    }
    db->SetQueryTimeout(kQueryTimeout);
    CPooledDatabase* result = db.get();
    (*g_pool)[key].push_back(std::move(db));
    return result;
  }

  ConnectionList& list = found->second;
  CPooledDatabase* chosen = nullptr;
  if (g_isAccess && systemSource && !list.empty()) {
    // Each area file has one connection, shared by everybody.
    chosen = list.front().get();
  } else {
    for (auto& db : list) {
      if (!IsBusy(*db)) {
        chosen = db.get();
        break;
      }
    }
  }
  if (chosen != nullptr) {
    Reopen(*chosen);
    if (exclusive) chosen->exclusive = true;
    return chosen;
  }
  auto db = OpenPooled(key, exclusive);
  db->SetQueryTimeout(kQueryTimeout);
  chosen = db.get();
  list.push_back(std::move(db));
  return chosen;
}

long PooledStatementCount() {
  long count = 0;
  if (g_pool == nullptr) return count;
  for (const auto& [key, list] : *g_pool)
    for (const auto& db : list) count += db->StatementCount();
  return count;
}

void ReopenIfLost(CDatabase* database) {
  if (auto* pooled = dynamic_cast<CPooledDatabase*>(database)) Reopen(*pooled);
}
