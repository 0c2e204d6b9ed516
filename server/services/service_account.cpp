#include "server/services/service_account.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <exception>

#include "common/crc32.h"
#include "common/helpers.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/result_set.h"
#include "server/core/row_stream.h"
#include "server/core/service_factory.h"
#include "server/core/user.h"
#include "server/data/connection_pool.h"
#include "server/data/schema_recordsets.h"

QN_REGISTER_SERVICE(CServiceAccount);

namespace {

bool (*g_pSmtpGatewayProbe)() = nullptr;

// What the client sees in place of a password, and sends back to keep it.
const std::string kPasswordMask = "*****";

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool AliasIsWellFormed(const std::string& alias) {
  if (alias.size() > 25) return false;
  for (char c : alias)
    if (!std::isdigit(static_cast<unsigned char>(c)) && !(c >= 'a' && c <= 'z') && c != '.' &&
        c != '_')
      return false;
  return true;
}

CDatabase* AccountDb() { return GetDatabase(AccountConnect(), false); }

}  // namespace

// What each item needs before its handler runs: its parameter count as
// GetParamCount gives it (1 for none), from minParams to maxParams.
struct CServiceAccount::Handler {
  const char* item;
  int (CServiceAccount::*run)();
  int minParams;
  int maxParams;
};

namespace {
constexpr int kAnyCount = 1 << 30;
}  // namespace

const CServiceAccount::Handler CServiceAccount::kHandlers[] = {
    {"FindByFirstName", &CServiceAccount::FindByFirstName, 2, kAnyCount},
    {"FindByLastName", &CServiceAccount::FindByLastName, 2, kAnyCount},
    {"FindByUserID", &CServiceAccount::FindByUserID, 2, 2},
    {"GetAccountInfo", &CServiceAccount::GetAccountInfo, 1, 1},
    {"GetBillingInfo", &CServiceAccount::GetBillingInfo, 1, 1},
    {"GetKeys", &CServiceAccount::GetKeys, 1, 1},
    {"GetKeysForApp", &CServiceAccount::GetKeysForApp, 1, 1},
    {"GetProfileInfo", &CServiceAccount::GetProfileInfo, 1, 1},
    {"GetUserDescription", &CServiceAccount::GetUserDescription, 1, 1},
    {"GetUserID", &CServiceAccount::GetUserID, 1, 1},
    {"GetCredits", &CServiceAccount::GetCredits, 1, 1},
    {"GetUsersOnline", &CServiceAccount::GetUsersOnline, 1, 1},
    {"SetBillingInfo", &CServiceAccount::SetBillingInfo, 9, 9},
    {"SetPassword", &CServiceAccount::SetPassword, 1, 1},
    {"SetProfileInfo", &CServiceAccount::SetProfileInfo, 12, 12},
    {"SetUserDescription", &CServiceAccount::SetUserDescription, 4, 4},
    // The photo's count is not tested.
    {"SetUserPhoto", &CServiceAccount::SetUserPhoto, 1, kAnyCount},
    {"GetUserPhoto", &CServiceAccount::GetUserPhoto, 1, 1},
    {"GetHomeEmailAddress", &CServiceAccount::GetHomeEmailAddress, 1, 1},
    {"SetHomeEmailAddress", &CServiceAccount::SetHomeEmailAddress, 1, 1},
    {"GetInternetAlias", &CServiceAccount::GetInternetAlias, 1, 1},
    {"SetInternetAlias", &CServiceAccount::SetInternetAlias, 1, 1},
};

void SetSmtpGatewayProbe(bool (*probe)()) { g_pSmtpGatewayProbe = probe; }

std::string UserPhotoPath(const std::string& userId) {
  char name[16];
  std::snprintf(name, sizeof name, "%08X",
                static_cast<unsigned>(ComputeStringCrc32("Personal Photo of " + userId)));
  return GetProgramDirectory() + "USRPHOTS/" + name + ".CMP";
}

CServiceAccount::CServiceAccount() = default;

CServiceAccount::~CServiceAccount() = default;

bool CServiceAccount::IsSecretParam(int index) const {
  if (strcasecmp(GetItem().c_str(), "SetPassword") == 0) return index == 0;
  if (strcasecmp(GetItem().c_str(), "SetProfileInfo") == 0) return index == 11;
  return false;
}

