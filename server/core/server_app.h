// Running the server until it is told to stop: the body shared by the
// stand-alone start and the service's start.
#pragma once
#include <cstdint>
#include <functional>

class CServer;

// Starts the server and runs the main loop on the calling thread until
// RequestServerStop, SIGINT or SIGTERM; then stops it. 0 after a clean stop,
// 1 when the server could not start. `create` makes the server object (the
// default CServer when null). `started` hears how the start ended: 0 once
// clients can connect, else the error that ended it.
int RunServer(bool standAlone, CServer* (*create)() = nullptr,
              const std::function<void(uint32_t error)>& started = {});

// Ends RunServer's loop; safe from any thread (the service's stop handler).
void RequestServerStop();
