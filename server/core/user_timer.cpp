#include "server/core/user_timer.h"

#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/pulse.h"
#include "platform/main_loop.h"
#include "server/core/clock.h"
#include "server/core/server.h"
#include "server/core/transport_base.h"
#include "server/core/user.h"
#include "server/services/service_utility.h"

namespace qn {

namespace {
std::string Format(const char* format, int a, int b, const char* plural) {
  char text[256];
  if (b < 0)
    std::snprintf(text, sizeof text, format, a, plural);
  else
    std::snprintf(text, sizeof text, format, a, b, plural);
  return text;
}
const char* Plural(int n) { return n == 1 ? "" : "s"; }
}  // namespace

std::string OutOfCreditsText() {
  return "Your account has run out of credits. You will now be disconnected from this service.";
}

std::string CreditWarningText(int minutes) {
  return Format(
      "Your account will run out of credits in %d minute%s. At that time, you will be "
      "disconnected from this service.",
      minutes, -1, Plural(minutes));
}

std::string LimitExceededText(int limit) {
  char text[256];
  std::snprintf(text, sizeof text,
                "You have exceeded your per-call limit of %d minutes online. You will now be "
                "disconnected from this service.",
                limit);
  return text;
}

std::string LimitWarningText(int limit, int minutes) {
  return Format(
      "You will exceed your per-call limit of %d minutes online in %d minute%s. At that time, "
      "you will be disconnected from this service.",
      limit, minutes, Plural(minutes));
}

UserTickOutcome EvaluateUserTick(const UserTickInput& in) {
  UserTickOutcome out;
  const int32_t credits = in.credits;
  const int32_t charge = static_cast<int32_t>(in.ratePerHour) * kUserTimerSeconds / 3600;
  out.charge = charge;
  if (credits == 0) {
    out.messages.push_back(OutOfCreditsText());
    out.disconnect = true;
    return out;
  }
  const int64_t perMinute = 4 * static_cast<int64_t>(charge);
  for (int i = 1; i <= 5; ++i) {
    const int64_t left = credits - perMinute * i;
    if (left <= 0 && left + charge > 0) {
      out.messages.push_back(CreditWarningText(i));
      break;
    }
  }
  const int limit = in.maxTimeOnline;
  if (limit == -1) return out;
  const int64_t minutes = (in.now - in.logonTime) / 60;
  if (minutes > limit) {
    out.messages.push_back(LimitExceededText(limit));
    out.disconnect = true;
    return out;
  }
  const int64_t before = (in.now - kUserTimerSeconds - in.logonTime) / 60;
  for (int j = 1; j <= 5; ++j) {
    if (minutes + j > limit && before + j <= limit) {
      out.messages.push_back(LimitWarningText(limit, j));
      break;
    }
  }
  return out;
}

}  // namespace qn

namespace {

class CDefaultActions : public IUserTimerActions {
 public:
  void SendLiveMessage(const std::string& userId, const std::string& text) override {
    PostGlobalMsgToUserID(userId, text, 0);
  }
  void DisconnectUser(CUser& user) override {
    // The connection goes from the loop, after the message just queued.
    if (CTransportBase* connection = user.GetConnection()) connection->Disconnect();
  }
};

// A step of the loop's pass ends after this long (and the member it is
// writing), so a request waits about that long at most behind the pass.
constexpr auto kStepBudget = std::chrono::milliseconds(5);

// Charges one member for the tick, writes the charge with the pending
// changes and warns or disconnects.
void ChargeMember(CUser& user, std::time_t now, IUserTimerActions& actions) {
  user.ClearLoaded();
  qn::UserTickInput in;
  in.credits = user.GetCredits();
  in.ratePerHour = user.GetRatePerHour();
  in.maxTimeOnline = user.GetMaxTimeOnline();
  in.logonTime = user.GetLogonTime();
  in.now = now;
  const qn::UserTickOutcome out = qn::EvaluateUserTick(in);
  user.DeductCredits(out.charge);
  // The charge goes to the row with the pending changes, in one update, so
  // a crash costs at most this pass.
  user.SaveChanges();
  const std::string userId = user.GetUserID();
  for (const std::string& text : out.messages) actions.SendLiveMessage(userId, text);
  if (out.disconnect) actions.DisconnectUser(user);
}

// The members listed when the pass began, taken in list order.
class CUserTimerPass {
 public:
  CUserTimerPass(std::time_t now, IUserTimerActions& actions) : now_(now), actions_(actions) {
    members_.assign(GetUserList().begin(), GetUserList().end());
    for (size_t i = 0; i < members_.size(); ++i) index_[members_[i]] = i;
  }

