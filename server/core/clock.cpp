#include "server/core/clock.h"

namespace {
CSystemClock g_systemClock;
IClock* g_pClock = &g_systemClock;
}  // namespace

IClock& GetClock() { return *g_pClock; }

void SetClock(IClock* clock) { g_pClock = clock != nullptr ? clock : &g_systemClock; }
