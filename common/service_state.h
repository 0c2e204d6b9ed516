// The current state of a named service, as the manager and the guardian ask
// for it.
#pragma once
#include <string>

// The answer when the state cannot be read.
inline constexpr unsigned long kServiceStateUnknown = 123;

// 1 stopped, 2 start pending, 3 stop pending, 4 running, 5 continue pending,
// 6 pause pending, 7 paused; kServiceStateUnknown when the service is not
// installed or its state cannot be read (the registry or its run-time files
// closed to this account).
unsigned long GetServiceState(const std::string& serviceName);
