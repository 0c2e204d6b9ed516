// The server's wall clock behind an interface, so that tests can move time
// forward (charges, warnings and limits of the user timer) without waiting.
#pragma once
#include <ctime>

class IClock {
 public:
  virtual ~IClock() = default;
  virtual std::time_t Now() const = 0;
};

class CSystemClock : public IClock {
 public:
  std::time_t Now() const override { return std::time(nullptr); }
};

// The clock the server reads; the system clock unless a test set another.
IClock& GetClock();
// nullptr puts the system clock back. The caller keeps the clock alive while
// it is set.
void SetClock(IClock* clock);