int CServiceAccount::ProcessRequest() {
  for (const Handler& handler : kHandlers) {
    if (strcasecmp(GetItem().c_str(), handler.item) != 0) continue;
    const int count = GetParamCount();
    if (count < handler.minParams || count > handler.maxParams) return qn::kResultBadParameters;
    try {
      return (this->*handler.run)();
    } catch (const std::exception&) {
      // A search's recordset goes with the service.
      return qn::kResultServiceException;
    }
  }
  return qn::kResultNoSuchRequest;
}

bool CServiceAccount::TakeParams(int count, std::vector<std::string>& out) {
  if (GetParamCount() != count) return false;
  out.assign(static_cast<size_t>(count), std::string());
  for (int i = 0; i < count; ++i) GetParam(i, out[static_cast<size_t>(i)]);
  return true;
}

void CServiceAccount::SendRow(const std::vector<const void*>& values) {
  CResultRow row(*m_pSchema);
  for (const void* value : values) row.AddValue(value);
  GetRequest()->SendMoreData(row.BuildPacket());
}

int CServiceAccount::SendSingleRow(const std::vector<const void*>& values) {
  GetRequest()->SendData(m_pSchema->BuildPacket());
  SendRow(values);
  GetRequest()->EndRequest();
  return 0;
}

int CServiceAccount::Search(const std::string& filter, const std::string& sort) {
  m_pSchema = std::make_unique<CColumnTypes>(3, -1);
  m_pSchema->AddColumn(kColumnString, "UserID");
  m_pSchema->AddColumn(kColumnString, "FirstName");
  m_pSchema->AddColumn(kColumnString, "LastName");
  m_pSearch = std::make_unique<CAccounts_2>(AccountDb());
  m_pSearch->m_strFilter = filter;
  m_pSearch->m_strSort = sort;
  m_pSearch->Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  return StreamRows(*m_pSchema, RowsOf(m_pSearch, [this] {
                      const std::string id = m_pSearch->m_UserID;
                      const std::string first = m_pSearch->m_FirstName;
                      const std::string last = m_pSearch->m_LastName;
                      // A failing move sends no row of it.
                      m_pSearch->MoveNext();
                      SendRow({&id, &first, &last});
                    }));
}

namespace {
std::string Range(const char* column, const std::string& from, const std::string& to) {
  return std::string("(") + column + ">=" + SQLQuote(from) + ") AND (" + column +
         "<=" + SQLQuote(to) + ")";
}
}  // namespace

int CServiceAccount::FindByFirstName() {
  // From and to, and an optional third; clients may send more, unread.
  const int count = GetParamCount();
  if (count < 2) return qn::kResultBadParameters;
  std::string from, to, last;
  GetParam(0, from);
  GetParam(1, to);
  if (count >= 3) GetParam(2, last);
  if (last.empty()) return Search(Range("FirstName", from, to), "FirstName");
  return Search("(FirstName=" + SQLQuote(last) + ") AND " + Range("LastName", from, to),
                "FirstName");
}

int CServiceAccount::FindByLastName() {
  const int count = GetParamCount();
  if (count < 2) return qn::kResultBadParameters;
  std::string from, to, first;
  GetParam(0, from);
  GetParam(1, to);
  if (count >= 3) GetParam(2, first);
  if (first.empty()) return Search(Range("LastName", from, to), "LastName");
  return Search("(LastName=" + SQLQuote(first) + ") AND " + Range("FirstName", from, to),
                "LastName");
}

int CServiceAccount::FindByUserID() {
  std::vector<std::string> p;
  if (!TakeParams(2, p)) return qn::kResultBadParameters;
  return Search(Range("UserID", p[0], p[1]), "UserID");
}

int CServiceAccount::GetAccountInfo() {
  m_pSchema = std::make_unique<CColumnTypes>(5, 1);
  m_pSchema->AddColumn(kColumnLong, "Credits");
  m_pSchema->AddColumn(kColumnDate, "SignupDate");
  m_pSchema->AddColumn(kColumnBool, "Dormant");
  m_pSchema->AddColumn(kColumnShort, "RatePerHour");
  m_pSchema->AddColumn(kColumnShort, "MaxTimeOnline");
  CUser* user = GetUser();
  const int32_t credits = user->GetCredits();
  const int32_t signup = static_cast<int32_t>(user->GetSignupDate());
  const int32_t dormant = user->GetDormant() ? 1 : 0;
  const int16_t rate = user->GetRatePerHour();
  const int16_t limit = user->GetMaxTimeOnline();
  return SendSingleRow({&credits, &signup, &dormant, &rate, &limit});
}

