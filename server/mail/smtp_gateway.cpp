#include "server/mail/smtp_gateway.h"

#include <algorithm>
#include <cstdio>

#include "server/mail/smtp_relay_text.h"

namespace {

CSmtpGateway* g_pRegistered = nullptr;
SmtpListenerFactory g_listenerFactory = nullptr;
char g_gatewayName[50] = "";

// Until the SMTP server and relay client are installed: set up, never
// listening, and the relay's address never known, so outgoing messages are
// dropped as the relay client drops them in that state.
class CSmtpListenerStandIn : public CSmtpListenerBase {
 public:
  explicit CSmtpListenerStandIn(const SmtpGatewayConfig& config)
      : m_strPrimaryDomain(config.primaryDomain) {}
  unsigned GetStatus() const override { return kSetUp; }
  bool Listen(bool) override { return false; }
  std::string GetPrimaryDomain() const override { return m_strPrimaryDomain; }
  void QueueRelayMessage(const std::string&, const std::string&, const std::string&,
                         const std::string&, const std::string&) override {}

 private:
  std::string m_strPrimaryDomain;
};

// One pass of the split: entries are cut at their first `separator` until
// none is left in them.
void SplitAt(std::vector<std::string>& entries, char separator) {
  for (size_t i = 0; i < entries.size(); ++i) {
    for (;;) {
      const size_t at = entries[i].find(separator);
      if (at == std::string::npos) break;
      std::string before = entries[i].substr(0, at);
      entries[i].erase(0, at + 1);
      entries.push_back(std::move(before));
    }
  }
}

}  // namespace

SmtpListenerFactory SetSmtpListenerFactory(SmtpListenerFactory factory) {
  const SmtpListenerFactory previous = g_listenerFactory;
  g_listenerFactory = factory;
  return previous;
}

CSmtpGateway::CSmtpGateway(bool start, const std::string& name, const SmtpGatewayConfig& config)
    : m_config(config) {
  const std::string& shown = name.empty() ? std::string("SMTP Gateway") : name;
  std::snprintf(g_gatewayName, sizeof g_gatewayName, "%s", shown.c_str());
  g_pRegistered = this;
  if (m_config.relayAddress.empty()) return;
  m_pListener = g_listenerFactory != nullptr ? g_listenerFactory(m_config)
                                             : std::make_unique<CSmtpListenerStandIn>(m_config);
  if (m_pListener == nullptr || (m_pListener->GetStatus() & CSmtpListenerBase::kSetUp) == 0) {
    m_pListener.reset();
    return;
  }
  m_bRunning = true;
  // A port that cannot be opened leaves relaying in place.
  if (start) m_pListener->Listen(true);
}

CSmtpGateway::~CSmtpGateway() {
  m_pListener.reset();
  if (g_pRegistered == this) g_pRegistered = nullptr;
}

bool CSmtpGateway::VerifyRecipient(const std::string&) { return false; }

bool CSmtpGateway::DeliverMessage(const std::vector<std::string>&, const std::string&,
                                  const std::string&, const std::string&, std::string&) {
  return false;
}

std::string CSmtpGateway::GetInternetDomain() const {
  return m_pListener != nullptr ? m_pListener->GetPrimaryDomain() : std::string();
}

unsigned CSmtpGateway::IsRunning() const {
  return m_pListener != nullptr ? m_pListener->GetStatus() : 0;
}

bool CSmtpGateway::RelayToInternet(const std::string& senderAddress, const std::string& senderName,
                                   const std::vector<std::string>& recipients,
                                   const std::string& subject, const std::string& body) {
  if (!m_bRunning || m_pListener == nullptr) return false;
  for (const std::string& address : SplitRelayRecipients(recipients)) {
    if (IsInternetAddress(address))
      m_pListener->QueueRelayMessage(senderAddress, senderName, address, subject, body);
  }
  return true;
}

RelayLoad CSmtpGateway::MeasureRelay(const std::string& senderAddress, const std::string& senderName,
                                     const std::vector<std::string>& recipients,
                                     const std::string& subject, const std::string& body) {
  RelayLoad load;
  for (const std::string& address : SplitRelayRecipients(recipients)) {
    if (!IsInternetAddress(address)) continue;
    ++load.messages;
    load.bytes += RelayMessageBytes(senderAddress, senderName, address, subject, body);
  }
  return load;
}

bool CSmtpGateway::PromiseRelay(const RelayLoad& demand) {
  if (!m_bRunning || m_pListener == nullptr || m_bStopping) return false;
  const RelayLoad held = m_pListener->GetRelayBacklog();
  if (held.messages + m_promised.messages + demand.messages > kMaxRelayMessages ||
      held.bytes + m_promised.bytes + demand.bytes > kMaxRelayBytes)
    return false;
  m_promised.messages += demand.messages;
  m_promised.bytes += demand.bytes;
  return true;
}

void CSmtpGateway::ReleaseRelay(const RelayLoad& demand) {
  m_promised.messages -= std::min(m_promised.messages, demand.messages);
  m_promised.bytes -= std::min(m_promised.bytes, demand.bytes);
}

bool CSmtpGateway::RelayIfRoom(const std::string& senderAddress, const std::string& senderName,
                               const std::vector<std::string>& recipients,
                               const std::string& subject, const std::string& body) {
  const RelayLoad demand = MeasureRelay(senderAddress, senderName, recipients, subject, body);
  if (!PromiseRelay(demand)) return false;
  // Released first: what is queued now counts as backlog instead.
  ReleaseRelay(demand);
  return RelayToInternet(senderAddress, senderName, recipients, subject, body);
}

void CSmtpGateway::ReturnUnrelayed() {
  m_bStopping = true;
  if (m_pListener != nullptr) m_pListener->ReturnUnrelayed(qn::smtp::kServerStoppedLine);
}

size_t RelayMessageBytes(const std::string& senderAddress, const std::string& senderName,
                         const std::string& recipient, const std::string& subject,
                         const std::string& body) {
  // The message's record and its envelope, composed text and dialogue
  // beside the texts themselves.
  constexpr size_t kHolding = 256;
  return senderAddress.size() + senderName.size() + recipient.size() + subject.size() +
         body.size() + kHolding;
}

bool SmtpVerifyRecipient(const std::string& name) {
  return g_pRegistered != nullptr && g_pRegistered->VerifyRecipient(name);
}

bool SmtpDeliverMessage(const std::vector<std::string>& recipients, const std::string& sender,
                        const std::string& subject, const std::string& body, std::string& errorText) {
  if (g_pRegistered == nullptr) return true;
  return g_pRegistered->DeliverMessage(recipients, sender, subject, body, errorText);
}

std::string GetSmtpGatewayName() {
  return g_gatewayName[0] != '\0' ? std::string(g_gatewayName) : std::string("SMTP Gateway");
}

bool IsInternetAddress(const std::string& text) {
  if (text.empty() || text.front() == '@' || text.back() == '@') return false;
  if (text.find('@') == std::string::npos) return false;
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F || c == '<' || c == '>') return false;
  return true;
}

std::vector<std::string> SplitRelayRecipients(std::vector<std::string> entries) {
  SplitAt(entries, ',');
  SplitAt(entries, ';');
  return entries;
}
