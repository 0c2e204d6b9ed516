// A clock that stands still until a test moves it.
#pragma once
#include <ctime>

#include "server/core/clock.h"

class FakeClock : public IClock {
 public:
  explicit FakeClock(std::time_t start) : now(start) {}
  std::time_t Now() const override { return now; }
  std::time_t now;
};
