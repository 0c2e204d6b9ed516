#include "server/core/user.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <strings.h>
#include <vector>

#include "common/helpers.h"
#include "common/module_registration.h"
#include "server/core/clock.h"
#include "server/core/counter_block.h"
#include "server/core/logon_read.h"
#include "server/core/server.h"
#include "server/core/transport_base.h"
#include "server/core/user_timer.h"
#include "server/data/connection_pool.h"

namespace {

const std::string kAccountConnect = "DSN=Quillnet Server;DBQ=QNACCOUN.MDB";
const std::string kAuditConnect = "DSN=Quillnet Server;DBQ=QNAUDIT.MDB";

std::list<CUser*> g_users;
std::recursive_mutex g_userListLock;
std::vector<CUser::LogonHook> g_logonHooks;
CDatabase* g_pAccountDatabase = nullptr;

// The account connection all members' rows share, reserved at module start;
// fetched again when that failed (no database yet at start), opened afresh
// after it lost its server.
CDatabase* AccountDatabase() {
  if (g_pAccountDatabase == nullptr)
    g_pAccountDatabase = GetDatabase(kAccountConnect, true);
  else
    ReopenIfLost(g_pAccountDatabase);
  return g_pAccountDatabase;
}

std::string UserFilter(const std::string& userId) { return "UserID=" + SQLQuote(userId); }

// User IDs as the databases compare them.
struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  }
};

std::string CAccounts_2::*TextMember(AccountField field) {
  switch (field) {
    case AccountField::Address1: return &CAccounts_2::m_Address1;
    case AccountField::Address2: return &CAccounts_2::m_Address2;
    case AccountField::BillingAddress1: return &CAccounts_2::m_BillingAddress1;
    case AccountField::BillingAddress2: return &CAccounts_2::m_BillingAddress2;
    case AccountField::BillingCity: return &CAccounts_2::m_BillingCity;
    case AccountField::BillingCompany: return &CAccounts_2::m_BillingCompany;
    case AccountField::BillingCountry: return &CAccounts_2::m_BillingCountry;
    case AccountField::BillingFirstName: return &CAccounts_2::m_BillingFirstName;
    case AccountField::BillingLastName: return &CAccounts_2::m_BillingLastName;
    case AccountField::BillingState_Province: return &CAccounts_2::m_BillingState_Province;
    case AccountField::BillingZip: return &CAccounts_2::m_BillingZip;
    case AccountField::City: return &CAccounts_2::m_City;
    case AccountField::Company: return &CAccounts_2::m_Company;
    case AccountField::Country: return &CAccounts_2::m_Country;
    case AccountField::FirstName: return &CAccounts_2::m_FirstName;
    case AccountField::HomeEmail: return &CAccounts_2::m_HomeEmail;
    case AccountField::InternetAlias: return &CAccounts_2::m_InternetAlias;
    case AccountField::LastName: return &CAccounts_2::m_LastName;
    case AccountField::LongProfile: return &CAccounts_2::m_LongProfile;
    case AccountField::Password: return &CAccounts_2::m_Password;
    case AccountField::Phone: return &CAccounts_2::m_Phone;
    case AccountField::ShortProfile: return &CAccounts_2::m_ShortProfile;
    case AccountField::State_Province: return &CAccounts_2::m_State_Province;
    case AccountField::Zip: return &CAccounts_2::m_Zip;
    case AccountField::Dormant: break;
  }
  return nullptr;
}

}  // namespace

// One update of a member's account row: changed fields, and the credits and
// LastOn when given.
struct AccountRowWrite {
  std::string userId;
  std::map<AccountField, std::string> texts;
  std::optional<BOOL> dormant;
  std::optional<int32_t> credits;
  std::optional<std::time_t> lastOn;

  bool Empty() const { return texts.empty() && !dormant && !credits && !lastOn; }
  // Values of a later write over those of this one.
  void Absorb(const AccountRowWrite& later) {
    for (const auto& [field, text] : later.texts) texts[field] = text;
    if (later.dormant) dormant = later.dormant;
    if (later.credits) credits = later.credits;
    if (later.lastOn) lastOn = later.lastOn;
  }
};

