#include "fake_world.h"

#include <algorithm>

namespace guardian::test {

TimePoint At(long long seconds) { return TimePoint(std::chrono::seconds(seconds)); }

void FakeWorld::Note(const std::string& what) {
  events.push_back(std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                      now.time_since_epoch()).count()) +
                   " " + what);
}

void FakeWorld::Spend(Duration d) {
  TimePoint end = now + d;
  if (stopAt && *stopAt < end) end = std::max(now, *stopAt);
  now = end;
}

bool FakeWorld::Sleep(Duration d) {
  sleeps.push_back(d);
  if (Stopping()) return false;
  TimePoint end = now + d;
  // As the service's wait does: a pause that begins before the wait ends
  // holds it until the pause ends.
  for (const auto& [from, to] : pauses) {
    if (from < end && to > now) end = std::max(end, to);
  }
  if (stopAt && *stopAt <= end) {
    now = std::max(now, *stopAt);
    return false;
  }
  now = end;
  return true;
}

bool FakeWorld::StartService(const std::string& name) {
  Note("start " + name);
  if (starts.empty()) return true;
  const bool ok = starts.front();
  starts.pop_front();
  return ok;
}

bool FakeWorld::StopService(const std::string& name) {
  Note("stop " + name);
  return true;
}

void FakeWorld::EndServiceProcess(const std::string& name) { Note("end " + name); }

qn::automation::Status FakeWorld::Create(Duration limit) {
  Note("create");
  limit_ = limit;
  if (creations.empty()) return qn::automation::kOk;
  const Step step = creations.front();
  creations.pop_front();
  if (step.late) Spend(limit);
  return step.status;
}

ProbeOutcome FakeWorld::GetNbrConnections() {
  Note("call");
  if (calls.empty()) return {};
  const Step step = calls.front();
  calls.pop_front();
  if (step.late) Spend(limit_);
  ProbeOutcome outcome;
  if (step.dispatchException) {
    outcome.kind = ProbeOutcome::kDispatchException;
  } else if (step.status != qn::automation::kOk) {
    outcome.kind = ProbeOutcome::kOleException;
    outcome.status = step.status;
  }
  return outcome;
}

LaunchResult FakeWorld::Run(const std::string& commandLine, Duration limit, std::string* error) {
  Note("kickoff " + commandLine);
  switch (kickOff) {
    case LaunchResult::kEnded:
      Spend(std::chrono::seconds(5));
      break;
    case LaunchResult::kNotStarted:
      *error = "No such file or directory";
      break;
    case LaunchResult::kStillRunning:
      Spend(limit);
      break;
  }
  return kickOff;
}

bool FakeWorld::Logged(const std::string& text) const {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

}  // namespace guardian::test
