// A logged-on member: the account row, credits, rate and per-call limit, and
// the keys held. Every logged-on member stands in one user list under one
// lock; logon and logoff hooks let other modules follow them.
#pragma once
#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "server/core/user_key.h"
#include "server/data/schema_recordsets.h"

class CDatabase;
class CRecordset;
class CTransportBase;
struct CLogonRead;
// One update of a member's account row (user.cpp).
struct AccountRowWrite;

// A failure that reaches an automation caller as a dispatch exception with
// this code and text; a service's own handling answers it like any database
// error.
class CDispatchException : public std::runtime_error {
 public:
  CDispatchException(int32_t code, const std::string& text)
      : std::runtime_error(text), m_nCode(code) {}
  int32_t GetCode() const { return m_nCode; }

 private:
  int32_t m_nCode;
};

inline constexpr int32_t kUserDatabaseErrorCode = 8192;
inline constexpr const char* kUserDatabaseErrorText = "User Database Error";

// The account columns a member's client or an automation caller may change;
// they reach the database at the next timer tick, or at logoff.
enum class AccountField {
  Address1, Address2, BillingAddress1, BillingAddress2, BillingCity, BillingCompany,
  BillingCountry, BillingFirstName, BillingLastName, BillingState_Province, BillingZip, City,
  Company, Country, Dormant, FirstName, HomeEmail, InternetAlias, LastName, LongProfile, Password,
  Phone, ShortProfile, State_Province, Zip,
};

class CUser {
 public:
  using LogonHook = void (*)(CUser* user, bool logon);

  CUser();
  // Logs the member off when logged on.
  ~CUser();
  CUser(const CUser&) = delete;
  CUser& operator=(const CUser&) = delete;

  // Reads the account row and the keys and lists the member. Throws
  // CDBException, or CDispatchException when the row is missing.
  void Logon(const std::string& userId, CTransportBase* connection);
  // The same with the row (and, when read, the keys) the logon service read
  // already; takes the keys.
  void Logon(CLogonRead& read, CTransportBase* connection);
  // Lists the member with values already at hand (the last steps of Logon;
  // tests use it without a database).
  void Attach(const std::string& userId, CTransportBase* connection, int32_t credits,
              int16_t ratePerHour, int16_t maxTimeOnline, std::time_t logonTime);
  bool IsLoggedOn() const { return m_bListed; }

  // Reads the row again unless it is current; throws CDispatchException
  // 8192 "User Database Error" and keeps the old values when it cannot.
  void LoadAccount();
  // LoadAccount for every member of `users` whose row is not current, with
  // one statement per 256 members; a member whose row it cannot read is left
  // to its own LoadAccount. For walks that read every member.
  static void LoadAccounts(const std::list<CUser*>& users);
  // Writes the changed fields to the row, with the credits when they changed
  // since the row last had them, in one update; kept for the next try on
  // failure.
  void SaveChanges();
  bool IsLoaded() const { return m_bLoaded; }
  void ClearLoaded() { m_bLoaded = false; }
  bool HasChanges() const { return !m_changed.empty(); }
  // The field was changed to `value` (compared without regard to case) and
  // the change has not reached the row yet.
  bool HasUnwrittenText(AccountField field, const std::string& value) const;

  // Column properties: the getters read through LoadAccount.
  std::string GetText(AccountField field);
  void SetText(AccountField field, const std::string& value);
  bool GetDormant();
  void SetDormant(bool dormant);
  std::time_t GetSignupDate();

#define QN_USER_TEXT_PROPERTY(Name, Field)                                        \
  std::string Get##Name() { return GetText(AccountField::Field); }               \
  void Set##Name(const std::string& value) { SetText(AccountField::Field, value); }
  QN_USER_TEXT_PROPERTY(Address1, Address1)
  QN_USER_TEXT_PROPERTY(Address2, Address2)
  QN_USER_TEXT_PROPERTY(BillingAddress1, BillingAddress1)
  QN_USER_TEXT_PROPERTY(BillingAddress2, BillingAddress2)
  QN_USER_TEXT_PROPERTY(BillingCity, BillingCity)
  QN_USER_TEXT_PROPERTY(BillingCompany, BillingCompany)
  QN_USER_TEXT_PROPERTY(BillingCountry, BillingCountry)
  QN_USER_TEXT_PROPERTY(BillingFirstName, BillingFirstName)
  QN_USER_TEXT_PROPERTY(BillingLastName, BillingLastName)
  QN_USER_TEXT_PROPERTY(BillingStateProvince, BillingState_Province)
  QN_USER_TEXT_PROPERTY(BillingZip, BillingZip)
  QN_USER_TEXT_PROPERTY(City, City)
  QN_USER_TEXT_PROPERTY(Company, Company)
  QN_USER_TEXT_PROPERTY(Country, Country)
  QN_USER_TEXT_PROPERTY(FirstName, FirstName)
  QN_USER_TEXT_PROPERTY(HomeEmailAddress, HomeEmail)
  QN_USER_TEXT_PROPERTY(InternetAlias, InternetAlias)
  QN_USER_TEXT_PROPERTY(LastName, LastName)
  QN_USER_TEXT_PROPERTY(LongProfile, LongProfile)
  QN_USER_TEXT_PROPERTY(Phone, Phone)
  QN_USER_TEXT_PROPERTY(ShortProfile, ShortProfile)
  QN_USER_TEXT_PROPERTY(State, State_Province)
  QN_USER_TEXT_PROPERTY(ZIP, Zip)
#undef QN_USER_TEXT_PROPERTY
  // Write only: the stored password is never handed out.
  void SetPassword(const std::string& value) { SetText(AccountField::Password, value); }

