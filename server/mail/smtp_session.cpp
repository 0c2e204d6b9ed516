#include "server/mail/smtp_session.h"

#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <ctime>

#include "platform/main_loop.h"
#include "server/mail/smtp_gateway.h"
#include "server/mail/smtp_listener.h"
#include "server/mail/smtp_relay_text.h"

namespace {

// One receive buffer for every SMTP connection: a connection keeps only
// what its dialogue holds.
char g_readBuffer[16 * 1024];
// Bytes taken from one connection before the others get their turn.
constexpr size_t kReadBudget = 64 * 1024;

std::string PeerAddress(const asio::ip::tcp::socket& socket) {
  asio::error_code ec;
  const auto peer = socket.remote_endpoint(ec);
  if (ec) return "0.0.0.0";
  const auto address = peer.address();
  return address.is_v4() ? address.to_v4().to_string() : address.to_string();
}

}  // namespace

CSmtpSession::CSmtpSession(CSmtpListener& listener, uint32_t id, asio::ip::tcp::socket socket)
    : m_listener(listener),
      m_nId(id),
      m_socket(std::move(socket)),
      m_token(std::make_shared<CSmtpSession*>(this)),
      m_lastActivity(std::chrono::steady_clock::now()),
      m_bConnected(true) {
  m_pInbound = std::make_unique<qn::smtp::Dialogue>(listener, PeerAddress(m_socket));
  asio::error_code ec;
  m_socket.non_blocking(true, ec);
}

CSmtpSession::CSmtpSession(CSmtpListener& listener, uint32_t id, CSmtpEnvelope envelope,
                           const std::string& hostName, const std::string& primaryDomain)
    : m_listener(listener),
      m_nId(id),
      m_socket(qn::MainLoop()),
      m_token(std::make_shared<CSmtpSession*>(this)),
      m_lastActivity(std::chrono::steady_clock::now()) {
  m_pRelay = std::make_unique<qn::smtp::RelayDialogue>(std::move(envelope), hostName, primaryDomain);
}

CSmtpSession::~CSmtpSession() {
  *m_token = nullptr;
  asio::error_code ec;
  m_socket.close(ec);
}

std::string& CSmtpSession::Output() { return m_pInbound ? m_pInbound->Output() : m_pRelay->Output(); }

size_t CSmtpSession::GetPendingOutput() const {
  return m_pInbound ? m_pInbound->Output().size() : m_pRelay->Output().size();
}

void CSmtpSession::Start() {
  m_pInbound->Greet(std::time(nullptr));
  Flush();
  WaitForRead();
}

void CSmtpSession::Start(const asio::ip::tcp::endpoint& relay) {
  m_socket.async_connect(relay, [token = m_token](const asio::error_code& ec) {
    CSmtpSession* self = *token;
    if (self == nullptr) return;
    if (ec) {
      self->RequestClose();
      return;
    }
    asio::error_code ignored;
    self->m_socket.non_blocking(true, ignored);
    self->m_socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    self->m_bConnected = true;
    self->m_lastActivity = std::chrono::steady_clock::now();
    self->WaitForRead();
  });
}

void CSmtpSession::WaitForRead() {
  m_socket.async_wait(asio::socket_base::wait_read, [token = m_token](const asio::error_code& ec) {
    if (*token == nullptr || ec) return;
    (*token)->OnReadable();
  });
}

void CSmtpSession::PostRead() {
  // Readiness is edge-triggered: a read that stopped before the socket was
  // empty goes on from the loop.
  asio::post(qn::MainLoop(), [token = m_token] {
    if (*token != nullptr) (*token)->OnReadable();
  });
}

