// The manager's surroundings as fakes: window timers on a virtual clock, a
// view that records what it was told, services, a Monitor object, settings,
// files and a spawner whose answers the tests choose.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/manager/core/manager_frame.h"
#include "tools/manager/core/manager_host.h"
#include "tools/manager/core/shutdown_dlgs.h"

namespace qn::manager::test {

// Milliseconds of virtual time and the timers that run on it.
class VirtualClock {
 public:
  int64_t Now() const { return now_; }
  // Moves time on, firing every timer that falls due on the way, in order.
  void Advance(int64_t ms);
  // Moves on until `done` holds (checked after each fired timer) or `limit`
  // passed; true when it held.
  bool AdvanceUntil(const std::function<bool()>& done, int64_t limit);

 private:
  friend class FakeTimers;
  struct Entry {
    class FakeTimers* owner;
    int id;
    int period;
    int64_t due;
    uint64_t order;  // timers due at once fire in the order they were set
  };
  bool FireNext(int64_t until);
  int64_t now_ = 0;
  uint64_t sequence_ = 0;
  std::vector<Entry> timers_;
};

class FakeTimers : public ITimers {
 public:
  FakeTimers(VirtualClock& clock, std::function<void(int)> onTimer = {}) : onTimer(std::move(onTimer)), clock_(clock) {}
  void SetTimer(int id, int milliseconds) override;
  void KillTimer(int id) override;
  bool IsActive(int id) const;
  // The period of a running timer; 0 when it does not run.
  int Period(int id) const;

  std::function<void(int)> onTimer;

 private:
  VirtualClock& clock_;
};

// What the view was told, in order, as text lines ("title ...", "look
// running", "box ...", ...); the services add their calls to the same log.
using Log = std::vector<std::string>;

class FakeView : public IManagerView {
 public:
  explicit FakeView(Log& log) : log_(log) {}
  void SetTitle(const std::string& title) override;
  void SetStartStopLook(StartStopLook look) override;
  void EnableButton(int command, bool enabled) override { enabled_[command] = enabled; }
  void RedrawNow() override { log_.push_back("redraw"); }
  void StartAnimation() override { animating = true; }
  void StopAnimation() override { animating = false; }
  void MessageBox(const std::string& text, Icon icon) override;
  void BeginCursor(Cursor) override { ++cursorDepth; }
  void EndCursor() override { --cursorDepth; }
  bool RunShutdownDialog() override;
  void RestoreMainWindow() override { ++restored; }
  std::optional<std::string> AskClientProgram(const std::string& initialDir) override;
  void CloseMainWindow() override { closed = true; }

  bool Enabled(int command) const;
  std::string title;
  StartStopLook look = StartStopLook::Stopped;
  bool animating = false;
  int cursorDepth = 0;
  int restored = 0;
  bool closed = false;
  std::vector<std::string> boxes;
  // Answers the shutdown dialog: fills the logic's values, returns OK.
  std::function<bool(CShutdownDlg&)> shutdownDialog;
  CShutdownDlg* shutdown = nullptr;
  std::optional<std::string> clientChoice;
  int clientAsked = 0;

 private:
  Log& log_;
  std::map<int, bool> enabled_;
};

class FakeStatusView : public IStatusDialogView {
 public:
  void SetText(const std::string& text) override { this->text = text; }
  void ShowCentered() override { visible = true; }
  void Hide() override { visible = false; }
  std::string text;
  bool visible = false;
};

class FakeServices : public IServiceControl {
 public:
  explicit FakeServices(Log& log) : log_(log) {}
  uint32_t GetServiceState(const std::string& name) override;
  bool StartService(const std::string& name) override;
  bool StopService(const std::string& name) override;

  std::map<std::string, uint32_t> states;
  // A start of the guardian starts the server, as its watchdog does.
  bool guardianStartsServer = true;
  std::function<void(const std::string&)> onStart;

 private:
  Log& log_;
};

// The server's side of the Monitor object, shared by every object created.
struct MonitorState {
  bool creatable = true;
  int created = 0;
  std::vector<std::string> broadcasts;
  std::vector<bool> allows;  // each AllowNewConnections call
  std::optional<int32_t> connections = 0;  // nullopt: the call fails
  bool allowFails = false;
};

class FakeMonitors : public IMonitorFactory {
 public:
  std::unique_ptr<IMonitor> Create() override;
  MonitorState state;
};

class FakeSettings : public ISettings {
 public:
  uint32_t ReadDword(const std::string& section, const std::string& name, uint32_t def) override;
  void WriteDword(const std::string& section, const std::string& name, uint32_t value) override;
  std::string ReadString(const std::string& section, const std::string& name, const std::string& def) override;
  void WriteString(const std::string& section, const std::string& name, const std::string& value) override;
  bool IsOdbcTypeMsSql() override { return msSql; }

  std::map<std::string, uint32_t> dwords;      // "Section\\Name"
  std::map<std::string, std::string> strings;  // "Section\\Name"
  int writes = 0;
  bool msSql = false;
};

class FakeFiles : public IFileSystem {
 public:
  bool Exists(const std::string& path) override { return files.count(path) || programs.count(path); }
  bool IsExecutable(const std::string& path) override { return programs.count(path) > 0; }
  std::optional<std::string> FindNoCase(const std::string& dir, const std::string& name) override;
  std::set<std::string> files;
  std::set<std::string> programs;
};

class FakeSpawner : public ISpawner {
 public:
  int Spawn(const std::string& program, const std::vector<std::string>& argv) override;
  int error = 0;
  std::vector<std::vector<std::string>> started;  // program, then argv
};

inline constexpr const char* kProgramDir = "/root/var/lib/quillnet";
inline constexpr const char* kExeDir = "/opt/qn/bin";

// A whole manager on fakes: every program of the button table installed
// beside qnman32, the server and the guardian installed and stopped.
struct FakeManager {
  FakeManager();
  // Makes the frame and runs its OnCreate.
  CManagerFrame& Create();
  ManagerHost Host();
  // The shutdown dialog answered with `choice` and `minutes`, run through
  // command 2000.
  void Shutdown(int choice, int minutes = 60);

  Log log;
  VirtualClock clock;
  FakeView view{log};
  FakeTimers timers{clock};
  FakeStatusView countdownView, waitView;
  FakeTimers countdownTimers{clock}, waitTimers{clock};
  FakeServices services{log};
  FakeMonitors monitors;
  FakeSettings settings;
  FakeFiles files;
  FakeSpawner spawner;
  std::unique_ptr<CManagerFrame> frame;
};

}  // namespace qn::manager::test
