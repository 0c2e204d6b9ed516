#include "server/core/tcp_listener.h"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <memory>

#include "common/registry.h"
#include "platform/main_loop.h"
#include "server/core/api_log.h"
#include "server/core/server.h"
#include "server/core/transport_tcp.h"

namespace {

bool g_bLoaded = false;
bool g_bNoDns = false;
std::atomic<bool> g_bAccept{true};
std::unique_ptr<asio::ip::tcp::acceptor> g_pAcceptor;
std::unique_ptr<asio::ip::tcp::resolver> g_pResolver;
std::unique_ptr<asio::steady_timer> g_pRetryTimer;
std::string g_listenerFailure;
int g_listenerErrno = 0;

void AcceptNext();

void StartLookup(CTransportTCP* connection, const asio::ip::tcp::endpoint& peer) {
  if (!g_pResolver) g_pResolver = std::make_unique<asio::ip::tcp::resolver>(qn::MainLoop());
  const int number = connection->GetConnectionNumber();
  g_pResolver->async_resolve(
      peer, [number](const asio::error_code& ec, asio::ip::tcp::resolver::results_type results) {
        if (ec || results.empty()) return;
        CServer* server = CTransportBase::GetServer();
        if (server == nullptr) return;
        const std::string host = results.begin()->host_name();
        // Without a name the resolver answers with the address itself.
        asio::error_code parse;
        asio::ip::make_address(host, parse);
        if (!parse) return;
        CTransportBase* target = server->FindConnectionByNumber(number);
        if (auto* tcp = dynamic_cast<CTransportTCP*>(target)) tcp->OnHostName(host);
      });
}

void OnAccepted(const asio::error_code& ec, asio::ip::tcp::socket socket) {
  if (!g_pAcceptor) return;
  if (ec) {
    if (ec == asio::error::operation_aborted) return;
    // Out of descriptors or a failed handshake: try again shortly rather than
    // spinning on the same error.
    if (!g_pRetryTimer) g_pRetryTimer = std::make_unique<asio::steady_timer>(qn::MainLoop());
    g_pRetryTimer->expires_after(std::chrono::milliseconds(100));
    g_pRetryTimer->async_wait([](const asio::error_code& e) {
      if (!e) AcceptNext();
    });
    return;
  }
  try {
    auto* connection = new CTransportTCP();
    asio::error_code peerError;
    const auto peer = socket.remote_endpoint(peerError);
    if (peerError || !connection->Attach(std::move(socket))) {
      delete connection;
    } else {
      if (g_bNoDns == false) StartLookup(connection, peer);
      CServer* server = CTransportBase::GetServer();
      if (server == nullptr) {
        delete connection;
      } else if (server->AddConnection(connection)) {
        connection->Start();
      }
    }
  } catch (...) {
    WriteApiLog("# Exception during acceptance of new connnection\r\n");
  }
  AcceptNext();
}

void AcceptNext() {
  if (!g_pAcceptor) return;
  g_pAcceptor->async_accept(&OnAccepted);
}

}  // namespace

void LoadWinSock() {
  g_bLoaded = true;
  g_bNoDns = CQuillnetRegistry().ReadDWORD("General", "NoDNSLookup", 0) != 0;
}

void UnloadWinSock() {
  g_pResolver.reset();
  g_pRetryTimer.reset();
}

bool IsWinSockLoaded() { return g_bLoaded; }

bool StartTransports(CServer* server) {
  CTransportBase::SetServer(server);
  CTransportTCP transport;
  return !transport.IsAvailable() || transport.Startup() == 0;
}

void StopTransports() {
  CTransportTCP transport;
  if (transport.IsAvailable()) transport.Shutdown();
}

void SetAcceptConnections(bool accept) { g_bAccept.store(accept); }
bool IsAcceptingConnections() { return g_bAccept.load(); }

int OpenClientListener() {
  const auto port = static_cast<uint16_t>(
      CQuillnetRegistry().ReadDWORD("General", "Port", kDefaultClientPort));
  auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(qn::MainLoop());
  asio::error_code ec;
  const asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v4(), port);
  acceptor->open(endpoint.protocol(), ec);
  if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor->bind(endpoint, ec);
  if (!ec) acceptor->listen(100, ec);
  if (ec) {
    g_listenerErrno = ec.value();
    g_listenerFailure = "The server cannot listen for clients on TCP port " +
                        std::to_string(port) + ": " + ec.message() + ".";
    return -1;
  }
  g_listenerErrno = 0;
  g_listenerFailure.clear();
  g_pAcceptor = std::move(acceptor);
  AcceptNext();
  return 0;
}

void CloseClientListener() {
  if (!g_pAcceptor) return;
  asio::error_code ec;
  g_pAcceptor->close(ec);
  g_pAcceptor.reset();
}

const std::string& ClientListenerFailure() { return g_listenerFailure; }
int ClientListenerErrno() { return g_listenerErrno; }

uint16_t GetClientListenerPort() {
  if (!g_pAcceptor) return 0;
  asio::error_code ec;
  const auto endpoint = g_pAcceptor->local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}
