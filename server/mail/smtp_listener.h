// The SMTP server and relay client on the main loop: the IPv4 listener on
// the SMTP port ("Port" under "SMTP", else 25) with its inbound connections,
// and the outgoing messages to the relay ("MailRelayAddress", port
// "MailRelayPort" under "SMTP", else 25), each on a connection of its own.
// Installed as the gateway's SMTP side (SetSmtpListenerFactory).
//
// Outgoing messages wait in memory, in order, while the relay's address is
// not known or "MaxConnections" relay connections are open (-1 means 30); a
// relay that cannot be looked up or reached bounces them. Connections silent
// for five minutes are closed (an outbound one bounces its message). What
// waits is counted (GetRelayBacklog) for the gateway's bound, and what the
// relay has not taken at the server's stop goes back to its senders.
#pragma once
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/mail/smtp_dialogue.h"
#include "server/mail/smtp_domains.h"
#include "server/mail/smtp_gateway.h"
#include "server/mail/smtp_relay_dialogue.h"

class CSmtpSession;

class CSmtpListener : public CSmtpListenerBase, public qn::smtp::DialogueHost {
 public:
  static constexpr uint16_t kDefaultPort = 25;
  static constexpr std::chrono::seconds kSilenceLimit{300};
  static constexpr int kDefaultRelayConnections = 30;

  explicit CSmtpListener(const SmtpGatewayConfig& config);
  ~CSmtpListener() override;
  CSmtpListener(const CSmtpListener&) = delete;
  CSmtpListener& operator=(const CSmtpListener&) = delete;

  unsigned GetStatus() const override { return m_nStatus; }
  bool Listen(bool on) override;
  std::string GetPrimaryDomain() const override { return m_domains.Primary(); }
  void QueueRelayMessage(const std::string& senderAddress, const std::string& senderName,
                         const std::string& recipient, const std::string& subject,
                         const std::string& body) override;
  RelayLoad GetRelayBacklog() const override { return m_backlog; }
  void ReturnUnrelayed(const std::string& line) override;
  // One message to the recipients through one relay connection.
  void SendRelayMessage(const std::string& senderAddress, const std::string& senderName,
                        const std::vector<std::string>& recipients, const std::string& subject,
                        const std::string& body);

  // Lists an accepted connection and greets it; its number.
  uint32_t OpenSession(asio::ip::tcp::socket socket);
  // Lists an outgoing connection for the message and connects it.
  uint32_t OpenSession(CSmtpEnvelope envelope);
  // Unlinks and deletes the connection (an outbound one whose dialogue is
  // not done bounces first). Not from inside the connection's own handler.
  void CloseSession(uint32_t id);
  CSmtpSession* FindSession(uint32_t id);
  // Closes the connections silent for kSilenceLimit at `now` (the sweep's
  // work, reachable for tests).
  void CloseIdleSessions(std::chrono::steady_clock::time_point now);

  // The port the listener is bound to; 0 when it does not listen.
  uint16_t GetListeningPort() const;
  size_t GetSessionCount() const { return m_sessions.size(); }
  size_t GetRelayConnectionCount() const { return m_nRelayConnections; }
  size_t GetWaitingCount() const { return m_waiting.size(); }
  // Why the last Listen(true) failed; empty after a success.
  const std::string& GetListenFailure() const { return m_strListenFailure; }

  // The dialogue's host.
  std::string GetHostName() const override { return m_domains.HostName(); }
  bool IsLocalDomain(const std::string& domain) const override { return m_domains.IsLocal(domain); }
  bool VerifyRecipient(const std::string& name) override;
  bool DeliverMessage(const std::vector<std::string>& recipients, const std::string& sender,
                      const std::string& subject, const std::string& text) override;

 private:
  // A message waiting for a relay connection; composed when it gets one.
  struct Waiting {
    std::string senderAddress, senderName;
    std::vector<std::string> recipients;
    std::string subject, body;
    std::time_t posted;
    size_t bytes;  // as counted in the backlog
  };

  void LookUpHostName();
  void LookUpRelay();
  // Opens relay connections for waiting messages while the limit allows.
  void PumpRelay();
  void PostPump();
  // Every waiting message bounces with `line`.
  void BounceWaiting(const std::string& line);
  CSmtpEnvelope Compose(const Waiting& message) const;
  void AcceptNext();
  void ArmSweep();
  uint32_t AddSession(std::unique_ptr<CSmtpSession> session);

  unsigned m_nStatus = 0;
  qn::smtp::Domains m_domains;
  std::string m_strRelayName;
  asio::ip::tcp::endpoint m_relay;
  bool m_bRelayLookup = false;  // a look-up of the relay is under way
  uint16_t m_nPort = kDefaultPort;
  uint16_t m_nRelayPort = kDefaultPort;
  size_t m_nMaxRelayConnections = kDefaultRelayConnections;
  size_t m_nRelayConnections = 0;
  std::string m_strListenFailure;

  std::unique_ptr<asio::ip::tcp::acceptor> m_pAcceptor;
  asio::ip::tcp::resolver m_resolver;
  asio::steady_timer m_sweep;
  bool m_bPumpPosted = false;
  bool m_bAcceptPending = false;
  // Handlers hold a copy and find null once the listener is gone.
  std::shared_ptr<CSmtpListener*> m_token;

  uint32_t m_nNextId = 1;
  std::list<std::unique_ptr<CSmtpSession>> m_sessions;  // in order of creation
  std::unordered_map<uint32_t, std::list<std::unique_ptr<CSmtpSession>>::iterator> m_byId;
  std::deque<Waiting> m_waiting;
  // Every message the relay has not taken: waiting, or on a relay connection
  // (its share by connection number).
  RelayLoad m_backlog;
  std::unordered_map<uint32_t, size_t> m_relayBytes;
};
