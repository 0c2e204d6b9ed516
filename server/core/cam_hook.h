// The push of a client-application-manager message to one member, as the
// member automation's SendCAM reaches it. The CAM module installs its sender
// at static construction; until then every push answers false.
#pragma once
#include <cstdint>
#include <string>

using SendCAMMessageProc = bool (*)(const std::string& userId, const std::string& appName,
                                    const std::string& vendor, uint8_t type);

// Installs the sender (nullptr removes it).
void SetSendCAMMessageHook(SendCAMMessageProc proc);
SendCAMMessageProc GetSendCAMMessageHook();
// The installed sender's result; false without one.
bool CallSendCAMMessage(const std::string& userId, const std::string& appName,
                        const std::string& vendor, uint8_t type);
