// The listening socket for client connections and the process-wide switches
// of the client transport.
#pragma once
#include <cstdint>
#include <string>

class CServer;

inline constexpr uint16_t kDefaultClientPort = 29186;

// Reads "NoDNSLookup"; sockets themselves need no loading here.
void LoadWinSock();
void UnloadWinSock();
bool IsWinSockLoaded();

// Remembers the server and starts (stops) every transport class. False when
// one could not start (ClientListenerFailure says why).
bool StartTransports(CServer* server);
void StopTransports();

// Accept new connections or refuse them (accepted and closed at once). Safe
// from any thread.
void SetAcceptConnections(bool accept);
bool IsAcceptingConnections();

// The listener itself, for CTransportTCP::Startup and Shutdown.
int OpenClientListener();
// Why the last OpenClientListener failed, with the port and the system's
// text, and its error number; empty and 0 after a success.
const std::string& ClientListenerFailure();
int ClientListenerErrno();
void CloseClientListener();
// The port the listener is bound to; 0 when none.
uint16_t GetClientListenerPort();
