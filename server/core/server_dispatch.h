// The server object's dispatch interface, handed to external service servers
// at start: a live message to every listening member, and two members that
// are not yet implemented and say so.
#pragma once
#include "platform/automation/object.h"

inline constexpr const char* kGetUsersOnlineText =
    "Quillnet Server GetUsersOnline is not yet implemented. Please contact Brenlo for assistance.";
inline constexpr const char* kGetUserText =
    "Quillnet Server GetUser is not yet implemented. Please contact Brenlo for assistance.";

// The running server's object (one per run; created on first use).
qn::automation::Ref<qn::automation::IDispatch> GetServerDispatch();
// At stop: references still held elsewhere answer 0x80010108 from here on.
void DisconnectServerDispatch();