  // The member's own fields, without database access.
  const std::string& GetUserID() const { return m_strUserID; }
  CTransportBase* GetConnection() const { return m_pConnection; }
  int32_t GetCredits() const { return m_nCredits; }
  void SetCredits(int32_t credits) { m_nCredits = credits; }
  int16_t GetRatePerHour() const { return m_nRatePerHour; }
  void SetRatePerHour(int16_t rate) { m_nRatePerHour = rate; }
  int16_t GetMaxTimeOnline() const { return m_nMaxTimeOnline; }
  void SetMaxTimeOnline(int16_t minutes) { m_nMaxTimeOnline = minutes; }
  std::time_t GetLogonTime() const { return m_tLogon; }

  // Keys, in the order of application and key name.
  const std::list<CUserKey>& GetKeys() const { return m_keys; }
  void AddKey(const CUserKey& key) { m_keys.push_back(key); }
  const CUserKey* FindKey(const std::string& appName, const std::string& keyName) const;
  bool CanUseKey(const std::string& appName, const std::string& keyName) const;
  int32_t GetKeyCost(const std::string& appName, const std::string& keyName) const;
  // Key id -1 needs no key.
  bool HasKeyID(int32_t keyId) const;
  int32_t GetKeyIDCost(int32_t keyId) const;
  void ChargeKey(const std::string& appName, const std::string& keyName);
  // The new balance, never below 0.
  int32_t DeductCredits(int32_t amount);

  // One AuditTrail row for this member; failures are ignored.
  void WriteAuditTrail(const std::string& service, const std::string& keyword,
                       const std::string& description);

 private:
  void Logoff();
  void LoadKeys();
  // What the row lacks: the changed fields, the credits when they moved, and
  // at logoff the credits and LastOn in any case.
  AccountRowWrite PendingWrite(bool logoff) const;
  // The changed fields into `row`, marked to be written.
  void CopyChanges(CAccounts_2& row) const;

  CTransportBase* m_pConnection = nullptr;
  std::list<CUserKey> m_keys;
  // The row's values; never opened itself.
  CAccounts_2 m_row{nullptr};
  bool m_bLoaded = false;
  std::map<AccountField, uint16_t> m_changed;
  std::string m_strUserID;
  int32_t m_nCredits = 0;
  // The credits the row holds as far as this member knows.
  int32_t m_nWrittenCredits = 0;
  int16_t m_nRatePerHour = 0;
  int16_t m_nMaxTimeOnline = -1;
  std::time_t m_tLogon = 0;
  bool m_bListed = false;
};

// The user list: logged-on members in logon order, walked on the main thread.
std::list<CUser*>& GetUserList();
std::recursive_mutex& GetUserListLock();
void LockUserList();
void UnlockUserList();

void AddLogonHook(CUser::LogonHook hook);
// Removes a hook (tests, module stop).
void RemoveLogonHook(CUser::LogonHook hook);
CUser* FindUserByID(const std::string& userId);
int GetUserCount();

// Writes again what logoffs could not write (the database was away); true
// when nothing is left owing for `userId` (for anybody when it is empty).
// The timer's pass and a logon of the same member call it first.
bool WriteUnwrittenAccountChanges(const std::string& userId = {});

// The member other than `exceptUserId` whose change of `field` to `value`
// (compared without regard to case) the row does not hold yet: a logged-on
// member's, waiting for the timer's pass, or a logoff's that could not be
// written. Empty when there is none.
std::string FindUnwrittenChange(AccountField field, const std::string& value,
                                const std::string& exceptUserId);

// Forgets the account connection taken from the pool, after the pool was
// closed (module stop, tests that switch storage modes).
void ForgetUserDatabase();

// The connect strings of the account and audit databases.
const std::string& AccountConnect();
const std::string& AuditConnect();

// An AuditTrail row outside any member; failures are ignored.
void AppendAuditTrail(const std::string& userId, const std::string& service,
                      const std::string& keyword, const std::string& description);
// The same row written by the next Update of `write`, in its statement, where
// the audit trail shares its database (the one PostgreSQL database); false
// where it does not, and the caller appends the row itself.
bool CarryAuditTrail(CRecordset& write, const std::string& userId, const std::string& service,
                     const std::string& keyword, const std::string& description);

// Tells bound monitor clients the new member count; the monitor object fills
// this in.
void NotifyMonitors(int userCount);

// The text of the key query for a quoted user ID, in a form both databases
// take.
std::string BuildUserKeyQuery(const std::string& quotedUserId);