namespace {

// Logoff writes that failed, kept for the next pass of the timer as a
// member's own changes are; one per member.
std::list<AccountRowWrite> g_unwritten;

// Edits the member's row when it exists (a missing row takes nothing), and
// with `logoffAudit` carries the logoff's audit row in the same statement
// where it can: true when it did. Throws on failure.
bool WriteAccountRow(const AccountRowWrite& write, const std::string* logoffAudit = nullptr) {
  CAccounts_2 row(AccountDatabase());
  row.m_strFilter = UserFilter(write.userId);
  // One update by UserID, without reading the row first.
  row.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
  row.EditFiltered();
  for (const auto& [field, text] : write.texts) {
    std::string CAccounts_2::*member = TextMember(field);
    row.*member = text;
    row.SetFieldDirty(&(row.*member));
  }
  if (write.dormant) {
    row.m_Dormant = *write.dormant;
    row.SetFieldDirty(&row.m_Dormant);
  }
  if (write.credits) {
    row.m_Credits = *write.credits;
    row.SetFieldDirty(&row.m_Credits);
  }
  if (write.lastOn) {
    row.m_LastOn = *write.lastOn;
    row.SetFieldDirty(&row.m_LastOn);
  }
  const bool carried =
      logoffAudit != nullptr && CarryAuditTrail(row, *logoffAudit, "Logoff", "Logoff", "User Logged Off");
  row.Update();
  row.Close();
  return carried;
}

void KeepUnwritten(AccountRowWrite&& write) {
  for (AccountRowWrite& owed : g_unwritten) {
    if (strcasecmp(owed.userId.c_str(), write.userId.c_str()) == 0) {
      owed.Absorb(write);
      return;
    }
  }
  g_unwritten.push_back(std::move(write));
}

void RunLogonHooks(CUser* user, bool logon) {
  // A copy: a hook may add or remove hooks.
  const std::vector<CUser::LogonHook> hooks = g_logonHooks;
  for (CUser::LogonHook hook : hooks) {
    try {
      hook(user, logon);
    } catch (...) {
      // One module's failure must not keep the others from hearing of it.
    }
  }
}

void CountUsers(int32_t delta) {
  CServer* server = CTransportBase::GetServer();
  if (server != nullptr && server->GetStatusBlock() != nullptr)
    server->GetStatusBlock()->AddTotal(CCounterBlock::kUsers, delta);
}

void InitUserModule() {
  try {
    g_pAccountDatabase = GetDatabase(kAccountConnect, true);
  } catch (const std::exception&) {
    g_pAccountDatabase = nullptr;
  }
  StartUserTimer();
}

void TermUserModule() {
  StopUserTimer();
  if (!WriteUnwrittenAccountChanges()) {
    for (const AccountRowWrite& owed : g_unwritten)
      std::fprintf(stderr, "The account changes of %s could not be written.\n",
                   owed.userId.c_str());
  }
  g_unwritten.clear();
  ForgetUserDatabase();  // the pool closes it
}

const CModuleRegistration s_userModule(&InitUserModule, &TermUserModule);

}  // namespace

bool WriteUnwrittenAccountChanges(const std::string& userId) {
  bool clear = true;
  for (auto it = g_unwritten.begin(); it != g_unwritten.end();) {
    if (!userId.empty() && strcasecmp(it->userId.c_str(), userId.c_str()) != 0) {
      ++it;
      continue;
    }
    try {
      WriteAccountRow(*it);
      it = g_unwritten.erase(it);
    } catch (const std::exception&) {
      clear = false;
      ++it;
    }
  }
  return clear;
}

std::string FindUnwrittenChange(AccountField field, const std::string& value,
                                const std::string& exceptUserId) {
  const auto other = [&](const std::string& userId) {
    return strcasecmp(userId.c_str(), exceptUserId.c_str()) != 0;
  };
  for (const CUser* user : g_users)
    if (other(user->GetUserID()) && user->HasUnwrittenText(field, value)) return user->GetUserID();
  for (const AccountRowWrite& owed : g_unwritten) {
    const auto text = owed.texts.find(field);
    if (text != owed.texts.end() && other(owed.userId) &&
        strcasecmp(text->second.c_str(), value.c_str()) == 0)
      return owed.userId;
  }
  return {};
}

std::string BuildUserKeyQuery(const std::string& quotedUserId) {
  // ORDER BY after a UNION names the output columns: PostgreSQL refuses the
  // table-qualified form.
  return UserKeySelect(quotedUserId) + " ORDER BY AppName, KeyName";
}

