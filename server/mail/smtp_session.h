// One SMTP connection on the main loop: an inbound one accepted on the SMTP
// port and driven by the server's dialogue, or an outbound one to the relay
// carrying one message. The socket work is here; what is said is in the
// dialogues (smtp_dialogue, smtp_relay_dialogue).
//
// Output is never dropped: what the socket does not take waits, in order,
// and while kOutputPause bytes or more wait the peer's input is not read.
#pragma once
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "server/mail/smtp_dialogue.h"
#include "server/mail/smtp_relay_dialogue.h"

class CSmtpListener;

class CSmtpSession {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // Inbound: the accepted socket.
  CSmtpSession(CSmtpListener& listener, uint32_t id, asio::ip::tcp::socket socket);
  // Outbound: the message for the relay.
  CSmtpSession(CSmtpListener& listener, uint32_t id, CSmtpEnvelope envelope,
               const std::string& hostName, const std::string& primaryDomain);
  ~CSmtpSession();
  CSmtpSession(const CSmtpSession&) = delete;
  CSmtpSession& operator=(const CSmtpSession&) = delete;

  // Inbound: the greeting, then reading. Outbound: the connect.
  void Start();
  void Start(const asio::ip::tcp::endpoint& relay);

  uint32_t GetId() const { return m_nId; }
  bool IsInbound() const { return m_pInbound != nullptr; }
  // When the peer last sent anything (or the connection began).
  TimePoint GetLastActivity() const { return m_lastActivity; }
  // Bytes waiting to be sent.
  size_t GetPendingOutput() const;

  // The listener's close: an outbound message whose dialogue is not done
  // bounces.
  void OnClosing();
  // An outbound message whose dialogue is not done bounces now with `line`;
  // the close that follows makes no second bounce.
  void GiveUp(const std::string& line);
  // Asks the listener to close the connection from the loop.
  void RequestClose();

  // Delivers a bounce to the envelope's sender through the gateway's hook.
  static void ReturnToSender(const CSmtpEnvelope& envelope, const std::string& body);

 private:
  std::string& Output();
  void WaitForRead();
  void PostRead();
  void OnReadable();
  // Hands bytes to the dialogue; false when reading must stop.
  bool Consume(const char* data, size_t size);
  void AfterRelayInput();
  void Flush();
  void Finish();

  CSmtpListener& m_listener;
  uint32_t m_nId;
  asio::ip::tcp::socket m_socket;
  std::shared_ptr<CSmtpSession*> m_token;
  std::unique_ptr<qn::smtp::Dialogue> m_pInbound;
  std::unique_ptr<qn::smtp::RelayDialogue> m_pRelay;
  // Input the dialogue did not take yet (its output was full).
  std::string m_pending;
  TimePoint m_lastActivity;
  bool m_bConnected = false;
  bool m_bWriteWaiting = false;
  bool m_bReadPaused = false;
  bool m_bCloseAfterFlush = false;
  bool m_bCloseRequested = false;
};