  // True when the pass has ended.
  bool Step(std::chrono::steady_clock::duration budget) {
    const auto start = std::chrono::steady_clock::now();
    bool charged = false;
    while (next_ < members_.size()) {
      if (charged && std::chrono::steady_clock::now() - start >= budget) return false;
      CUser* user = members_[next_++];
      if (user == nullptr) continue;
      index_.erase(user);
      // A disconnection may delete the member: nothing of it is used after.
      ChargeMember(*user, now_, actions_);
      charged = true;
    }
    NotifyMonitors(static_cast<int>(GetUserList().size()));
    return true;
  }

  void Forget(CUser* user) {
    const auto found = index_.find(user);
    if (found == index_.end()) return;
    members_[found->second] = nullptr;
    index_.erase(found);
  }

 private:
  std::time_t now_;
  IUserTimerActions& actions_;
  std::vector<CUser*> members_;
  std::unordered_map<CUser*, size_t> index_;  // members still to come
  size_t next_ = 0;
};

std::unique_ptr<asio::steady_timer> g_pTimer;

// The pass under way, with its pulse when the loop runs it in steps.
struct RunningPass {
  std::unique_ptr<CUserTimerPass> pass;
  CPulse* pulse = nullptr;
  std::chrono::steady_clock::duration budget{};
  void (*done)() = nullptr;
};
RunningPass g_running;

void EndRunningPass() {
  CPulse::Stop(g_running.pulse);
  g_running.pulse = nullptr;
  g_running.pass.reset();
  void (*done)() = std::exchange(g_running.done, nullptr);
  if (done) done();
}

void PassStep(void*) {
  if (g_running.pass && g_running.pass->Step(g_running.budget)) EndRunningPass();
}

// Runs what is left of the pass under way at once.
void FinishRunningPass() {
  if (!g_running.pass) return;
  g_running.pass->Step(std::chrono::steady_clock::duration::max());
  EndRunningPass();
}

// Drops the silent connections and takes the members; false without a server.
bool StartPass(std::time_t now, IUserTimerActions& actions) {
  FinishRunningPass();
  CServer* server = CTransportBase::GetServer();
  if (server == nullptr) return false;
  server->DropSilentConnections(now);
  WriteUnwrittenAccountChanges();
  g_running.pass = std::make_unique<CUserTimerPass>(now, actions);
  return true;
}

void ArmTimer();

void OnPassDone() {
  if (g_pTimer) ArmTimer();
}

void ArmTimer() {
  g_pTimer->expires_after(std::chrono::seconds(qn::kUserTimerSeconds));
  g_pTimer->async_wait([](const asio::error_code& ec) {
    if (ec || !g_pTimer) return;
    // The next tick is counted from the end of this pass, as when a pass
    // was one turn of the loop.
    BeginUserTimerPass(GetClock().Now(), DefaultUserTimerActions(), kStepBudget, &OnPassDone);
  });
}

}  // namespace

IUserTimerActions& DefaultUserTimerActions() {
  static CDefaultActions actions;
  return actions;
}

void RunUserTimerTick(std::time_t now, IUserTimerActions& actions) {
  if (!StartPass(now, actions)) return;
  FinishRunningPass();
}

void BeginUserTimerPass(std::time_t now, IUserTimerActions& actions,
                        std::chrono::steady_clock::duration stepBudget, void (*done)()) {
  if (!StartPass(now, actions)) {
    if (done) done();
    return;
  }
  g_running.budget = stepBudget;
  g_running.done = done;
  g_running.pulse = new CPulse(&PassStep, nullptr);
}

bool IsUserTimerPassRunning() { return g_running.pass != nullptr; }

void ForgetInUserTimerPass(CUser* user) {
  if (g_running.pass) g_running.pass->Forget(user);
}

void StartUserTimer() {
  g_pTimer = std::make_unique<asio::steady_timer>(qn::MainLoop());
  ArmTimer();
}

void StopUserTimer() {
  g_pTimer.reset();
  // A pass under way ends as it would have in one turn of the loop.
  FinishRunningPass();
}