CUser::CUser() = default;

CUser::~CUser() {
  if (m_bListed) Logoff();
}

void CUser::Logon(const std::string& userId, CTransportBase* connection) {
  std::lock_guard<std::recursive_mutex> guard(g_userListLock);
  CLogonRead read(AccountDatabase());
  if (!ReadLogonRow(AccountDatabase(), userId, read))
    throw CDispatchException(kUserDatabaseErrorCode, kUserDatabaseErrorText);
  Logon(read, connection);
}

void CUser::Logon(CLogonRead& read, CTransportBase* connection) {
  std::lock_guard<std::recursive_mutex> guard(g_userListLock);
  m_pConnection = connection;
  m_strUserID = read.row.m_UserID;
  const std::time_t now = GetClock().Now();
  CopyAccountRow(read.row, m_row);
  m_bLoaded = true;
  if (read.keysRead)
    m_keys = std::move(read.keys);
  else
    LoadKeys();
  Attach(m_row.m_UserID, connection, m_row.m_Credits, m_row.m_RatePerHour, m_row.m_MaxTimeOnline,
         now);
}

void CUser::LoadKeys() {
  try {
    // The key query's columns are the Keys table's.
    CKeys_2 rows(AccountDatabase());
    rows.Open(CRecordset::forwardOnly, BuildUserKeyQuery(SQLQuote(m_strUserID)).c_str(),
              CRecordset::readOnly);
    while (!rows.IsEOF()) {
      m_keys.emplace_back(rows.m_KeyID, rows.m_AppName, rows.m_KeyName, rows.m_KeyCost);
      rows.MoveNext();
    }
    rows.Close();
  } catch (const std::exception&) {
    // The member goes on with the keys read so far.
  }
}

void CUser::Attach(const std::string& userId, CTransportBase* connection, int32_t credits,
                   int16_t ratePerHour, int16_t maxTimeOnline, std::time_t logonTime) {
  std::lock_guard<std::recursive_mutex> guard(g_userListLock);
  m_strUserID = userId;
  m_pConnection = connection;
  m_nCredits = credits;
  m_nWrittenCredits = credits;
  m_nRatePerHour = ratePerHour;
  m_nMaxTimeOnline = maxTimeOnline;
  m_tLogon = logonTime;
  g_users.push_back(this);
  m_bListed = true;
  NotifyMonitors(static_cast<int>(g_users.size()));
  RunLogonHooks(this, true);
  CountUsers(1);
}

void CUser::Logoff() {
  std::lock_guard<std::recursive_mutex> guard(g_userListLock);
  // A timer pass under way leaves the member to this logoff's write.
  ForgetInUserTimerPass(this);
  RunLogonHooks(this, false);
  AccountRowWrite write = PendingWrite(true);
  bool audited = false;
  try {
    // The audit row rides with the row's update where the database allows.
    audited = WriteAccountRow(write, &m_strUserID);
  } catch (const std::exception&) {
    // The member leaves all the same; the timer's next pass tries again.
    KeepUnwritten(std::move(write));
  }
  m_changed.clear();
  m_keys.clear();
  g_users.remove(this);
  m_bListed = false;
  if (!audited) WriteAuditTrail("Logoff", "Logoff", "User Logged Off");
  NotifyMonitors(static_cast<int>(g_users.size()));
  CountUsers(-1);
}

AccountRowWrite CUser::PendingWrite(bool logoff) const {
  AccountRowWrite write;
  write.userId = m_strUserID;
  for (const auto& entry : m_changed) {
    if (entry.first == AccountField::Dormant)
      write.dormant = m_row.m_Dormant;
    else
      write.texts[entry.first] = m_row.*TextMember(entry.first);
  }
  if (logoff || m_nCredits != m_nWrittenCredits) write.credits = m_nCredits;
  if (logoff) write.lastOn = m_tLogon;
  return write;
}

void CUser::CopyChanges(CAccounts_2& row) const {
  for (const auto& entry : m_changed) {
    if (entry.first == AccountField::Dormant) {
      row.m_Dormant = m_row.m_Dormant;
      row.SetFieldDirty(&row.m_Dormant);
    } else {
      std::string CAccounts_2::*member = TextMember(entry.first);
      row.*member = m_row.*member;
      row.SetFieldDirty(&(row.*member));
    }
  }
}

