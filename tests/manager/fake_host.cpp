#include "fake_host.h"

#include <algorithm>
#include <cctype>

#include "tools/manager/core/button_table.h"
#include "tools/manager/core/manager_texts.h"

namespace qn::manager::test {

// ---- Virtual time ---------------------------------------------------------------

bool VirtualClock::FireNext(int64_t until) {
  auto next = timers_.end();
  for (auto it = timers_.begin(); it != timers_.end(); ++it)
    if (it->due <= until && (next == timers_.end() || std::tie(it->due, it->order) < std::tie(next->due, next->order)))
      next = it;
  if (next == timers_.end()) return false;
  now_ = next->due;
  next->due += next->period;
  next->order = ++sequence_;
  FakeTimers* owner = next->owner;
  const int id = next->id;
  // The handler may set or kill timers, this one included.
  if (owner->onTimer) owner->onTimer(id);
  return true;
}

void VirtualClock::Advance(int64_t ms) {
  const int64_t target = now_ + ms;
  while (FireNext(target)) {
  }
  now_ = target;
}

bool VirtualClock::AdvanceUntil(const std::function<bool()>& done, int64_t limit) {
  const int64_t target = now_ + limit;
  while (!done()) {
    if (!FireNext(target)) {
      now_ = target;
      return done();
    }
  }
  return true;
}

void FakeTimers::SetTimer(int id, int milliseconds) {
  KillTimer(id);
  clock_.timers_.push_back({this, id, milliseconds, clock_.now_ + milliseconds, ++clock_.sequence_});
}

void FakeTimers::KillTimer(int id) {
  auto& timers = clock_.timers_;
  timers.erase(std::remove_if(timers.begin(), timers.end(),
                              [this, id](const VirtualClock::Entry& e) { return e.owner == this && e.id == id; }),
               timers.end());
}

bool FakeTimers::IsActive(int id) const { return Period(id) != 0; }

int FakeTimers::Period(int id) const {
  for (const auto& e : clock_.timers_)
    if (e.owner == this && e.id == id) return e.period;
  return 0;
}

// ---- View -------------------------------------------------------------------------

void FakeView::SetTitle(const std::string& text) {
  title = text;
  log_.push_back("title " + text);
}

void FakeView::SetStartStopLook(StartStopLook newLook) {
  look = newLook;
  log_.push_back(std::string("look ") + (look == StartStopLook::Running        ? "running"
                                         : look == StartStopLook::Transitional ? "transitional"
                                                                               : "stopped"));
}

void FakeView::MessageBox(const std::string& text, Icon) {
  boxes.push_back(text);
  log_.push_back("box " + text);
}

bool FakeView::RunShutdownDialog() { return shutdownDialog && shutdownDialog(*shutdown); }

std::optional<std::string> FakeView::AskClientProgram(const std::string&) {
  ++clientAsked;
  return clientChoice;
}

bool FakeView::Enabled(int command) const {
  auto found = enabled_.find(command);
  return found != enabled_.end() && found->second;
}

// ---- Services and the Monitor object ------------------------------------------------

uint32_t FakeServices::GetServiceState(const std::string& name) {
  auto found = states.find(name);
  return found == states.end() ? kStateUnknown : found->second;
}

bool FakeServices::StartService(const std::string& name) {
  log_.push_back("start " + name);
  if (onStart) {
    onStart(name);
  } else {
    states[name] = kStateRunning;
    if (name == texts::kGuardianService && guardianStartsServer && states[texts::kServerService] == kStateStopped)
      states[texts::kServerService] = kStateRunning;
  }
  return GetServiceState(name) == kStateRunning;
}

bool FakeServices::StopService(const std::string& name) {
  log_.push_back("stop " + name);
  states[name] = kStateStopped;
  return true;
}

namespace {

class FakeMonitor : public IMonitor {
 public:
  explicit FakeMonitor(MonitorState& state) : state_(state) {}
  bool SendGlobalMsgToAll(const std::string& text, int16_t style) override {
    state_.broadcasts.push_back(text);
    return style == 0;
  }
  bool AllowNewConnections(bool allow) override {
    state_.allows.push_back(allow);
    return !state_.allowFails;
  }
  std::optional<int32_t> GetNbrConnections() override { return state_.connections; }

