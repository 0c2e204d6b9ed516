#include "server/mail/smtp_listener.h"

#include <unistd.h>

#include <asio/post.hpp>
#include <algorithm>
#include <cstdio>

#include "common/event_log_source.h"
#include "common/registry.h"
#include "platform/main_loop.h"
#include "server/mail/smtp_relay_text.h"
#include "server/mail/smtp_session.h"

namespace {

constexpr std::chrono::seconds kSweepInterval{15};

std::unique_ptr<CSmtpListenerBase> MakeSmtpListener(const SmtpGatewayConfig& config) {
  return std::make_unique<CSmtpListener>(config);
}

// Every gateway of the server gets this SMTP side.
[[maybe_unused]] const bool g_installed = (SetSmtpListenerFactory(&MakeSmtpListener), true);

}  // namespace

CSmtpListener::CSmtpListener(const SmtpGatewayConfig& config)
    : m_domains(config.primaryDomain, config.additionalDomains),
      m_strRelayName(config.relayAddress),
      m_resolver(qn::MainLoop()),
      m_sweep(qn::MainLoop()),
      m_token(std::make_shared<CSmtpListener*>(this)) {
  if (m_strRelayName.empty()) return;
  CQuillnetRegistry registry;
  m_nPort = static_cast<uint16_t>(registry.ReadDWORD("SMTP", "Port", kDefaultPort));
  m_nRelayPort = static_cast<uint16_t>(registry.ReadDWORD("SMTP", "MailRelayPort", kDefaultPort));
  m_nMaxRelayConnections = config.maxConnections >= 1 ? static_cast<size_t>(config.maxConnections)
                                                       : kDefaultRelayConnections;
  // Only a dotted address is taken as it stands; any other name, one that
  // begins with a digit too, is looked up.
  asio::error_code ec;
  const auto address = asio::ip::make_address_v4(m_strRelayName, ec);
  if (!ec) {
    m_relay = asio::ip::tcp::endpoint(address, m_nRelayPort);
    m_nStatus |= kRelayKnown;
  }
  LookUpHostName();
  ArmSweep();
  m_nStatus |= kSetUp;
}

CSmtpListener::~CSmtpListener() {
  *m_token = nullptr;
  Listen(false);
  m_sweep.cancel();
  m_resolver.cancel();
  m_byId.clear();
  // What was still on its way went back to its senders before the gateway
  // went (ReturnUnrelayed); the mail hooks are gone by now.
  m_sessions.clear();
}

void CSmtpListener::LookUpHostName() {
  char name[129] = "";
  if (gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
  m_domains.SetHostName(name);
  if (name[0] == '\0') return;
  m_resolver.async_resolve(
      name, "", asio::ip::tcp::resolver::canonical_name,
      [token = m_token](const asio::error_code& ec, asio::ip::tcp::resolver::results_type results) {
        CSmtpListener* self = *token;
        if (self == nullptr || ec || results.empty()) return;
        const std::string official = results.begin()->host_name();
        if (official.empty()) return;
        self->m_domains.SetHostName(official);
        if (self->m_domains.Primary().empty()) self->m_domains.SetPrimary(official);
        self->m_nStatus |= kHostLookedUp;
      });
}

void CSmtpListener::LookUpRelay() {
  if (m_bRelayLookup || (m_nStatus & kRelayKnown) != 0) return;
  m_bRelayLookup = true;
  m_resolver.async_resolve(
      asio::ip::tcp::v4(), m_strRelayName, std::to_string(m_nRelayPort),
      [token = m_token](const asio::error_code& ec, asio::ip::tcp::resolver::results_type results) {
        CSmtpListener* self = *token;
        if (self == nullptr) return;
        self->m_bRelayLookup = false;
        if (ec || results.empty()) {
          // Nobody can say when the name will resolve: the waiting letters go
          // back to their senders, and the next message asks again.
          self->BounceWaiting(qn::smtp::kRelayClosedLine);
          return;
        }
        self->m_relay = results.begin()->endpoint();
        self->m_nStatus |= kRelayKnown;
        self->PumpRelay();
      });
}

bool CSmtpListener::Listen(bool on) {
  if (!on) {
    if (m_pAcceptor) {
      asio::error_code ec;
      m_pAcceptor->close(ec);
      m_pAcceptor.reset();
    }
    m_bAcceptPending = false;
    m_nStatus &= ~kListening;
    return true;
  }
  if (m_pAcceptor) return true;
  auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(qn::MainLoop());
  const asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v4(), m_nPort);
  asio::error_code ec;
  acceptor->open(endpoint.protocol(), ec);
  if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor->bind(endpoint, ec);
  if (!ec) acceptor->listen(100, ec);
  if (ec) {
    // Relaying goes on without the port; the operator hears why.
    m_strListenFailure = "The SMTP gateway cannot listen on TCP port " + std::to_string(m_nPort) +
                         ": " + ec.message() + ".";
    std::fprintf(stderr, "%s\n", m_strListenFailure.c_str());
    ReportEventError(m_strListenFailure);
    return false;
  }
  m_strListenFailure.clear();
  acceptor->non_blocking(true, ec);
  m_pAcceptor = std::move(acceptor);
  m_nStatus |= kListening;
  AcceptNext();
  return true;
}