int CServiceAccount::GetBillingInfo() {
  static const char* const kColumns[] = {
      "Billing First Name", "Billing Last Name", "Billing Company",
      "Billing Address1",   "Billing Address2",  "Billing City",
      "Billing State_Province", "Billing Zip", "Billing Country"};
  m_pSchema = std::make_unique<CColumnTypes>(9, 1);
  for (const char* column : kColumns) m_pSchema->AddColumn(kColumnString, column);
  CUser* user = GetUser();
  const std::string v[] = {user->GetBillingFirstName(), user->GetBillingLastName(),
                           user->GetBillingCompany(),   user->GetBillingAddress1(),
                           user->GetBillingAddress2(),  user->GetBillingCity(),
                           user->GetBillingStateProvince(), user->GetBillingZip(),
                           user->GetBillingCountry()};
  return SendSingleRow({&v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8]});
}

int CServiceAccount::GetKeys() {
  const std::list<CUserKey>& keys = GetUser()->GetKeys();
  m_pSchema = std::make_unique<CColumnTypes>(4, static_cast<int32_t>(keys.size()));
  m_pSchema->AddColumn(kColumnLong, "KeyID");
  m_pSchema->AddColumn(kColumnString, "KeyName");
  m_pSchema->AddColumn(kColumnString, "AppName");
  m_pSchema->AddColumn(kColumnLong, "KeyCost");
  return StreamKeys(nullptr);
}

int CServiceAccount::GetKeysForApp() {
  std::vector<std::string> p;
  if (!TakeParams(1, p)) return qn::kResultBadParameters;
  m_strAppFilter = Upper(p[0]);
  m_pSchema = std::make_unique<CColumnTypes>(3, -1);
  m_pSchema->AddColumn(kColumnLong, "KeyID");
  m_pSchema->AddColumn(kColumnString, "KeyName");
  m_pSchema->AddColumn(kColumnLong, "KeyCost");
  return StreamKeys(&m_strAppFilter);
}

int CServiceAccount::StreamKeys(const std::string* appFilter) {
  const std::list<CUserKey>* keys = &GetUser()->GetKeys();
  m_nextKey = keys->begin();
  CRowSource rows;
  rows.atEnd = [this, keys] { return m_nextKey == keys->end(); };
  rows.sendRow = [this, appFilter] {
    const CUserKey& key = *m_nextKey++;
    if (appFilter == nullptr)
      SendRow({&key.m_nKeyID, &key.m_strKeyName, &key.m_strAppName, &key.m_nCost});
    else if (key.m_strAppName == *appFilter)
      SendRow({&key.m_nKeyID, &key.m_strKeyName, &key.m_nCost});
  };
  return StreamRows(*m_pSchema, std::move(rows));
}

int CServiceAccount::GetProfileInfo() {
  static const char* const kColumns[] = {"FirstName", "LastName",       "Company", "Address1",
                                         "Address2",  "City",           "State_Province",
                                         "Zip",       "Country",        "ShortProfile",
                                         "LongProfile", "Password"};
  m_pSchema = std::make_unique<CColumnTypes>(12, 1);
  for (const char* column : kColumns) m_pSchema->AddColumn(kColumnString, column);
  CUser* user = GetUser();
  const std::string v[] = {user->GetFirstName(), user->GetLastName(),  user->GetCompany(),
                           user->GetAddress1(),  user->GetAddress2(),  user->GetCity(),
                           user->GetState(),     user->GetZIP(),       user->GetCountry(),
                           user->GetShortProfile(), user->GetLongProfile(), kPasswordMask};
  return SendSingleRow(
      {&v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &v[11]});
}