void CSmtpSession::OnReadable() {
  if (m_bCloseRequested || m_bCloseAfterFlush) return;
  if (!m_pending.empty()) {
    std::string held;
    held.swap(m_pending);
    const bool more = Consume(held.data(), held.size());
    Flush();
    if (!more) return;
  }
  size_t taken = 0;
  while (taken < kReadBudget) {
    asio::error_code ec;
    const size_t n = m_socket.read_some(asio::buffer(g_readBuffer), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
      WaitForRead();
      Flush();
      return;
    }
    if (ec == asio::error::interrupted) continue;
    if (ec) {
      // The peer closed or the connection failed: nothing more can come.
      Flush();
      RequestClose();
      return;
    }
    taken += n;
    m_lastActivity = std::chrono::steady_clock::now();
    const bool more = Consume(g_readBuffer, n);
    if (!more) {
      Flush();
      return;
    }
  }
  Flush();
  PostRead();
}

bool CSmtpSession::Consume(const char* data, size_t size) {
  if (m_pRelay) {
    m_pRelay->Feed(data, size);
    AfterRelayInput();
    return !m_bCloseRequested;
  }
  const size_t used = m_pInbound->Feed(data, size);
  if (m_pInbound->IsQuit()) {
    // What follows QUIT is never read.
    m_bCloseAfterFlush = true;
    return false;
  }
  if (used < size) {
    // The replies wait for the peer to read them; so does the rest.
    m_pending.assign(data + used, size - used);
    m_bReadPaused = true;
    return false;
  }
  return true;
}

void CSmtpSession::AfterRelayInput() {
  if (std::optional<std::string> bounce = m_pRelay->TakeBounce())
    ReturnToSender(m_pRelay->GetEnvelope(), *bounce);
  if (m_pRelay->WantsClose()) RequestClose();
}

void CSmtpSession::Flush() {
  if (!m_bConnected || m_bWriteWaiting) return;
  std::string& out = Output();
  while (!out.empty()) {
    asio::error_code ec;
    const size_t sent = m_socket.write_some(asio::buffer(out), ec);
    if (ec == asio::error::interrupted) continue;
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
      m_bWriteWaiting = true;
      m_socket.async_wait(asio::socket_base::wait_write, [token = m_token](const asio::error_code& e) {
        CSmtpSession* self = *token;
        if (self == nullptr) return;
        self->m_bWriteWaiting = false;
        if (e) return;
        self->Flush();
      });
      return;
    }
    if (ec) {
      out.clear();
      RequestClose();
      return;
    }
    out.erase(0, sent);
  }
  if (m_bCloseAfterFlush) {
    Finish();
    return;
  }
  if (m_bReadPaused && out.size() < qn::smtp::Dialogue::kOutputPause) {
    m_bReadPaused = false;
    PostRead();
  }
}

void CSmtpSession::Finish() {
  // The last reply is out; unread input is drained first, so the close is
  // not a reset that could take the reply with it.
  asio::error_code ec;
  m_socket.shutdown(asio::socket_base::shutdown_send, ec);
  for (int i = 0; i < 16; ++i) {
    m_socket.read_some(asio::buffer(g_readBuffer), ec);
    if (ec) break;
  }
  RequestClose();
}

void CSmtpSession::RequestClose() {
  if (m_bCloseRequested) return;
  m_bCloseRequested = true;
  const uint32_t id = m_nId;
  CSmtpListener* listener = &m_listener;
  asio::post(qn::MainLoop(), [token = m_token, listener, id] {
    if (*token != nullptr) listener->CloseSession(id);
  });
}

void CSmtpSession::OnClosing() {
  if (!m_pRelay) return;
  m_pRelay->OnClosed();
  if (std::optional<std::string> bounce = m_pRelay->TakeBounce())
    ReturnToSender(m_pRelay->GetEnvelope(), *bounce);
}

void CSmtpSession::GiveUp(const std::string& line) {
  if (!m_pRelay) return;
  m_pRelay->GiveUp(line);
  if (std::optional<std::string> bounce = m_pRelay->TakeBounce())
    ReturnToSender(m_pRelay->GetEnvelope(), *bounce);
}

void CSmtpSession::ReturnToSender(const CSmtpEnvelope& envelope, const std::string& body) {
  std::string error;
  SmtpDeliverMessage({envelope.senderAddress}, GetSmtpGatewayName(), qn::smtp::kBounceSubject, body,
                     error);
}