void CUser::LoadAccount() {
  if (m_bLoaded) return;
  SaveChanges();
  try {
    CAccounts_2 row(AccountDatabase());
    row.m_strFilter = UserFilter(m_strUserID);
    row.Open(CRecordset::snapshot, nullptr, CRecordset::readOnly);
    const bool found = !row.IsEOF();
    row.Close();
    if (!found) throw CDispatchException(kUserDatabaseErrorCode, kUserDatabaseErrorText);
    // Changes the write could not place yet stay over the row just read.
    CopyChanges(row);
    CopyAccountRow(row, m_row);
  } catch (const CDispatchException&) {
    throw;
  } catch (const std::exception&) {
    throw CDispatchException(kUserDatabaseErrorCode, kUserDatabaseErrorText);
  }
  m_bLoaded = true;
}

void CUser::LoadAccounts(const std::list<CUser*>& users) {
  std::vector<CUser*> pending;
  for (CUser* user : users)
    if (!user->m_bLoaded) pending.push_back(user);
  // One member's own read costs the same.
  if (pending.size() < 2) return;
  for (CUser* user : pending) user->SaveChanges();
  constexpr size_t kPerStatement = 256;
  for (size_t first = 0; first < pending.size(); first += kPerStatement) {
    const size_t count = std::min(kPerStatement, pending.size() - first);
    // The list is padded to a power of two with its last ID, so that a few
    // prepared statements serve every number of members.
    size_t width = 1;
    while (width < count) width *= 2;
    std::string filter = "UserID IN (";
    std::map<std::string, CUser*, NoCaseLess> byId;
    for (size_t i = 0; i < width; ++i) {
      CUser* user = pending[first + std::min(i, count - 1)];
      if (i > 0) filter += ",";
      filter += SQLQuote(user->m_strUserID);
      byId.emplace(user->m_strUserID, user);
    }
    filter += ")";
    try {
      CAccounts_2 row(AccountDatabase());
      row.m_strFilter = filter;
      row.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
      for (; !row.IsEOF(); row.MoveNext()) {
        const auto found = byId.find(row.m_UserID);
        if (found == byId.end() || found->second->m_bLoaded) continue;
        CUser& user = *found->second;
        // Changes the write could not place yet stay over the row just read.
        user.CopyChanges(row);
        CopyAccountRow(row, user.m_row);
        user.m_bLoaded = true;
      }
      row.Close();
    } catch (const std::exception&) {
      // Each member left unread tries alone at its next getter.
      return;
    }
  }
}

void CUser::SaveChanges() {
  const AccountRowWrite write = PendingWrite(false);
  if (write.Empty()) return;
  try {
    WriteAccountRow(write);
    m_changed.clear();
    if (write.credits) m_nWrittenCredits = *write.credits;
  } catch (const std::exception&) {
    // Kept for the next tick.
  }
}

bool CUser::HasUnwrittenText(AccountField field, const std::string& value) const {
  if (field == AccountField::Dormant || m_changed.count(field) == 0) return false;
  return strcasecmp((m_row.*TextMember(field)).c_str(), value.c_str()) == 0;
}

std::string CUser::GetText(AccountField field) {
  LoadAccount();
  if (field == AccountField::Dormant) return m_row.m_Dormant ? "1" : "0";
  return m_row.*TextMember(field);
}

void CUser::SetText(AccountField field, const std::string& value) {
  if (field == AccountField::Dormant) {
    SetDormant(value != "0" && !value.empty());
    return;
  }
  std::string CAccounts_2::*member = TextMember(field);
  // Kept as the row will keep it, so reads before and after the write agree.
  size_t width = std::string::npos;
  for (const auto& column : CAccounts_2::Spec().columns) {
    const auto* text = std::get_if<std::string CAccounts_2::*>(&column.member);
    if (text != nullptr && *text == member) width = static_cast<size_t>(column.type.width);
  }
  m_row.*member = value.substr(0, width);
  m_changed[field] = 1;
}

bool CUser::GetDormant() {
  LoadAccount();
  return m_row.m_Dormant != 0;
}

void CUser::SetDormant(bool dormant) {
  m_row.m_Dormant = dormant ? TRUE : FALSE;
  m_changed[AccountField::Dormant] = 1;
}

