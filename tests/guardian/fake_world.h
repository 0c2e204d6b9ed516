// Every host of the watchdog in one fake on virtual time: waits move the
// clock at once, and what the watchdog does is written down with the second
// it happened at ("330 create", "360 start").
#pragma once
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "guardian/watchdog.h"

namespace guardian::test {

// One scripted creation or call: its status, and how long it takes (`late`:
// until the limit the creation was given).
struct Step {
  qn::automation::Status status = 0;
  bool dispatchException = false;
  bool late = false;
};

class FakeWorld : public IClock, public IServices, public IMonitor, public ILauncher, public ILog {
 public:
  // ---- the script
  unsigned long serverState = 4;
  std::deque<Step> creations;  // then every creation works
  std::deque<Step> calls;      // then every call is answered
  std::deque<bool> starts;     // then every start works
  // The kick-off command: ends after 5 s, cannot start, or outlives its limit.
  LaunchResult kickOff = LaunchResult::kEnded;
  std::optional<TimePoint> stopAt;
  std::vector<std::pair<TimePoint, TimePoint>> pauses;

  // ---- what happened
  TimePoint now{};
  std::vector<std::string> events;
  std::vector<std::string> lines;
  std::vector<Duration> sleeps;
  int releases = 0;

  WatchdogHosts Hosts() { return WatchdogHosts{*this, *this, *this, *this, *this}; }

  TimePoint Now() override { return now; }
  bool Sleep(Duration d) override;
  bool Stopping() override { return stopAt && now >= *stopAt; }

  unsigned long GetServiceState(const std::string&) override { return serverState; }
  bool StartService(const std::string& name) override;
  bool StopService(const std::string& name) override;
  void EndServiceProcess(const std::string& name) override;

  qn::automation::Status Create(Duration limit) override;
  ProbeOutcome GetNbrConnections() override;
  void Release() override { ++releases; }

  LaunchResult Run(const std::string& commandLine, Duration limit, std::string* error) override;
  void Line(const std::string& text) override { lines.push_back(text); }

  // True when a logged line contains `text`.
  bool Logged(const std::string& text) const;

 private:
  void Note(const std::string& what);
  // Moves the clock by `d`, at most to the stop.
  void Spend(Duration d);
  Duration limit_{};
};

TimePoint At(long long seconds);

}  // namespace guardian::test