int CServiceAccount::GetUserDescription() {
  std::vector<std::string> p;
  if (!TakeParams(1, p)) return qn::kResultBadParameters;
  std::string v[4];
  if (CUser* other = FindUserByID(p[0])) {
    v[0] = other->GetFirstName();
    v[1] = other->GetLastName();
    v[2] = other->GetShortProfile();
    v[3] = other->GetLongProfile();
  } else {
    CAccounts_2 account(AccountDb());
    account.m_strFilter = "UserID=" + SQLQuote(p[0]);
    account.Open(CRecordset::snapshot, nullptr, CRecordset::readOnly);
    if (account.IsEOF()) return qn::kResultBadParameters;
    v[0] = account.m_FirstName;
    v[1] = account.m_LastName;
    v[2] = account.m_ShortProfile;
    v[3] = account.m_LongProfile;
  }
  m_pSchema = std::make_unique<CColumnTypes>(4, 1);
  m_pSchema->AddColumn(kColumnString, "FirstName");
  m_pSchema->AddColumn(kColumnString, "LastName");
  m_pSchema->AddColumn(kColumnString, "ShortDescription");
  m_pSchema->AddColumn(kColumnString, "LongDescription");
  return SendSingleRow({&v[0], &v[1], &v[2], &v[3]});
}

int CServiceAccount::GetUserID() {
  m_pSchema = std::make_unique<CColumnTypes>(1, 1);
  m_pSchema->AddColumn(kColumnString, "UserID");
  const std::string id = GetUser()->GetUserID();
  return SendSingleRow({&id});
}

int CServiceAccount::GetCredits() {
  m_pSchema = std::make_unique<CColumnTypes>(1, 1);
  m_pSchema->AddColumn(kColumnLong, "Credits");
  const int32_t credits = GetUser()->GetCredits();
  return SendSingleRow({&credits});
}

int CServiceAccount::GetUsersOnline() {
  m_online.clear();
  // After a timer pass every member's row is read again: together.
  CUser::LoadAccounts(GetUserList());
  for (CUser* user : GetUserList()) {
    m_online.push_back(user->GetUserID());
    m_online.push_back(user->GetFirstName());
    m_online.push_back(user->GetLastName());
    m_online.push_back(user->GetShortProfile());
    m_online.push_back(user->GetLongProfile());
  }
  m_nOnlineNext = 0;
  m_pSchema = std::make_unique<CColumnTypes>(5, static_cast<int32_t>(m_online.size() / 5));
  m_pSchema->AddColumn(kColumnString, "UserID");
  m_pSchema->AddColumn(kColumnString, "FirstName");
  m_pSchema->AddColumn(kColumnString, "LastName");
  m_pSchema->AddColumn(kColumnString, "ShortDescription");
  m_pSchema->AddColumn(kColumnString, "LongDescription");
  CRowSource rows;
  rows.atEnd = [this] { return m_nOnlineNext + 5 > m_online.size(); };
  rows.sendRow = [this] {
    const std::string* v = &m_online[m_nOnlineNext];
    m_nOnlineNext += 5;
    SendRow({&v[0], &v[1], &v[2], &v[3], &v[4]});
  };
  return StreamRows(*m_pSchema, std::move(rows));
}

int CServiceAccount::SetBillingInfo() {
  std::vector<std::string> p;
  if (!TakeParams(9, p)) return qn::kResultBadParameters;
  CUser* user = GetUser();
  user->SetBillingFirstName(p[0]);
  user->SetBillingLastName(p[1]);
  user->SetBillingCompany(p[2]);
  user->SetBillingAddress1(p[3]);
  user->SetBillingAddress2(p[4]);
  user->SetBillingCity(p[5]);
  user->SetBillingStateProvince(p[6]);
  user->SetBillingZip(p[7]);
  user->SetBillingCountry(p[8]);
  GetRequest()->EndRequest();
  return 0;
}

int CServiceAccount::SetPassword() {
  std::vector<std::string> p;
  if (!TakeParams(1, p)) return qn::kResultBadParameters;
  if (p[0] != kPasswordMask) GetUser()->SetPassword(p[0]);
  GetRequest()->EndRequest();
  return 0;
}

