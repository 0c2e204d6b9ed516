// The listening socket for client connections and the process-wide switches
// of the client transport.
#pragma once
#include <cstdint>

class CServer;

inline constexpr uint16_t kDefaultClientPort = 29186;

// Reads "NoDNSLookup"; sockets themselves need no loading here.
void LoadWinSock();
void UnloadWinSock();
bool IsWinSockLoaded();

// Remembers the server and starts (stops) every transport class.
void StartTransports(CServer* server);
void StopTransports();

// Accept new connections or refuse them (accepted and closed at once). Safe
// from any thread.
void SetAcceptConnections(bool accept);
bool IsAcceptingConnections();

// The listener itself, for CTransportTCP::Startup and Shutdown.
int OpenClientListener();
void CloseClientListener();
// The port the listener is bound to; 0 when none.
uint16_t GetClientListenerPort();