 private:
  MonitorState& state_;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::unique_ptr<IMonitor> FakeMonitors::Create() {
  if (!state.creatable) return nullptr;
  ++state.created;
  return std::make_unique<FakeMonitor>(state);
}

// ---- Settings, files, programs -----------------------------------------------------

uint32_t FakeSettings::ReadDword(const std::string& section, const std::string& name, uint32_t def) {
  auto found = dwords.find(section + "\\" + name);
  return found == dwords.end() ? def : found->second;
}

void FakeSettings::WriteDword(const std::string& section, const std::string& name, uint32_t value) {
  ++writes;
  dwords[section + "\\" + name] = value;
}

std::string FakeSettings::ReadString(const std::string& section, const std::string& name, const std::string& def) {
  auto found = strings.find(section + "\\" + name);
  return found == strings.end() ? def : found->second;
}

void FakeSettings::WriteString(const std::string& section, const std::string& name, const std::string& value) {
  ++writes;
  strings[section + "\\" + name] = value;
}

std::optional<std::string> FakeFiles::FindNoCase(const std::string& dir, const std::string& name) {
  for (const std::set<std::string>* set : {&files, &programs})
    for (const std::string& path : *set)
      if (Lower(path) == Lower(dir + "/" + name)) return path;
  return std::nullopt;
}

int FakeSpawner::Spawn(const std::string& program, const std::vector<std::string>& argv) {
  std::vector<std::string> call{program};
  call.insert(call.end(), argv.begin(), argv.end());
  started.push_back(call);
  return error;
}

// ---- A whole manager ------------------------------------------------------------------

FakeManager::FakeManager() {
  services.states = {{texts::kServerService, kStateStopped}, {texts::kGuardianService, kStateStopped}};
  for (const ButtonEntry& button : Buttons()) {
    if (button.program != nullptr) files.programs.insert(std::string(kExeDir) + "/" + button.program);
    if (button.dataFile != nullptr) files.files.insert(std::string(kProgramDir) + "/" + button.dataFile);
  }
}

ManagerHost FakeManager::Host() {
  ManagerHost host;
  host.view = &view;
  host.timers = &timers;
  host.services = &services;
  host.monitors = &monitors;
  host.settings = &settings;
  host.files = &files;
  host.spawner = &spawner;
  host.programDir = kProgramDir;
  host.executableDir = kExeDir;
  host.searchPath = "/usr/local/bin::/usr/bin";
  return host;
}

CManagerFrame& FakeManager::Create() {
  frame = std::make_unique<CManagerFrame>(
      Host(), CManagerFrame::DialogViews{&countdownView, &countdownTimers, &waitView, &waitTimers});
  timers.onTimer = [this](int id) { frame->OnTimer(id); };
  countdownTimers.onTimer = [this](int id) { frame->ShutdownDlg().Countdown().OnTimer(id); };
  waitTimers.onTimer = [this](int id) { frame->ShutdownDlg().Wait().OnTimer(id); };
  view.shutdown = &frame->ShutdownDlg();
  frame->OnCreate();
  return *frame;
}

void FakeManager::Shutdown(int choice, int minutes) {
  view.shutdownDialog = [choice, minutes](CShutdownDlg& dialog) {
    dialog.m_nChoice = choice;
    switch (choice) {
      case kChoiceNow: dialog.OnNow(); break;
      case kChoiceIn:
        dialog.m_strMinutes = std::to_string(minutes);
        dialog.OnMinutesChanged();
        break;
      case kChoiceLogoff: dialog.OnLogoff(); break;
    }
    return !dialog.Validate();
  };
  frame->OnCommand(kCmdStartStop);
}

}  // namespace qn::manager::test