uint16_t CSmtpListener::GetListeningPort() const {
  if (!m_pAcceptor) return 0;
  asio::error_code ec;
  const auto endpoint = m_pAcceptor->local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

void CSmtpListener::AcceptNext() {
  if (!m_pAcceptor || m_bAcceptPending) return;
  m_bAcceptPending = true;
  m_pAcceptor->async_accept([token = m_token](const asio::error_code& ec, asio::ip::tcp::socket socket) {
    CSmtpListener* self = *token;
    if (self == nullptr) return;
    self->m_bAcceptPending = false;
    if (!self->m_pAcceptor) return;
    // Out of descriptors: the sweep tries again rather than spinning here.
    if (ec) return;
    self->OpenSession(std::move(socket));
    // Connections that queued meanwhile are taken now rather than one per
    // turn of the loop.
    for (int i = 0; i < 64 && self->m_pAcceptor; ++i) {
      asio::error_code more;
      asio::ip::tcp::socket next = self->m_pAcceptor->accept(more);
      if (more) break;
      self->OpenSession(std::move(next));
    }
    self->AcceptNext();
  });
}

void CSmtpListener::ArmSweep() {
  m_sweep.expires_after(kSweepInterval);
  m_sweep.async_wait([token = m_token](const asio::error_code& ec) {
    CSmtpListener* self = *token;
    if (self == nullptr || ec) return;
    self->CloseIdleSessions(std::chrono::steady_clock::now());
    // An accept that failed for want of descriptors starts again here.
    if (self->m_pAcceptor) self->AcceptNext();
    self->ArmSweep();
  });
}

uint32_t CSmtpListener::AddSession(std::unique_ptr<CSmtpSession> session) {
  const uint32_t id = session->GetId();
  m_sessions.push_back(std::move(session));
  m_byId[id] = std::prev(m_sessions.end());
  return id;
}

uint32_t CSmtpListener::OpenSession(asio::ip::tcp::socket socket) {
  const uint32_t id = AddSession(std::make_unique<CSmtpSession>(*this, m_nNextId++, std::move(socket)));
  FindSession(id)->Start();
  return id;
}

uint32_t CSmtpListener::OpenSession(CSmtpEnvelope envelope) {
  const uint32_t id = AddSession(std::make_unique<CSmtpSession>(
      *this, m_nNextId++, std::move(envelope), m_domains.HostName(), m_domains.Primary()));
  ++m_nRelayConnections;
  FindSession(id)->Start(m_relay);
  return id;
}

CSmtpSession* CSmtpListener::FindSession(uint32_t id) {
  const auto it = m_byId.find(id);
  return it == m_byId.end() ? nullptr : it->second->get();
}

void CSmtpListener::CloseSession(uint32_t id) {
  const auto it = m_byId.find(id);
  if (it == m_byId.end()) return;
  const auto listed = it->second;
  m_byId.erase(it);
  std::unique_ptr<CSmtpSession> session = std::move(*listed);
  m_sessions.erase(listed);
  const bool outbound = !session->IsInbound();
  // The bounce may queue further mail (a sender who forwards to the
  // Internet); the connection is unlisted by then.
  session->OnClosing();
  session.reset();
  if (outbound) {
    --m_nRelayConnections;
    const auto share = m_relayBytes.find(id);
    if (share != m_relayBytes.end()) {
      m_backlog.messages -= std::min<size_t>(m_backlog.messages, 1);
      m_backlog.bytes -= std::min(m_backlog.bytes, share->second);
      m_relayBytes.erase(share);
    }
    PostPump();
  }
}

void CSmtpListener::CloseIdleSessions(std::chrono::steady_clock::time_point now) {
  std::vector<uint32_t> idle;
  for (const auto& session : m_sessions)
    if (now - session->GetLastActivity() >= kSilenceLimit) idle.push_back(session->GetId());
  for (uint32_t id : idle) CloseSession(id);
}

void CSmtpListener::QueueRelayMessage(const std::string& senderAddress, const std::string& senderName,
                                      const std::string& recipient, const std::string& subject,
                                      const std::string& body) {
  SendRelayMessage(senderAddress, senderName, {recipient}, subject, body);
}

void CSmtpListener::SendRelayMessage(const std::string& senderAddress, const std::string& senderName,
                                     const std::vector<std::string>& recipients,
                                     const std::string& subject, const std::string& body) {
  size_t bytes = RelayMessageBytes(senderAddress, senderName, "", subject, body);
  for (const std::string& recipient : recipients) bytes += recipient.size();
  m_waiting.push_back({senderAddress, senderName, recipients, subject, body, std::time(nullptr), bytes});
  ++m_backlog.messages;
  m_backlog.bytes += bytes;
  PumpRelay();
}

CSmtpEnvelope CSmtpListener::Compose(const Waiting& message) const {
  CSmtpEnvelope envelope;
  envelope.senderAddress = message.senderAddress;
  envelope.senderHasDomain = message.senderAddress.find('@') != std::string::npos;
  envelope.recipients = message.recipients;
  envelope.subject = message.subject;
  envelope.text = qn::smtp::ComposeRelayText(message.senderAddress, message.senderName,
                                             message.recipients, message.subject, message.body,
                                             m_domains.Primary(), message.posted);
  return envelope;
}

void CSmtpListener::PumpRelay() {
  if (m_waiting.empty()) return;
  if ((m_nStatus & kRelayKnown) == 0) {
    LookUpRelay();
    return;
  }
  while (!m_waiting.empty() && m_nRelayConnections < m_nMaxRelayConnections) {
    Waiting message = std::move(m_waiting.front());
    m_waiting.pop_front();
    m_relayBytes[OpenSession(Compose(message))] = message.bytes;
  }
}

void CSmtpListener::PostPump() {
  if (m_bPumpPosted || m_waiting.empty()) return;
  m_bPumpPosted = true;
  asio::post(qn::MainLoop(), [token = m_token] {
    CSmtpListener* self = *token;
    if (self == nullptr) return;
    self->m_bPumpPosted = false;
    self->PumpRelay();
  });
}

void CSmtpListener::BounceWaiting(const std::string& line) {
  std::deque<Waiting> failed;
  failed.swap(m_waiting);
  for (const Waiting& message : failed) {
    m_backlog.messages -= std::min<size_t>(m_backlog.messages, 1);
    m_backlog.bytes -= std::min(m_backlog.bytes, message.bytes);
  }
  for (const Waiting& message : failed) {
    const CSmtpEnvelope envelope = Compose(message);
    CSmtpSession::ReturnToSender(envelope, qn::smtp::BounceFailedText(line, envelope.text));
  }
}

void CSmtpListener::ReturnUnrelayed(const std::string& line) {
  BounceWaiting(line);
  std::vector<uint32_t> outbound;
  for (const auto& session : m_sessions)
    if (!session->IsInbound()) outbound.push_back(session->GetId());
  for (uint32_t id : outbound)
    if (CSmtpSession* session = FindSession(id)) session->GiveUp(line);
}

bool CSmtpListener::VerifyRecipient(const std::string& name) { return SmtpVerifyRecipient(name); }

bool CSmtpListener::DeliverMessage(const std::vector<std::string>& recipients,
                                   const std::string& sender, const std::string& subject,
                                   const std::string& text) {
  std::string error;
  return SmtpDeliverMessage(recipients, sender, subject, text, error);
}