int CServiceAccount::SetProfileInfo() {
  std::vector<std::string> p;
  if (!TakeParams(12, p)) return qn::kResultBadParameters;
  CUser* user = GetUser();
  user->SetFirstName(p[0]);
  user->SetLastName(p[1]);
  user->SetCompany(p[2]);
  user->SetAddress1(p[3]);
  user->SetAddress2(p[4]);
  user->SetCity(p[5]);
  user->SetState(p[6]);
  user->SetZIP(p[7]);
  user->SetCountry(p[8]);
  user->SetShortProfile(p[9]);
  user->SetLongProfile(p[10]);
  if (p[11] != kPasswordMask) user->SetPassword(p[11]);
  GetRequest()->EndRequest();
  return 0;
}

int CServiceAccount::SetUserDescription() {
  std::vector<std::string> p;
  if (!TakeParams(4, p)) return qn::kResultBadParameters;
  CUser* user = GetUser();
  user->SetFirstName(p[0]);
  user->SetLastName(p[1]);
  user->SetShortProfile(p[2]);
  user->SetLongProfile(p[3]);
  GetRequest()->EndRequest();
  return 0;
}

int CServiceAccount::SetUserPhoto() {
  const std::string directory = GetProgramDirectory() + "USRPHOTS";
  ::mkdir(directory.c_str(), 0755);
  // The old photo stays until the new one is complete.
  if (!ReceiveFile(UserPhotoPath(GetUser()->GetUserID()))) return qn::kResultMissing;
  return 0;
}

int CServiceAccount::GetUserPhoto() {
  std::vector<std::string> p;
  if (!TakeParams(1, p)) return qn::kResultBadParameters;
  if (!SendFile(UserPhotoPath(p[0]), false)) return qn::kResultBadParameters;
  return 0;
}

int CServiceAccount::GetHomeEmailAddress() {
  const std::string address = GetUser()->GetHomeEmailAddress();
  m_pSchema = std::make_unique<CColumnTypes>(1, 1);
  m_pSchema->AddColumn(kColumnString, "HomeEmailAddress");
  return SendSingleRow({&address});
}

int CServiceAccount::SetHomeEmailAddress() {
  std::vector<std::string> p;
  if (!TakeParams(1, p)) return qn::kResultBadParameters;
  const bool internet = p[0].find('@') != std::string::npos;
  if (internet && (g_pSmtpGatewayProbe == nullptr || !g_pSmtpGatewayProbe()))
    return qn::kResultNoMailGateway;
  GetUser()->SetHomeEmailAddress(p[0]);
  GetRequest()->EndRequest();
  return 0;
}

int CServiceAccount::GetInternetAlias() {
  const std::string alias = GetUser()->GetInternetAlias();
  m_pSchema = std::make_unique<CColumnTypes>(1, alias.empty() ? 0 : 1);
  m_pSchema->AddColumn(kColumnString, "Alias");
  GetRequest()->SendData(m_pSchema->BuildPacket());
  if (!alias.empty()) SendRow({&alias});
  GetRequest()->EndRequest();
  return 0;
}

int CServiceAccount::SetInternetAlias() {
  std::vector<std::string> p;
  if (!TakeParams(1, p)) return qn::kResultBadParameters;
  const std::string alias = Lower(p[0]);
  if (!AliasIsWellFormed(alias)) return qn::kResultBadParameters;
  CUser* user = GetUser();
  if (!alias.empty()) {
    // Another member's alias may still be on its way to the row (set online
    // since the timer's last pass, or kept from a logoff that could not
    // write it): it counts as stored, or two members would end up with one.
    if (!FindUnwrittenChange(AccountField::InternetAlias, alias, user->GetUserID()).empty())
      return qn::kResultAliasTaken;
    CAccounts_2 account(AccountDb());
    account.m_strFilter = "InternetAlias=" + SQLQuote(alias);
    account.Open(CRecordset::snapshot, nullptr, CRecordset::readOnly);
    // Every row counts: rows written before the alias was unique may share it.
    bool own = false;
    for (; !account.IsEOF(); account.MoveNext()) {
      if (strcasecmp(account.m_UserID.c_str(), user->GetUserID().c_str()) != 0)
        return qn::kResultAliasTaken;
      own = true;
    }
    // The row holds it already; a change to another alias that has not
    // reached the row yet must not overwrite it at the next pass.
    if (own && user->GetInternetAlias() == alias) {
      GetRequest()->EndRequest();
      return 0;
    }
  }
  user->SetInternetAlias(alias);
  GetRequest()->EndRequest();
  return 0;
}
