// "MailLtr": a letter posted to members and Internet addresses, one
// recipient per pulse step. Each recipient's forwarding is followed; member
// mail is stored, Internet mail collected and handed to the gateway once
// every recipient has had its turn. Each recipient gets a row (its new
// MessageID, or -1 when refused) and costs the "Compose" key of "Mail".
#include <strings.h>

#include <exception>
#include <optional>

#include "common/pulse.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/result_set.h"
#include "server/core/user.h"
#include "server/mail/mail_texts.h"
#include "server/mail/service_email.h"
#include "server/mail/smtp_gateway.h"
#include "server/services/service_utility.h"

namespace {

constexpr const char* kMailApp = "Mail";
constexpr const char* kComposeKey = "Compose";

bool HasAttachment(const std::string& fileTitle) { return !fileTitle.empty() && fileTitle != "-"; }

// The member's alias, the sender address of its Internet mail; empty when it
// has none or the account cannot be read.
std::string AliasOf(CUser& user) {
  try {
    return user.GetInternetAlias();
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace

int CServiceEmail::MailLtr() {
  if (!GetUser()->CanUseKey(kMailApp, kComposeKey)) return qn::kResultMailKeyRefused;
  const int count = GetParamCount();
  if (count < 4) return qn::kResultBadParameters;
  GetParam(0, m_strSubject);
  GetParam(1, m_strNote);
  GetParam(2, m_strFileTitle);
  m_pendingRecipients.clear();
  for (int i = 3; i < count; ++i) {
    std::string recipient;
    GetParam(i, recipient);
    m_pendingRecipients.push_back(std::move(recipient));
  }
  m_internetRecipients.clear();
  m_forwardedFrom.clear();
  m_pSchema = std::make_unique<CColumnTypes>(2, count - 3);
  m_pSchema->AddColumn(kColumnLong, "MessageID");
  m_pSchema->AddColumn(kColumnString, "UserID");
  GetRequest()->SendData(m_pSchema->BuildPacket());
  StartPulse(kModeDeliver);
  return 0;
}

void CServiceEmail::SendLetterRow(int32_t messageId, const std::string& userId) {
  CResultRow row(*m_pSchema);
  row.AddValue(&messageId);
  row.AddValue(&userId);
  GetRequest()->SendMoreData(row.BuildPacket());
}

void CServiceEmail::DeliverStep() {
  if (!m_pendingRecipients.empty()) {
    const std::string recipient = std::move(m_pendingRecipients.front());
    m_pendingRecipients.pop_front();
    DeliverTo(recipient);
  }
  if (!m_pendingRecipients.empty()) return;
  StopPulse();
  RelayLetter();
  GetRequest()->EndRequest();
}

void CServiceEmail::DeliverTo(const std::string& recipient) {
  CUser& user = *GetUser();
  const std::string& me = user.GetUserID();
  const bool attachment = HasAttachment(m_strFileTitle);
  const std::string target = ResolveForwarding(recipient);
  if (!user.CanUseKey(kMailApp, kComposeKey) || target.empty()) {
    SendLetterRow(-1, recipient);
  } else if (qn::mail::IsInternetRecipient(target)) {
    CSmtpGateway* gateway = GetGateway();
    const bool member = recipient.find('@') == std::string::npos;
    // Without an alias the letter would leave from "<@domain>", and its
    // bounces could not come back: refused as without a gateway.
    if (gateway == nullptr || gateway->IsRunning() == 0 || AliasOf(user).empty()) {
      SendLetterRow(-1, recipient);
    } else {
      const RelayLoad demand = MeasureRelayTo(*gateway, user, target, member ? recipient : "");
      std::optional<int32_t> row;
      if (!gateway->PromiseRelay(demand)) {
        // The relay has as much waiting as it may hold: refused as without a
        // gateway, so the member knows this one did not go.
        row = -1;
      } else if (member && attachment) {
        // The attachment cannot travel: the letter waits for the forwarding
        // member, and the Internet copy says so.
        row = AddMessage(me, recipient, m_strSubject, m_strNote, m_strFileTitle);
        if (*row == -1) gateway->ReleaseRelay(demand);
      }
      if (row != -1) {
        m_internetRecipients.push_back(target);
        m_relayPromise.messages += demand.messages;
        m_relayPromise.bytes += demand.bytes;
        PostAudit("MailLtr", "Posted an Internet E-Mail Message to " + target);
        if (row) m_forwardedFrom[target] = recipient;
      }
      if (row) SendLetterRow(*row, row == -1 ? recipient : "");
    }
  } else {
    std::string note = m_strNote;
    if (strcasecmp(target.c_str(), recipient.c_str()) != 0)
      note = qn::mail::ForwardNotice(recipient) + note;
    const int32_t id = AddMessage(me, target, m_strSubject, note, m_strFileTitle);
    // Nothing stored: nothing told, posted or charged.
    if (id == -1) return;
    PostAudit("MailLtr", "Posted an E-Mail Message to " + recipient);
    // With an attachment the recipient hears of it once the file is there.
    if (!attachment) PostGlobalMsgToUserID(target, me + " has just sent you an Email message!", 0);
    SendLetterRow(id, "");
  }
  user.ChargeKey(kMailApp, kComposeKey);
}

RelayLoad CServiceEmail::MeasureRelayTo(CSmtpGateway& gateway, CUser& user,
                                        const std::string& target,
                                        const std::string& account) const {
  const std::string body = HasAttachment(m_strFileTitle)
                               ? qn::mail::AttachmentNotice(gateway.GetInternetDomain(), account) + m_strNote
                               : m_strNote;
  return CSmtpGateway::MeasureRelay(AliasOf(user), user.GetUserID(), {target}, m_strSubject, body);
}

void CServiceEmail::ReleaseRelayPromise() {
  if (CSmtpGateway* gateway = GetGateway()) gateway->ReleaseRelay(m_relayPromise);
  m_relayPromise = {};
}

void CServiceEmail::RelayLetter() {
  // What is queued now counts as the relay's backlog instead.
  ReleaseRelayPromise();
  CSmtpGateway* gateway = GetGateway();
  if (m_internetRecipients.empty() || gateway == nullptr) return;
  CUser& user = *GetUser();
  const std::string alias = AliasOf(user);
  if (!HasAttachment(m_strFileTitle)) {
    gateway->RelayToInternet(alias, user.GetUserID(), m_internetRecipients, m_strSubject, m_strNote);
    return;
  }
  const std::string domain = gateway->GetInternetDomain();
  for (const std::string& address : m_internetRecipients) {
    const auto from = m_forwardedFrom.find(address);
    const std::string account = from != m_forwardedFrom.end() ? from->second : std::string();
    gateway->RelayToInternet(alias, user.GetUserID(), {address}, m_strSubject,
                             qn::mail::AttachmentNotice(domain, account) + m_strNote);
  }
}
