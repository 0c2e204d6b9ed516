// The guardian's settings under "SOFTWARE\Brenlo\Quillnet Server\Guardian",
// read once when the watchdog starts.
#pragma once
#include "guardian/watchdog_host.h"

namespace guardian {

inline constexpr const char* kGuardianSection = "Guardian";

// A missing key or value gives the default. A number is any value of exactly
// four bytes; KickOffApp is read whole (the watchdog refuses one too long
// rather than running part of it).
Settings ReadSettings();

}  // namespace guardian
