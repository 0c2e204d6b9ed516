#include "server/core/user_timer.h"

#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <memory>

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

std::unique_ptr<asio::steady_timer> g_pTimer;

void ArmTimer() {
  g_pTimer->expires_after(std::chrono::seconds(qn::kUserTimerSeconds));
  g_pTimer->async_wait([](const asio::error_code& ec) {
    if (ec || !g_pTimer) return;
    RunUserTimerTick(GetClock().Now(), DefaultUserTimerActions());
    if (g_pTimer) ArmTimer();
  });
}

}  // namespace

IUserTimerActions& DefaultUserTimerActions() {
  static CDefaultActions actions;
  return actions;
}

void RunUserTimerTick(std::time_t now, IUserTimerActions& actions) {
  CServer* server = CTransportBase::GetServer();
  if (server == nullptr) return;
  server->DropSilentConnections(now);

  WriteUnwrittenAccountChanges();
  std::list<CUser*>& users = GetUserList();
  for (auto it = users.begin(); it != users.end();) {
    CUser* user = *it++;
    user->ClearLoaded();
    qn::UserTickInput in;
    in.credits = user->GetCredits();
    in.ratePerHour = user->GetRatePerHour();
    in.maxTimeOnline = user->GetMaxTimeOnline();
    in.logonTime = user->GetLogonTime();
    in.now = now;
    const qn::UserTickOutcome out = qn::EvaluateUserTick(in);
    user->DeductCredits(out.charge);
    // The charge goes to the row with the pending changes, in one update, so
    // a crash costs at most this pass.
    user->SaveChanges();
    // `it` already holds the next member, which a disconnection leaves in place.
    const std::string userId = user->GetUserID();
    for (const std::string& text : out.messages) actions.SendLiveMessage(userId, text);
    if (out.disconnect) actions.DisconnectUser(*user);
  }
  NotifyMonitors(static_cast<int>(users.size()));
}

void StartUserTimer() {
  g_pTimer = std::make_unique<asio::steady_timer>(qn::MainLoop());
  ArmTimer();
}

void StopUserTimer() { g_pTimer.reset(); }
