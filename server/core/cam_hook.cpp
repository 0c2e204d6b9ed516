#include "server/core/cam_hook.h"

namespace {

// Constant-initialised, so a sender installed by another module's static
// constructor is never overwritten by this file's own initialisation.
SendCAMMessageProc g_sendCAMMessage = nullptr;

}  // namespace

void SetSendCAMMessageHook(SendCAMMessageProc proc) { g_sendCAMMessage = proc; }
SendCAMMessageProc GetSendCAMMessageHook() { return g_sendCAMMessage; }

bool CallSendCAMMessage(const std::string& userId, const std::string& appName,
                        const std::string& vendor, uint8_t type) {
  return g_sendCAMMessage != nullptr && g_sendCAMMessage(userId, appName, vendor, type);
}
