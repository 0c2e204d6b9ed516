#include "server/mail/mail_gateway.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <exception>

#include "common/helpers.h"
#include "server/core/api_log.h"
#include "server/core/clock.h"
#include "server/core/user.h"
#include "server/data/database.h"
#include "server/data/schema_recordsets.h"
#include "server/mail/mail_texts.h"
#include "server/mail/service_email.h"
#include "server/services/service_utility.h"

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The driver's text, then its state and where it arose.
std::string DescribeDatabaseError(const CDBException& e) {
  std::string origin = e.what();
  const std::string tail = ": " + e.DriverText();
  if (origin.size() >= tail.size() && origin.compare(origin.size() - tail.size(), tail.size(), tail) == 0)
    origin.resize(origin.size() - tail.size());
  else
    origin.clear();
  return e.DriverText() + ", State:" + e.SqlState() + ",Native:" + std::to_string(e.NativeCode()) +
         ",Origin:" + origin;
}

}  // namespace

CMailGateway::CMailGateway(const SmtpGatewayConfig& config)
    : CSmtpGateway(true, "Quillnet SMTP Gateway", config) {}

std::string CMailGateway::FindMemberByAlias(const std::string& alias) {
  return FindAliasOwner(alias).member;
}

CMailGateway::AliasOwner CMailGateway::FindAliasOwner(const std::string& alias) {
  AliasOwner owner;
  const std::string name = Upper(alias);
  if (name.empty()) return owner;
  // A logged-on member's alias may have changed since the row was written.
  // Rows the timer's pass marked for reading again are read together.
  CUser::LoadAccounts(GetUserList());
  for (CUser* user : GetUserList()) {
    std::string own;
    try {
      own = user->GetInternetAlias();
    } catch (const std::exception&) {
      continue;
    }
    if (!own.empty() && strcasecmp(own.c_str(), name.c_str()) == 0) owner.member = user->GetUserID();
  }
  if (!owner.member.empty()) return owner;
  CAccounts_2 account(CServiceEmail::AccountDatabase());
  account.m_strFilter = "InternetAlias=" + SQLQuote(name);
  account.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  if (account.IsEOF()) return owner;
  owner.member = account.m_UserID;
  owner.homeRead = true;
  owner.home = account.m_HomeEmail;
  return owner;
}

bool CMailGateway::VerifyRecipient(const std::string& name) {
  WriteApiLog("# SMTP Incoming Verification of Recipient: " + name + "\r\n");
  try {
    AliasOwner owner = FindAliasOwner(name);
    if (owner.member.empty()) return false;
    m_carried.Put(Upper(name), Carried{std::move(owner), GetClock().Now()});
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

CMailGateway::AliasOwner CMailGateway::OwnerAtDelivery(const std::string& name) {
  const std::string key = Upper(name);
  if (const Carried* carried = m_carried.Find(key)) {
    const std::time_t age = GetClock().Now() - carried->at;
    if (age >= 0 && age <= kCarriedSeconds) return carried->owner;
  }
  return FindAliasOwner(name);
}

bool CMailGateway::DeliverMessage(const std::vector<std::string>& recipients,
                                  const std::string& sender, const std::string& subject,
                                  const std::string& body, std::string& errorText) {
  using namespace qn::mail;
  WriteApiLog("# SMTP Incoming Message from" + sender + "\r\n");
  const std::string senderId = InboundSenderId(sender);
  const size_t headerEnd = HeaderEnd(body);
  try {
    CMessageStore_2 store(CServiceEmail::MailDatabase());
    store.m_strFilter = "MessageID = 0";
    store.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
    for (const std::string& recipient : recipients) {
      const AliasOwner owner = OwnerAtDelivery(recipient);
      const std::string& member = owner.member;
      if (member.empty()) continue;
      // Where the row read for the alias ends the forwarding, nothing more
      // is read.
      std::string target = owner.homeRead ? CServiceEmail::ResolveForwarding(member, owner.home)
                                          : CServiceEmail::ResolveForwarding(member);
      if (target.empty()) continue;
      const std::string audit = "Received an Internet Email message from " + senderId;
      bool audited = false;
      bool relayed = false;
      if (IsInternetRecipient(target)) {
        std::string forwarded = body;
        forwarded.insert(headerEnd, ForwardNotice(member));
        relayed = RelayIfRoom(sender, sender, {target}, subject, forwarded);
        // While the relay takes no more (or the server stops), the message
        // stays with the member it was sent to rather than being lost.
        if (!relayed) target = member;
      }
      if (!relayed) {
        std::string note = Cut(body, kNoteChars);
        const size_t at = std::min(headerEnd, note.size());
        if (strcasecmp(target.c_str(), member.c_str()) != 0) note.insert(at, ForwardNotice(member));
        if (sender.size() > kInboundSenderChars) note.insert(at, SenderNotice(sender));
        store.AddNew();
        store.m_RecipID = target;
        store.m_Subject = Cut(subject, kSubjectChars);
        store.m_Note = note;
        store.m_SenderID = senderId;
        // FileTitle, Received and ReturnReceipt keep the store's defaults.
        store.SetFieldDirty(&store.m_RecipID);
        store.SetFieldDirty(&store.m_Subject);
        store.SetFieldDirty(&store.m_Note);
        store.SetFieldDirty(&store.m_SenderID);
        // The audit row rides with the message where the database allows.
        audited = CarryAuditTrail(store, target, "Email", "SMTPRecv", audit);
        store.Update();
      }
      PostGlobalMsgToUserID(target, sender + " has just sent you an Email message!", 0);
      if (!audited) AppendAuditTrail(target, "Email", "SMTPRecv", audit);
    }
  } catch (const CDBException& e) {
    errorText = "An error occured while trying to add the message to the Quillnet Email Database (" +
                DescribeDatabaseError(e) + ")";
    return false;
  } catch (const std::exception& e) {
    errorText = "An error occured while trying to add the message to the Quillnet Email Database (" +
                std::string(e.what()) + ")";
    return false;
  }
  return true;
}
