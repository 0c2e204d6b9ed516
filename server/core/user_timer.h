// The 15-second user timer: drops silent connections, charges each member for
// the time online and writes the credits with the pending account changes,
// warns before credits or the per-call limit run out and disconnects when
// they have.
#pragma once
#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

class CUser;

namespace qn {

inline constexpr int kUserTimerSeconds = 15;

// What one tick decides for one member, from the values read before the
// tick's charge.
struct UserTickInput {
  int32_t credits = 0;
  int16_t ratePerHour = 0;
  int16_t maxTimeOnline = -1;  // minutes; -1 is no limit
  std::time_t logonTime = 0;
  std::time_t now = 0;
};

struct UserTickOutcome {
  int32_t charge = 0;  // deducted this tick
  std::vector<std::string> messages;
  bool disconnect = false;
};

UserTickOutcome EvaluateUserTick(const UserTickInput& in);

std::string OutOfCreditsText();
std::string CreditWarningText(int minutes);
std::string LimitExceededText(int limit);
std::string LimitWarningText(int limit, int minutes);

}  // namespace qn

// What a tick does to the world, behind an interface so that tests see the
// messages and disconnections.
class IUserTimerActions {
 public:
  virtual ~IUserTimerActions() = default;
  // A style-0 live message to the member's listeners.
  virtual void SendLiveMessage(const std::string& userId, const std::string& text) = 0;
  // The member's connection goes (later, from the loop).
  virtual void DisconnectUser(CUser& user) = 0;
};

// One pass over the connections and the logged-on members at `now`, whole.
void RunUserTimerTick(std::time_t now, IUserTimerActions& actions);
// The real actions: the utility service's send and the connection's close.
IUserTimerActions& DefaultUserTimerActions();

// The loop's form of a pass: silent connections go and the members listed
// now are taken at once; the members are then charged in steps on the main
// loop, each step ending once `stepBudget` has passed (after one member at
// least), so that other members' requests are answered between them.
// `done` runs after the last step. Members who log off before their turn are
// left out, as they would be by a pass after their logoff; members who log
// on meanwhile wait for the next pass. One pass at a time: a pass still
// running is finished first.
void BeginUserTimerPass(std::time_t now, IUserTimerActions& actions,
                        std::chrono::steady_clock::duration stepBudget, void (*done)());
bool IsUserTimerPassRunning();
// Called by a member's logoff: the running pass leaves the member out.
void ForgetInUserTimerPass(CUser* user);

// The loop timer; Start reads the clock of clock.h at every tick.
void StartUserTimer();
void StopUserTimer();
