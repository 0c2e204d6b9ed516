#include "server/services/service_logon.h"

#include <strings.h>

#include <memory>

#include "common/helpers.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/service_factory.h"
#include "server/core/logon_read.h"
#include "server/core/transport_base.h"
#include "server/core/user.h"
#include "server/data/connection_pool.h"
#include "server/data/schema_recordsets.h"

QN_REGISTER_SERVICE(CServiceLogon);

namespace {

CDatabase* AccountDb() { return GetDatabase(AccountConnect(), false); }

std::string UserFilter(const std::string& userId) { return "UserID=" + SQLQuote(userId); }

}  // namespace

int CServiceLogon::ProcessRequest() {
  if (strcasecmp(GetItem().c_str(), "Logon") == 0) return Logon();
  if (strcasecmp(GetItem().c_str(), "CreateAccount") == 0) return CreateAccount();
  return qn::kResultNoSuchRequest;
}

int CServiceLogon::CheckCanLogOn(std::string& userId, std::string& password) {
  if (GetRequest()->GetConnection()->GetUser() != nullptr) return qn::kResultAlreadyLoggedOn;
  if (GetParamCount() != 2) return qn::kResultBadParameters;
  GetParam(0, userId);
  GetParam(1, password);
  if (FindUserByID(userId) != nullptr) return qn::kResultAlreadyLoggedOn;
  return 0;
}

int CServiceLogon::Logon() {
  std::string userId, password;
  if (const int refused = CheckCanLogOn(userId, password)) return refused;
  // A logoff that could not reach the row (a new password among its changes)
  // goes first; the row must not be read without it.
  if (!WriteUnwrittenAccountChanges(userId)) return qn::kResultBadParameters;

  // The row and the keys in one read; the member object takes both.
  CLogonRead read(AccountDb());
  try {
    if (!ReadLogonRow(AccountDb(), userId, read)) return qn::kResultNoAccount;
  } catch (const CDBException&) {
    return qn::kResultBadParameters;
  }
  const CAccounts_2& account = read.row;
  if (account.m_Dormant) return qn::kResultDormant;
  if (account.m_Credits < 1) return qn::kResultNoCredits;
  if (strcasecmp(account.m_Password.c_str(), password.c_str()) != 0) {
    // The typed text may be another member's password or this one's with a
    // slip: it never goes into the audit trail.
    PostAudit("Logon", "Invalid Password Attempted (\"*****\")");
    return qn::kResultWrongPassword;
  }
  LogOnMember(userId, &read);
  return 0;
}

int CServiceLogon::CreateAccount() {
  std::string userId, password;
  if (const int refused = CheckCanLogOn(userId, password)) return refused;

  {
    CAccounts_2 existing(AccountDb());
    existing.m_strFilter = UserFilter(userId);
    try {
      existing.Open(CRecordset::snapshot, nullptr, CRecordset::readOnly);
    } catch (const CDBException&) {
      return qn::kResultBadParameters;
    }
    if (!existing.IsEOF()) return qn::kResultAccountExists;
  }
  try {
    AddAccountRows(userId, password);
  } catch (const std::exception&) {
    return qn::kResultServiceException;
  }
  LogOnMember(userId);
  return 0;
}

void CServiceLogon::AddAccountRows(const std::string& userId, const std::string& password) {
  CDatabase* db = AccountDb();
  bool added = false;
  try {
    CAccounts_2 account(db);
    account.m_strFilter = "AccountNumber = 0";
    account.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
    account.AddNew();
    account.m_UserID = userId;
    account.m_Password = password;
    try {
      CDefaults_2 defaults(db);
      defaults.Open(CRecordset::snapshot, nullptr, CRecordset::readOnly);
      if (!defaults.IsEOF()) {
        account.m_Credits = defaults.m_Credits;
        account.m_RatePerHour = defaults.m_Rate;
        account.m_MaxTimeOnline = defaults.m_MaxOnline;
        account.SetFieldDirty(&account.m_Credits);
        account.SetFieldDirty(&account.m_RatePerHour);
        account.SetFieldDirty(&account.m_MaxTimeOnline);
      }
    } catch (const CDBException&) {
      // Without defaults the account keeps the database's column defaults.
    }
    account.Update();
    added = true;
    account.Close();

    CKeyChains_2 chains(db);
    chains.m_strFilter = "KeyChains.IsDefault=" + SQLBoolLiteral(TRUE);
    try {
      chains.Open(CRecordset::snapshot, nullptr, CRecordset::readOnly);
    } catch (const CDBException&) {
      return;  // no default key chains for this member
    }
    CUserID2KeyChain_2 links(db);
    links.m_strFilter = "KeyChainID = 0";
    links.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
    for (; !chains.IsEOF(); chains.MoveNext()) {
      links.AddNew();
      links.m_KeyChainID = chains.m_KeyChainID;
      links.m_UserID = userId;
      links.SetFieldDirty(&links.m_KeyChainID);
      links.SetFieldDirty(&links.m_UserID);
      links.Update();
    }
  } catch (...) {
    // A half-made account would refuse its owner's next CreateAccount and
    // lack its key chains: take back what was added.
    if (added) {
      try {
        db->ExecuteSQL("DELETE FROM UserID2KeyChain WHERE " + UserFilter(userId));
      } catch (const std::exception&) {
      }
      try {
        db->ExecuteSQL("DELETE FROM Accounts WHERE " + UserFilter(userId));
      } catch (const std::exception&) {
      }
    }
    throw;
  }
}

void CServiceLogon::LogOnMember(const std::string& userId, CLogonRead* read) {
  CTransportBase* connection = GetRequest()->GetConnection();
  auto user = std::make_unique<CUser>();
  if (read != nullptr)
    user->Logon(*read, connection);
  else
    user->Logon(userId, connection);
  CUser* member = user.release();
  connection->SetUser(member);
  if (strcasecmp(GetItem().c_str(), "CreateAccount") == 0)
    member->WriteAuditTrail("Logon", "CreateAccount", "New User Account Created");
  member->WriteAuditTrail("Logon", "Logon", "User Logged On via " + connection->GetDescription());
  GetRequest()->EndRequest();
}
