// The mail module: its start and stop with the gateway, and the two helpers
// the service and the gateway's inbound delivery share, storing a message
// and following a member's forwarding.
#include <strings.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "common/helpers.h"
#include "common/module_registration.h"
#include "common/registry.h"
#include "server/data/connection_pool.h"
#include "server/data/schema_recordsets.h"
#include "server/mail/attachment_copy.h"
#include "server/mail/mail_gateway.h"
#include "server/mail/mail_texts.h"
#include "server/mail/service_email.h"
#include "server/services/service_account.h"

namespace {

std::string g_mailConnect = "DSN=Quillnet Server;DBQ=QNMAIL.MDB";
std::string g_accountConnect = "DSN=Quillnet Server;DBQ=QNACCOUN.MDB";
CSmtpGateway* g_pGateway = nullptr;

const CModuleRegistration g_mailModule(&CServiceEmail::InitModule, &CServiceEmail::TermModule);

bool GatewayExists() { return g_pGateway != nullptr; }

}  // namespace

void CServiceEmail::InitModule() {
  g_mailConnect = "DSN=Quillnet Server;DBQ=QNMAIL.MDB";
  g_accountConnect = "DSN=Quillnet Server;DBQ=QNACCOUN.MDB";
  SetSmtpGatewayProbe(&GatewayExists);
  TermModule();
  CQuillnetRegistry registry;
  SmtpGatewayConfig config;
  config.relayAddress = registry.ReadString("SMTP", "MailRelayAddress", "");
  if (config.relayAddress.empty()) return;
  config.primaryDomain = registry.ReadString("SMTP", "PrimaryDomainName", "");
  config.additionalDomains = registry.ReadString("SMTP", "AdditionalDomainNames", "");
  config.maxConnections = static_cast<int32_t>(registry.ReadDWORD("SMTP", "MaxConnections", 10));
  auto gateway = std::make_unique<CMailGateway>(config);
  // An SMTP side that could not be set up leaves no gateway at all.
  if ((gateway->IsRunning() & CSmtpListenerBase::kSetUp) == 0) return;
  g_pGateway = gateway.release();
}

void CServiceEmail::TermModule() {
  // Copies still under way are made before the server goes.
  CAttachmentCopies::FinishAllDetached();
  // Letters the relay has not taken go back to their senders while the mail
  // store is still there (the server closes the connection pool after every
  // module's stop).
  if (g_pGateway != nullptr) g_pGateway->ReturnUnrelayed();
  delete g_pGateway;
  g_pGateway = nullptr;
}

CSmtpGateway* CServiceEmail::GetGateway() { return g_pGateway; }

CDatabase* CServiceEmail::MailDatabase() { return GetDatabase(g_mailConnect, false); }
CDatabase* CServiceEmail::AccountDatabase() { return GetDatabase(g_accountConnect, false); }

std::string CServiceEmail::AttachmentPath(int32_t messageId) {
  char name[24];
  std::snprintf(name, sizeof name, "%08ld.ATT", static_cast<long>(messageId));
  return GetProgramDirectory() + "QNMAIL/" + name;
}

int32_t CServiceEmail::AddMessage(const std::string& sender, const std::string& recipient,
                                  const std::string& subject, const std::string& note,
                                  const std::string& fileTitle) {
  const bool receipt = subject.size() >= 3 && strncasecmp(subject.c_str(), "RR:", 3) == 0;
  try {
    // Texts longer than their columns are cut by the recordset, the same in
    // both storage modes.
    CMessageStore_2 store(MailDatabase());
    store.m_strFilter = "MessageID = 0";
    store.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
    store.WantInsertedKey();
    store.AddNew();
    store.m_RecipID = recipient;
    store.m_Subject = receipt ? subject.substr(3) : subject;
    store.m_Note = note;
    store.m_SenderID = sender;
    store.m_FileTitle = fileTitle.empty() ? "-" : fileTitle;
    store.m_Received = FALSE;
    store.m_ReturnReceipt = receipt ? TRUE : FALSE;
    for (const void* field : {static_cast<const void*>(&store.m_RecipID),
                              static_cast<const void*>(&store.m_Subject),
                              static_cast<const void*>(&store.m_Note),
                              static_cast<const void*>(&store.m_SenderID),
                              static_cast<const void*>(&store.m_FileTitle),
                              static_cast<const void*>(&store.m_Received),
                              static_cast<const void*>(&store.m_ReturnReceipt)})
      store.SetFieldDirty(field);
    store.Update();
    const int32_t id = store.GetInsertedKey();
    store.Close();
    return id > 0 ? id : -1;
  } catch (const std::exception&) {
    return -1;
  }
}

namespace {

// The forwarding walk; `firstHome`, when given, is the HomeEmail of `id`'s
// row, read by the caller.
std::string WalkForwarding(const std::string& id, const std::string* firstHome) {
  std::string current = id;
  std::string lastFound;
  std::vector<std::string> visited{id};
  try {
    while (!qn::mail::IsInternetRecipient(current)) {
      std::string home;
      if (firstHome != nullptr) {
        home = *std::exchange(firstHome, nullptr);
      } else {
        CAccounts_2 account(CServiceEmail::AccountDatabase());
        account.m_strFilter = "UserID = " + SQLQuote(current);
        account.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
        if (account.IsEOF()) return lastFound;
        home = account.m_HomeEmail;
      }
      if (home.empty()) return current;
      for (const std::string& seen : visited)
        if (strcasecmp(seen.c_str(), home.c_str()) == 0) return id;  // a loop
      visited.push_back(current);
      lastFound = current;
      current = home;
    }
  } catch (const std::exception&) {
    return lastFound;
  }
  return current;
}

}  // namespace

std::string CServiceEmail::ResolveForwarding(const std::string& id) { return WalkForwarding(id, nullptr); }

std::string CServiceEmail::ResolveForwarding(const std::string& id, const std::string& home) {
  return WalkForwarding(id, &home);
}