std::time_t CUser::GetSignupDate() {
  LoadAccount();
  return m_row.m_SignUpDate;
}

const CUserKey* CUser::FindKey(const std::string& appName, const std::string& keyName) const {
  for (const CUserKey& key : m_keys) {
    if (strcasecmp(key.m_strAppName.c_str(), appName.c_str()) == 0 &&
        strcasecmp(key.m_strKeyName.c_str(), keyName.c_str()) == 0)
      return &key;
  }
  return nullptr;
}

bool CUser::CanUseKey(const std::string& appName, const std::string& keyName) const {
  const CUserKey* key = FindKey(appName, keyName);
  return key != nullptr && m_nCredits >= key->m_nCost;
}

int32_t CUser::GetKeyCost(const std::string& appName, const std::string& keyName) const {
  const CUserKey* key = FindKey(appName, keyName);
  return key != nullptr && m_nCredits >= key->m_nCost ? key->m_nCost : 0;
}

bool CUser::HasKeyID(int32_t keyId) const {
  if (keyId == -1) return true;
  for (const CUserKey& key : m_keys)
    if (key.m_nKeyID == keyId && m_nCredits >= key.m_nCost) return true;
  return false;
}

int32_t CUser::GetKeyIDCost(int32_t keyId) const {
  if (keyId == -1) return 0;
  for (const CUserKey& key : m_keys)
    if (key.m_nKeyID == keyId && m_nCredits >= key.m_nCost) return key.m_nCost;
  return 0;
}

void CUser::ChargeKey(const std::string& appName, const std::string& keyName) {
  if (const CUserKey* key = FindKey(appName, keyName)) DeductCredits(key->m_nCost);
}

int32_t CUser::DeductCredits(int32_t amount) {
  m_nCredits = amount > m_nCredits ? 0 : m_nCredits - amount;
  return m_nCredits;
}

void CUser::WriteAuditTrail(const std::string& service, const std::string& keyword,
                            const std::string& description) {
  AppendAuditTrail(m_strUserID, service, keyword, description);
}

bool CarryAuditTrail(CRecordset& write, const std::string& userId, const std::string& service,
                     const std::string& keyword, const std::string& description) {
  std::vector<qn::odbc::Param> values;
  for (const std::string* text : {&userId, &service, &keyword, &description})
    // Cut as the columns hold them (the recordset of AppendAuditTrail does
    // the same).
    values.push_back({text->substr(0, 255), SQL_VARCHAR});
  return write.CarryInsert("AuditTrail", {"UserID", "ServiceName", "KeyWord", "Description"},
                           std::move(values));
}

void AppendAuditTrail(const std::string& userId, const std::string& service,
                      const std::string& keyword, const std::string& description) {
  try {
    CAuditTrail_2 row(GetDatabase(kAuditConnect, false));
    row.m_strFilter = "AuditTrailID = 0";
    row.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
    row.AddNew();
    // The key and the time columns are left to the database.
    row.m_UserID = userId;
    row.m_ServiceName = service;
    row.m_KeyWord = keyword;
    row.m_Description = description;
    row.Update();
    row.Close();
  } catch (const std::exception&) {
    // The audit trail never stops the work it records.
  }
}

std::list<CUser*>& GetUserList() { return g_users; }
std::recursive_mutex& GetUserListLock() { return g_userListLock; }
void LockUserList() { g_userListLock.lock(); }
void UnlockUserList() { g_userListLock.unlock(); }

void AddLogonHook(CUser::LogonHook hook) { g_logonHooks.push_back(hook); }

void RemoveLogonHook(CUser::LogonHook hook) {
  g_logonHooks.erase(std::remove(g_logonHooks.begin(), g_logonHooks.end(), hook),
                     g_logonHooks.end());
}

CUser* FindUserByID(const std::string& userId) {
  for (CUser* user : g_users)
    if (strcasecmp(user->GetUserID().c_str(), userId.c_str()) == 0) return user;
  return nullptr;
}

int GetUserCount() {
  std::lock_guard<std::recursive_mutex> guard(g_userListLock);
  return static_cast<int>(g_users.size());
}

void ForgetUserDatabase() { g_pAccountDatabase = nullptr; }

const std::string& AccountConnect() { return kAccountConnect; }
const std::string& AuditConnect() { return kAuditConnect; }

